#include "bridge/protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/tests/same_json.h"
#include "test_support.h"

namespace bridge {
namespace {

using test::bytesOf;

Data message(std::vector<std::uint8_t> header, std::string_view body) {
  header.insert(header.end(), body.begin(), body.end());
  return header;
}

// A header for a body of `length` bytes with the given first five bytes.
std::vector<std::uint8_t> header(std::uint8_t m0, std::uint8_t m1, std::uint8_t major, std::uint8_t minor,
                                 std::uint8_t status, std::uint32_t length) {
  return {m0,
          m1,
          major,
          minor,
          status,
          0,
          0,
          static_cast<std::uint8_t>(length & 0xFF),
          static_cast<std::uint8_t>((length >> 8) & 0xFF),
          static_cast<std::uint8_t>((length >> 16) & 0xFF),
          static_cast<std::uint8_t>((length >> 24) & 0xFF)};
}

Data good(std::string_view body) {
  return message(header(0x70, 0x62, 1, 1, 1, static_cast<std::uint32_t>(body.size())), body);
}

TEST(ProtocolWrite, GoodResponseWithThirteenByteBodyIsByteExact) {
  const Data bytes = Protocol::writeGoodResponse(1);
  const Data expected = {0x70, 0x62, 0x01, 0x01, 0x01, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, '{',
                         '"',  'p',  'a',  'y',  'l',  'o',  'a',  'd',  '"',  ':',  '1',  '}'};
  EXPECT_EQ(bytes, expected);
}

TEST(ProtocolWrite, RequestAndBadResponseBodiesAreCompactObjects) {
  EXPECT_EQ(Protocol::writeRequest("ping", {{"a", 1}, {"b", {true, nullptr}}}),
            message(header(0x70, 0x62, 1, 1, 0, 51), R"({"method":"ping","payload":{"a":1,"b":[true,null]}})"));
  EXPECT_EQ(Protocol::writeBadResponse("no"), message(header(0x70, 0x62, 1, 1, 2, 16), R"({"message":"no"})"));
  // Text that is not UTF-8 is written with U+FFFD instead of throwing, and reads back.
  const Data bad = Protocol::writeBadResponse(
      "a\xff"
      "b");
  const auto read = Protocol::readResponse(bad);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->value,
            "a\xEF\xBF\xBD"
            "b");
}

TEST(ProtocolRead, RequestOf300BodyBytesCompletesOnlyWithItsLastByte) {
  const std::string filler(273, 'x');  // {"method":"m","payload":"<273>"} is 300 bytes
  const Data bytes = Protocol::writeRequest("m", filler);
  ASSERT_EQ(bytes.size(), 311u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 7, bytes.begin() + 11),
            (std::vector<std::uint8_t>{0x2C, 0x01, 0x00, 0x00}));
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const std::span prefix(bytes.data(), n);
    ASSERT_FALSE(Protocol::readRequest(prefix)) << n;
    ASSERT_EQ(Protocol::frameState(prefix), FrameState::incomplete) << n;
  }
  EXPECT_EQ(Protocol::frameState(bytes), FrameState::complete);
  EXPECT_EQ(Protocol::readRequest(bytes), (Request{"m", filler}));
}

TEST(ProtocolRead, MalformedInputsGiveNothing) {
  struct Case {
    const char* name;
    Data bytes;
    FrameState frame;
  };
  const std::string body = R"({"payload":1})";
  const Data whole = good(body);
  const std::vector<Case> cases = {
      {"empty", {}, FrameState::incomplete},
      {"ten bytes", Data(whole.begin(), whole.begin() + 10), FrameState::incomplete},
      {"wrong first magic byte", message(header(0x71, 0x62, 1, 1, 1, 13), body), FrameState::invalidHeader},
      {"wrong second magic byte", message(header(0x70, 0x63, 1, 1, 1, 13), body), FrameState::invalidHeader},
      {"major version 2", message(header(0x70, 0x62, 2, 1, 1, 13), body), FrameState::invalidHeader},
      {"minor version 2", message(header(0x70, 0x62, 1, 2, 1, 13), body), FrameState::invalidHeader},
      {"status 3", message(header(0x70, 0x62, 1, 1, 3, 13), body), FrameState::invalidHeader},
      {"status 255", message(header(0x70, 0x62, 1, 1, 255, 13), body), FrameState::invalidHeader},
      {"zero length", header(0x70, 0x62, 1, 1, 1, 0), FrameState::complete},
      {"body short of its length", message(header(0x70, 0x62, 1, 1, 1, 14), body), FrameState::incomplete},
      {"body not JSON", good("{payload:1}"), FrameState::complete},
      {"body truncated JSON", good(R"({"payload":)"), FrameState::complete},
      {"top-level number", good("1"), FrameState::complete},
      {"top-level text", good(R"("x")"), FrameState::complete},
      {"top-level null", good("null"), FrameState::complete},
      {"body not UTF-8", good("{\"payload\":\"\xff\"}"), FrameState::complete},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Protocol::frameState(c.bytes), c.frame);
    EXPECT_FALSE(Protocol::read(c.bytes));
    EXPECT_FALSE(Protocol::readResponse(c.bytes));
    EXPECT_FALSE(Protocol::readRequest(c.bytes));
  }
}

