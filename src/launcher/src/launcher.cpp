#include "launcher/src/launcher.h"

#include "base/logger.h"

void LaunchTarget(int argc, const char16_t* const* argv) {
  (void)argv;
  if (argc < 2) {
    LOG("[error] argc < 2");
    return;
  }
}
