#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/ipc/core/base/ipc_packet.h"
#include "os/child_process.h"
#include "os/named_objects.h"

namespace ipc_test {

// What the IPC core and the transport reported through the diagnostic hook while it lived.
struct Reported {
  int level = 0;
  std::string module;
  std::string text;
};

class ReportCapture {
 public:
  ReportCapture();
  ~ReportCapture();
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  std::vector<Reported> All() const;
  std::vector<Reported> Containing(const std::string& part) const;
  // Waits until `count` reports contain `part`; false when `timeout` ran out first.
  bool WaitFor(const std::string& part, std::size_t count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

 private:
  static void Hook(int level, const char* module, int line, const char* text);
  std::size_t CountLocked(const std::string& part) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Reported> reports_;
};

// Packets handled by a registered handler, in the order the handler saw them.
class PacketSink {
 public:
  // Registers itself for `msg_id` on the context's registry, handling on the handler pool's
  // thread; the handler returns `result`.
  explicit PacketSink(std::int32_t msg_id, bool result = true);
  ~PacketSink();

  bool WaitForCount(std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  std::vector<ipc::IpcPacketPtr> Packets() const;

 private:
  std::int32_t msg_id_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ipc::IpcPacketPtr> packets_;
};

// Sends raw bytes (a NUL is added) to a channel through a channel object of its own.
bool SendRaw(const std::string& channel, bool global, std::string text);

// One of the helper programs (bin/velmora-peer.exe, bin/velmora-inspect.exe) with its lines in
// a file and a notify event, so that waiting for a line never sleeps.
class ToolProcess {
 public:
  // `arguments` come first (a command word stays first), then the output options and, when
  // `stoppable`, a stop event.
  ToolProcess(const std::u16string& tool, const std::vector<std::string>& arguments,
              bool stoppable, const os::ChildProcess::Environment& environment = {});
  ~ToolProcess();

  bool started() const { return child_.has_value(); }
  // Waits until a line satisfies `match` (each line parsed as JSON); the line, or nothing after
  // `timeout`.
  std::optional<nlohmann::json> WaitForLine(
      const std::function<bool(const nlohmann::json&)>& match,
      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits until `count` lines satisfy `match`; those lines (fewer after `timeout`).
  std::vector<nlohmann::json> WaitForLines(
      const std::function<bool(const nlohmann::json&)>& match, std::size_t count,
      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool WaitReady() { return WaitForLine(Event("ready")).has_value(); }
  std::vector<nlohmann::json> Lines() const;
  // Sets the stop event (when there is one) and waits for the exit code.
  std::optional<std::uint32_t> Stop();

  static std::function<bool(const nlohmann::json&)> Event(const std::string& name);
  // A "packet" line of that msg_id.
  static std::function<bool(const nlohmann::json&)> Packet(std::int32_t msg_id);

 private:
  std::string out_path_;
  std::string stop_name_;
  os::NamedEvent notify_;
  os::NamedEvent stop_;
  std::optional<os::ChildProcess> child_;
};

// A replacement peer, e.g. PeerProcess({"--role", "emulator"}); it ends at Stop.
class PeerProcess : public ToolProcess {
 public:
  explicit PeerProcess(const std::vector<std::string>& arguments,
                       const os::ChildProcess::Environment& environment = {})
      : ToolProcess(u"velmora-peer.exe", arguments, true, environment) {}
};

// The inspector with a command, e.g. Inspector({"ring", "--channel", "VelEmulator", "--json"}).
class Inspector : public ToolProcess {
 public:
  explicit Inspector(const std::vector<std::string>& arguments)
      : ToolProcess(u"velmora-inspect.exe", arguments, false) {}
};

}  // namespace ipc_test
