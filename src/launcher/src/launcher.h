#pragma once

// Decides what the command line asks for and hands it to the action that carries it out.
// `argv` holds `argc` NUL-terminated wide strings; argv[0] is the program path.
void LaunchTarget(int argc, const char16_t* const* argv);
