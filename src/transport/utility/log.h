#pragma once

// The transport's diagnostic hook: one process-wide function that receives every failure and
// notice of the transport (and of the IPC core). By default it discards everything.

namespace transport::log {

inline constexpr int kFailure = 2;
inline constexpr int kNotice = 4;
// The source module every report carries.
inline constexpr const char* kModule = "transport/utility/log";
// Reports are formatted into a buffer of this many characters; longer text is cut.
inline constexpr int kBufferSize = 2048;

using hook_t = void (*)(int level, const char* module, int line, const char* text);

// Installs `hook` for the whole process; null brings back the default, which discards.
void set_hook(hook_t hook);
hook_t get_hook();

// clang (the fuzz build) knows no gnu_printf; GCC needs it to check %zd on mingw.
#ifdef __clang__
#define TRANSPORT_PRINTF_STYLE printf
#else
#define TRANSPORT_PRINTF_STYLE gnu_printf
#endif

// Formats printf-style and hands the text to the hook (a formatting error gives the empty text).
void report(int level, int line, const char* format, ...)
    __attribute__((format(TRANSPORT_PRINTF_STYLE, 3, 4)));

}  // namespace transport::log

#define TRANSPORT_REPORT(level, ...) ::transport::log::report((level), __LINE__, __VA_ARGS__)
