// The server against clients played by hand on raw sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "allocation_probe.h"
#include "bridge/client.h"
#include "bridge/server.h"
#include "test_support.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using namespace std::string_view_literals;
using test::Fd;
using test::waitFor;

class ServerAgainstRawClient : public testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<PBServer>(
        0,
        [this](const std::string& method, const Json& payload) -> std::expected<Json, std::string> {
          ++calls_;
          if (method == "fail") return std::unexpected(std::string("cannot do that"));
          return Json{{"method", method}, {"payload", payload}};
        },
        "127.0.0.1");
    ASSERT_TRUE(server_->start());
    port_ = server_->localPort().value();
  }

  Fd connect() const { return test::connectTo(port_); }

  // Runs `client` with stdout captured; the client must have seen the server close
  // the connection, which happens after the server wrote its line.
  std::string linesOf(const std::function<void()>& client) const {
    testing::internal::CaptureStdout();
    client();
    return testing::internal::GetCapturedStdout();
  }

  std::unique_ptr<PBServer> server_;
  std::uint16_t port_ = 0;
  std::atomic<int> calls_{0};
};

TEST_F(ServerAgainstRawClient, ClientThatEndsItsSideWithoutSending) {
  const std::string out = linesOf([&] {
    Fd conn = connect();
    conn.shutdownWrite();
    EXPECT_EQ(conn.readToEnd(), Data{});  // closed without a response
  });
  EXPECT_EQ(out, "Server error: Warning: no errors but receive is empty\n");
  EXPECT_EQ(calls_, 0);
}

TEST_F(ServerAgainstRawClient, ClientThatConnectsAndCloses) {
  { Fd conn = connect(); }
  // Later connections are served as usual.
  Fd conn = connect();
  conn.sendAll(Protocol::writeRequest("after", 1));
  EXPECT_EQ(conn.readToEnd(), Protocol::writeGoodResponse({{"method", "after"}, {"payload", 1}}));
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0; }));
  EXPECT_EQ(calls_, 1);
}

TEST_F(ServerAgainstRawClient, WholeRequestWithTheClientsSideKeptOpen) {
  Fd conn = connect();
  conn.sendAll(Protocol::writeRequest("keep", {{"open", true}}));
  // The response comes, then the server's end of stream, while our side stays open.
  EXPECT_EQ(conn.readToEnd(), Protocol::writeGoodResponse({{"method", "keep"}, {"payload", {{"open", true}}}}));
}

TEST_F(ServerAgainstRawClient, RequestTrickledOneByteAtATime) {
  // 20 body bytes: after a first chunk of 12 the rest is never 12 bytes at once.
  const Data request = Protocol::writeRequest("t", 12345678);
  Fd conn = connect();
  for (const std::uint8_t byte : request) conn.sendAll(std::span(&byte, 1));
  EXPECT_EQ(conn.readToEnd(), Protocol::writeGoodResponse({{"method", "t"}, {"payload", 12345678}}));
}

TEST_F(ServerAgainstRawClient, RequestThatPausesIsServedFromThePool) {
  // The pause outlasts the accepting thread's own wait, so the rest of the request
  // is awaited on the pool.
  const Data request = Protocol::writeRequest("slow", Json::array({1, 2, 3}));
  Fd conn = connect();
  conn.sendAll(std::span(request.data(), 5));
  std::this_thread::sleep_for(30ms);
  conn.sendAll(std::span(request.data() + 5, 10));
  std::this_thread::sleep_for(30ms);
  conn.sendAll(std::span(request).subspan(15));
  EXPECT_EQ(conn.readToEnd(), Protocol::writeGoodResponse({{"method", "slow"}, {"payload", {1, 2, 3}}}));
  EXPECT_EQ(calls_, 1);
}

