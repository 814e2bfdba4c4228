#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "os/object_listing.h"
#include "os/text.h"

namespace os {
namespace {

// The same folders the object backend uses.
std::string Root() {
  const char* configured = std::getenv("VELMORA_OBJECT_DIR");
  return configured != nullptr && *configured != '\0' ? configured : "/dev/shm/velmora";
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string DecodeName(const std::string& encoded) {
  std::string bytes;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
        HexValue(encoded[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2])));
      i += 2;
    } else {
      bytes.push_back(encoded[i]);
    }
  }
  return bytes;
}

// Every handle holds a read lock on byte 0; asking (without taking) whether a write lock would
// be granted tells whether one is open.
bool Held(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 1;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

void ListFolder(const std::string& folder, bool global, std::vector<NamedObjectEntry>& out) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string file = entry->d_name;
    const auto dot = file.find('.');
    if (dot == std::string::npos || dot == 0) continue;
    const std::string kind = file.substr(0, dot);
    if (kind != "mutex" && kind != "sem" && kind != "event" && kind != "shm") continue;
    NamedObjectEntry object;
    object.kind = kind;
    object.name = Utf8ToUtf16((global ? "Global\\" : "") + DecodeName(file.substr(dot + 1)));
    object.held = Held(folder + "/" + file);
    out.push_back(std::move(object));
  }
  ::closedir(dir);
}

}  // namespace

std::optional<std::vector<NamedObjectEntry>> ListNamedObjects() {
  std::vector<NamedObjectEntry> objects;
  ListFolder(Root() + "/global", true, objects);
  ListFolder(Root() + "/local-" + std::to_string(::geteuid()), false, objects);
  std::sort(objects.begin(), objects.end(), [](const auto& a, const auto& b) {
    return a.name != b.name ? a.name < b.name : a.kind < b.kind;
  });
  return objects;
}

}  // namespace os
