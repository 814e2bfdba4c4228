#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/append_file.h"
#include "os/text.h"

namespace os {

AppendFile::~AppendFile() { Close(); }

AppendFile::AppendFile(AppendFile&& other) noexcept : native_(other.native_) {
  other.native_ = -1;
}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.native_;
    other.native_ = -1;
  }
  return *this;
}

bool AppendFile::Open(std::u16string_view path, Mode mode) {
  Close();
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  flags |= mode == Mode::kAppend ? O_APPEND : O_TRUNC;
  const int fd = ::open(NativeNarrowPath(path).c_str(), flags, 0644);
  if (fd < 0) return false;
  native_ = fd;
  return true;
}

bool AppendFile::IsOpen() const { return native_ >= 0; }

bool AppendFile::Write(std::string_view bytes) {
  if (native_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t written = ::write(static_cast<int>(native_), bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void AppendFile::Close() {
  if (native_ >= 0) {
    ::close(static_cast<int>(native_));
    native_ = -1;
  }
}

}  // namespace os