TEST_F(ServerAgainstRawClient, HandlerErrorIsABadResponse) {
  Fd conn = connect();
  conn.sendAll(Protocol::writeRequest("fail", nullptr));
  conn.shutdownWrite();
  EXPECT_EQ(conn.readToEnd(), Protocol::writeBadResponse("cannot do that"));
}

TEST_F(ServerAgainstRawClient, RequestCutShortByTheClient) {
  const Data request = Protocol::writeRequest("m", "some payload");
  for (const std::size_t cut : {std::size_t{3}, Protocol::HEADER_LENGTH, request.size() - 1}) {
    SCOPED_TRACE(cut);
    const std::string out = linesOf([&] {
      Fd conn = connect();
      conn.sendAll(std::span(request.data(), cut));
      conn.shutdownWrite();
      EXPECT_EQ(conn.readToEnd(), Data{});
    });
    EXPECT_EQ(out, "Server error: Warning: Incomplete message received despite Complete flag\n");
  }
  EXPECT_EQ(calls_, 0);
}

TEST_F(ServerAgainstRawClient, HopelessRequestsAreDroppedAtOnce) {
  // The client keeps its side open; the server must not wait for its end of stream.
  Data tooLarge = Protocol::writeRequest("m", 1);
  tooLarge[10] = 0x01;  // 16 MiB and more
  struct Case {
    const char* name;
    Data bytes;
    std::string_view line;
  };
  const std::vector<Case> cases = {
      {"wrong magic", test::bytesOf("GET / HTTP/1.1\r\n\r\n"), kServerMalformed},
      {"version 1.2", test::bytesOf("pb\x01\x02\x00\x00\x00\x02\x00\x00\x00{}"sv), kServerMalformed},
      {"status 3", test::bytesOf("pb\x01\x01\x03\x00\x00\x02\x00\x00\x00{}"sv), kServerMalformed},
      {"response status", Protocol::writeGoodResponse(1), kServerIncomplete},
      {"no method", test::bytesOf("pb\x01\x01\x00\x00\x00\x0F\x00\x00\x00{\"payload\":1}\n\n"sv), kServerIncomplete},
      {"body not JSON", test::bytesOf("pb\x01\x01\x00\x00\x00\x03\x00\x00\x00{x}"sv), kServerIncomplete},
      {"length over the cap", tooLarge, kServerTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = linesOf([&] {
      Fd conn = connect();
      conn.sendAll(c.bytes);
      const auto rest = conn.readToEnd(3000ms);
      ASSERT_TRUE(rest) << "the server kept waiting";
    });
    EXPECT_EQ(out, "Server error: " + std::string(c.line) + "\n");
  }
  EXPECT_EQ(calls_, 0);
}

TEST_F(ServerAgainstRawClient, SessionsHoldOnlyOpenConnections) {
  std::vector<Fd> idle;
  idle.reserve(3);
  for (int i = 0; i < 3; ++i) idle.push_back(connect());
  ASSERT_TRUE(waitFor([&] { return server_->sessionCount() == 3; }));
  for (auto& conn : idle) {
    conn.sendAll(Protocol::writeRequest("m", 1));
    EXPECT_TRUE(conn.readToEnd());
  }
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0; }));
}

