#pragma once

#include <optional>
#include <string>
#include <vector>

namespace os {

// One named kernel object as the inspector shows it.
struct NamedObjectEntry {
  std::string kind;     // "mutex", "sem", "event", "shm"
  std::u16string name;  // "Global\name" or the session name; a shortened long name stays encoded
  bool held = false;    // some process has a handle open
};

// Every named object of the machine-wide namespace and of this user's session, by kind and name.
// Linux reads the object folder and asks each file's lock whether a handle is open; Windows has
// no such listing and answers nothing.
std::optional<std::vector<NamedObjectEntry>> ListNamedObjects();

}  // namespace os
