#include "base/global_mutex.h"

#include <fmt/format.h>

#include "os/named_objects.h"
#include "os/text.h"

bool IsGlobalMutexPresent(const std::string& name) {
  const auto opened = os::NamedMutex::Open(os::Utf8ToUtf16(fmt::format("{}{}", "Global\\", name)));
  if (opened.ok()) return true;  // the handle closes with `opened`
  return opened.error != os::kErrorFileNotFound;
}
