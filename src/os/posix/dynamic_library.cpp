#include <dlfcn.h>

#include <string>

#include "os/dynamic_library.h"
#include "os/paths.h"
#include "os/text.h"

namespace os {
namespace {

void* AsHandle(std::intptr_t native) {
  return reinterpret_cast<void*>(native);
}

std::string ExecutableFolder() {
  std::string path = Utf16ToUtf8(ModulePath());
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  path.resize(slash);
  return path;
}

}  // namespace

DynamicLibrary::~DynamicLibrary() {
  if (native_ != 0) ::dlclose(AsHandle(native_));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : native_(other.native_) {
  other.native_ = 0;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (native_ != 0) ::dlclose(AsHandle(native_));
    native_ = other.native_;
    other.native_ = 0;
  }
  return *this;
}

std::optional<DynamicLibrary> DynamicLibrary::Load(std::string_view file_name, Search search,
                                                   ErrorCode* error) {
  std::string path(file_name);
  if (search == Search::kRestricted) {
    const std::string folder = ExecutableFolder();
    if (folder.empty()) {
      if (error != nullptr) *error = kErrorModNotFound;
      return std::nullopt;
    }
    path = folder + "/" + path;
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (error != nullptr) *error = kErrorModNotFound;
    return std::nullopt;
  }
  DynamicLibrary library;
  library.native_ = reinterpret_cast<std::intptr_t>(handle);
  return library;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (native_ == 0) return nullptr;
  return ::dlsym(AsHandle(native_), name);
}

void DynamicLibrary::KeepForever() {
  native_ = 0;
}

std::string SharedLibraryFileName(std::string_view name) {
  return "lib" + std::string(name) + ".so";
}

std::u16string HelperProgramFileName(std::u16string_view name) {
  return std::u16string(name);
}

}  // namespace os
