// Looks into the IPC layer from outside: sends a packet to a client, listens on a channel as one
// more receiver, dumps a channel's ring, prints the stored IPC statistics and, on Linux, lists the
// named kernel objects. Readable text by default, JSON lines with --json.
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/ipc_client.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "os/object_listing.h"
#include "tools/common/tool_support.h"
#include "tools/inspector/ring_view.h"
#include "tools/inspector/stored_statistics.h"

namespace {

constexpr const char* kUsage =
    "usage: velmora-inspect <command> [options] [--json]\n"
    "  send --to CLIENT --msg-id N [--data JSON] [--from CLIENT] [--local]\n"
    "        send one packet to CLIENT's channel (a name or an id)\n"
    "  listen --channel NAME [--count N] [--local] [--out FILE] [--notify EVENT]\n"
    "        receive on a channel as one more receiver and print its packets\n"
    "  ring --channel NAME [--local]\n"
    "        the channel's ring: connections, cursor, epoch, occupied slots\n"
    "  stats\n"
    "        the IPC statistics stored by earlier runs\n"
    "  objects\n"
    "        the named kernel objects and whether anyone holds them (Linux)\n";

std::string Yes(bool value) { return value ? "yes" : "no"; }

int Send(const tools::Options& options, bool json) {
  const auto to = tools::ParseClient(options.get_or("to", ""));
  const auto from = tools::ParseClient(options.get_or("from", "VelLauncher"));
  const std::string id_text = options.get_or("msg-id", "");
  if (!to || !from || id_text.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  nlohmann::json data;
  try {
    data = nlohmann::json::parse(options.get_or("data", "null"));
  } catch (const nlohmann::json::exception& e) {
    std::fprintf(stderr, "--data is not JSON: %s\n", e.what());
    return 2;
  }
  const bool global = !options.has("local");
  ipc::IpcPacket packet(*from, *to, std::stoi(id_text), std::move(data));
  packet.uac = global;
  const std::string name = ipc::GetClientName(*to);
  const bool announced = ipc::IsClientIpcInited(*to, global);
  bool sent = false;
  if (name != ipc::kUnknownClientName) {
    ipc::IpcChannel channel(name, global);
    channel.ConnectSender();
    std::string text = packet.ToText();
    text.push_back('\0');
    sent = channel.Send(text, 200);
  }
  if (json) {
    std::printf("%s\n", nlohmann::json{{"channel", name},
                                       {"ipc_inited", announced},
                                       {"sent", sent},
                                       {"packet", packet}}
                            .dump()
                            .c_str());
  } else {
    std::printf("channel:    %s (%s)\nipc-inited: %s\nsent:       %s\npacket:     %s\n",
                name.c_str(), global ? "global" : "local", Yes(announced).c_str(),
                Yes(sent).c_str(), packet.ToText().c_str());
  }
  return sent ? 0 : 1;
}

int Listen(const tools::Options& options, bool json) {
  const auto channel_name = options.get("channel");
  if (!channel_name) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const long long count = std::stoll(options.get_or("count", "-1"));
  tools::LineOutput out;
  if (!out.Open(options.get("out"), options.get("notify"))) return 1;
  ipc::IpcChannel channel(*channel_name, !options.has("local"));
  if (!channel.ConnectReceiver()) {
    std::fprintf(stderr, "cannot connect to channel %s\n", channel_name->c_str());
    return 1;
  }
  if (json) {
    out.Json({{"event", "listening"}, {"channel", *channel_name}});
  } else {
    out.Line("listening on " + *channel_name);
  }
  for (long long got = 0; count < 0 || got < count;) {
    const std::string text = channel.Receive(200);
    if (text.empty()) continue;
    ++got;
    std::optional<ipc::IpcPacket> packet;
    try {
      packet = nlohmann::json::parse(text).get<ipc::IpcPacket>();
    } catch (const nlohmann::json::exception&) {
    }
    const std::string raw = text.back() == '\0' ? text.substr(0, text.size() - 1) : text;
    if (json) {
      out.Json(packet ? nlohmann::json{{"event", "packet"}, {"packet", *packet}}
                      : nlohmann::json{{"event", "message"}, {"text", raw}});
    } else if (packet) {
      out.Line("from " + ipc::GetClientName(packet->from) + " (" + std::to_string(packet->from) +
               ") to " + ipc::GetClientName(packet->to) + " msg_id " +
               std::to_string(packet->msg_id) + ": " + packet->data.dump() + "  [" +
               packet->unique_id.value_or("") + "]");
    } else {
      out.Line("message of " + std::to_string(text.size()) + " bytes, not a packet: " + raw);
    }
  }
  channel.Disconnect();
  return 0;
}

int Objects(bool json) {
  const auto objects = os::ListNamedObjects();
  if (!objects) {
    std::fputs("listing named objects is not available on this system\n", stderr);
    return 1;
  }
  for (const auto& object : *objects) {
    if (json) {
      std::printf("%s\n", nlohmann::json{{"kind", object.kind},
                                         {"name", WideToUtf8(object.name)},
                                         {"held", object.held}}
                              .dump()
                              .c_str());
    } else {
      std::printf("%-6s %-5s %s\n", object.kind.c_str(), object.held ? "held" : "free",
                  WideToUtf8(object.name).c_str());
    }
  }
  return 0;
}

}  // namespace

int main() {
  tools::Options options({"json", "local", "help"});
  const bool json = options.has("json");
  const std::string& command = options.command();
  if (!options.errors().empty() || options.has("help")) {
    for (const auto& error : options.errors()) std::fprintf(stderr, "%s\n", error.c_str());
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (command == "send") return Send(options, json);
  if (command == "listen") return Listen(options, json);
  if (command == "ring") return tools::PrintRing(options.get_or("channel", ""), !options.has("local"), json);
  if (command == "stats") return tools::PrintStoredStatistics(json);
  if (command == "objects") return Objects(json);
  std::fputs(kUsage, stderr);
  return 2;
}
