#include "os/text.h"

namespace os {

std::u16string Utf8ToUtf16(std::string_view text) { return PortableUtf8ToUtf16(text); }

std::string Utf16ToUtf8(std::u16string_view text) { return PortableUtf16ToUtf8(text); }

}  // namespace os
