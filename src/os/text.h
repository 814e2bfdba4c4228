#pragma once

#include <string>
#include <string_view>

namespace os {

// UTF-8 <-> UTF-16 with the platform's CP_UTF8 behaviour: malformed input is not rejected, each
// invalid sequence and each unpaired surrogate becomes U+FFFD. Windows calls
// MultiByteToWideChar/WideCharToMultiByte; Linux runs the portable converter below.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The portable converter itself, the Linux backend's implementation; tested against the real
// Windows functions on the Windows build.
std::u16string PortableUtf8ToUtf16(std::string_view text);
std::string PortableUtf16ToUtf8(std::u16string_view text);

// A path in the form the native file API takes it (UTF-8 on Linux, where paths are bytes).
std::string NativeNarrowPath(std::u16string_view path);

}  // namespace os
