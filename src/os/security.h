#pragma once

namespace os {

// A SECURITY_ATTRIBUTES record on Windows (pass it as LPSECURITY_ATTRIBUTES); on Linux a record
// that only stands for the same intent, which named objects carry out with mode 0666 files.
struct SecurityAttributes;

// The process-wide attributes with a present but null DACL, so that every account may open an
// object created with them; handles are not inheritable. Built once, on the first call (safe when
// several threads make it); null when that failed, which is not retried.
SecurityAttributes* OpenToAllSecurityAttributes();

}  // namespace os
