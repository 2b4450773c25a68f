// The request runner against a real HTTPS server on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "networks/network_manager.h"
#include "networks/shared_settings.h"
#include "platform/dispatch.h"
#include "platform/fakes/https_test_server.h"
#include "platform/user_defaults.h"
#include "support/scoped_shared_suite.h"

namespace networks {
namespace {

using ::testing::StartsWith;

class NetworkManagerHttpsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    server_ = platform::fakes::HttpsTestServer::start({std::string(kFamilyApiHost)}, error).release();
    ASSERT_NE(server_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(server_, nullptr);
    shared_.suite().set(std::string(kSharedChildToken), std::string("tok-9"));
  }

  // `base` sending the family host to `port` of the test server (its main port unless
  // given), trusting the server's certificate authority.
  static platform::URLSessionConfiguration toServer(platform::URLSessionConfiguration base = {},
                                                    std::optional<int> port = std::nullopt) {
    base.connectTo = {port ? std::string(kFamilyApiHost) + ":443:127.0.0.1:" + std::to_string(*port)
                           : server_->connectTo(std::string(kFamilyApiHost))};
    base.caFile = server_->caFile();
    return base;
  }

  // The request that reached `path`; the server reports it a little after replying.
  static std::optional<platform::fakes::RecordedRequest> lastRequestTo(const std::string& path) {
    return server_->waitForRequest(path, std::chrono::seconds(5));
  }

  static platform::fakes::HttpsTestServer* server_;
  testsupport::ScopedSharedSuite shared_;
  platform::URLSession session_{toServer()};
};

platform::fakes::HttpsTestServer* NetworkManagerHttpsTest::server_ = nullptr;

TEST_F(NetworkManagerHttpsTest, PostSendsHeadersAndBodyAndDecodesTheReply) {
  const std::string path = "/api/v1/children/device-apps/sync-apps";
  ASSERT_TRUE(server_->setReply(path, 201, platform::toData(R"({"message":"synced","status":201})")));
  NetworkManager runner(session_);
  std::optional<Result<AcceptanceModel>> outcome;
  runner.sendAppList(
      SendAppListModel{std::vector<Norule>{{"Editor", "org.example.editor"}}, std::nullopt, std::nullopt},
      [&](Result<AcceptanceModel> r) { outcome = std::move(r); });
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(outcome->has_value()) << outcome->error().message;
  EXPECT_EQ(**outcome, (AcceptanceModel{"synced", 201}));

  auto request = lastRequestTo(path);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->method, "POST");
  EXPECT_EQ(request->header("Authorization"), "Bearer tok-9");
  EXPECT_EQ(request->header("Content-Type"), "application/json");
  EXPECT_EQ(request->header("Host"), std::string(kFamilyApiHost));
  EXPECT_EQ(platform::toString(request->body), R"({"norules":[{"name":"Editor","pk":"org.example.editor"}]})");
}

TEST_F(NetworkManagerHttpsTest, GetCarriesBothHeadersAndTheKeyMapperApplies) {
  const std::string path = "/api/v1/children/rules/web-rules/safe-search";
  ASSERT_TRUE(server_->setReply(
      path, 200,
      platform::toData(
          R"({"_id":"x","__v":0,"is_active":true,"category_rules":[{"name":"Drugs","rule":{"is_blocked":true}}]})")));
  NetworkManager runner(session_);
  std::optional<Result<rules::SafeSearchRulesBase>> outcome;
  runner.getSafeSearch([&](Result<rules::SafeSearchRulesBase> r) { outcome = std::move(r); });
  ASSERT_TRUE(outcome && outcome->has_value());
  EXPECT_EQ((*outcome)->isActive, true);
  EXPECT_EQ((*outcome)->categoryRules->at(0).rule->isBlocked, true);

  auto request = lastRequestTo(path);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->method, "GET");
  EXPECT_EQ(request->header("Authorization"), "Bearer tok-9");
  EXPECT_EQ(request->header("Content-Type"), "application/json");
  EXPECT_TRUE(request->body.empty());
}

TEST_F(NetworkManagerHttpsTest, ErrorReplyAndUndecodableSuccess) {
  const std::string path = "/api/v1/children/location";
  ASSERT_TRUE(
      server_->setReply(path, 422, platform::toData(R"({"message":"bad sample","status":422,"exact_error":"lat"})")));
  NetworkManager runner(session_);
  std::optional<Result<AcceptanceModel>> outcome;
  runner.sendLocation({}, [&](Result<AcceptanceModel> r) { outcome = std::move(r); });
  ASSERT_TRUE(outcome && !outcome->has_value());
  EXPECT_EQ(outcome->error(), (ErrorModel{"bad sample", 422, "lat"}));

  ASSERT_TRUE(server_->setReply(path, 200, platform::toData("<html>oops</html>"), "text/html"));
  outcome.reset();
  runner.sendLocation({}, [&](Result<AcceptanceModel> r) { outcome = std::move(r); });
  ASSERT_TRUE(outcome && !outcome->has_value());
  EXPECT_THAT(outcome->error().message, StartsWith("can't decode json from server"));
  EXPECT_EQ(outcome->error().status, -1);
}

TEST_F(NetworkManagerHttpsTest, RefusedConnectionIsATransportError) {
  // Nothing listens on port 1 of the loopback address.
  platform::URLSession closed(toServer({}, 1));
  NetworkManager runner(closed);
  std::optional<Result<AcceptanceModel>> outcome;
  runner.sendLocation({}, [&](Result<AcceptanceModel> r) { outcome = std::move(r); });
  ASSERT_TRUE(outcome && !outcome->has_value());
  EXPECT_EQ(outcome->error().status, platform::URLErrorCode::cannotConnectToHost);
  EXPECT_FALSE(outcome->error().message.empty());
}

