#include "install/product.h"

#include "os/paths.h"

std::u16string ExecutableBaseName(ExeType type) {
  switch (type) {
    case ExeType::kVelmora:
      return u"Velmora";
    case ExeType::kEmulator:
      return u"VelmoraEmulator";
    case ExeType::kUpdate:
      return u"VelmoraUpdate";
    case ExeType::kService:
      return u"VelmoraService";
    case ExeType::kSetup:
      return u"VelmoraSetup";
    case ExeType::kBox:
      return u"VelmoraBox";
    case ExeType::kVfs:
      return u"VelmoraVfs";
    case ExeType::kAssistant:
      return u"VelmoraAssistant";
    case ExeType::kAssistantToast:
      return u"VelmoraAssistantToast";
    case ExeType::kLauncher:
      return u"VelmoraLauncher";
    case ExeType::kDiagnosisTool:
      return u"DiagnosisTool";
    case ExeType::kContextMenu:
      return u"ContextMenu";
    case ExeType::kBoxService:
      return u"RIZOBoxSVC";
    case ExeType::kVm:
      return u"VelmoraVm";
  }
  return {};
}

std::u16string ComponentKeyName(ComponentId id) {
  return id == ComponentId::kClient ? u"Velmora" : u"";
}

std::u16string ComponentFolderName(ComponentId id) {
  return id == ComponentId::kClient ? u"Application" : u"";
}

std::u16string ModulePath() {
  // The whole path, however long: a truncated one would name another file.
  static const std::u16string path = os::ModulePath();
  return path;
}

bool EnsureDirectory(std::u16string_view path) {
  const os::PathKind kind = os::StatusOf(path);
  if (kind == os::PathKind::kDirectory || kind == os::PathKind::kOther) return true;
  return os::CreateDirectories(path);
}

std::u16string TempRootDirectory() {
  std::u16string path = os::PathJoin(os::TempFolder(), u"Quorlen");
  if (!path.empty()) EnsureDirectory(path);
  return path;
}

std::u16string CrashDataDirectory() {
  // Joining an empty element leaves the trailing separator the crash agent expects.
  std::u16string path = os::PathJoin(os::PathJoin(TempRootDirectory(), u"Velmora"), u"");
  if (!path.empty()) EnsureDirectory(path);
  return path;
}
