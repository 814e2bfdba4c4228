#include <windows.h>

#include "os/security.h"

namespace os {

// The record callers pass as LPSECURITY_ATTRIBUTES: the attributes come first.
struct SecurityAttributes {
  SECURITY_ATTRIBUTES attributes;
  SECURITY_DESCRIPTOR descriptor;
};

SecurityAttributes* OpenToAllSecurityAttributes() {
  static SecurityAttributes record{};
  static const bool built = [] {
    if (!::InitializeSecurityDescriptor(&record.descriptor, SECURITY_DESCRIPTOR_REVISION))
      return false;
    // Present but null: no access check at all, so every account may open the object.
    if (!::SetSecurityDescriptorDacl(&record.descriptor, TRUE, nullptr, FALSE)) return false;
    record.attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    record.attributes.lpSecurityDescriptor = &record.descriptor;
    record.attributes.bInheritHandle = FALSE;
    return true;
  }();
  return built ? &record : nullptr;
}

}  // namespace os