TEST(ProtocolRead, HopelessHeaderIsKnownFromItsFirstBytes) {
  EXPECT_EQ(Protocol::frameState(bytesOf("q")), FrameState::invalidHeader);
  EXPECT_EQ(Protocol::frameState(bytesOf("pb\x02")), FrameState::invalidHeader);
  EXPECT_EQ(Protocol::frameState(bytesOf("pb\x01\x01\x03")), FrameState::invalidHeader);
  EXPECT_EQ(Protocol::frameState(bytesOf("pb\x01\x01")), FrameState::incomplete);
}

TEST(ProtocolRead, ExtraBytesAreDroppedAndReservedBytesIgnored) {
  const std::string body = R"({"payload":[1,2]})";
  Data exact = good(body);
  Data extra = prefix_data(bytesOf("garbage after the message"), exact);
  Data reserved = exact;
  reserved[5] = 0xAB;
  reserved[6] = 0xFF;
  const Response expected{StatusCode::goodResponse, Json::array({1, 2})};
  EXPECT_EQ(Protocol::readResponse(exact), expected);
  EXPECT_EQ(Protocol::readResponse(extra), expected);
  EXPECT_EQ(Protocol::readResponse(reserved), expected);
}

TEST(ProtocolRead, AnnouncedLengthAboveTheCapIsRefusedFromTheHeader) {
  const Data over = header(0x70, 0x62, 1, 1, 0, Protocol::MAX_BODY_LENGTH + 1);
  EXPECT_EQ(Protocol::frameState(over), FrameState::tooLarge);
  EXPECT_FALSE(Protocol::read(over));
  EXPECT_EQ(Protocol::frameState(header(0x70, 0x62, 1, 1, 0, 0xFFFFFFFF)), FrameState::tooLarge);
  EXPECT_EQ(Protocol::frameState(header(0x70, 0x62, 1, 1, 0, Protocol::MAX_BODY_LENGTH)), FrameState::incomplete);
}

