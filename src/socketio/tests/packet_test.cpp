#include "socketio/packet.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "socketio/client.h"
#include "socketio/transport.h"

namespace sio {
namespace {

using json = nlohmann::json;

TEST(EnginePacketTest, DecodesEveryTypeAndRejectsOthers) {
  struct Case {
    std::string frame;
    bool ok;
    EnginePacketType type;
    std::string data;
  };
  const Case cases[] = {
      {R"(0{"sid":"a"})", true, EnginePacketType::open, R"({"sid":"a"})"},
      {"1", true, EnginePacketType::close, ""},
      {"2", true, EnginePacketType::ping, ""},
      {"3probe", true, EnginePacketType::pong, "probe"},
      {"42[\"e\"]", true, EnginePacketType::message, "2[\"e\"]"},
      {"5", true, EnginePacketType::upgrade, ""},
      {"6", true, EnginePacketType::noop, ""},
      {"", false, {}, ""},
      {"7", false, {}, ""},
      {"x42", false, {}, ""},
      {std::string("\0", 1), false, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    auto packet = decodeEnginePacket(c.frame);
    ASSERT_EQ(packet.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(packet->type, c.type);
      EXPECT_EQ(packet->data, c.data);
      EXPECT_EQ(encodeEnginePacket(*packet), c.frame);
    }
  }
}

TEST(EnginePacketTest, OpenHandshake) {
  auto info = decodeOpen(
      R"({"sid":"lv_VI97HAXpY6yYWAAAC","upgrades":[],"pingInterval":25000,"pingTimeout":20000,"maxPayload":1000000})");
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_EQ(info->sid, "lv_VI97HAXpY6yYWAAAC");
  EXPECT_EQ(info->pingInterval, 25000);
  EXPECT_EQ(info->pingTimeout, 20000);
  EXPECT_EQ(info->maxPayload, 1000000);
  EXPECT_TRUE(info->upgrades.empty());

  for (const char* bad : {"", "[]", "{}", R"({"sid":""})", R"({"sid":"a","pingInterval":1})",
                          R"({"sid":"a","pingInterval":"25000","pingTimeout":1})",
                          R"({"sid":"a","pingInterval":null,"pingTimeout":1})", R"({"sid":1})", "{"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(decodeOpen(bad));
  }
}

// Whatever numbers the server sends, the ping settings end up in a range whose
// sum cannot overflow.
TEST(EnginePacketTest, OpenHandshakeClampsPingSettings) {
  struct Case {
    std::string interval;
    std::string timeout;
    std::int64_t expectedInterval;
    std::int64_t expectedTimeout;
  };
  const Case cases[] = {
      {"25000", "20000", 25000, 20000},
      {"0", "999", kPingMillisMin, kPingMillisMin},
      {"1000", "1001", 1000, 1001},
      {"9223372036854775807", "9223372036854775807", kPingMillisMax, kPingMillisMax},
      {"18446744073709551615", "100000000000000000000", kPingMillisMax, kPingMillisMax},  // unsigned, float
      {"1e13", "10000000000000", kPingMillisMax, kPingMillisMax},
      {"-1", "-9223372036854775808", kPingMillisMin, kPingMillisMin},
      {"-1e300", "2500.7", kPingMillisMin, 2500},
      {"3600000", "3600001", 3600000, kPingMillisMax},
  };
  for (const auto& c : cases) {
    std::string text = R"({"sid":"a","pingInterval":)" + c.interval + R"(,"pingTimeout":)" + c.timeout + "}";
    SCOPED_TRACE(text);
    auto info = decodeOpen(text);
    ASSERT_TRUE(info) << info.error().message;
    EXPECT_EQ(info->pingInterval, c.expectedInterval);
    EXPECT_EQ(info->pingTimeout, c.expectedTimeout);
  }
  static_assert(kPingMillisMax <= std::numeric_limits<std::int64_t>::max() / 4);
}

// Packets the server sends, as text, and what they decode to.
TEST(PacketTest, DecodesServerPackets) {
  struct Case {
    std::string text;
    PacketType type;
    std::string nsp;
    std::optional<std::uint64_t> id;
    json data;
  };
  const Case cases[] = {
      {"0", PacketType::connect, "/", std::nullopt, nullptr},
      {R"(0{"sid":"x1"})", PacketType::connect, "/", std::nullopt, {{"sid", "x1"}}},
      {R"(0/admin,{"sid":"x1"})", PacketType::connect, "/admin", std::nullopt, {{"sid", "x1"}}},
      {"1", PacketType::disconnect, "/", std::nullopt, nullptr},
      {"1/admin,", PacketType::disconnect, "/admin", std::nullopt, nullptr},
      {R"(2["e",{"a":1}])", PacketType::event, "/", std::nullopt, json::array({"e", {{"a", 1}}})},
      {R"(2["e"])", PacketType::event, "/", std::nullopt, json::array({"e"})},
      {R"(20["e",1])", PacketType::event, "/", 0, json::array({"e", 1})},
      {R"(2734["e",null])", PacketType::event, "/", 734, json::array({"e", nullptr})},
      {R"(2/chat,12["e"])", PacketType::event, "/chat", 12, json::array({"e"})},
      {R"(318446744073709551615[])", PacketType::ack, "/", 18446744073709551615ull, json::array()},
      {R"(35[{"status":"ok"}])", PacketType::ack, "/", 5, json::array({{{"status", "ok"}}})},
      {R"(4{"message":"not authorized"})",
       PacketType::connectError,
       "/",
       std::nullopt,
       {{"message", "not authorized"}}},
      {R"(4"bad")", PacketType::connectError, "/", std::nullopt, "bad"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto header = decodePacketText(c.text);
    ASSERT_TRUE(header) << header.error().message;
    EXPECT_EQ(header->attachments, 0u);
    EXPECT_EQ(header->packet.type, c.type);
    EXPECT_EQ(header->packet.nsp, c.nsp);
    EXPECT_EQ(header->packet.id, c.id);
    EXPECT_EQ(header->packet.data, c.data);
    // What we encode decodes back to the same text.
    EXPECT_EQ(encodePacket(header->packet).text, c.text);
  }
}

TEST(PacketTest, RejectsMalformedPackets) {
  const std::string bad[] = {
      "",
      "7",
      "9[\"e\"]",
      "x",
      "2",                      // event without data
      "2{\"a\":1}",             // data not an array
      "2\"text\"",              // data not an array
      "2[]",                    // no event name
      "2[1,2]",                 // name not a text
      "2[\"e\"",                // truncated JSON
      "2[\"e\"]garbage",        // trailing text
      "25",                     // id and no data
      "218446744073709551616[\"e\"]",  // id beyond 64 bits
      "3[]",                    // ack without id
      "3{}",                    // ack data not an array
      "1[\"x\"]",               // disconnect with payload
      "0[1]",                   // connect payload not an object
      "4",                      // connect error without payload
      "4[1]",
      "5[\"e\"]",               // binary without count
      "5x-[\"e\"]",
      "51[\"e\"]",              // count without '-'
      "51001-[\"e\"]",          // too many attachments
      "2" + std::string(600, '[') + std::string(600, ']'),  // nested too deeply
  };
  for (const auto& text : bad) {
    SCOPED_TRACE(text.substr(0, 40));
    auto header = decodePacketText(text);
    EXPECT_FALSE(header);
    if (!header) {
      EXPECT_FALSE(header.error().message.empty());
    }
  }
}

TEST(PacketTest, EncodesClientPackets) {
  struct Case {
    Packet packet;
    std::string text;
  };
  const Case cases[] = {
      {makeConnect(), "0"},
      {makeConnect("/", {{"token", "t"}}), R"(0{"token":"t"})"},
      {makeConnect("/admin"), "0/admin,"},
      {Packet{PacketType::disconnect, "/", std::nullopt, nullptr}, "1"},
      {makeAck(7, {json{{"status", "ok"}}}), R"(37[{"status":"ok"}])"},
      {makeAck(0, {}), "30[]"},
      {makeAck(12, {1, "two", nullptr}, "/chat"), R"(3/chat,12[1,"two",null])"},
      {makeEvent("hello", {}), R"(2["hello"])"},
      {makeEvent("hello", {json::array({1, 2})}, 3), R"(23["hello",[1,2]])"},
      // Invalid UTF-8 from a caller is replaced, never thrown.
      {makeAck(1, {std::string("a\xff")}), "31[\"a\xEF\xBF\xBD\"]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto encoded = encodePacket(c.packet);
    EXPECT_EQ(encoded.text, c.text);
    EXPECT_TRUE(encoded.attachments.empty());
  }
}

TEST(PacketTest, BinaryAckUsesPlaceholdersAndAttachments) {
  auto encoded = encodePacket(makeAck(4, {json{{"file", json::binary({1, 2, 3})}}, json::binary({9})}));
  EXPECT_EQ(encoded.text, R"(62-4[{"file":{"_placeholder":true,"num":0}},{"_placeholder":true,"num":1}])");
  ASSERT_EQ(encoded.attachments.size(), 2u);
  EXPECT_EQ(encoded.attachments[0], (Bytes{1, 2, 3}));
  EXPECT_EQ(encoded.attachments[1], (Bytes{9}));
}

class PacketDecoderTest : public ::testing::Test {
 protected:
  PacketDecoder decoder;
};

TEST_F(PacketDecoderTest, ReassemblesBinaryEventWithAttachmentsInPlace) {
  auto first = decoder.feedText(R"(52-9["upload",{"a":{"_placeholder":true,"num":1}},{"_placeholder":true,"num":0}])");
  ASSERT_TRUE(first);
  EXPECT_FALSE(first->has_value());
  EXPECT_TRUE(decoder.awaitingAttachments());
  auto second = decoder.feedBinary({0xAA});
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->has_value());
  auto done = decoder.feedBinary({0xBB, 0xCC});
  ASSERT_TRUE(done) << done.error().message;
  ASSERT_TRUE(done->has_value());
  const Packet& packet = **done;
  EXPECT_EQ(packet.type, PacketType::binaryEvent);
  EXPECT_EQ(packet.id, 9u);
  ASSERT_EQ(packet.data.size(), 3u);
  EXPECT_EQ(packet.data[0], "upload");
  ASSERT_TRUE(packet.data[1]["a"].is_binary());
  EXPECT_EQ(static_cast<const Bytes&>(packet.data[1]["a"].get_binary()), (Bytes{0xBB, 0xCC}));
  ASSERT_TRUE(packet.data[2].is_binary());
  EXPECT_EQ(static_cast<const Bytes&>(packet.data[2].get_binary()), (Bytes{0xAA}));
  EXPECT_FALSE(decoder.awaitingAttachments());
}

TEST_F(PacketDecoderTest, RejectsBadPlaceholdersAndStrayFrames) {
  // A binary frame with nothing pending.
  EXPECT_FALSE(decoder.feedBinary({1}));

  struct Case {
    std::string text;
    std::size_t frames;
  };
  const Case cases[] = {
      {R"(51-["e",{"_placeholder":true,"num":1}])", 1},   // out of range
      {R"(51-["e",{"_placeholder":true,"num":-1}])", 1},
      {R"(51-["e",{"_placeholder":true,"num":"0"}])", 1},
      {R"(51-["e",{"_placeholder":true}])", 1},
      {R"(50-["e",{"_placeholder":true,"num":0}])", 0},   // no attachments at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto header = decoder.feedText(c.text);
    if (c.frames == 0) {
      EXPECT_FALSE(header);
      continue;
    }
    ASSERT_TRUE(header);
    std::expected<std::optional<Packet>, CodecError> result = std::optional<Packet>();
    for (std::size_t i = 0; i < c.frames; ++i) {
      result = decoder.feedBinary({0});
    }
    EXPECT_FALSE(result);
    EXPECT_FALSE(decoder.awaitingAttachments());
  }
}

TEST_F(PacketDecoderTest, TextPacketDropsAnIncompleteBinaryPacket) {
  ASSERT_TRUE(decoder.feedText(R"(52-["e",{"_placeholder":true,"num":0},{"_placeholder":true,"num":1}])"));
  ASSERT_TRUE(decoder.feedBinary({1}));
  auto next = decoder.feedText(R"(2["plain"])");
  ASSERT_TRUE(next);
  ASSERT_TRUE(next->has_value());
  EXPECT_EQ((*next)->data, json::array({"plain"}));
  EXPECT_FALSE(decoder.feedBinary({2}));  // the dropped packet's last frame is now stray
}

TEST(HelpersTest, ParsesSocketURLs) {
  struct Case {
    std::string url;
    bool ok;
    SocketURL expected;
  };
  const Case cases[] = {
      {"https://api.example.test", true, {true, "api.example.test", 443}},
      {"https://api.example.test/", true, {true, "api.example.test", 443}},
      {"HTTP://h:8080/x?y", true, {false, "h", 8080}},
      {"wss://h:1", true, {true, "h", 1}},
      {"ws://[::1]:3000", true, {false, "::1", 3000}},
      {"https://[::1]", true, {true, "::1", 443}},
      {"h:80", false, {}},
      {"ftp://h", false, {}},
      {"https://", false, {}},
      {"https://h:0", false, {}},
      {"https://h:65536", false, {}},
      {"https://h:x", false, {}},
      {"https://u@h", false, {}},
      {"https://[::1", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto parsed = parseSocketURL(c.url);
    ASSERT_EQ(parsed.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*parsed, c.expected);
    }
  }
}

TEST(HelpersTest, HandshakeTargetEncodesParameters) {
  EXPECT_EQ(handshakeTarget("/socket.io/", {}), "/socket.io/?EIO=4&transport=websocket");
  EXPECT_EQ(handshakeTarget("/socket.io", {{"token", "abc"}}), "/socket.io/?EIO=4&transport=websocket&token=abc");
  EXPECT_EQ(handshakeTarget("custom//", {{"token", "a b&c=d/é"}, {"EIO", "3"}, {"k+", "~._-"}}),
            "/custom/?EIO=4&transport=websocket&k%2B=~._-&token=a%20b%26c%3Dd%2F%C3%A9");
}

TEST(HelpersTest, ReconnectDelayBacksOffWithinBounds) {
  using std::chrono::milliseconds;
  struct Case {
    int attempt;
    double random;
    long expected;
  };
  const Case cases[] = {
      {0, 0.5, 1000}, {1, 0.5, 2000},      {2, 0.5, 4000},      {3, 0.5, 5000}, {40, 0.5, 5000},
      {0, 0.0, 500},  {0, 0.999999, 1499}, {3, 0.999999, 5000}, {3, 0.0, 2500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attempt);
    EXPECT_EQ(reconnectDelay(c.attempt, milliseconds(1000), milliseconds(5000), 0.5, c.random).count(), c.expected);
  }
  EXPECT_EQ(reconnectDelay(5, milliseconds(100), milliseconds(50), 0.0, 0.3).count(), 50);
  EXPECT_EQ(reconnectDelay(1000000, milliseconds(1), milliseconds(60000), 0.0, 0.0).count(), 60000);
}

TEST(HelpersTest, ParsesConnectToEntries) {
  struct Case {
    std::string entry;
    bool ok;
    ConnectTo expected;
  };
  const Case cases[] = {
      {"api.example.test:443:127.0.0.1:8443", true, {"api.example.test", "443", "127.0.0.1", "8443"}},
      {"::127.0.0.1:", true, {"", "", "127.0.0.1", ""}},
      {"h:443:[::1]:9000", true, {"h", "443", "::1", "9000"}},
      {"[::1]:80::81", true, {"::1", "80", "", "81"}},
      {"h:443:127.0.0.1", false, {}},
      {"h:443:127.0.0.1:1:2", false, {}},
      {"h:x:127.0.0.1:1", false, {}},
      {"h:443:127.0.0.1:70000", false, {}},
      {"h:443:[::1:1", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    auto parsed = parseConnectTo(c.entry);
    ASSERT_EQ(parsed.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(parsed->host, c.expected.host);
      EXPECT_EQ(parsed->port, c.expected.port);
      EXPECT_EQ(parsed->address, c.expected.address);
      EXPECT_EQ(parsed->addressPort, c.expected.addressPort);
    }
  }
}

// The acknowledgement handle on its own: sends nothing unless asked, once.
TEST(AckEmitterTest, DefaultHandleNeverSends) {
  SocketAckEmitter ack;
  EXPECT_FALSE(ack.expected());
  EXPECT_FALSE(ack.ackNum());
  ack.with(json{{"status", "ok"}});  // no effect, no crash
}

}  // namespace
}  // namespace sio
