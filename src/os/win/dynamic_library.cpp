#include <windows.h>

#include "os/dynamic_library.h"

namespace os {
namespace {

HMODULE AsModule(std::intptr_t native) {
  return reinterpret_cast<HMODULE>(native);
}

}  // namespace

DynamicLibrary::~DynamicLibrary() {
  if (native_ != 0) ::FreeLibrary(AsModule(native_));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : native_(other.native_) {
  other.native_ = 0;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (native_ != 0) ::FreeLibrary(AsModule(native_));
    native_ = other.native_;
    other.native_ = 0;
  }
  return *this;
}

std::optional<DynamicLibrary> DynamicLibrary::Load(std::string_view file_name, Search search,
                                                   ErrorCode* error) {
  const std::string name(file_name);
  HMODULE module =
      search == Search::kRestricted
          ? ::LoadLibraryExA(name.c_str(), nullptr,
                             LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS)
          : ::LoadLibraryA(name.c_str());
  if (module == nullptr) {
    if (error != nullptr) *error = ::GetLastError();
    return std::nullopt;
  }
  DynamicLibrary library;
  library.native_ = reinterpret_cast<std::intptr_t>(module);
  return library;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (native_ == 0) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(AsModule(native_), name));
}

void DynamicLibrary::KeepForever() {
  native_ = 0;
}

std::string SharedLibraryFileName(std::string_view name) {
  return std::string(name) + ".dll";
}

std::u16string HelperProgramFileName(std::u16string_view name) {
  return std::u16string(name) + u".exe";
}

}  // namespace os
