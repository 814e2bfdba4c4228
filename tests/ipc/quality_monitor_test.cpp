#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"

namespace ipc {
namespace {

using nlohmann::json;

// The registry values as a map, with a trace of the calls in their order.
struct FakeStore {
  std::map<std::u16string, std::u16string> values;
  std::vector<std::string> calls;

  IpcQualityMonitor::Store Bind() {
    return {
        [this](std::u16string_view name, std::u16string_view fallback) {
          calls.push_back("read " + WideToUtf8(name));
          const auto found = values.find(std::u16string(name));
          return found == values.end() ? std::u16string(fallback) : found->second;
        },
        [this](std::u16string_view name, std::u16string_view text) {
          calls.push_back("write " + WideToUtf8(name));
          values[std::u16string(name)] = text;
          return true;
        },
        [this](std::u16string_view name) {
          calls.push_back("delete " + WideToUtf8(name));
          values.erase(std::u16string(name));
          return true;
        },
    };
  }
  json Stored(std::u16string_view name) { return json::parse(values.at(std::u16string(name))); }
};

constexpr IpcStatKey kKey{110009, 110002, 20001};

TEST(IpcQualityMonitor, SendCountsAddUpAcrossRuns) {
  FakeStore store;
  for (int run = 1; run <= 2; ++run) {
    IpcQualityMonitor monitor(store.Bind());
    monitor.AddSend(kKey, true);
    monitor.AddSend(kKey, false);
    monitor.ReportSend();
    const json expected =
        json::array({json::array({{{"from", 110009}, {"msg_id", 20001}, {"to", 110002}},
                                  {{"success", run * 1}, {"total", run * 2}}})});
    EXPECT_EQ(store.Stored(u"ipc_send_analysis_10"), expected);
  }
  EXPECT_EQ(store.calls, (std::vector<std::string>{
                             "read ipc_send_analysis_10", "delete ipc_send_analysis_10",
                             "write ipc_send_analysis_10", "read ipc_send_analysis_10",
                             "delete ipc_send_analysis_10", "write ipc_send_analysis_10"}));
}

TEST(IpcQualityMonitor, UnreadableStoredTotalsAreReplaced) {
  for (const std::u16string stored :
       {u"DEFAULT_VALUE", u"{\"a\":1}", u"[1,2]",
        u"[[{\"from\":1,\"to\":2}, {\"total\":1,\"success\":1}]]",
        u"[[{\"from\":1,\"to\":2,\"msg_id\":3},{\"total\":\"1\",\"success\":1}]]", u"[[", u""}) {
    SCOPED_TRACE(WideToUtf8(stored));
    FakeStore store;
    store.values[u"ipc_send_analysis_10"] = stored;
    IpcQualityMonitor monitor(store.Bind());
    monitor.AddSend(kKey, true);
    monitor.ReportSend();
    EXPECT_EQ(store.Stored(u"ipc_send_analysis_10").size(), 1u);
    EXPECT_EQ(monitor.SendTable().at(kKey).total, 1u);
  }
}

TEST(IpcQualityMonitor, ReceiveAveragesMergeWeightedByCount) {
  FakeStore store;
  store.values[u"ipc_recv_analysis_10"] =
      uR"([[{"from":110009,"to":110002,"msg_id":20001},{"total":2,"avg_cost":400}]])";
  IpcQualityMonitor monitor(store.Bind());
  monitor.AddRecv(kKey, 100);
  monitor.AddRecv(kKey, 300);
  EXPECT_EQ(monitor.RecvTable().at(kKey).total, 2u);
  EXPECT_EQ(monitor.RecvTable().at(kKey).avg_cost, 200);
  monitor.ReportRecv();
  const json stored = store.Stored(u"ipc_recv_analysis_10");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0][1], (json{{"avg_cost", 300}, {"total", 4}}));
}

TEST(IpcQualityMonitor, StoredKeysThisRunDidNotUseAreKept) {
  FakeStore store;
  store.values[u"ipc_recv_analysis_10"] =
      uR"([[{"from":1,"to":2,"msg_id":3},{"total":5,"avg_cost":7}],
           [{"from":1,"to":2,"msg_id":3},{"total":9,"avg_cost":9}]])";
  IpcQualityMonitor monitor(store.Bind());
  monitor.ReportRecv();
  // A repeated key keeps its first element.
  EXPECT_EQ(monitor.RecvTable().at(IpcStatKey{1, 2, 3}).total, 5u);
  EXPECT_EQ(monitor.RecvTable().at(IpcStatKey{1, 2, 3}).avg_cost, 7);
  EXPECT_EQ(store.Stored(u"ipc_recv_analysis_10").size(), 1u);
}

TEST(IpcQualityMonitor, ARunWithoutTrafficStoresEmptyArrays) {
  FakeStore store;
  store.values[u"ipc_send_analysis_10"] = u"garbage";
  IpcQualityMonitor monitor(store.Bind());
  monitor.ReportSend();
  monitor.ReportRecv();
  EXPECT_EQ(store.values.at(u"ipc_send_analysis_10"), u"[]");
  EXPECT_EQ(store.values.at(u"ipc_recv_analysis_10"), u"[]");
}

TEST(IpcQualityMonitor, LatencyAverageUsesUnsignedIntegerDivision) {
  IpcQualityMonitor monitor(FakeStore{}.Bind());
  monitor.AddRecv(kKey, 1);
  monitor.AddRecv(kKey, 2);
  monitor.AddRecv(kKey, 2);
  EXPECT_EQ(monitor.RecvTable().at(kKey).avg_cost, 1);  // (1)/1, (2+1)/2=1, (2+2)/3=1
}

}  // namespace
}  // namespace ipc
