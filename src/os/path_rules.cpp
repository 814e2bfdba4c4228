#include "os/path_rules.h"

#include <vector>

#include "os/paths.h"

namespace os {
namespace {

bool IsDriveLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

}  // namespace

PathStyle NativePathStyle() {
  return kPathSeparator == u'\\' ? PathStyle::kWindows : PathStyle::kPosix;
}

std::u16string LexicallyNormal(std::u16string_view path, PathStyle style) {
  if (path.empty()) return {};
  const bool windows = style == PathStyle::kWindows;
  const char16_t separator = windows ? u'\\' : u'/';
  auto is_separator = [&](char16_t c) { return c == u'/' || (windows && c == u'\\'); };

  // The root: a Windows root name (device prefix, server and share, drive), then a separator.
  std::u16string root;
  std::size_t i = 0;
  bool device = false;
  if (windows) {
    if (path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) &&
        (path[2] == u'?' || path[2] == u'.') && is_separator(path[3])) {
      root = std::u16string{u'\\', u'\\', path[2], u'\\'};
      device = true;
      i = 4;
    } else if (path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) &&
               !is_separator(path[2])) {
      root = u"\\\\";
      for (i = 2; i < path.size() && !is_separator(path[i]); ++i) root.push_back(path[i]);
    } else if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') {
      root = std::u16string(path.substr(0, 2));
      i = 2;
    }
  }
  // A device prefix ends in a separator of its own; other roots may be followed by one.
  bool root_directory = device;
  if (i < path.size() && is_separator(path[i]) && !device) root.push_back(separator);
  while (i < path.size() && is_separator(path[i])) {
    root_directory = true;
    ++i;
  }

  std::vector<std::u16string_view> elements;
  bool trailing = false;
  while (i < path.size()) {
    std::size_t end = i;
    while (end < path.size() && !is_separator(path[end])) ++end;
    const std::u16string_view element = path.substr(i, end - i);
    while (end < path.size() && is_separator(path[end])) ++end;
    const bool last = end >= path.size();
    const bool separator_follows = end > i + element.size();
    i = end;
    if (element == u".") {
      if (last) trailing = !elements.empty();
      continue;
    }
    if (element == u"..") {
      if (!elements.empty() && elements.back() != u"..") {
        elements.pop_back();
        if (last) trailing = !elements.empty();
      } else if (!root_directory) {
        elements.push_back(element);
        if (last) trailing = false;
      }
      continue;
    }
    elements.push_back(element);
    if (last) trailing = separator_follows;
  }

  std::u16string normal = root;
  for (std::size_t k = 0; k < elements.size(); ++k) {
    if (k > 0) normal.push_back(separator);
    normal.append(elements[k]);
  }
  if (trailing && !elements.empty()) normal.push_back(separator);
  if (normal.empty()) normal = u".";
  return normal;
}

}  // namespace os