TEST_F(ServerAgainstRawClient, StopClosesOpenConnectionsQuietly) {
  Fd conn = connect();
  ASSERT_TRUE(waitFor([&] { return server_->sessionCount() == 1; }));
  const std::string out = linesOf([&] {
    server_->stop();
    EXPECT_EQ(conn.readToEnd(), Data{});
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(server_->sessionCount(), 0u);
  EXPECT_FALSE(server_->isStarted());
}

// A server with limits small enough to reach in a test, and a handler that can
// answer big or wait for the test.
class LimitedServer : public testing::Test {
 protected:
  void start(ServerLimits limits) {
    server_ = std::make_unique<PBServer>(
        0,
        [this](const std::string& method, const Json& payload) -> std::expected<Json, std::string> {
          ++calls_;
          if (method == "big") return std::string(payload.get<std::size_t>(), 'b');
          if (method == "hold") {
            ++held_;
            waitFor([this] { return released_.load(); }, 60000ms);
          }
          return payload;
        },
        "127.0.0.1", limits);
    ASSERT_TRUE(server_->start());
    port_ = server_->localPort().value();
  }
  void TearDown() override {
    released_ = true;
    if (server_) server_->stop();
  }

  Fd connect() const { return test::connectTo(port_); }
  std::expected<Json, PBError> request(const std::string& method, const Json& payload) const {
    return PBClient("127.0.0.1", port_, 20000ms).request(method, payload);
  }

  std::unique_ptr<PBServer> server_;
  std::uint16_t port_ = 0;
  std::atomic<int> calls_{0};
  std::atomic<int> held_{0};
  std::atomic<bool> released_{false};
};

TEST_F(LimitedServer, PeersThatDoNotDeliverARequestInTimeAreClosed) {
  start({.requestDeadline = 200ms});
  const Data bytes = Protocol::writeRequest("m", "a payload");
  struct Case {
    const char* name;
    std::size_t sent;
  };
  for (const Case c : {Case{"nothing", 0}, Case{"part of the header", 3},
                       Case{"the header and part of the body", Protocol::HEADER_LENGTH + 2}}) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStdout();
    Fd conn = connect();
    if (c.sent > 0) conn.sendAll(std::span(bytes.data(), c.sent));
    EXPECT_EQ(conn.readToEnd(10000ms), Data{});  // closed by the server, no response
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Server error: Warning: Request timed out\n");
  }
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0; }));
  EXPECT_EQ(calls_, 0);
  // A peer that delivers in time is answered as before.
  EXPECT_EQ(request("m", "on time"), Json("on time"));
}

TEST_F(LimitedServer, AnnouncedLengthIsNotReservedBeforeTheBytesArrive) {
  start({.requestDeadline = 300ms});
  Data head = Protocol::writeRequest("m", std::string(100, 'x'));
  const std::uint32_t announced = Protocol::MAX_BODY_LENGTH - 1;
  for (std::size_t i = 0; i < 4; ++i) head[7 + i] = static_cast<std::uint8_t>(announced >> (8 * i));
  testing::internal::CaptureStdout();
  test::resetLargestAllocation();
  std::vector<Fd> peers;
  for (int i = 0; i < 8; ++i) {
    peers.push_back(connect());
    peers.back().sendAll(head);
  }
  // Closed at the deadline, so the server has taken in what each peer sent.
  for (auto& peer : peers) EXPECT_EQ(peer.readToEnd(10000ms), Data{});
  const std::size_t largest = test::largestAllocation();
  testing::internal::GetCapturedStdout();
  EXPECT_LT(largest, std::size_t{64} * 1024) << "the server allocated for bytes that never came";
}

TEST_F(LimitedServer, ResponsesThePeerDoesNotTakeAreGivenUp) {
  start({.responseDeadline = 300ms});
  testing::internal::CaptureStdout();
  std::vector<Fd> peers;
  // Far more than the socket buffers of both sides hold.
  const std::size_t size = Protocol::MAX_BODY_LENGTH - 64;
  for (int i = 0; i < 3; ++i) {
    Fd peer(::socket(AF_INET, SOCK_STREAM, 0));
    const int small = 4096;
    ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in addr = test::loopback(port_);
    ASSERT_EQ(::connect(peer.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    peer.sendAll(Protocol::writeRequest("big", size));  // and never read
    peers.push_back(std::move(peer));
  }
  ASSERT_TRUE(waitFor([&] { return calls_ == 3; }, 20000ms));
  const bool dropped = waitFor([&] { return server_->sessionCount() == 0; }, 20000ms);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(dropped);
  EXPECT_EQ(out,
            "Server error: Warning: Response timed out\n"
            "Server error: Warning: Response timed out\n"
            "Server error: Warning: Response timed out\n");
}

TEST_F(LimitedServer, NormalClientIsServedWhenIdlePeersTakeEveryPlace) {
  start({.requestDeadline = 60000ms, .maxConnections = 4});
  // One at a time, so that the order of acceptance is the order of connecting.
  std::vector<Fd> idle;
  for (std::size_t i = 0; i < 4; ++i) {
    idle.push_back(connect());
    ASSERT_TRUE(waitFor([&] { return server_->sessionCount() == i + 1; }));
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(request("m", "served"), Json("served"));
  // The oldest idle peer made room, quietly; the others are still open.
  EXPECT_EQ(idle.front().readToEnd(10000ms), Data{});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 3; }));
  // With every place filled again, the next oldest makes room.
  idle.push_back(connect());
  ASSERT_TRUE(waitFor([&] { return server_->sessionCount() == 4; }));
  EXPECT_EQ(request("m", "again"), Json("again"));
  EXPECT_EQ(idle[1].readToEnd(10000ms), Data{});
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 3; }));
}

