// A stand-in for one of the product's long-running peers (the emulator, the client or the
// service): it announces itself with that peer's named objects, receives on its channel with the
// product's own IPC layer, prints every packet it gets as one JSON line and reacts to the
// launcher's requests as the real peer would. Tests and the demo start it.
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/text_encoding.h"
#include "common/ipc/core/base/handler.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/ipc_launch_event_helper.h"
#include "common/ipc/launch_payload_records.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/process.h"
#include "os/process_info.h"
#include "tools/common/tool_support.h"

namespace {

constexpr const char* kUsage =
    "usage: velmora-peer --role emulator|client|service [options]\n"
    "  --launch-result success|failure|none   what the emulator answers a launch (success)\n"
    "  --quitting          hold the emulator's quitting event\n"
    "  --quitting-until EVENT  with --quitting: let the quitting event go when EVENT is set\n"
    "  --vm-ready          hold the VM-ready mutex\n"
    "  --no-announce       do not hold the peer's announcing mutex\n"
    "  --local             receive and announce in the session namespace, not the global one\n"
    "  --start-dir DIR     as service or client, start the programs asked for (40007) from DIR\n"
    "  --out FILE          also append every line to FILE\n"
    "  --quiet             nothing on standard output\n"
    "  --notify EVENT      set this auto-reset event after every line\n"
    "  --stop-event EVENT  end when this event is set (else on a quit request, or never)\n";

constexpr std::u16string_view kQuittingEvent =
    u"EmulatorQuitting_{7B2F8A3C-E1D4-4F6A-9C5B-3D8E2A1F7B4C}";
constexpr std::u16string_view kVmReadyMutex = u"TOLQ_VM_READY_304766663";

struct Role {
  const char* name;
  ipc::IpcClientId client;
  const char16_t* announce_mutex;  // null: none
};

constexpr std::array<Role, 3> kRoles{{
    {"emulator", ipc::kClientEmulator, u"Global\\F083FC96-54BA-42C2-B64E-D06896C1A58B"},
    {"client", ipc::kClientVelAppstore, u"Global\\Velmora.exe"},
    {"service", ipc::kClientService, nullptr},
}};

constexpr std::int32_t kLaunchApp = 20001;
constexpr std::int32_t kQuit = 20007;
constexpr std::int32_t kStartProgram = 40007;

enum class LaunchResult { kSuccess, kFailure, kNone, kInvalid };

class Peer {
 public:
  Peer(const Role& role, LaunchResult launch_result, std::optional<std::string> start_dir,
       tools::LineOutput& out)
      : role_(role), launch_result_(launch_result), start_dir_(std::move(start_dir)), out_(out) {
    quit_ =
        std::move(os::NamedEvent::Create(u"", true, false, os::ObjectSecurity::kDefault).object);
  }

  const os::NamedEvent& quit_event() const { return quit_; }

  bool Handle(const ipc::IpcPacketPtr& packet) {
    out_.Json({{"event", "packet"}, {"packet", *packet}});
    if (role_.client == ipc::kClientEmulator && packet->msg_id == kLaunchApp) AnswerLaunch(*packet);
    if (role_.client == ipc::kClientEmulator && packet->msg_id == kQuit) quit_.Set();
    if (role_.client != ipc::kClientEmulator && packet->msg_id == kStartProgram && start_dir_) {
      StartProgram(*packet);
    }
    return true;
  }

 private:
  void AnswerLaunch(const ipc::IpcPacket& packet) {
    std::string trace_id;
    try {
      trace_id = packet.data.get<ipc::AppLaunchInfo>().client_trace_id.value_or("");
    } catch (const std::exception& e) {
      out_.Json({{"event", "bad-launch-info"}, {"error", e.what()}});
      return;
    }
    if (trace_id.empty() || launch_result_ == LaunchResult::kNone) return;
    const bool success = launch_result_ == LaunchResult::kSuccess;
    const std::u16string name =
        std::u16string(success ? ipc::kLaunchSuccessEventPrefix : ipc::kLaunchFailureEventPrefix) +
        Utf8ToWide(trace_id);
    auto event = os::NamedEvent::Open(name);
    const os::ErrorCode error = event.ok() ? event.object.Set() : event.error;
    out_.Json({{"event", "signalled"},
               {"result", success ? "success" : "failure"},
               {"trace_id", trace_id},
               {"error", error}});
  }

