#pragma once

#include <string>
#include <string_view>

#include "os/registry.h"

namespace test_support {

// Gives this test program a registry of its own where the backend allows it: on Linux
// VELMORA_REGISTRY_DIR points at a fresh folder for the whole run (child processes inherit it);
// the Windows backend works on the real registry, where tests use keys unique to the process.
// Call once, from a static initialiser of the test program.
bool UseRegistrySandbox();

// A key path unique to this process and call: SOFTWARE\VelmoraTest\<prefix>-<pid>-<n>.
std::u16string UniqueRegistryKey(const std::string& prefix);

// Deletes a key with everything below it, under either root (test clean-up).
void DeleteRegistryTree(os::RegistryRoot root, std::u16string_view path);

// Stores raw bytes of any type, creating the key when missing. False on failure.
bool SetRawValue(os::RegistryRoot root, std::u16string_view path, std::u16string_view name,
                 std::uint32_t type, std::string_view bytes);

// UTF-16LE bytes of a text, with or without its terminating NUL.
std::string Utf16LeBytes(std::u16string_view text, bool with_nul);

}  // namespace test_support