TEST_F(LimitedServer, ConnectionsBeyondBusyPlacesWaitInTheBacklog) {
  start({.maxConnections = 2});
  std::vector<std::thread> holders;
  holders.reserve(2);
  std::atomic<int> answered{0};
  for (int i = 0; i < 2; ++i) {
    holders.emplace_back([&, i] {
      if (request("hold", i) == Json(i)) ++answered;
    });
  }
  ASSERT_TRUE(waitFor([&] { return held_ == 2; }));  // both places are held by handler calls
  std::thread waiting([&] {
    if (request("m", "later") == Json("later")) ++answered;
  });
  // Not turned away: it is served once a place frees.
  EXPECT_LE(server_->sessionCount(), 2u);
  released_ = true;
  for (auto& t : holders) t.join();
  waiting.join();
  EXPECT_EQ(answered, 3);
}

// The header of a request announcing `announced` body bytes, followed by `body`
// bytes of its body.
Data unfinishedRequest(std::uint32_t announced, std::size_t body) {
  Data bytes = Protocol::writeRequest("m", 1);
  bytes.resize(Protocol::HEADER_LENGTH);
  for (std::size_t i = 0; i < 4; ++i) bytes[7 + i] = static_cast<std::uint8_t>(announced >> (8 * i));
  bytes.insert(bytes.end(), body, 'x');
  return bytes;
}

// Sends what the server takes; false once it has closed the connection.
bool sendWhileOpen(const Fd& peer, std::span<const std::uint8_t> bytes) {
  try {
    peer.sendAll(bytes);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

std::size_t countLines(const std::string& out, std::string_view text) {
  const std::string line = "Server error: " + std::string(text) + "\n";
  std::size_t count = 0;
  for (auto at = out.find(line); at != std::string::npos; at = out.find(line, at + line.size())) ++count;
  return count;
}

// The process's resident memory, from /proc.
std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0;
  std::size_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST_F(LimitedServer, UnfinishedRequestsHoldNoMoreThanTheBudget) {
  constexpr std::size_t kBudget = std::size_t{1} << 20;
  constexpr std::size_t kPeers = 64;
  // Each peer's buffer ends at 256 KiB, so all of them together would hold 16 MiB.
  constexpr std::size_t kBody = std::size_t{200} * 1024;
  constexpr std::size_t kBufferEach = std::size_t{256} * 1024;
  start({.requestDeadline = 60000ms, .requestBudget = kBudget});
  const Data attack = unfinishedRequest(Protocol::MAX_BODY_LENGTH - 1, kBody);
  std::vector<Fd> peers;
  peers.reserve(kPeers);
  testing::internal::CaptureStdout();
  const std::size_t before = residentBytes();
  for (std::size_t i = 0; i < kPeers; ++i) {
    peers.push_back(connect());
    sendWhileOpen(peers.back(), attack);
  }
  // Settled: every peer is either closed by the server (readable: it never sends
  // these peers anything) or in a session that holds its whole buffer.
  const auto closedByTheServer = [&] {
    std::size_t closed = 0;
    for (const Fd& peer : peers) {
      pollfd p{peer.get(), POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) ++closed;
    }
    return closed;
  };
  const bool settled = waitFor(
      [&] {
        const std::size_t sessions = server_->sessionCount();
        return closedByTheServer() + sessions == kPeers && server_->bytesHeld() == sessions * kBufferEach;
      },
      20000ms);
  const std::size_t survivors = server_->sessionCount();
  // What the process holds now: what the refused peers sent is given back, not kept
  // by the allocator.
  const std::size_t grown = residentBytes() - std::min(before, residentBytes());
  // A normal request is answered beside them.
  EXPECT_EQ(request("m", "served"), Json("served"));
  peers.clear();
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0 && server_->bytesHeld() == 0; }));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(settled);
  EXPECT_GE(survivors, 1u);
  EXPECT_LE(survivors * kBufferEach, kBudget);
  // A sanitizer's shadow memory grows with the memory touched, whoever holds it now.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The slack covers what the process touches besides (threads' stacks and arenas, the
  // captured output); without the budget the peers alone would hold 16 MiB.
  EXPECT_LT(grown, kBudget + kPeers * kRequestBytesAlwaysAllowed + (std::size_t{4} << 20))
      << "the server held more than its budget";
