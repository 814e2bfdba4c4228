#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/ipc/core/base/ipc_packet.h"
#include "os/process_info.h"

namespace ipc {
namespace {

using nlohmann::json;

IpcPacket Parse(const std::string& text) {
  return json::parse(text).get<IpcPacket>();
}

TEST(IpcPacket, FreshPacketCarriesEverythingButResponseChannel) {
  const std::uint64_t before = CurrentTimeUs();
  const IpcPacket packet(110009, 110002, 20001, json{{"pkg_name", "com.example"}});
  const json j = packet;
  const std::string text = packet.ToText();

  EXPECT_FALSE(j.contains("response_channel"));
  EXPECT_EQ(j.at("to_process_id"), 0u);
  EXPECT_EQ(j.at("from_process_id"), os::CurrentProcessId());
  EXPECT_EQ(j.at("handle_self_ipc"), false);
  EXPECT_EQ(j.at("uac"), IsProcessElevated());
  EXPECT_GE(j.at("send_time_us").get<std::uint64_t>(), before);
  EXPECT_LE(j.at("send_time_us").get<std::uint64_t>(), CurrentTimeUs());
  EXPECT_TRUE(
      std::regex_match(j.at("unique_id").get<std::string>(),
                       std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
  // Members come out sorted by key, compact.
  EXPECT_EQ(text.rfind(
                "{\"data\":{\"pkg_name\":\"com.example\"},\"from\":110009,\"from_process_id\":", 0),
            0u)
      << text;
  EXPECT_LT(text.find("\"handle_self_ipc\""), text.find("\"msg_id\""));
  EXPECT_LT(text.find("\"to_process_id\""), text.find("\"uac\""));
  EXPECT_EQ(text.find(' '), std::string::npos);
}

TEST(IpcPacket, PacketsOfTheSameMicrosecondDifferInIdentity) {
  const IpcPacket a(1, 2, 3, nullptr);
  const IpcPacket b(1, 2, 3, nullptr);
  EXPECT_NE(a.unique_id, b.unique_id);
}

TEST(IpcPacket, RoundTripKeepsEveryField) {
  IpcPacket packet(110009, 110003, 40007, json{{"name", "Velmora.exe"}, {"param", "x"}});
  packet.response_channel = "answer-1";
  packet.to_process_id = 77;
  const IpcPacket back = json::parse(packet.ToText()).get<IpcPacket>();
  EXPECT_EQ(json(back), json(packet));
}

TEST(IpcPacket, OptionalMembersFallBackToDefaults) {
  const std::string ids = R"("from":110002,"to":110009,"msg_id":7,"data":"d")";
  struct Case {
    std::string extra;
    void (*check)(const IpcPacket&);
  } cases[] = {
      {"",
       [](const IpcPacket& p) {
         EXPECT_EQ(p.uac, true);
         EXPECT_EQ(p.handle_self_ipc, false);
         EXPECT_EQ(p.to_process_id, 0u);
         EXPECT_EQ(p.from_process_id, 0u);
         EXPECT_FALSE(p.send_time_us);
         EXPECT_FALSE(p.unique_id);
         EXPECT_FALSE(p.response_channel);
       }},
      {R"(,"handle_self_ipc":"yes")",
       [](const IpcPacket& p) { EXPECT_EQ(p.handle_self_ipc, false); }},
      {R"(,"handle_self_ipc":true)",
       [](const IpcPacket& p) { EXPECT_EQ(p.handle_self_ipc, true); }},
      {R"(,"to_process_id":null)", [](const IpcPacket& p) { EXPECT_EQ(p.to_process_id, 0u); }},
      {R"(,"to_process_id":"12")", [](const IpcPacket& p) { EXPECT_EQ(p.to_process_id, 0u); }},
      {R"(,"send_time_us":-5)",
       [](const IpcPacket& p) { EXPECT_EQ(p.send_time_us, static_cast<std::uint64_t>(-5)); }},
      {R"(,"unique_id":12)", [](const IpcPacket& p) { EXPECT_FALSE(p.unique_id); }},
      {R"(,"uac":false,"unknown":1)", [](const IpcPacket& p) { EXPECT_EQ(p.uac, false); }},
      {R"(,"response_channel":"")",
       [](const IpcPacket& p) { EXPECT_EQ(p.response_channel, std::string()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    const IpcPacket p = Parse("{" + ids + c.extra + "}");
    EXPECT_EQ(p.from, 110002);
    EXPECT_EQ(p.to, 110009);
    EXPECT_EQ(p.msg_id, 7);
    EXPECT_EQ(p.data, "d");
    c.check(p);
  }
}

TEST(IpcPacket, RequiredMembersFailTheWholePacket) {
  // The JSON library's error ids: 403 key not found, 302 wrong type, 304 member access.
  const struct {
    const char* text;
    int error_id;
  } cases[] = {
      {R"({"from":1,"to":2,"msg_id":3})", 403},
      {R"({"to":2,"msg_id":3,"data":null})", 403},
      {R"({"from":true,"to":2,"msg_id":3,"data":null})", 302},
      {R"({"from":"1","to":2,"msg_id":3,"data":null})", 302},
      {R"([1,2,3])", 304},
  };
  for (const auto& c : cases) {
    try {
      Parse(c.text);
      ADD_FAILURE() << "parsed: " << c.text;
    } catch (const json::exception& e) {
      EXPECT_EQ(e.id, c.error_id) << c.text << ": " << e.what();
    }
  }
}

TEST(IpcPacket, FractionalIdsAreTruncatedAndTheWireNulEndsTheText) {
  std::string text = R"({"from":110002.9,"to":110009,"msg_id":-3.5,"data":[1]})";
  text.push_back('\0');
  const IpcPacket p = Parse(text);
  EXPECT_EQ(p.from, 110002);
  EXPECT_EQ(p.msg_id, -3);
}

TEST(IpcPacket, TextKeepsUtf8RawAndRefusesInvalidUtf8) {
  IpcPacket packet(1, 2, 3, json("caf\xC3\xA9"));
  EXPECT_NE(packet.ToText().find("\"data\":\"caf\xC3\xA9\""), std::string::npos);
  packet.data = std::string("bad \xFF");
  EXPECT_THROW(packet.ToText(), json::type_error);
}

}  // namespace
}  // namespace ipc
