// Looks into the IPC layer from outside: sends a packet to a client, listens on a channel as one
// more receiver, dumps a channel's ring, prints the stored IPC statistics and, on Linux, lists the
// named kernel objects. Readable text by default, JSON lines with --json.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

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
    "usage: velmora-inspect <command> [options] [--json] [--out FILE] [--notify EVENT] [--quiet]\n"
    "  send --to CLIENT --msg-id N [--data JSON] [--from CLIENT] [--local]\n"
    "        send one packet to CLIENT's channel (a name or an id)\n"
    "  listen --channel NAME [--count N] [--local]\n"
    "        receive on a channel as one more receiver and print its packets\n"
    "  ring --channel NAME [--local]\n"
    "        the channel's ring: connections, cursor, epoch, occupied slots\n"
    "  stats\n"
    "        the IPC statistics stored by earlier runs\n"
    "  objects\n"
    "        the named kernel objects and whether anyone holds them (Linux)\n"
    "--out appends every line to FILE as well, --notify sets an auto-reset event after each.\n";

std::string Yes(bool value) {
  return value ? "yes" : "no";
}

int Send(const tools::Options& options, bool json, tools::LineOutput& out) {
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
  bool read = false;
  if (name != ipc::kUnknownClientName) {
    ipc::IpcChannel channel(name, global);
    channel.ConnectSender();
    tools::RingReader ring;
    const bool watched = ring.Open(name, global);
    const std::uint32_t first = watched ? ring.cursor() : 0;
    std::string text = packet.ToText();
    text.push_back('\0');
    sent = channel.Send(text, 200);
    // A long packet travels in a shared chunk that lives only while some process holds its
    // pool: stay until every receiver has read it (at most 2 s), so that leaving does not take
    // the chunk away from a receiver that has not mapped the pool yet.
    if (sent && watched) {
      const std::uint32_t last = ring.cursor();
      for (int waited = 0; waited < 2000 && !read; ++waited) {
        read = ring.AllRead(first, last);
        if (!read) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  if (json) {
    out.Json({{"channel", name},
              {"ipc_inited", announced},
              {"sent", sent},
              {"read", read},
              {"packet", packet}});
  } else {
    out.Line("channel:    " + name + (global ? " (global)" : " (local)"));
    out.Line("ipc-inited: " + Yes(announced));
    out.Line("sent:       " + Yes(sent) +
             (sent ? (read ? ", read by every receiver" : ", not read yet") : ""));
    out.Line("packet:     " + packet.ToText());
  }
  return sent ? 0 : 1;
}

int Listen(const tools::Options& options, bool json, tools::LineOutput& out) {
  const auto channel_name = options.get("channel");
  if (!channel_name) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const long long count = std::stoll(options.get_or("count", "-1"));
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

int Objects(bool json, tools::LineOutput& out) {
  const auto objects = os::ListNamedObjects();
  if (!objects) {
    std::fputs("listing named objects is not available on this system\n", stderr);
    return 1;
  }
  for (const auto& object : *objects) {
    if (json) {
      out.Json({{"kind", object.kind}, {"name", WideToUtf8(object.name)}, {"held", object.held}});
    } else {
      std::string kind = object.kind;
      kind.resize(6, ' ');
      out.Line(kind + " " + (object.held ? "held " : "free ") + " " + WideToUtf8(object.name));
    }
  }
  return 0;
}

}  // namespace

int main() {
  tools::Options options({"json", "local", "quiet", "help"});
  const bool json = options.has("json");
  const std::string& command = options.command();
  if (!options.errors().empty() || options.has("help")) {
    for (const auto& error : options.errors()) std::fprintf(stderr, "%s\n", error.c_str());
    std::fputs(kUsage, stderr);
    return 2;
  }
  tools::LineOutput out;
  if (!out.Open(options.get("out"), options.get("notify"), !options.has("quiet"))) {
    std::fputs("cannot open the output file or the notify event\n", stderr);
    return 1;
  }
  if (command == "send") return Send(options, json, out);
  if (command == "listen") return Listen(options, json, out);
  if (command == "ring") {
    return tools::PrintRing(options.get_or("channel", ""), !options.has("local"), json, out);
  }
  if (command == "stats") return tools::PrintStoredStatistics(json, out);
  if (command == "objects") return Objects(json, out);
  std::fputs(kUsage, stderr);
  return 2;
}