#else
  static_cast<void>(grown);
#endif
  // The refused peers were closed as too large; the others when they left.
  const std::size_t refused = countLines(out, kServerTooLarge);
  EXPECT_EQ(refused + countLines(out, kServerIncomplete), kPeers) << out;
  EXPECT_GE(refused, kPeers - kBudget / kBufferEach);
}

// A peer whose receive buffer is small and that never reads, so that a response larger
// than the server's socket buffers (which grow to 4 MiB on Linux) stays with the server.
Fd peerThatNeverReads(std::uint16_t port) {
  Fd peer(::socket(AF_INET, SOCK_STREAM, 0));
  const int small = 4096;
  ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const sockaddr_in addr = test::loopback(port);
  if (::connect(peer.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("connect failed");
  }
  return peer;
}

// Whether the server has acted on the connection: closed it, or begun to write its
// response (which it holds from then on).
bool answeredOrClosed(const Fd& peer) {
  pollfd p{peer.get(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// Peers that send a whole request each and never read the response, one after the
// other: each is either refused or answered with a response that the server holds.
class UnreadResponses : public LimitedServer {
 protected:
  static constexpr std::size_t kBudget = std::size_t{16} << 20;
  static constexpr std::size_t kPeers = 12;
  // Each response is larger than what the kernel takes of it.
  static constexpr std::size_t kResponse = std::size_t{6} << 20;

  // Sends each request and waits until the server has refused it or begun to answer
  // it; false when neither came.
  bool sendFromPeersThatNeverRead(const Data& request) {
    peers_.reserve(kPeers);
    for (std::size_t i = 0; i < kPeers; ++i) {
      peers_.push_back(peerThatNeverReads(port_));
      sendWhileOpen(peers_.back(), request);
      // Long enough for a sanitizer build on a loaded machine to handle a large echo.
      if (!waitFor([&] { return answeredOrClosed(peers_.back()); }, 30000ms)) return false;
    }
    return true;
  }

  std::vector<Fd> peers_;
};

TEST_F(UnreadResponses, HeldResponsesAreChargedToTheBudget) {
  // Each echo's request and response are as large: without the charge, the responses
  // alone would hold four times the budget.
  constexpr std::size_t kBody = kResponse;
  start({.requestDeadline = 60000ms, .responseDeadline = 60000ms, .requestBudget = kBudget});
  testing::internal::CaptureStdout();
  test::resetPeakAllocatedBytes();
  const std::size_t before = test::allocatedBytes();
  const bool settled = sendFromPeersThatNeverRead(Protocol::writeRequest("m", std::string(kBody, 'e')));
  const std::size_t peak = test::peakAllocatedBytes() - before;
  const std::size_t held = server_->bytesHeld();
  const auto answered = static_cast<std::size_t>(calls_.load());
  const std::size_t open = server_->sessionCount();
  // A small request is still served beside them.
  EXPECT_EQ(request("m", "served"), Json("served"));
  peers_.clear();
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0 && server_->bytesHeld() == 0; }));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(settled) << out;
  EXPECT_GE(answered, 1u);
  EXPECT_EQ(open, answered) << "every answered peer still holds its response";
  EXPECT_GE(held, answered * kBody);
  EXPECT_LE(held, kBudget);
  // The responses held, and one echo in flight: its decoded request, its value and its
  // bytes as they grow (twice over while they move).
  EXPECT_LT(peak, kBudget + 6 * kBody) << "the server held more than its budget";
  EXPECT_EQ(countLines(out, kServerTooLarge), kPeers - answered) << out;
}

TEST_F(UnreadResponses, NoRequestIsTakenWhileHeldResponsesFillTheBudget) {
  // Small requests whose responses are large: only the responses fill the budget.
  start({.requestDeadline = 60000ms, .responseDeadline = 60000ms, .requestBudget = kBudget});
  testing::internal::CaptureStdout();
  test::resetPeakAllocatedBytes();
  const std::size_t before = test::allocatedBytes();
  const bool settled = sendFromPeersThatNeverRead(Protocol::writeRequest("big", kResponse));
  const std::size_t peak = test::peakAllocatedBytes() - before;
  const std::size_t held = server_->bytesHeld();
  const int calls = calls_;
  // Once the peers let go of their responses, requests are taken again.
  peers_.clear();
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0 && server_->bytesHeld() == 0; }));
  EXPECT_EQ(request("m", "served"), Json("served"));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(settled) << out;
  // The delegate is called until the responses reach the budget, and then no more.
  ASSERT_GE(calls, 1);
  const std::size_t each = held / static_cast<std::size_t>(calls);
  EXPECT_GE(each, kResponse);
  EXPECT_GE(held, kBudget);
  EXPECT_LT(held - each, kBudget);
  // The responses held, and the last one while it was made (the value, its bytes as
  // they grow).
  EXPECT_LT(peak, kBudget + 4 * kResponse) << "the server held more than its budget";
  EXPECT_EQ(countLines(out, kServerTooLarge), kPeers - static_cast<std::size_t>(calls)) << out;
}

