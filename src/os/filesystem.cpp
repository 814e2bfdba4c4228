// Folder status, creation and removal need no backend of their own: std::filesystem does the
// same on both systems once the wide path is handed over in the native form.
#include <filesystem>
#include <system_error>

#include "os/paths.h"
#include "os/text.h"

namespace os {
namespace {

std::filesystem::path ToFsPath(std::u16string_view path) {
  return std::filesystem::path(std::u16string(path));
}

}  // namespace

std::u16string PathJoin(std::u16string_view base, std::u16string_view element) {
  std::u16string joined(base);
  while (!element.empty() && (element.front() == u'\\' || element.front() == u'/')) {
    element.remove_prefix(1);
  }
  if (!joined.empty() && joined.back() != kPathSeparator && joined.back() != u'/') {
    joined.push_back(kPathSeparator);
  }
  joined.append(element);
  return joined;
}

PathKind StatusOf(std::u16string_view path) {
  std::error_code ec;
  const auto status = std::filesystem::status(ToFsPath(path), ec);
  if (status.type() == std::filesystem::file_type::not_found) return PathKind::kMissing;
  if (ec) return PathKind::kUnknown;
  return status.type() == std::filesystem::file_type::directory ? PathKind::kDirectory
                                                                : PathKind::kOther;
}

bool CreateDirectories(std::u16string_view path) {
  std::error_code ec;
  std::filesystem::create_directories(ToFsPath(path), ec);
  return StatusOf(path) == PathKind::kDirectory;
}

bool RemoveAll(std::u16string_view path) {
  std::error_code ec;
  std::filesystem::remove_all(ToFsPath(path), ec);
  return StatusOf(path) == PathKind::kMissing;
}

}  // namespace os
