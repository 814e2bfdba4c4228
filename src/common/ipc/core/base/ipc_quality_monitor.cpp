#include "common/ipc/core/base/ipc_quality_monitor.h"

#include <utility>

#include "base/registry.h"
#include "base/text_encoding.h"
#include "install/install_context.h"

namespace ipc {
namespace {

IpcStatKey ReadKey(const nlohmann::json& j) {
  IpcStatKey key;
  key.from = j.at("from").get<std::int32_t>();
  key.to = j.at("to").get<std::int32_t>();
  key.msg_id = j.at("msg_id").get<std::int32_t>();
  return key;
}

nlohmann::json KeyJson(const IpcStatKey& key) {
  return nlohmann::json{{"from", key.from}, {"to", key.to}, {"msg_id", key.msg_id}};
}

template <typename Table, typename ReadRecord>
Table LoadTable(std::u16string_view text, ReadRecord read_record) {
  Table table;
  try {
    const auto parsed = nlohmann::json::parse(text.begin(), text.end());
    if (!parsed.is_array()) return {};
    for (const auto& element : parsed) {
      if (!element.is_array()) return {};
      auto record = read_record(element.at(1));
      table.emplace(ReadKey(element.at(0)), std::move(record));
    }
  } catch (const std::exception&) {
    return {};
  }
  return table;
}

// The stored value is removed before the sum is written back, whether or not it could be read.
std::u16string TakeStored(const IpcQualityMonitor::Store& store, std::u16string_view name) {
  std::u16string text = store.read ? store.read(name, IpcQualityMonitor::kDefaultText)
                                   : std::u16string(IpcQualityMonitor::kDefaultText);
  if (store.remove) store.remove(name);
  return text;
}

}  // namespace

std::size_t IpcStatKeyHash::operator()(const IpcStatKey& key) const {
  std::size_t hash = std::hash<std::int32_t>{}(key.from);
  hash = hash * 1'000'003 ^ std::hash<std::int32_t>{}(key.to);
  hash = hash * 1'000'003 ^ std::hash<std::int32_t>{}(key.msg_id);
  return hash;
}

IpcSendTable LoadSendTable(std::u16string_view text) {
  return LoadTable<IpcSendTable>(text, [](const nlohmann::json& j) {
    IpcSendRecord record;
    record.total = j.at("total").get<std::uint64_t>();
    record.success = j.at("success").get<std::uint64_t>();
    return record;
  });
}

IpcRecvTable LoadRecvTable(std::u16string_view text) {
  return LoadTable<IpcRecvTable>(text, [](const nlohmann::json& j) {
    IpcRecvRecord record;
    record.total = j.at("total").get<std::uint64_t>();
    record.avg_cost = j.at("avg_cost").get<std::int64_t>();
    return record;
  });
}

nlohmann::json SendTableJson(const IpcSendTable& table) {
  auto array = nlohmann::json::array();
  for (const auto& [key, record] : table) {
    array.push_back(nlohmann::json::array(
        {KeyJson(key), nlohmann::json{{"total", record.total}, {"success", record.success}}}));
  }
  return array;
}

nlohmann::json RecvTableJson(const IpcRecvTable& table) {
  auto array = nlohmann::json::array();
  for (const auto& [key, record] : table) {
    array.push_back(nlohmann::json::array(
        {KeyJson(key), nlohmann::json{{"total", record.total}, {"avg_cost", record.avg_cost}}}));
  }
  return array;
}

IpcQualityMonitor::Store IpcQualityMonitor::RegistryStore() {
  // The key is read at each use: the installation environment may be set up after the monitor.
  const auto key = [] { return InstallContext::Instance().RegistryKey(ComponentId::kProduct); };
  return {
      [key](std::u16string_view name, std::u16string_view fallback) {
        return RegistryReadString(kHkeyCurrentUser, key(), name, fallback);
      },
      [key](std::u16string_view name, std::u16string_view text) {
        return RegistryWriteString(kHkeyCurrentUser, key(), name, text);
      },
      [key](std::u16string_view name) {
        return RegistryDeleteValues(key(), {std::u16string(name)});
      },
  };
}

IpcQualityMonitor::IpcQualityMonitor(Store store) : store_(std::move(store)) {}

void IpcQualityMonitor::AddSend(const IpcStatKey& key, bool success) {
  std::lock_guard<std::mutex> lock(mutex_);
  IpcSendRecord& record = send_[key];
  record.total += 1;
  if (success) record.success += 1;
}

void IpcQualityMonitor::AddRecv(const IpcStatKey& key, std::uint64_t latency_us) {
  std::lock_guard<std::mutex> lock(mutex_);
  IpcRecvRecord& record = recv_[key];
  const std::uint64_t n = record.total;
  record.total = n + 1;
  record.avg_cost = static_cast<std::int64_t>(
      (latency_us + n * static_cast<std::uint64_t>(record.avg_cost)) / (n + 1));
}

void IpcQualityMonitor::ReportSend() {
  const IpcSendTable loaded = LoadSendTable(TakeStored(store_, kSendValueName));
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, stored] : loaded) {
      IpcSendRecord& current = send_[key];
      current.total += stored.total;
      current.success += stored.success;
    }
    text = SendTableJson(send_).dump();
  }
  if (store_.write) store_.write(kSendValueName, Utf8ToWide(text));
}

void IpcQualityMonitor::ReportRecv() {
  const IpcRecvTable loaded = LoadRecvTable(TakeStored(store_, kRecvValueName));
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, stored] : loaded) {
      IpcRecvRecord& current = recv_[key];
      const std::uint64_t total = stored.total + current.total;
      current.total = total;
      if (total != 0) {
        current.avg_cost = static_cast<std::int64_t>(
            ((total - stored.total) * static_cast<std::uint64_t>(current.avg_cost) +
             stored.total * static_cast<std::uint64_t>(stored.avg_cost)) /
            total);
      }
    }
    text = RecvTableJson(recv_).dump();
  }
  if (store_.write) store_.write(kRecvValueName, Utf8ToWide(text));
}

IpcSendTable IpcQualityMonitor::SendTable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return send_;
}

IpcRecvTable IpcQualityMonitor::RecvTable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recv_;
}

}  // namespace ipc
