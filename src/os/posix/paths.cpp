#include <unistd.h>

#include <cstdlib>
#include <string>

#include "os/paths.h"
#include "os/text.h"

namespace os {

const char16_t kPathSeparator = u'/';

std::u16string TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::u16string folder = Utf8ToUtf16(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  if (folder.back() != u'/') folder.push_back(u'/');
  return folder;
}

std::u16string ModulePath() {
  std::string buffer(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0) return {};
  buffer.resize(static_cast<std::size_t>(length));
  return Utf8ToUtf16(buffer);
}

}  // namespace os
