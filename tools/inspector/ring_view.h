#pragma once

#include <string>

#include "tools/common/tool_support.h"

#include <cstdint>
#include <memory>

namespace transport {
struct ring_segment;
}

namespace tools {

// Read-only access to a channel's ring as another process left it: opens the ring's segment only
// when some process has it open, never creates it.
class RingReader {
 public:
  RingReader();
  ~RingReader();
  // False, with the system's error in `error`, when no process has the channel open.
  bool Open(const std::string& channel, bool global, std::uint32_t* error = nullptr);
  const transport::ring_segment& ring() const { return *ring_; }
  std::uint32_t cursor() const;
  // Whether every record pushed at cursor values [from, to) has been read by all its receivers.
  bool AllRead(std::uint32_t from, std::uint32_t to) const;

 private:
  struct Mapping;
  std::unique_ptr<Mapping> mapping_;
  const transport::ring_segment* ring_ = nullptr;
};

// Prints a channel's ring as it is now: the connected receivers, the commit cursor, the epoch and
// every slot that a receiver still has to read. Opens nothing that is not there already.
// Exit code: 0, or 1 when no process has the channel open.
int PrintRing(const std::string& channel, bool global, bool json, LineOutput& out);

}  // namespace tools
