#pragma once

// Profile (INI) files addressed by narrow paths, as the ANSI profile functions take them: the
// system code page on Windows, UTF-8 bytes on Linux.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/error.h"

namespace os {

// The user's application-data folder (CSIDL_APPDATA, created when missing) through
// SHGetFolderPathA. Linux: $XDG_CONFIG_HOME, else ~/.config, created when missing.
std::optional<std::string> NarrowAppDataFolder();

// Joins with the native separator, as a narrow path.
std::string NarrowPathJoin(std::string_view base, std::string_view element);

// CreateDirectoryA (one level): kErrorSuccess, kErrorAlreadyExists when it is there, or the error.
ErrorCode CreateNarrowDirectory(const std::string& path);

// A file opened for reading and writing that other processes may read and write meanwhile.
class SharedFile {
 public:
  enum class Disposition {
    kOpenExisting,  // OPEN_EXISTING: kErrorFileNotFound when missing
    kCreateAlways,  // CREATE_ALWAYS: created, or emptied when present
  };

  SharedFile() = default;
  ~SharedFile();
  SharedFile(SharedFile&& other) noexcept;
  SharedFile& operator=(SharedFile&& other) noexcept;
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;

  static std::optional<SharedFile> Open(const std::string& path, Disposition disposition,
                                        ErrorCode* error = nullptr);

  // Moves to the start and ends the file there.
  bool TruncateAtStart();
  std::optional<std::uint64_t> Size() const;
  // Writes all bytes at the current position. False on failure.
  bool Write(std::string_view bytes);
  void Close();

 private:
  std::intptr_t native_ = -1;  // HANDLE on Windows, descriptor on Linux
};

// GetPrivateProfileStringA with an empty default into a buffer of `capacity` + 1 characters:
// the value, cut to `capacity` characters, or empty.
std::string ReadProfileString(const std::string& path, const char* section, const char* key,
                              std::size_t capacity);

// GetPrivateProfileIntA: the value read as a decimal number, or `fallback` when it is missing
// or empty.
std::int32_t ReadProfileInt(const std::string& path, const char* section, const char* key,
                            std::int32_t fallback);

// --- The profile rules on a file's text, for systems without profile functions ---
// Sections and keys are found without regard to letter case, the first of each wins; lines may
// end in CR LF or LF; blanks around section names, keys and values are dropped, and so is one
// pair of matching quotes around a value; lines starting with ';' are comments.

// Nothing when the section or key is missing.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// The number at the start of a value: optional sign, decimal digits; 0 when there are none.
std::int32_t ProfileIntFromValue(std::string_view value);

}  // namespace os
