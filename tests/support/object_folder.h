#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "os/child_process.h"
#include "test_support.h"

namespace test_support {

// Gives a test program's run its own folder of Linux object files (VELMORA_OBJECT_DIR), which
// its child processes inherit; the Windows build ignores it. Register it once per program:
//   static auto* const kObjects = ::testing::AddGlobalTestEnvironment(new FreshObjectFolder);
class FreshObjectFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    folder_ = std::make_unique<TempFolder>();
    os::SetEnv(u"VELMORA_OBJECT_DIR", folder_->path());
  }
  void TearDown() override {
    os::SetEnv(u"VELMORA_OBJECT_DIR", u"");
    folder_.reset();
  }

 private:
  std::unique_ptr<TempFolder> folder_;
};

}  // namespace test_support
