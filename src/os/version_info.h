#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

// The version note the Linux build puts into its executables: an ELF note of this owner and type
// whose descriptor is the file version as UTF-8 text.
inline constexpr char kVersionNoteOwner[] = "Velmora";
inline constexpr std::uint32_t kVersionNoteType = 1;

// The "FileVersion" text of a program file, or empty when it has none. Windows reads the
// VERSIONINFO resource (its first translation); Linux reads the version note of an ELF file.
std::u16string ReadFileVersion(std::u16string_view path);

}  // namespace os
