#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "install/product.h"

// Where the product is installed and registered, worked out once at start-up. Init runs on the
// main thread before other threads exist; afterwards the fields only are read.
class InstallContext {
 public:
  // What the context reads from its surroundings; tests replace them.
  struct Environment {
    std::function<std::u16string()> module_path;  // empty: the executable's own path
    std::function<std::uint64_t()> tick_count;    // empty: milliseconds since boot
  };

  static InstallContext& Instance();

  InstallContext() : InstallContext(Environment{}) {}
  explicit InstallContext(Environment environment);
  InstallContext(const InstallContext&) = delete;
  InstallContext& operator=(const InstallContext&) = delete;

  // Picks the product key (SOFTWARE\Quorlen\<product>, or with "_" and the hash of the install
  // root appended when HKLM's "Netbar" QWORD is non-zero) and the install path (its
  // "InstallPath", else Program Files\Quorlen\<product>). Only the first call does anything.
  void Init(std::u16string_view product_name);

  bool initialized() const { return initialized_; }
  bool internet_cafe() const { return internet_cafe_; }
  const std::u16string& product_name() const { return product_name_; }

  // The product key for kProduct; else the product key, "\" and the component's key name.
  std::u16string RegistryKey(ComponentId id) const;
  std::u16string InstallPath() const { return install_path_; }

  // Install path, separator and the component's folder name, joined as plain text.
  std::u16string ComponentFolder(ComponentId id) const;
  // ComponentFolder(kClient), separator and the client's version.
  std::u16string AppDirectory() const;

  // "Version" of the product key from HKLM; only the exact placeholder "1.0.0.0" sends the read
  // on to HKCU.
  std::u16string LauncherVersion() const;
  // "Version" of a component's key from HKLM; an empty value or "1.0.0.0" sends the read on to
  // HKCU.
  std::u16string ComponentVersion(ComponentId id) const;

  // Whether a launch with this key came less than 1,000 ms after the last one let through (kept
  // per key in HKCU under <product key>\LaunchDebounce). A launch let through stores its time; a
  // dropped one does not move the window. An empty key is never dropped, and a key without a
  // stored time is never dropped either.
  bool ShouldSuppressLaunch(std::u16string_view launch_key) const;

 private:
  Environment environment_;
  bool initialized_ = false;
  bool internet_cafe_ = false;
  std::u16string product_name_;
  std::u16string product_key_;
  std::u16string install_path_;
};

// The placeholder of every "Version" read.
inline constexpr std::u16string_view kPlaceholderVersion = u"1.0.0.0";

// The shell folder for a CSIDL value (kept once found), or `fallback` when the shell has none.
std::u16string KnownFolderPath(int csidl, std::u16string_view fallback);

// Lexically normal form with the native separator ("." dropped, "x\.." cancelled, separators
// collapsed), without a leading \\?\ or \\.\. On Linux only '/' separates.
std::u16string NormalizeInstallPath(std::u16string_view path);

// The install root for the executable's folder: a last component of four dot-separated numbers
// goes, then a last component "Application" (any case). '\' and '/' both separate here.
std::u16string InstallRootFromExeDirectory(std::u16string_view directory);

// The folder part of a path ('\' and '/' both separate), trailing separators ignored.
std::u16string ParentDirectory(std::u16string_view path);

// Deletes HKLM's Image File Execution Options key of an executable file name, with everything
// below it. Failures are silent; an empty name or one holding a separator deletes nothing.
void RemoveIfeoEntry(std::u16string_view exe_file_name);

// The "FileVersion" text of a program file's version resource, or empty.
std::u16string FileVersionString(std::u16string_view path);

// The version reported for an executable type: the client's version (UTF-8) for the launcher,
// empty for other types.
std::string ReportVersionString(ExeType type);
