// What a shared file's owner does is the same on both systems; only Open, Close and the file
// operations differ.
#include "os/profile.h"

namespace os {

SharedFile::~SharedFile() {
  Close();
}

SharedFile::SharedFile(SharedFile&& other) noexcept : native_(other.native_) {
  other.native_ = -1;
}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.native_;
    other.native_ = -1;
  }
  return *this;
}

}  // namespace os
