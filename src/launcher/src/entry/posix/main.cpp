#include "launcher/src/boot/initialize.h"

// The command line is taken from the process again, as on Windows.
int main() { return RunLauncher(); }
