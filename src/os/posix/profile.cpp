#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/profile.h"
#include "os/shell_folder.h"
#include "os/text.h"

namespace os {

std::optional<std::string> NarrowAppDataFolder() {
  const std::string folder = Utf16ToUtf8(ShellFolderPath(kCsidlAppData));
  if (folder.empty()) return std::nullopt;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  return folder;
}

std::string NarrowPathJoin(std::string_view base, std::string_view element) {
  std::string joined(base);
  if (!joined.empty() && joined.back() != '/') joined.push_back('/');
  joined.append(element);
  return joined;
}

ErrorCode CreateNarrowDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 ? kErrorSuccess : ErrorFromErrno(errno);
}

std::optional<SharedFile> SharedFile::Open(const std::string& path, Disposition disposition,
                                           ErrorCode* error) {
  const int flags =
      O_RDWR | O_CLOEXEC | (disposition == Disposition::kCreateAlways ? O_CREAT | O_TRUNC : 0);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    if (error != nullptr) *error = ErrorFromErrno(errno);
    return std::nullopt;
  }
  SharedFile opened;
  opened.native_ = fd;
  return opened;
}

bool SharedFile::TruncateAtStart() {
  if (native_ == -1) return false;
  const int fd = static_cast<int>(native_);
  return ::lseek(fd, 0, SEEK_SET) == 0 && ::ftruncate(fd, 0) == 0;
}

std::optional<std::uint64_t> SharedFile::Size() const {
  struct stat status {};
  if (native_ == -1 || ::fstat(static_cast<int>(native_), &status) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

bool SharedFile::Write(std::string_view bytes) {
  if (native_ == -1) return false;
  while (!bytes.empty()) {
    const ssize_t written = ::write(static_cast<int>(native_), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void SharedFile::Close() {
  if (native_ != -1) ::close(static_cast<int>(native_));
  native_ = -1;
}

namespace {

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

}  // namespace

std::string ReadProfileString(const std::string& path, const char* section, const char* key,
                              std::size_t capacity) {
  const auto text = ReadWholeFile(path);
  if (!text) return {};
  std::string value = FindProfileValue(*text, section, key).value_or("");
  if (value.size() > capacity) value.resize(capacity);
  return value;
}

std::int32_t ReadProfileInt(const std::string& path, const char* section, const char* key,
                            std::int32_t fallback) {
  const auto text = ReadWholeFile(path);
  if (!text) return fallback;
  const auto value = FindProfileValue(*text, section, key);
  if (!value || value->empty()) return fallback;
  return ProfileIntFromValue(*value);
}

}  // namespace os