TEST(ProtocolRead, NestingDeeperThanTheLimitGivesNothing) {
  auto nested = [](std::size_t depth) {
    std::string text = R"({"payload":)";
    text += std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    return good(text);
  };
  EXPECT_TRUE(Protocol::readResponse(nested(Protocol::MAX_NESTING_DEPTH)));
  EXPECT_FALSE(Protocol::readResponse(nested(Protocol::MAX_NESTING_DEPTH + 1)));
  EXPECT_FALSE(Protocol::readResponse(nested(200000)));
  // Brackets inside text do not count.
  EXPECT_TRUE(Protocol::readResponse(good(R"({"payload":")" + std::string(1000, '[') + R"(\"["})")));
}

TEST(ProtocolRead, RequestKeys) {
  auto request = [](std::string_view body) {
    return message(header(0x70, 0x62, 1, 1, 0, static_cast<std::uint32_t>(body.size())), body);
  };
  EXPECT_EQ(Protocol::readRequest(request(R"({"method":"m","payload":null})")), (Request{"m", nullptr}));
  EXPECT_EQ(Protocol::readRequest(request(R"({"payload":{"k":"v"},"extra":1,"method":"m"})")),
            (Request{"m", {{"k", "v"}}}));
  EXPECT_FALSE(Protocol::readRequest(request(R"({"method":"m"})")));
  EXPECT_FALSE(Protocol::readRequest(request(R"({"method":7,"payload":1})")));
  EXPECT_FALSE(Protocol::readRequest(request(R"({"payload":1})")));

  testing::internal::CaptureStdout();
  EXPECT_FALSE(Protocol::readRequest(request(R"(["method","payload"])")));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unexpected JSON result: [\"method\",\"payload\"]\n");
}

TEST(ProtocolRead, ResponseKeysAndStatus) {
  auto response = [](std::uint8_t status, std::string_view body) {
    return message(header(0x70, 0x62, 1, 1, status, static_cast<std::uint32_t>(body.size())), body);
  };
  EXPECT_EQ(Protocol::readResponse(response(1, R"({"payload":null})")), (Response{StatusCode::goodResponse, nullptr}));
  EXPECT_EQ(Protocol::readResponse(response(2, R"({"message":"m","payload":1})")),
            (Response{StatusCode::badResponse, "m"}));
  EXPECT_FALSE(Protocol::readResponse(response(1, R"({"message":"m"})")));
  EXPECT_FALSE(Protocol::readResponse(response(2, R"({"message":5})")));
  EXPECT_FALSE(Protocol::readResponse(response(2, R"({"payload":"m"})")));

  testing::internal::CaptureStdout();
  EXPECT_FALSE(Protocol::readResponse(response(1, "[1,2]")));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unexpected JSON result: [1,2]\n");
}

TEST(ProtocolRead, EachReaderRefusesTheOtherSidesMessage) {
  EXPECT_FALSE(Protocol::readRequest(Protocol::writeGoodResponse({{"a", 1}})));
  EXPECT_FALSE(Protocol::readRequest(Protocol::writeBadResponse("x")));
  EXPECT_FALSE(Protocol::readResponse(Protocol::writeRequest("m", 1)));
  EXPECT_EQ(Protocol::read(Protocol::writeRequest("m", 1)),
            (std::pair{StatusCode::request, Json{{"method", "m"}, {"payload", 1}}}));
}

using testsupport::sameValue;

// The bridge reads bodies with a parser of its own; it must accept exactly what the
// JSON library accepts and give exactly the values it gives.
TEST(ProtocolRead, BodiesReadAsTheJsonLibraryReadsThem) {
  using namespace std::string_literals;
  const std::vector<std::string> bodies = {
      // whitespace, literals, structure
      " \t\r\n{ \"a\" : [ true , false , null ] }\r\n",
      "{}",
      "[]",
      "[[],{}]",
      R"({"a":{"b":{"c":[]}}})",
      "[true,]",
      "{\"a\":1,}",
      "[,1]",
      "{,}",
      "[1 2]",
      "{\"a\" 1}",
      "{\"a\":}",
      "{1:2}",
      "[tru]",
      "[truex]",
      "[nul]",
      "[fals]",
      "[True]",
      "{\"a\":1}}",
      "[1]]",
      "{\"a\":1",
      "[",
      "{",
      "",
      " ",
      "\v[]",
      "\f[]",
      // numbers
      "[0,-0,1,-1,42,007]",
      "[01]",
      "[-]",
      "[1.]",
      "[.5]",
      "[1e]",
      "[1e+]",
      "[+1]",
      "[0x10]",
      "[1.5,-2.25e3,1E2,1e-2]",
      "[-0.0,0.0,0e0,-0e-0]",
      "[18446744073709551615,18446744073709551616,-9223372036854775808,-9223372036854775809]",
      "[9223372036854775807,9223372036854775808,123456789012345678901234567890]",
      "[1e400,-1e400,1e-400,2.5e-320]",
      "[0.1,0.30000000000000004,1.7976931348623157e308,4.9e-324]",
      "[1-2]",
      "[--1]",
      "[1e5.5]",
      "[NaN]",
      "[Infinity]",
      // strings and escapes
      R"(["", "plain", "\"\\\/\b\f\n\r\t"])",
      R"(["\u0041\u00e9\u20ac\ud83d\ude00"])",
      R"(["\u0000x"])",
      R"(["\ud800"])",
      R"(["\ud800x"])",
      R"(["\ud800\u0041"])",
      R"(["\udc00"])",
      R"(["\ud800\udbff"])",
      R"(["\u12"])",
      R"(["\u12g4"])",
      R"(["\x"])",
      R"(["\'"])",
      "[\"tab\there\"]",
      "[\"nl\nhere\"]",
      "[\"unterminated]",
      "[\"\\\"]",
      "[\"\x7f\"]",
      "[\"\x1f\"]",
      // UTF-8 inside strings
      "[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"]",
      "[\"\xc0\x80\"]",
      "[\"\xc1\xbf\"]",
      "[\"\xc2\"]",
      "[\"\xe0\x80\x80\"]",
      "[\"\xe0\xa0\x80\"]",
      "[\"\xed\x9f\xbf\"]",
      "[\"\xed\xa0\x80\"]",
      "[\"\xef\xbf\xbf\"]",
      "[\"\xf0\x8f\xbf\xbf\"]",
      "[\"\xf0\x90\x80\x80\"]",
      "[\"\xf4\x8f\xbf\xbf\"]",
      "[\"\xf4\x90\x80\x80\"]",
      "[\"\xf5\x80\x80\x80\"]",
      "[\"\x80\"]",
      "[\"\xe2\x82\"]",
      "[\"\xff\"]",
      "\xff[]",
      // objects: repeated keys (the last wins), order, unicode keys
      R"({"a":1,"a":2})",
      R"({"a":[1],"a":{"b":2}})",
      R"({"b":1,"a":2,"c":3,"a":4})",
      R"({"\u00e9":1,"é":2})",
      // byte order mark and NUL bytes
      "\xef\xbb\xbf{}",
      "\xef\xbb{}",
      "\xef{}",
      " \xef\xbb\xbf{}",
      "\xef\xbb\xbf\xef\xbb\xbf{}",
      "{}\0"s,
      "{} \0trailing"s,
      "{\"a\":1\0}"s,
      "[1,\0]"s,
      "\0{}"s,
      "[\"a\0b\"]"s,
      // what may follow the top level
      "{} {}",
      "{}x",
      "[] ",
      "[]\n\n",
      // top levels that are no container
      "1",
      "\"x\"",
      "null",
      "true",
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(testing::PrintToString(body));
    const Json expected = Json::parse(body, nullptr, /*allow_exceptions=*/false);
    const auto read = Protocol::read(good(body));
    if (expected.is_discarded() || !(expected.is_object() || expected.is_array())) {
      EXPECT_FALSE(read);
      continue;
    }
    ASSERT_TRUE(read);
    EXPECT_TRUE(sameValue(read->second, expected)) << read->second.dump() << " vs " << expected.dump();
  }
}

