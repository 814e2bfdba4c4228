#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

// A file opened for writing that other processes may read and write at the same time. In append
// mode every write goes to the end of the file, also when several processes append at once.
class AppendFile {
 public:
  enum class Mode { kAppend, kTruncate };

  AppendFile() = default;
  ~AppendFile();
  AppendFile(AppendFile&& other) noexcept;
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Creates the file when missing. False (and a closed file) when it cannot be opened.
  bool Open(std::u16string_view path, Mode mode);
  bool IsOpen() const;
  // Writes all bytes in one system call where the system allows it. False on failure.
  bool Write(std::string_view bytes);
  void Close();

 private:
  // A HANDLE on Windows, a descriptor on Linux, stored as an integer so no system header leaks.
  std::intptr_t native_ = -1;
};

}  // namespace os
