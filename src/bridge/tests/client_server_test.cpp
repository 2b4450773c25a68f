// The client against our server on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <latch>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bridge/client.h"
#include "bridge/io_pool.h"
#include "bridge/server.h"
#include "test_support.h"

namespace bridge {
namespace {

using test::waitFor;
using namespace std::chrono_literals;

// A server on 127.0.0.1 with a handler that answers by method. Its deadlines are far
// above what a loaded machine running a sanitizer build needs for the largest bodies
// here; the deadlines themselves are tested with the raw clients.
class LoopbackServer : public testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<PBServer>(
        0, [this](const std::string& method, const Json& payload) { return handle(method, payload); }, "127.0.0.1",
        ServerLimits{.requestDeadline = 300s, .responseDeadline = 300s});
    ASSERT_TRUE(server_->start());
    ASSERT_TRUE(server_->localPort());
    port_ = *server_->localPort();
  }

  std::expected<Json, std::string> handle(const std::string& method, const Json& payload) {
    ++calls_;
    if (method == "echo") return payload;
    if (method == "fail") return std::unexpected(std::string("the handler failed: ") + payload.dump());
    if (method == "throw") throw std::runtime_error("thrown by the handler");
    if (method == "big") return std::string(payload.get<std::size_t>(), 'z');
    if (method == "nested") {
      // A handler that is itself a client of the same server.
      return PBClient("127.0.0.1", port_, 5000ms).request("echo", payload).value_or(Json("nested failed"));
    }
    return std::unexpected("unknown method " + method);
  }

  PBClient client() const { return PBClient("127.0.0.1", port_, 50000ms); }

  std::unique_ptr<PBServer> server_;
  std::uint16_t port_ = 0;
  std::atomic<int> calls_{0};
};

TEST_F(LoopbackServer, GoodResponsesCarryTheHandlersValue) {
  const std::vector<Json> payloads = {{{"name", "value"}, {"list", {1, 2, 3}}},
                                      Json::array({1, "two", nullptr, {{"k", false}}}),
                                      nullptr,
                                      Json::object(),
                                      "text",
                                      3.25};
  for (const auto& payload : payloads) {
    SCOPED_TRACE(payload.dump());
    const auto result = client().request("echo", payload);
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_EQ(*result, payload);
  }
  EXPECT_EQ(calls_, static_cast<int>(payloads.size()));
}

TEST_F(LoopbackServer, HandlerErrorsArriveAsClientErrorsWithTheirText) {
  const auto failed = client().request("fail", {1});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), PBError::clientError("the handler failed: [1]"));
  const auto thrown = client().request("throw", nullptr);
  ASSERT_FALSE(thrown);
  EXPECT_EQ(thrown.error(), PBError::clientError("thrown by the handler"));
}

// A queue whose blocks run on the thread that calls runUntil(), like an owner's main
// run loop.
class ManualQueue : public CallbackQueue {
 public:
  void async(std::function<void()> block) override {
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
    wake_.notify_all();
  }
  // Runs blocks as they come until `done` holds.
  void runUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    while (!done()) {
      if (blocks_.empty()) {
        wake_.wait_for(lock, 1ms);
        continue;
      }
      auto block = std::move(blocks_.front());
      blocks_.erase(blocks_.begin());
      lock.unlock();
      block();
      ++ran;
      lock.lock();
    }
  }
  std::atomic<int> ran{0};

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::function<void()>> blocks_;
};

TEST(PBServerThreads, HandlerRunsOnAThreadOfTheGivenPool) {
  // The listener's callbacks run on the test thread; the handler must not.
  const auto pool = std::make_shared<IoPool>();
  struct Seen {
    std::thread::id thread;
    bool onPool = false;
  };
  std::mutex mutex;
  std::optional<Seen> seen;
  PBServer server(
      0,
      [&](const std::string&, const Json& payload) -> std::expected<Json, std::string> {
        std::lock_guard lock(mutex);
        seen = Seen{std::this_thread::get_id(), pool->ownsCallingThread()};
        return payload;
      },
      "127.0.0.1", {}, pool);
  auto queue = std::make_shared<ManualQueue>();
  ASSERT_TRUE(server.start(queue));
  std::atomic<bool> answered{false};
  std::thread::id requester;
  std::thread client([&] {
    requester = std::this_thread::get_id();
    EXPECT_EQ(PBClient("127.0.0.1", server.localPort().value(), 10000ms).request("m", 5), Json(5));
    answered = true;
  });
  queue->runUntil([&] { return answered.load(); });
  client.join();
  EXPECT_GE(queue->ran, 1);
  std::lock_guard lock(mutex);
  ASSERT_TRUE(seen);
  EXPECT_NE(seen->thread, std::this_thread::get_id());
  EXPECT_NE(seen->thread, requester);
  EXPECT_TRUE(seen->onPool);
}

