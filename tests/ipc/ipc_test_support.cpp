#include "ipc_test_support.h"

#include <sstream>

#include "base/text_encoding.h"
#include "common/ipc/core/base/handler.h"
#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/ipc_context.h"
#include "object_test_support.h"
#include "registry_sandbox.h"
#include "test_support.h"
#include "transport/utility/log.h"

namespace ipc_test {
namespace {

// Every run of this program gets its own named-object folder and registry (on Linux; the
// Windows build uses the prefix's), inherited by the peers and children it starts.
[[maybe_unused]] auto* const kObjects =
    ::testing::AddGlobalTestEnvironment(new test_support::FreshObjectFolder);
[[maybe_unused]] const bool kSandbox = test_support::UseRegistrySandbox();

std::mutex capture_mutex;
ReportCapture* capture = nullptr;

}  // namespace

ReportCapture::ReportCapture() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  capture = this;
  transport::log::set_hook(&ReportCapture::Hook);
}

ReportCapture::~ReportCapture() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  transport::log::set_hook(nullptr);
  capture = nullptr;
}

void ReportCapture::Hook(int level, const char* module, int, const char* text) {
  std::lock_guard<std::mutex> lock(capture_mutex);
  if (capture == nullptr) return;
  {
    std::lock_guard<std::mutex> own(capture->mutex_);
    capture->reports_.push_back(Reported{level, module, text});
  }
  capture->changed_.notify_all();
}

std::vector<Reported> ReportCapture::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

std::vector<Reported> ReportCapture::Containing(const std::string& part) const {
  std::vector<Reported> found;
  for (const auto& report : All()) {
    if (report.text.find(part) != std::string::npos) found.push_back(report);
  }
  return found;
}

std::size_t ReportCapture::CountLocked(const std::string& part) const {
  std::size_t count = 0;
  for (const auto& report : reports_) {
    if (report.text.find(part) != std::string::npos) ++count;
  }
  return count;
}

bool ReportCapture::WaitFor(const std::string& part, std::size_t count,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return CountLocked(part) >= count; });
}

PacketSink::PacketSink(std::int32_t msg_id, bool result) : msg_id_(msg_id) {
  ipc::IpcContext::Instance().msg_handler()->Register(
      msg_id,
      [this, result](const ipc::IpcPacketPtr& packet) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          packets_.push_back(packet);
        }
        changed_.notify_all();
        return result;
      },
      [](const ipc::IpcPacketPtr&, ipc::IpcTask task) { task(); });
}

PacketSink::~PacketSink() {
  ipc::IpcContext::Instance().msg_handler()->Unregister(msg_id_);
}

bool PacketSink::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return packets_.size() >= count; });
}

std::vector<ipc::IpcPacketPtr> PacketSink::Packets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packets_;
}

bool SendRaw(const std::string& channel, bool global, std::string text) {
  ipc::IpcChannel sender(channel, global);
  sender.ConnectSender();
  text.push_back('\0');
  return sender.Send(text, 200);
}

ToolProcess::ToolProcess(const std::u16string& tool, const std::vector<std::string>& arguments,
                         bool stoppable, const os::ChildProcess::Environment& environment) {
  static test_support::TempFolder folder;
  const std::string tag = test_support::UniqueName("tool");
  out_path_ = folder.narrow() + "/" + tag + ".jsonl";
  stop_name_ = tag + "-stop";
  notify_ = std::move(os::NamedEvent::Create(Utf8ToWide(tag + "-notify"), false, false,
                                             os::ObjectSecurity::kDefault)
                          .object);
  std::vector<std::u16string> wide;
  for (const auto& argument : arguments) wide.push_back(Utf8ToWide(argument));
  wide.insert(wide.end(), {u"--out", Utf8ToWide(out_path_), u"--notify",
                           Utf8ToWide(tag + "-notify"), u"--quiet"});
  if (stoppable) {
    stop_ = std::move(
        os::NamedEvent::Create(Utf8ToWide(stop_name_), true, false, os::ObjectSecurity::kOpenToAll)
            .object);
    wide.push_back(u"--stop-event");
    wide.push_back(Utf8ToWide(stop_name_));
  }
  child_ = os::ChildProcess::Spawn(test_support::ToolPath(tool), wide, environment);
}

ToolProcess::~ToolProcess() {
  if (child_) Stop();
}

std::vector<nlohmann::json> ToolProcess::Lines() const {
  std::vector<nlohmann::json> lines;
  std::istringstream in(test_support::ReadFileBytes(Utf8ToWide(out_path_)));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return lines;
}

std::optional<nlohmann::json> ToolProcess::WaitForLine(
    const std::function<bool(const nlohmann::json&)>& match, std::chrono::milliseconds timeout) {
  auto found = WaitForLines(match, 1, timeout);
  if (found.empty()) return std::nullopt;
  return found.front();
}

std::vector<nlohmann::json> ToolProcess::WaitForLines(
    const std::function<bool(const nlohmann::json&)>& match, std::size_t count,
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto matching = [&] {
    std::vector<nlohmann::json> found;
    for (const auto& line : Lines()) {
      if (match(line)) found.push_back(line);
    }
    return found;
  };
  for (;;) {
    auto found = matching();
    if (found.size() >= count) return found;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !child_) return found;
    // Set after every line the peer writes; a line written since the read above keeps it set.
    notify_.Wait(static_cast<std::uint32_t>(left.count()));
    // A peer that ended has written all it will.
    if (child_->Wait(0)) return matching();
  }
}

std::optional<std::uint32_t> ToolProcess::Stop() {
  if (!child_) return std::nullopt;
  if (stop_.valid()) stop_.Set();
  auto code = child_->Wait(20'000);
  if (!code) child_->Kill();
  child_.reset();
  return code;
}

std::function<bool(const nlohmann::json&)> ToolProcess::Packet(std::int32_t msg_id) {
  return [msg_id](const nlohmann::json& line) {
    return line.is_object() && line.value("event", "") == "packet" &&
           line["packet"].value("msg_id", 0) == msg_id;
  };
}

std::function<bool(const nlohmann::json&)> ToolProcess::Event(const std::string& name) {
  return [name](const nlohmann::json& line) {
    return line.is_object() && line.value("event", "") == name;
  };
}

}  // namespace ipc_test
