// The client against peers played by hand on raw sockets.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <thread>

#include "allocation_probe.h"
#include "bridge/client.h"
#include "test_support.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using namespace std::string_view_literals;
using test::Fd;
using test::RawListener;

// Runs `peer` on the one connection it accepts while the test makes one request.
class RawPeer {
 public:
  explicit RawPeer(std::function<void(const Fd&)> peer)
      : thread_([this, peer = std::move(peer)] {
          Fd conn = listener_.accept();
          if (conn) peer(conn);
        }) {}
  ~RawPeer() { thread_.join(); }

  std::uint16_t port() const { return listener_.port(); }
  std::expected<Json, PBError> request(const Json& payload = {{"q", 1}},
                                       std::optional<std::chrono::milliseconds> timeout = 10000ms) {
    return PBClient("127.0.0.1", port(), timeout).request("method", payload);
  }

 private:
  RawListener listener_;
  std::thread thread_;
};

// Reads the client's request up to the end of its stream.
Data readRequest(const Fd& conn) { return conn.readToEnd().value_or(Data{}); }

TEST(ClientAgainstRawPeer, SendsTheRequestAndEndsItsSide) {
  std::promise<Data> seen;
  RawPeer peer([&](const Fd& conn) {
    seen.set_value(readRequest(conn));  // returns only once the client ended its side
    conn.sendAll(Protocol::writeGoodResponse("ok"));
  });
  EXPECT_EQ(peer.request({{"q", 1}}), Json("ok"));
  EXPECT_EQ(seen.get_future().get(), Protocol::writeRequest("method", {{"q", 1}}));
}

TEST(ClientAgainstRawPeer, PeerThatClosesWithoutAnswering) {
  RawPeer peer([](const Fd& conn) { readRequest(conn); });
  const auto result = peer.request();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), PBError::clientError(std::string(kClientEmpty)));
}

TEST(ClientAgainstRawPeer, PeerThatSendsPartOfAResponseAndCloses) {
  const Data whole = Protocol::writeGoodResponse({{"key", "a value long enough"}});
  for (const std::size_t cut :
       {std::size_t{1}, std::size_t{5}, Protocol::HEADER_LENGTH, whole.size() / 2, whole.size() - 1}) {
    SCOPED_TRACE(cut);
    RawPeer peer([&](const Fd& conn) {
      readRequest(conn);
      conn.sendAll(std::span(whole.data(), cut));
    });
    const auto result = peer.request();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), PBError::clientError(std::string(kClientIncomplete)));
  }
}

TEST(ClientAgainstRawPeer, AnnouncedLengthIsNotReservedBeforeTheBytesArrive) {
  Data head = Protocol::writeGoodResponse(std::string(100, 'x'));
  const std::uint32_t announced = Protocol::MAX_BODY_LENGTH - 1;
  for (std::size_t i = 0; i < 4; ++i) head[7 + i] = static_cast<std::uint8_t>(announced >> (8 * i));
  RawPeer peer([&](const Fd& conn) {
    readRequest(conn);
    conn.sendAll(head);
  });
  test::resetLargestAllocation();
  const auto result = peer.request();
  EXPECT_LT(test::largestAllocation(), std::size_t{64} * 1024) << "the client allocated for bytes that never came";
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), PBError::clientError(std::string(kClientIncomplete)));
}

TEST(ClientAgainstRawPeer, WholeResponseOnAConnectionKeptOpen) {
  // A 1,000-byte body in small pieces, with bytes after it; the peer keeps its side
  // open until the client has closed, so only the body's length can end the read.
  const std::string filler(1000 - std::string(R"({"payload":""})").size(), 'w');
  Data response = Protocol::writeGoodResponse(filler);
  ASSERT_EQ(Protocol::announcedLength(response), 1000u);
  response.insert(response.end(), {'t', 'r', 'a', 'i', 'l'});
  RawPeer peer([&](const Fd& conn) {
    readRequest(conn);
    for (std::size_t at = 0; at < response.size(); at += 7) {
      conn.sendAll(std::span(response.data() + at, std::min<std::size_t>(7, response.size() - at)));
    }
    conn.readToEnd();  // until the client closes
  });
  EXPECT_EQ(peer.request(), Json(filler));
}