TEST_F(LoopbackServer, LargeBodiesCrossInManyChunks) {
  const std::string text(3 * 1024 * 1024 + 7, 'q');
  EXPECT_EQ(client().request("echo", text), Json(text));
  EXPECT_EQ(client().request("big", 100000), Json(std::string(100000, 'z')));
}

TEST_F(LoopbackServer, OversizedMessagesFailCleanly) {
  // The request is refused before any connection is made.
  const auto request = client().request("echo", std::string(Protocol::MAX_BODY_LENGTH, 'x'));
  ASSERT_FALSE(request);
  EXPECT_EQ(request.error().text(), kClientTooLarge);
  EXPECT_EQ(calls_, 0);
  // A handler value too large to send becomes a bad response.
  const auto response = client().request("big", Protocol::MAX_BODY_LENGTH);
  ASSERT_FALSE(response);
  EXPECT_EQ(response.error().text(), kServerResponseTooLarge);
}

TEST_F(LoopbackServer, ManyConcurrentClientsAreEachAnsweredOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 40;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  std::latch go(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const PBClient shared = client();  // one client object used by many requests
      go.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        const Json payload = {{"thread", t}, {"i", i}};
        const auto result = shared.request("echo", payload);
        if (!result || *result != payload) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(calls_, kThreads * kPerThread);
  // Answered connections leave the sessions list.
  EXPECT_TRUE(waitFor([&] { return server_->sessionCount() == 0; }));
}

TEST_F(LoopbackServer, HandlersThatWaitOnRequestsDoNotStarveThePool) {
  // More nested requests at once than the pool has threads: each blocks a pool thread
  // in its handler while it waits for an inner exchange that needs another thread.
  const int count = static_cast<int>(std::max(8u, std::thread::hardware_concurrency())) * 2;
  std::vector<std::thread> threads;
  threads.reserve(count);
  std::atomic<int> right{0};
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      if (client().request("nested", i) == Json(i)) ++right;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(right, count);
}

TEST_F(LoopbackServer, HostNamesAreResolved) {
  // "localhost" may resolve to ::1 first; the server listens on 127.0.0.1 only, so
  // this also shows that every resolved address is tried.
  EXPECT_EQ(PBClient("localhost", port_, 5000ms).request("echo", {{"via", "name"}}), Json({{"via", "name"}}));
  const auto unknown = PBClient("no-such-host.invalid", port_, 5000ms).request("echo", 1);
  ASSERT_FALSE(unknown);
  EXPECT_TRUE(unknown.error().isClientError());
  EXPECT_FALSE(unknown.error().text().empty());
}

TEST_F(LoopbackServer, StopClosesTheListenerAndIsIdempotent) {
  EXPECT_TRUE(server_->isStarted());
  server_->stop();
  EXPECT_FALSE(server_->isStarted());
  EXPECT_FALSE(server_->localPort());
  server_->stop();
  EXPECT_FALSE(server_->isStarted());
  const auto refused = client().request("echo", 1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), PBError::clientError("Connection refused"));
  EXPECT_EQ(calls_, 0);
}

TEST_F(LoopbackServer, StartTwiceIsRefusedAndAStoppedServerStartsAgain) {
  const auto again = server_->start();
  ASSERT_FALSE(again);
  EXPECT_TRUE(again.error().isServerError());
  EXPECT_TRUE(server_->isStarted());
  server_->stop();
  ASSERT_TRUE(server_->start());
  port_ = server_->localPort().value();
  EXPECT_EQ(client().request("echo", "back"), Json("back"));
}

TEST(PBServerLifecycle, NeverStartedServerStopsQuietly) {
  PBServer server(0, [](const std::string&, const Json&) -> std::expected<Json, std::string> { return 1; });
  EXPECT_FALSE(server.isStarted());
  EXPECT_EQ(server.port(), 0);
  server.stop();
  server.stop();
  EXPECT_FALSE(server.isStarted());
}

