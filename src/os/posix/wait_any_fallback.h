#pragma once

// Linux only: makes WaitForAnyEvent behave as on kernels without futex_waitv (before 5.16),
// so that the fallback is tested on every kernel. For tests.

namespace os {

void UseWaitAnyFallback(bool use);

}  // namespace os
