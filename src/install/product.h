#pragma once

#include <cstdint>
#include <string>

// The product's executables. Values travel in the crash reporter's record; other numbers may
// arrive as well and have no name.
enum class ExeType : std::int32_t {
  kVelmora = 1,
  kEmulator = 2,
  kUpdate = 3,
  kService = 4,
  kSetup = 5,
  kBox = 6,
  kVfs = 7,
  kAssistant = 8,
  kAssistantToast = 9,
  kLauncher = 10,
  kDiagnosisTool = 11,
  kContextMenu = 12,
  kBoxService = 13,
  kVm = 16,
};

// Parts of an installation, for registry sub-keys and folders.
enum class ComponentId : std::int32_t {
  kProduct = 0,  // the product key itself
  kClient = 1,   // key "Velmora", versions in folders under "Application"
};

// The executable's base name without extension ("VelmoraLauncher" for kLauncher); empty for a
// type without a name.
std::u16string ExecutableBaseName(ExeType type);

// A component's registry key name and folder name; empty for components without one.
std::u16string ComponentKeyName(ComponentId id);
std::u16string ComponentFolderName(ComponentId id);

// The full path of the running executable, read once.
std::u16string ModulePath();

// The temporary folder joined with "Quorlen", created when missing.
std::u16string TempRootDirectory();
// TempRootDirectory joined with "Velmora", with a trailing separator; created when missing.
std::u16string CrashDataDirectory();
// True when the path exists afterwards as anything (a file counts); creates missing folders.
bool EnsureDirectory(std::u16string_view path);
