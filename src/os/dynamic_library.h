#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/error.h"

namespace os {

// A shared library loaded into this process. Unloaded when the owner goes, unless it is kept
// for the life of the process with KeepForever.
class DynamicLibrary {
 public:
  enum class Search {
    // Windows: LoadLibraryExA with LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS,
    // which leaves the executable's folder out. Linux: the executable's folder only.
    kRestricted,
    // Windows: LoadLibraryA's default order (executable's folder first). Linux: dlopen's default
    // search (LD_LIBRARY_PATH, the loader cache, the system folders).
    kDefault,
  };

  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // `file_name` is a bare file name (see SharedLibraryFileName). On failure `error` (when given)
  // receives the Windows error; Linux reports 126 (module not found) for every dlopen failure.
  static std::optional<DynamicLibrary> Load(std::string_view file_name, Search search,
                                            ErrorCode* error = nullptr);

  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const;

  // Leaves the library loaded until the process ends; this owner becomes empty.
  void KeepForever();

 private:
  std::intptr_t native_ = 0;  // HMODULE on Windows, dlopen handle on Linux
};

// The platform's file name of a shared library: "<name>.dll" on Windows, "lib<name>.so" on Linux.
std::string SharedLibraryFileName(std::string_view name);

// The file name of an external helper program: "<name>.exe" on Windows, "<name>" on Linux.
std::u16string HelperProgramFileName(std::u16string_view name);

}  // namespace os
