#include "registry_sandbox.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "os/child_process.h"
#include "os/text.h"
#include "test_support.h"

namespace test_support {
namespace {

class RegistrySandbox : public ::testing::Environment {
 public:
  void SetUp() override {
    folder_ = std::make_unique<TempFolder>();
    os::SetEnv(u"VELMORA_REGISTRY_DIR", folder_->path());
  }
  void TearDown() override {
    os::SetEnv(u"VELMORA_REGISTRY_DIR", u"");
    folder_.reset();
  }

 private:
  std::unique_ptr<TempFolder> folder_;
};

}  // namespace

bool UseRegistrySandbox() {
  ::testing::AddGlobalTestEnvironment(new RegistrySandbox);
  return true;
}

std::u16string UniqueRegistryKey(const std::string& prefix) {
  return u"SOFTWARE\\VelmoraTest\\" + os::Utf8ToUtf16(UniqueName(prefix));
}

void DeleteRegistryTree(os::RegistryRoot root, std::u16string_view path) {
  {
    os::RegistryKey key;
    if (os::RegistryKey::Open(root, path, os::kKeyRead, key) != os::kErrorSuccess) return;
    std::u16string name;
    while (key.EnumSubKey(0, name) == os::kErrorSuccess) {
      const std::u16string child = std::u16string(path) + u"\\" + name;
      DeleteRegistryTree(root, child);
      os::RegistryKey probe;
      // A child that cannot be removed would make this loop endless.
      if (os::RegistryKey::Open(root, child, os::kKeyRead, probe) == os::kErrorSuccess) return;
    }
  }
  os::DeleteRegistryKey(root, path);
}

bool SetRawValue(os::RegistryRoot root, std::u16string_view path, std::u16string_view name,
                 std::uint32_t type, std::string_view bytes) {
  os::RegistryKey key;
  if (os::RegistryKey::Create(root, path, os::kKeyRead | os::kKeyWrite, key) != os::kErrorSuccess) {
    return false;
  }
  // The registry counts a NUL that directly follows string data as part of it: the copy is
  // followed by non-zero bytes so that the value holds exactly the bytes given.
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
  copy.insert(copy.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  return key.SetValue(name, type, std::span(copy.data(), bytes.size())) == os::kErrorSuccess;
}

std::string Utf16LeBytes(std::u16string_view text, bool with_nul) {
  std::string bytes;
  for (const char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  if (with_nul) bytes.append(2, '\0');
  return bytes;
}

}  // namespace test_support
