#include <gtest/gtest.h>

#include "test_support.h"

int main(int argc, char** argv) {
  if (const auto child = test_support::RunChildIfRequested(argc, argv)) return *child;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
