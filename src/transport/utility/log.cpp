#include "transport/utility/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace transport::log {
namespace {

void discard(int, const char*, int, const char*) {}

std::atomic<hook_t>& current() {
  static std::atomic<hook_t> hook{&discard};
  return hook;
}

}  // namespace

void set_hook(hook_t hook) {
  current().store(hook != nullptr ? hook : &discard);
}

hook_t get_hook() {
  return current().load();
}

void report(int level, int line, const char* format, ...) {
  const hook_t hook = current().load();
  if (hook == &discard) return;  // nobody listens: skip the formatting
  char text[kBufferSize];
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  if (written < 0) text[0] = '\0';
  hook(level, kModule, line, text);
}

}  // namespace transport::log