TEST(ClientAgainstRawPeer, ResponseBeforeTheRequestEnds) {
  // The peer answers without reading anything and keeps the connection open.
  RawPeer peer([](const Fd& conn) {
    conn.sendAll(Protocol::writeGoodResponse(Json::array({1, 2})));
    conn.readToEnd();
  });
  EXPECT_EQ(peer.request(), Json::array({1, 2}));
}

TEST(ClientAgainstRawPeer, BadResponseTextAndNullPayload) {
  {
    RawPeer peer([](const Fd& conn) {
      readRequest(conn);
      conn.sendAll(Protocol::writeBadResponse("refused by the peer"));
    });
    const auto result = peer.request();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), PBError::clientError("refused by the peer"));
  }
  {
    RawPeer peer([](const Fd& conn) {
      readRequest(conn);
      conn.sendAll(Protocol::writeGoodResponse(nullptr));
    });
    EXPECT_EQ(peer.request(), Json(nullptr));
  }
}

TEST(ClientAgainstRawPeer, HopelessResponsesEndTheExchangeAtOnce) {
  // Each peer keeps the connection open after its bytes: only recognising them as
  // hopeless can end the request (the timeout is a safety net, far above the wait).
  struct Case {
    const char* name;
    Data bytes;
    std::string_view text;
  };
  Data tooLarge = Protocol::writeGoodResponse(1);
  tooLarge[10] = 0x10;  // announces more than 16 MiB
  const std::vector<Case> cases = {
      {"wrong magic", test::bytesOf("HTTP/1.1 200 OK\r\n"), kClientMalformed},
      {"minor version 2", test::bytesOf("pb\x01\x02\x01\x00\x00\x02\x00\x00\x00{}"sv), kClientMalformed},
      {"status 3", test::bytesOf("pb\x01\x01\x03\x00\x00\x02\x00\x00\x00{}"sv), kClientMalformed},
      {"request status", Protocol::writeRequest("m", 1), kClientIncomplete},
      {"body not JSON", test::bytesOf("pb\x01\x01\x01\x00\x00\x03\x00\x00\x00{x}"sv), kClientIncomplete},
      {"bad response without a message", test::bytesOf("pb\x01\x01\x02\x00\x00\x02\x00\x00\x00{}"sv),
       kClientIncomplete},
      {"length over the cap", tooLarge, kClientTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer peer([&](const Fd& conn) {
      readRequest(conn);
      conn.sendAll(c.bytes);
      conn.readToEnd();
    });
    const auto started = std::chrono::steady_clock::now();
    const auto result = peer.request({{"q", 1}}, 20000ms);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), PBError::clientError(std::string(c.text)));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10000ms);
  }
}

TEST(ClientAgainstRawPeer, ResetAfterTheResponseLeavesTheResultAlone) {
  // The response is complete before the connection breaks: the reset that follows
  // is a later event of the exchange and must not replace its result.
  RawPeer peer([](const Fd& conn) {
    readRequest(conn);
    Data bytes = Protocol::writeGoodResponse("first");
    bytes.insert(bytes.end(), 64, 'x');
    conn.sendAll(bytes);
    const linger abort{1, 0};
    ::setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  });
  EXPECT_EQ(peer.request(), Json("first"));
}

TEST(ClientAgainstRawPeer, RefusedPort) {
  const auto result = PBClient("127.0.0.1", test::closedPort()).request("m", 1);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), PBError::clientError("Connection refused"));
}

TEST(ClientAgainstRawPeer, SilentPeerTimesOutWhenATimeoutIsSet) {
  std::promise<void> done;
  RawPeer peer([&](const Fd& conn) {
    readRequest(conn);
    done.get_future().wait();  // neither answers nor closes
  });
  const auto result = peer.request({{"q", 1}}, 100ms);
  done.set_value();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), PBError::clientError(std::string(kClientTimedOut)));
}

TEST(ClientConnExchange, RunsOnce) {
  RawPeer peer([](const Fd& conn) {
    readRequest(conn);
    conn.sendAll(Protocol::writeGoodResponse(7));
  });
  ClientConn conn("127.0.0.1", peer.port(), Protocol::writeRequest("m", 1));
  EXPECT_EQ(conn.run(), Json(7));
  EXPECT_EQ(conn.run(), std::unexpected(PBError::clientError(std::string(kClientUnexpected))));
}

}  // namespace
}  // namespace bridge
