#pragma once

#include <string>

#include "base/registry.h"

class InstallContext;

// One launcher mark: a REG_QWORD named after the mark in HKCU\<product key>\Mark.
class RegistryMark {
 public:
  explicit RegistryMark(std::u16string mark_name);
  RegistryMark(const InstallContext& context, std::u16string mark_name);

  // Whether the mark's value exists as a REG_QWORD and is not 0.
  bool IsSet() const;

  RegistryRoot root() const { return root_; }
  const std::u16string& name() const { return name_; }
  const std::u16string& sub_key() const { return sub_key_; }

 private:
  RegistryRoot root_ = kHkeyCurrentUser;
  std::u16string name_;
  std::u16string sub_key_;
};
