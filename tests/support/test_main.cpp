#include <gtest/gtest.h>

#include <cstdio>

#include "test_support.h"

int main(int argc, char** argv) {
  if (const auto child = test_support::RunChildIfRequested(argc, argv)) return *child;
  // Unbuffered, so that a test program that dies leaves every line it wrote, and a run with no
  // output at all is one whose program never started (see cmake/wine-run.sh).
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
