#pragma once

#include <string>
#include <string_view>

namespace os {

// '\\' on Windows, '/' on Linux.
extern const char16_t kPathSeparator;

// Joins two path elements with exactly one native separator between them.
std::u16string PathJoin(std::u16string_view base, std::u16string_view element);

// GetTempPathW, with its trailing separator; $TMPDIR or /tmp on Linux.
std::u16string TempFolder();

// The full path of this process's executable file (GetModuleFileNameW; /proc/self/exe).
std::u16string ModulePath();

enum class PathKind { kMissing, kDirectory, kOther, kUnknown };

// Status of a path, following links. kUnknown when the status cannot be read.
PathKind StatusOf(std::u16string_view path);

// Creates a folder and all missing parents. True when the folder exists afterwards.
bool CreateDirectories(std::u16string_view path);

// Removes a file or a folder with everything inside it. True when nothing is left.
bool RemoveAll(std::u16string_view path);

}  // namespace os
