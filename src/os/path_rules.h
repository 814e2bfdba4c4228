#pragma once

#include <string>
#include <string_view>

namespace os {

// Path rules of the two systems, as pure text operations. Windows: '\' and '/' separate, a
// path may begin with a drive ("C:"), a server and share ("\\server\share") or a device prefix
// ("\\?\", "\\.\"). Linux: only '/' separates.
enum class PathStyle { kWindows, kPosix };

// The style of the system this build runs on.
PathStyle NativePathStyle();

// The lexically normal form (as std::filesystem defines it): separators become the style's own
// and collapse, "." elements go, an element followed by ".." cancels with it, ".." directly below
// the root goes; a trailing separator stays, except after a final ".."; an empty result is ".".
// A device prefix is kept as it is.
std::u16string LexicallyNormal(std::u16string_view path, PathStyle style);

}  // namespace os
