#include <windows.h>

#include "launcher/src/boot/initialize.h"

// A GUI-subsystem program without a window: the parameters are not used, the command line is
// taken from the process again.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return RunLauncher(); }