  // The service (or the client in its place) starts the named program of the product with the
  // given command line, without waiting for it.
  void StartProgram(const ipc::IpcPacket& packet) {
    std::string name;
    std::string param;
    try {
      name = packet.data.at("name").get<std::string>();
      param = packet.data.at("param").get<std::string>();
    } catch (const std::exception& e) {
      out_.Json({{"event", "bad-start-request"}, {"error", e.what()}});
      return;
    }
    const std::u16string directory = Utf8ToWide(*start_dir_);
    const os::ErrorCode error =
        os::ShellOpen(os::PathJoin(directory, Utf8ToWide(name)), Utf8ToWide(param), directory);
    out_.Json({{"event", "started"}, {"name", name}, {"param", param}, {"error", error}});
  }

  const Role& role_;
  LaunchResult launch_result_;
  std::optional<std::string> start_dir_;
  tools::LineOutput& out_;
  os::NamedEvent quit_;
};

// The mutex stays held by the main thread until Release; an existing one is only opened.
os::NamedMutex HoldMutex(std::u16string_view name) {
  return std::move(os::NamedMutex::Create(name, true, os::ObjectSecurity::kOpenToAll).object);
}

void Drop(os::NamedMutex& mutex) {
  if (!mutex.valid()) return;
  mutex.Release();
  mutex.Close();
}

}  // namespace

int main() {
  tools::Options options({"quitting", "vm-ready", "no-announce", "local", "quiet", "help"});
  const Role* role = nullptr;
  for (const Role& candidate : kRoles) {
    if (options.get("role") == candidate.name) role = &candidate;
  }
  const std::string result_text = options.get_or("launch-result", "success");
  const LaunchResult launch_result = result_text == "success"   ? LaunchResult::kSuccess
                                     : result_text == "failure" ? LaunchResult::kFailure
                                     : result_text == "none"    ? LaunchResult::kNone
                                                                : LaunchResult::kInvalid;
  if (options.has("help") || role == nullptr || launch_result == LaunchResult::kInvalid ||
      !options.errors().empty()) {
    for (const auto& error : options.errors()) std::fprintf(stderr, "%s\n", error.c_str());
    std::fputs(kUsage, stderr);
    return 2;
  }

  tools::LineOutput out;
  if (!out.Open(options.get("out"), options.get("notify"), !options.has("quiet"))) {
    std::fputs("cannot open the output file or the notify event\n", stderr);
    return 1;
  }
  tools::PrintReports(out);

  const bool global = !options.has("local");
  os::NamedMutex announce;
  if (role->announce_mutex != nullptr && !options.has("no-announce")) {
    announce = HoldMutex(role->announce_mutex);
  }
  os::NamedEvent quitting;
  if (options.has("quitting")) {
    quitting = std::move(
        os::NamedEvent::Create(kQuittingEvent, true, false, os::ObjectSecurity::kOpenToAll).object);
  }
  os::NamedMutex vm_ready;
  if (options.has("vm-ready")) vm_ready = HoldMutex(kVmReadyMutex);

  Peer peer(*role, launch_result, options.get("start-dir"), out);
  ipc::IpcContext& context = ipc::IpcContext::Instance();
  // Every packet, whatever its msg_id, is handled on the handler pool's thread itself, so that
  // UninitIpc has waited for every handling before `peer` goes.
  context.msg_handler()->SetFallback([&peer](const ipc::IpcPacketPtr& p) { return peer.Handle(p); },
                                     [](const ipc::IpcPacketPtr&, ipc::IpcTask task) { task(); });
  context.InitIpc(role->client, global);

  os::NamedEvent stop;
  if (const auto name = options.get("stop-event")) {
    stop = std::move(
        os::NamedEvent::Create(Utf8ToWide(*name), true, false, os::ObjectSecurity::kOpenToAll)
            .object);
  }
  // An emulator that shuts down slowly: its quitting event goes when the caller says so.
  os::NamedEvent quitting_over;
  if (const auto name = options.get("quitting-until"); name && quitting.valid()) {
    quitting_over = std::move(
        os::NamedEvent::Create(Utf8ToWide(*name), true, false, os::ObjectSecurity::kOpenToAll)
            .object);
  }
  out.Json({{"event", "ready"},
            {"role", role->name},
            {"client", ipc::GetClientName(role->client)},
            {"pid", os::CurrentProcessId()},
            {"global", global}});

  std::vector<const os::NamedEvent*> waits{&peer.quit_event()};
  if (stop.valid()) waits.push_back(&stop);
  if (quitting_over.valid()) waits.push_back(&quitting_over);
  while (true) {
    const os::WaitResult result = os::WaitForAnyEvent(waits, os::kInfiniteWait);
    if (!result.signaled() || waits[result.index] != &quitting_over) break;
    quitting.Close();
    waits.pop_back();
    out.Json({{"event", "quitting-over"}});
  }

  context.UninitIpc(false);
  Drop(vm_ready);
  Drop(announce);
  out.Json({{"event", "exit"}});
  return 0;
}