TEST(PBServerLifecycle, PortInUseFailsToStartWithAServerError) {
  test::RawListener taken;
  PBServer server(
      taken.port(), [](const std::string&, const Json&) -> std::expected<Json, std::string> { return 1; }, "127.0.0.1");
  testing::internal::CaptureStdout();
  const auto started = server.start();
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error(), PBError::serverError("Address already in use"));
  EXPECT_EQ(out, "Server error: Address already in use\n");
  EXPECT_FALSE(server.isStarted());
}

bool hasIpv6Loopback() {
  test::Fd probe(::socket(AF_INET6, SOCK_STREAM, 0));
  if (!probe) return false;
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  return ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

TEST(PBServerLifecycle, AllInterfacesServerAnswersLoopbackClients) {
  PBServer server(0, [](const std::string& method, const Json&) -> std::expected<Json, std::string> { return method; });
  ASSERT_TRUE(server.start());
  const auto port = server.localPort().value();
  EXPECT_EQ(PBClient("127.0.0.1", port, 5000ms).request("v4", nullptr), Json("v4"));
  // ::1 must work wherever the machine has IPv6 loopback.
  if (!hasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine: only IPv4 was checked";
  EXPECT_EQ(PBClient("::1", port, 5000ms).request("v6", nullptr), Json("v6"));
}

// A queue that counts what it runs and runs it on a serial queue of its own pool.
class CountingQueue : public CallbackQueue {
 public:
  explicit CountingQueue(std::shared_ptr<IoPool> pool) : inner_(CallbackQueue::makeSerial(std::move(pool))) {}
  void async(std::function<void()> block) override {
    inner_->async([this, block = std::move(block)] {
      ++ran;
      block();
    });
  }
  std::atomic<int> ran{0};

 private:
  std::shared_ptr<CallbackQueue> inner_;
};

TEST(PBServerLifecycle, ListenerCallbacksRunOnTheGivenQueue) {
  // One pool for the server and its listener's queue, as an owner builds them.
  const auto pool = std::make_shared<IoPool>();
  auto queue = std::make_shared<CountingQueue>(pool);
  PBServer server(
      0, [](const std::string&, const Json& payload) -> std::expected<Json, std::string> { return payload; },
      "127.0.0.1", {}, pool);
  ASSERT_TRUE(server.start(queue));
  const PBClient client("127.0.0.1", server.localPort().value(), 5000ms);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.request("m", i), Json(i));
  EXPECT_EQ(queue->ran, 3);
}

TEST(PBServerLifecycle, StopWaitsForHandlerCallsInProgress) {
  std::latch entered(1);
  std::latch release(1);
  std::atomic<bool> handlerDone{false};
  PBServer server(
      0,
      [&](const std::string&, const Json&) -> std::expected<Json, std::string> {
        entered.count_down();
        release.wait();
        handlerDone = true;
        return 1;
      },
      "127.0.0.1");
  ASSERT_TRUE(server.start());
  std::thread requester([&] {
    // The connection is closed by stop() before the handler's answer can go out.
    EXPECT_FALSE(PBClient("127.0.0.1", server.localPort().value(), 5000ms).request("m", 1));
  });
  entered.wait();
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    server.stop();
    stopped = true;
  });
  // Once the server counts as stopped, stop() is still waiting for the handler.
  ASSERT_TRUE(waitFor([&] { return !server.isStarted(); }));
  EXPECT_FALSE(stopped);
  release.count_down();
  stopper.join();
  EXPECT_TRUE(handlerDone);
  EXPECT_TRUE(stopped);
  requester.join();
}

TEST(PBServerLifecycle, StopFromInsideTheHandlerDoesNotDeadlock) {
  PBServer* self = nullptr;
  PBServer server(
      0,
      [&](const std::string&, const Json&) -> std::expected<Json, std::string> {
        self->stop();
        return 1;
      },
      "127.0.0.1");
  self = &server;
  ASSERT_TRUE(server.start());
  EXPECT_FALSE(PBClient("127.0.0.1", server.localPort().value(), 5000ms).request("m", 1));
  EXPECT_FALSE(server.isStarted());
}

}  // namespace
}  // namespace bridge
