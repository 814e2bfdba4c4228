#include "transport/security.h"

#include "transport/utility/log.h"

namespace transport {

bool security_attributes_available() {
  static const bool available = [] {
    const os::OpenToAllSecurity& state = os::OpenToAllSecurityState();
    if (!state.available) {
      TRANSPORT_REPORT(log::kFailure, "fail %s[%d]\n", state.failed_call,
                       static_cast<int>(state.error));
    }
    return state.available;
  }();
  return available;
}

os::ObjectSecurity object_security() {
  // Without the record the platform layer falls back to default security by itself.
  security_attributes_available();
  return os::ObjectSecurity::kOpenToAll;
}

}  // namespace transport
