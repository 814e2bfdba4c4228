#pragma once

#include "os/named_objects.h"

namespace transport {

// The security every transport object (mutex, semaphore, file mapping) is created with: open
// to every account, so that processes of other accounts and sessions meet on the same objects.
// Built once per process, safely under concurrent first use. Where it cannot be built, the
// failure is reported once and objects get default security.
os::ObjectSecurity object_security();

// Whether the open-to-all record could be built.
bool security_attributes_available();

}  // namespace transport
