// The registry kept in two .reg hive files. Reads take no lock: a hive file is only ever replaced
// whole by rename, so a reader sees the old or the new file, never a mix. Every change holds an
// exclusive lock on "<hive>.lock" while it rereads the hive, changes it, writes "<hive>.tmp",
// syncs it and renames it over the hive.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "os/reg_hive.h"
#include "os/registry.h"
#include "os/shell_folder.h"
#include "os/text.h"

namespace os {
namespace {

struct HiveFile {
  std::string folder;
  std::string path;
  std::u16string root_name;
  mode_t file_mode;
  mode_t folder_mode;
};

HiveFile HiveFor(RegistryRoot root) {
  const bool machine = root == RegistryRoot::kLocalMachine;
  HiveFile hive;
  hive.root_name = machine ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
  hive.file_mode = machine ? 0644 : 0600;
  hive.folder_mode = machine ? 0755 : 0700;
  if (const char* dir = std::getenv("VELMORA_REGISTRY_DIR"); dir != nullptr && *dir != '\0') {
    hive.folder = dir;
  } else if (machine) {
    hive.folder = "/var/lib/velmora";
  } else {
    // Without a home folder there is no user hive: it reads as empty and takes no changes.
    const std::u16string config = ShellFolderPath(kCsidlAppData);
    if (config.empty()) return hive;
    hive.folder = Utf16ToUtf8(config) + "/velmora";
  }
  hive.path = hive.folder + (machine ? "/system.reg" : "/user.reg");
  return hive;
}

// Names end at their first NUL, as the registry's C-string interface sees them.
std::u16string_view UpToNul(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

bool WantsWrite(std::uint32_t access) {
  return (access & (kKeySetValue | kKeyCreateSubKey | kKeyDelete)) != 0;
}

// Whole file; false with errno when it cannot be read (ENOENT for a missing hive).
bool ReadFile(const std::string& path, std::string& bytes) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return got == 0;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

// The hive as it is now; empty when it is missing or cannot be parsed.
RegHive Load(const HiveFile& hive) {
  std::string bytes;
  if (!ReadFile(hive.path, bytes)) return RegHive{};
  auto parsed = ParseRegText(bytes, hive.root_name);
  return parsed ? std::move(*parsed) : RegHive{};
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool MakeFolders(const std::string& folder, mode_t mode) {
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = folder.find('/', pos + 1);
    partial = folder.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  struct stat status {};
  return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Whether this process may replace the hive file: write access to the file, when it exists, and
// to the folder that receives the new file (or the nearest existing folder above it).
bool MayWrite(const HiveFile& hive) {
  if (hive.folder.empty()) return false;
  if (::faccessat(AT_FDCWD, hive.path.c_str(), F_OK, AT_EACCESS) == 0 &&
      ::faccessat(AT_FDCWD, hive.path.c_str(), W_OK, AT_EACCESS) != 0) {
    return false;
  }
  std::string folder = hive.folder;
  for (;;) {
    if (::faccessat(AT_FDCWD, folder.c_str(), F_OK, AT_EACCESS) == 0) {
      return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    }
    if (folder == "/" || folder == ".") return false;
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos) {
      folder = ".";
    } else {
      folder = slash == 0 ? std::string("/") : folder.substr(0, slash);
    }
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Applies `change` to the hive under its lock and writes the result when `change` reports that
// something changed. An unparsable hive is renamed aside first, never overwritten.
template <typename Change>
ErrorCode ChangeHive(const HiveFile& hive, Change&& change) {
  if (hive.folder.empty()) return kErrorPathNotFound;
  if (!MakeFolders(hive.folder, hive.folder_mode)) return ErrorFromErrno(errno);
  const FileDescriptor lock(
      ::open((hive.path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, hive.file_mode));
  if (lock.get() < 0) return ErrorFromErrno(errno);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return ErrorFromErrno(errno);
  }

  RegHive tree;
  std::string bytes;
  if (ReadFile(hive.path, bytes)) {
    if (auto parsed = ParseRegText(bytes, hive.root_name)) {
      tree = std::move(*parsed);
    } else {
      const std::string aside = hive.path + ".unparsable-" + std::to_string(std::time(nullptr)) +
                                "-" + std::to_string(::getpid());
      if (::rename(hive.path.c_str(), aside.c_str()) != 0) return ErrorFromErrno(errno);
    }
  } else if (errno != ENOENT) {
    return ErrorFromErrno(errno);
  }

  bool changed = false;
  if (const ErrorCode error = change(tree, changed); error != kErrorSuccess) return error;
  if (!changed) return kErrorSuccess;

  const std::string text = FormatRegText(tree, hive.root_name);
  const std::string temporary = hive.path + ".tmp";
  {
    const FileDescriptor out(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, hive.file_mode));
    if (out.get() < 0) return ErrorFromErrno(errno);
    if (!WriteAll(out.get(), text) || ::fsync(out.get()) != 0) {
      const ErrorCode error = ErrorFromErrno(errno);
      ::unlink(temporary.c_str());
      return error;
    }
  }
  if (::rename(temporary.c_str(), hive.path.c_str()) != 0) {
    const ErrorCode error = ErrorFromErrno(errno);
    ::unlink(temporary.c_str());
    return error;
  }
  // The rename itself must reach the disk before the change counts as made.
  const FileDescriptor folder(::open(hive.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  return kErrorSuccess;
}

}  // namespace

RegistryKey::~RegistryKey() {
  Close();
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : root_(other.root_),
      path_(std::move(other.path_)),
      access_(other.access_),
      open_(other.open_) {
  other.open_ = false;
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    root_ = other.root_;
    path_ = std::move(other.path_);
    access_ = other.access_;
    open_ = other.open_;
    other.open_ = false;
  }
  return *this;
}

bool RegistryKey::IsOpen() const {
  return open_;
}

void RegistryKey::Close() {
  open_ = false;
  path_.clear();
}

ErrorCode RegistryKey::Open(RegistryRoot root, std::u16string_view path, std::uint32_t access,
                            RegistryKey& key) {
  key.Close();
  const HiveFile hive = HiveFor(root);
  path = UpToNul(path);
  if (Load(hive).Find(path) == nullptr) return kErrorFileNotFound;
  if (WantsWrite(access) && !MayWrite(hive)) return kErrorAccessDenied;
  key.root_ = root;
  key.path_ = std::u16string(path);
  key.access_ = access;
  key.open_ = true;
  return kErrorSuccess;
}

ErrorCode RegistryKey::Create(RegistryRoot root, std::u16string_view path, std::uint32_t access,
                              RegistryKey& key) {
  key.Close();
  const HiveFile hive = HiveFor(root);
  path = UpToNul(path);
  if (!MayWrite(hive)) return kErrorAccessDenied;
  if (Load(hive).Find(path) == nullptr) {
    const ErrorCode error = ChangeHive(hive, [&](RegHive& tree, bool& changed) {
      changed = tree.Find(path) == nullptr;
      return changed ? tree.Create(path, nullptr) : kErrorSuccess;
    });
    if (error != kErrorSuccess) return error;
  }
  key.root_ = root;
  key.path_ = std::u16string(path);
  key.access_ = access;
  key.open_ = true;
  return kErrorSuccess;
}

ErrorCode RegistryKey::QueryValue(std::u16string_view name, std::uint32_t* type, std::uint8_t* data,
                                  std::uint32_t* size) const {
  if (!open_) return kErrorInvalidHandle;
  if ((access_ & kKeyQueryValue) == 0) return kErrorAccessDenied;
  const RegHive tree = Load(HiveFor(root_));
  const RegHive::Key* key = tree.Find(path_);
  if (key == nullptr) return kErrorKeyDeleted;
  const RegValue* value = RegHive::FindValue(*key, UpToNul(name));
  if (value == nullptr) return kErrorFileNotFound;
  const auto needed = static_cast<std::uint32_t>(value->data.size());
  if (type != nullptr) *type = value->type;
  if (data != nullptr) {
    if (size == nullptr) return kErrorInvalidParameter;
    if (*size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    if (needed > 0) std::memcpy(data, value->data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return kErrorSuccess;
}

ErrorCode RegistryKey::SetValue(std::u16string_view name, std::uint32_t type,
                                std::span<const std::uint8_t> data) {
  if (!open_) return kErrorInvalidHandle;
  if ((access_ & kKeySetValue) == 0) return kErrorAccessDenied;
  name = UpToNul(name);
  return ChangeHive(HiveFor(root_), [&](RegHive& tree, bool& changed) {
    RegHive::Key* key = tree.Find(path_);
    if (key == nullptr) return kErrorKeyDeleted;
    const ErrorCode error = RegHive::SetValue(*key, name, type, data);
    changed = error == kErrorSuccess;
    return error;
  });
}

ErrorCode RegistryKey::DeleteValue(std::u16string_view name) {
  if (!open_) return kErrorInvalidHandle;
  if ((access_ & kKeySetValue) == 0) return kErrorAccessDenied;
  name = UpToNul(name);
  const HiveFile hive = HiveFor(root_);
  // A value that is not there needs no lock, and leaves a read-only hive untouched.
  const RegHive current = Load(hive);
  if (const RegHive::Key* key = current.Find(path_);
      key != nullptr && RegHive::FindValue(*key, name) == nullptr) {
    return kErrorFileNotFound;
  }
  return ChangeHive(hive, [&](RegHive& tree, bool& changed) {
    RegHive::Key* key = tree.Find(path_);
    if (key == nullptr) return kErrorKeyDeleted;
    const ErrorCode error = RegHive::DeleteValue(*key, name);
    changed = error == kErrorSuccess;
    return error;
  });
}

ErrorCode RegistryKey::EnumSubKey(std::uint32_t index, std::u16string& name) const {
  if (!open_) return kErrorInvalidHandle;
  if ((access_ & kKeyEnumerateSubKeys) == 0) return kErrorAccessDenied;
  const RegHive tree = Load(HiveFor(root_));
  const RegHive::Key* key = tree.Find(path_);
  if (key == nullptr) return kErrorKeyDeleted;
  if (index >= key->children.size()) return kErrorNoMoreItems;
  auto child = key->children.begin();
  std::advance(child, index);
  name = child->second->name;
  return kErrorSuccess;
}

ErrorCode DeleteRegistryKey(RegistryRoot root, std::u16string_view path) {
  const HiveFile hive = HiveFor(root);
  path = UpToNul(path);
  // A missing key needs no lock: deleting what is not there creates no hive file either.
  if (Load(hive).Find(path) == nullptr) return kErrorFileNotFound;
  if (RegHive::SplitPath(path).empty() || !MayWrite(hive)) return kErrorAccessDenied;
  return ChangeHive(hive, [&](RegHive& tree, bool& changed) {
    const ErrorCode error = tree.Delete(path);
    changed = error == kErrorSuccess;
    return error;
  });
}

}  // namespace os
