#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "common/ipc/core/base/ipc_client.h"

namespace ipc {

struct IpcStatKey {
  IpcClientId from = 0;
  IpcClientId to = 0;
  std::int32_t msg_id = 0;
  bool operator==(const IpcStatKey&) const = default;
};

struct IpcStatKeyHash {
  std::size_t operator()(const IpcStatKey& key) const;
};

struct IpcSendRecord {
  std::uint64_t total = 0;    // send attempts
  std::uint64_t success = 0;  // attempts the transport accepted
};

struct IpcRecvRecord {
  std::uint64_t total = 0;    // packets received and parsed
  std::int64_t avg_cost = 0;  // mean delivery time in microseconds
};

using IpcSendTable = std::unordered_map<IpcStatKey, IpcSendRecord, IpcStatKeyHash>;
using IpcRecvTable = std::unordered_map<IpcStatKey, IpcRecvRecord, IpcStatKeyHash>;

// The stored form of both tables: a JSON array of [{"from","to","msg_id"}, {counts}] pairs.
// Loading is all or nothing: text that is not such an array gives an empty table; a repeated key
// keeps its first element.
IpcSendTable LoadSendTable(std::u16string_view text);
IpcRecvTable LoadRecvTable(std::u16string_view text);
nlohmann::json SendTableJson(const IpcSendTable& table);
nlohmann::json RecvTableJson(const IpcRecvTable& table);

// Counts, per (sender, target, message id), what this process sent and received. At a normal
// shutdown the counts are added to the totals earlier runs stored and written back.
class IpcQualityMonitor {
 public:
  // Where the totals are kept: the values under the product key in HKEY_CURRENT_USER. Tests
  // replace it.
  struct Store {
    // The stored text, or `fallback` when the value cannot be read.
    std::function<std::u16string(std::u16string_view name, std::u16string_view fallback)> read;
    std::function<bool(std::u16string_view name, std::u16string_view text)> write;
    std::function<bool(std::u16string_view name)> remove;
  };

  static constexpr std::u16string_view kSendValueName = u"ipc_send_analysis_10";
  static constexpr std::u16string_view kRecvValueName = u"ipc_recv_analysis_10";
  static constexpr std::u16string_view kDefaultText = u"DEFAULT_VALUE";

  // The product key of the installation environment in HKEY_CURRENT_USER.
  static Store RegistryStore();

  explicit IpcQualityMonitor(Store store);

  void AddSend(const IpcStatKey& key, bool success);
  // n = total; total = n + 1; avg = (latency + n * avg) / (n + 1), in unsigned 64-bit arithmetic.
  void AddRecv(const IpcStatKey& key, std::uint64_t latency_us);

  // Load the stored totals (deleting the stored value whatever its content), add them to this
  // run's counts and write the sums back.
  void ReportSend();
  void ReportRecv();

  IpcSendTable SendTable() const;
  IpcRecvTable RecvTable() const;

 private:
  Store store_;
  mutable std::mutex mutex_;
  IpcSendTable send_;
  IpcRecvTable recv_;
};

}  // namespace ipc
