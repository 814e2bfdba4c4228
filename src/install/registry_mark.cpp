#include "install/registry_mark.h"

#include "install/install_context.h"

RegistryMark::RegistryMark(std::u16string mark_name)
    : RegistryMark(InstallContext::Instance(), std::move(mark_name)) {}

RegistryMark::RegistryMark(const InstallContext& context, std::u16string mark_name)
    : name_(std::move(mark_name)),
      sub_key_(context.RegistryKey(ComponentId::kProduct) + u"\\Mark") {}

bool RegistryMark::IsSet() const {
  return RegistryReadQword(root_, sub_key_, name_) != 0;
}
