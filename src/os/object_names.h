#pragma once

// Where the Linux backend keeps a named kernel object: which folder (machine-wide or the
// session's) and which file name. Portable so that its rules are tested on both builds.

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

enum class ObjectKind { kMutex, kSemaphore, kEvent, kFileMapping };

struct ObjectLocation {
  bool global = false;    // "Global\" names: the machine-wide folder; others the session's
  std::string file_name;  // "<kind>.<encoded name>"
};

// "Global\name" and "Local\name" lose their prefix; a name without a prefix is a session name.
ObjectLocation LocateObject(ObjectKind kind, std::u16string_view name);

// The name's UTF-8 bytes with `A-Z a-z 0-9 . _ - { }` kept and every other byte as %XX. Results
// longer than 200 bytes become their first 180 bytes, '~' and 16 hexadecimal digits of a hash of
// the whole encoded name, so long names stay distinct and file names stay short.
std::string EncodeObjectName(std::u16string_view name);

// The hash of long names: 64-bit FNV-1a.
std::uint64_t ObjectNameHash(std::string_view bytes);

}  // namespace os