TEST_F(NetworkManagerHttpsTest, SilentServerEndsWithTimedOutInsteadOfBlockingForever) {
  platform::URLSessionConfiguration configuration;
  configuration.stallTimeout = std::chrono::milliseconds(700);
  configuration.connectTimeout = std::chrono::milliseconds(700);  // the TLS handshake never completes
  // A peer that accepts the connection and never sends a byte.
  platform::URLSession session(toServer(configuration, server_->silentPort()));
  NetworkManager runner(session);
  runner.setReplyWaitLimit(NetworkManager::kNoReplyWaitLimit);  // the session's limits alone

  std::optional<Result<AcceptanceModel>> outcome;
  const auto started = std::chrono::steady_clock::now();
  runner.sendLocation({}, [&](Result<AcceptanceModel> r) { outcome = std::move(r); });
  const auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(outcome && !outcome->has_value());
  EXPECT_EQ(outcome->error().status, platform::URLErrorCode::timedOut);
  EXPECT_LT(waited, std::chrono::seconds(20));
}

// A reply that trickles one byte at a time never stalls, yet the caller is released
// once the session's resource limit is up, and the next request goes through.
TEST_F(NetworkManagerHttpsTest, ATricklingReplyReleasesTheCallerAtTheDeadline) {
  const std::string path = "/api/v1/children/location";
  const auto reply = platform::toData(R"({"message":"stored","status":200})" + std::string(400, ' '));
  ASSERT_TRUE(server_->setReply(path, 200, reply, "application/json", std::chrono::milliseconds(50)));
  platform::URLSessionConfiguration configuration;
  configuration.resourceTimeout = std::chrono::seconds(3);  // ample for a short reply under load
  platform::URLSession session(toServer(configuration));
  NetworkManager runner(session);
  runner.setReplyWaitLimit(NetworkManager::kNoReplyWaitLimit);  // the session's limits alone

  std::optional<Result<AcceptanceModel>> outcome;
  const auto started = std::chrono::steady_clock::now();
  runner.sendLocation({}, [&](Result<AcceptanceModel> r) { outcome = std::move(r); });
  const auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(outcome && !outcome->has_value());
  EXPECT_EQ(outcome->error(), (ErrorModel{"The request timed out.", platform::URLErrorCode::timedOut, std::nullopt}));
  EXPECT_GE(waited, std::chrono::seconds(3));
  EXPECT_LT(waited, std::chrono::seconds(15));  // the whole body would take 20 s

  ASSERT_TRUE(server_->setReply(path, 200, platform::toData(R"({"message":"stored","status":200})")));
  outcome.reset();
  runner.sendLocation({}, [&](Result<AcceptanceModel> r) { outcome = std::move(r); });
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(outcome->has_value()) << outcome->error().message;
  EXPECT_EQ((*outcome)->message, "stored");
}

// With a reply wait, the caller goes on before a trickling reply is in; the reply is
// still handled when it comes, also when the runner is gone by then (its decoder went
// with it: no success completion runs, nothing breaks).
TEST_F(NetworkManagerHttpsTest, ABoundedWaitReleasesTheCallerAndTheLateReplyIsStillHandled) {
  const std::string path = "/api/v1/children/rules/web-rules/safe-search";
  const std::string body = R"({"categoryRules":[],"exceptions":[],"isActive":true})";
  // About 50 bytes, 20 ms apart: a second or so, far beyond the caller's wait.
  ASSERT_TRUE(server_->setReply(path, 200, platform::toData(body), "application/json", std::chrono::milliseconds(20)));
  struct Case {
    std::string name;
    bool runnerOutlivesTheReply;
  } cases[] = {{"the runner still exists", true}, {"the runner is gone", false}};
  for (const auto& c : cases) {
    struct Seen {
      std::mutex mutex;
      std::optional<Result<rules::SafeSearchRulesBase>> outcome;
      int calls = 0;
    };
    auto seen = std::make_shared<Seen>();
    const auto before = server_->requests().size();
    auto runner = std::make_unique<NetworkManager>(session_);
    runner->setReplyWaitLimit(std::chrono::milliseconds(50));
    runner->getSafeSearch([seen](Result<rules::SafeSearchRulesBase> r) {
      std::lock_guard lock(seen->mutex);
      seen->outcome = std::move(r);
      ++seen->calls;
    });
    {
      std::lock_guard lock(seen->mutex);
      EXPECT_EQ(seen->calls, 0) << c.name << ": the caller waited for the whole reply";
    }
    if (!c.runnerOutlivesTheReply) runner.reset();
    // The server reports a request once it has answered it.
    ASSERT_TRUE(server_->waitForRequests(before + 1, std::chrono::seconds(20))) << c.name;
    if (c.runnerOutlivesTheReply) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (std::chrono::steady_clock::now() < deadline) {
        std::lock_guard lock(seen->mutex);
        if (seen->calls > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      std::lock_guard lock(seen->mutex);
      ASSERT_EQ(seen->calls, 1) << c.name;
      ASSERT_TRUE(seen->outcome && seen->outcome->has_value()) << c.name;
      EXPECT_EQ((*seen->outcome)->isActive, true) << c.name;
    } else {
      // A request sent now is answered after the late reply was handled.
      platform::DispatchSemaphore drained(0);
      platform::URLRequest barrier;
      barrier.url = "https://" + std::string(kFamilyApiHost) + "/status/204";
      session_.dataTask(barrier, [&](auto, auto, auto) { drained.signal(); })->resume();
      ASSERT_TRUE(drained.waitFor(std::chrono::seconds(20))) << c.name;
      std::lock_guard lock(seen->mutex);
      EXPECT_EQ(seen->calls, 0) << c.name;
    }
  }
}

}  // namespace
}  // namespace networks
