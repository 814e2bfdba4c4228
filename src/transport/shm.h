#pragma once

// Shared memory segments: named, pagefile-backed mappings that start zero-filled and live while
// any process holds them open. Every piece of state the transport shares between processes
// lives in one.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/named_objects.h"

namespace transport::shm {

// One acquired segment: its mapping, its view once mapped, and its size (the requested size
// until mapped, then the mapped region's size, whole pages).
struct segment {
  os::FileMapping mapping;
  os::MappedView view;
  std::size_t size = 0;
};
using id_t = std::unique_ptr<segment>;

// The kernel object name of segment `name`: "Global" or "Local", "\__IPC_SHM__", then `name`.
std::string segment_name(std::string_view name, bool global);

// Creates the segment, or opens the existing one of that name (whose size is then its
// creator's). Does not map it. Null, after a report, for an empty name or a failure; sizes of
// 4 GiB and more are refused.
id_t acquire(std::string_view name, std::size_t size, bool global);

// Maps the segment on first use and returns its base address, later calls the same address;
// `size` (when given) receives the mapped size. Null, after a report, on failure.
void* get_mem(segment* id, std::size_t* size = nullptr);

// Unmaps the view, closes the mapping and frees the record: 0, or -1 for a null record.
int release(id_t id);

// Owns at most one segment, mapped. Not for concurrent use by several threads.
class handle {
 public:
  handle();
  ~handle();
  handle(handle&&) noexcept;
  handle& operator=(handle&&) noexcept;
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;

  // Releases the segment held so far, then acquires and maps `name`. A given `global` becomes
  // the handle's default flag (true until set); otherwise the default is used. True when a
  // mapped address is available.
  bool acquire(std::string_view name, std::size_t size, std::optional<bool> global = std::nullopt);
  // Releases the segment and clears address, size and name.
  void release();

  void* get() const;         // null when none
  std::size_t size() const;  // the mapped size, whole pages
  const std::string& name() const;
  bool global() const { return global_; }

 private:
  struct body;
  bool global_ = true;
  std::unique_ptr<body> body_;
};

}  // namespace transport::shm