// Requests and responses are read without their outer object being built; the member
// that counts is the last of its name, and the others are still checked.
TEST(ProtocolRead, MessageMembersFollowTheLastOfTheirNameAndTheRestMustBeValid) {
  auto request = [](std::string_view body) {
    return message(header(0x70, 0x62, 1, 1, 0, static_cast<std::uint32_t>(body.size())), body);
  };
  EXPECT_EQ(Protocol::readRequest(request(R"({"method":"a","payload":1,"method":"b","payload":[2]})")),
            (Request{"b", Json::array({2})}));
  EXPECT_FALSE(Protocol::readRequest(request(R"({"method":"a","payload":1,"method":2})")));
  EXPECT_FALSE(Protocol::readRequest(request(R"({"method":"a","payload":1,"other":[1,}})")));
  EXPECT_FALSE(Protocol::readRequest(request(R"({"method":"a","payload":1} x)")));
  EXPECT_EQ(Protocol::readResponse(good(R"({"payload":1,"payload":{"k":-3}})")),
            (Response{StatusCode::goodResponse, {{"k", -3}}}));
  EXPECT_FALSE(Protocol::readResponse(good(R"({"payload":1,"message":"\ud800"})")));
}

TEST(ProtocolRoundTrip, WrittenMessagesReadBack) {
  const std::vector<Json> payloads = {
      nullptr, Json::array({1, "two", nullptr}), Json::object(), {{"nested", {{"deep", {1.5, false}}}}}, "text", -42};
  for (const auto& payload : payloads) {
    SCOPED_TRACE(payload.dump());
    EXPECT_EQ(Protocol::readResponse(Protocol::writeGoodResponse(payload)),
              (Response{StatusCode::goodResponse, payload}));
    EXPECT_EQ(Protocol::readRequest(Protocol::writeRequest("method", payload)), (Request{"method", payload}));
  }
  EXPECT_EQ(Protocol::readResponse(Protocol::writeBadResponse("went wrong: \"quoted\"")),
            (Response{StatusCode::badResponse, "went wrong: \"quoted\""}));
}

TEST(PrefixData, PrefixComesFirst) {
  const Data chunk = bytesOf("cd");
  EXPECT_EQ(prefix_data(chunk, std::nullopt), chunk);
  const std::optional<Data> prefix = bytesOf("ab");
  EXPECT_EQ(prefix_data(chunk, prefix), bytesOf("abcd"));
  EXPECT_EQ(prefix, bytesOf("ab"));  // the copying form leaves the prefix alone
  std::optional<Data> grown = bytesOf("ab");
  grown->reserve(16);
  const auto* storage = grown->data();
  const Data moved = prefix_data(chunk, std::move(grown));
  EXPECT_EQ(moved, bytesOf("abcd"));
  EXPECT_EQ(moved.data(), storage);  // appended in place
}

TEST(StatusCodeRaw, OnlyZeroToTwo) {
  EXPECT_EQ(statusCodeFromRawValue(0), StatusCode::request);
  EXPECT_EQ(statusCodeFromRawValue(1), StatusCode::goodResponse);
  EXPECT_EQ(statusCodeFromRawValue(2), StatusCode::badResponse);
  for (int raw = 3; raw < 256; ++raw) EXPECT_FALSE(statusCodeFromRawValue(static_cast<std::uint8_t>(raw)));
  EXPECT_EQ(Protocol::HEADER, (std::array<std::uint8_t, 4>{0x70, 0x62, 0x01, 0x01}));
}

}  // namespace
}  // namespace bridge
