#include "launcher/src/launch_debounce_placeholder.h"

#include "base/logger.h"
#include "base/text_encoding.h"

// Never suppresses: every launch goes ahead.
bool ShouldSuppressLaunchPlaceholder(const std::u16string& key) {
  LOG("[placeholder] ShouldSuppressLaunch key:{} -> false", WideToUtf8(key));
  return false;
}