TEST_F(LimitedServer, ConnectionWhoseBytesCannotBeAllocatedIsClosedAlone) {
  start({.requestDeadline = 60000ms});
  Json numbers = Json::array();
  for (int i = 0; i < 5000; ++i) numbers.push_back(0);
  struct Case {
    const char* name;
    Data bytes;
  };
  // Allocations from 24 KiB on fail: the first while the buffer grows, the second
  // while a 10 KB request in a 16 KiB buffer is decoded.
  const std::vector<Case> cases = {
      {"a body that outgrows what can be allocated",
       unfinishedRequest(Protocol::MAX_BODY_LENGTH - 1, std::size_t{40} * 1024)},
      {"a whole request whose JSON cannot be allocated", Protocol::writeRequest("m", numbers)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStdout();
    {
      const test::FailAllocationsFrom failing(std::size_t{24} * 1024);
      Fd peer = connect();
      sendWhileOpen(peer, c.bytes);
      EXPECT_EQ(peer.readToEnd(10000ms), Data{});  // closed, no response
      // The rest of the server goes on.
      EXPECT_EQ(request("m", "still here"), Json("still here"));
    }
    EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0 && server_->bytesHeld() == 0; }));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Server error: Warning: Message too large\n");
  }
  EXPECT_EQ(calls_, 2);
}

}  // namespace
}  // namespace bridge
