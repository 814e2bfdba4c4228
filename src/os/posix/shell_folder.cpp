#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "os/shell_folder.h"
#include "os/text.h"

namespace os {
namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::u16string ShellFolderPath(int csidl) {
  switch (csidl) {
    case kCsidlAppData: {
      // Only an absolute XDG_CONFIG_HOME counts, as the XDG rules say.
      if (const char* config = std::getenv("XDG_CONFIG_HOME");
          config != nullptr && *config == '/') {
        return Utf8ToUtf16(config);
      }
      const std::string home = HomeFolder();
      return home.empty() ? std::u16string() : Utf8ToUtf16(home + "/.config");
    }
    case kCsidlProgramFiles:
      return u"/opt";
    default:
      return {};
  }
}

}  // namespace os
