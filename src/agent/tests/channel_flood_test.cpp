// The agent with its command channel connected to the npm Socket.IO server on loopback:
// a flood of rule commands does not hold up the enforcement tick.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "agent/app_delegate.h"
#include "channel/socket_handler.h"
#include "node_server.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/log.h"
#include "support/agent_fixture.h"
#include "support/steady.h"

namespace {

using namespace std::chrono_literals;
using agenttest::kAppRulesPath;
using agenttest::kSafeSearchPath;
using agenttest::kWebRulesPath;
using json = nlohmann::json;
using sio::test::eventIs;
using sio::test::NodeServer;
using sio::test::TestCertificates;
using ::testing::Contains;

constexpr const char* kBlockedGame = "com.blocked.game";

class ChannelFlood : public agenttest::AgentFixture {
 protected:
  ChannelFlood() {
    storeToken();
    storePassword("pw");
    setReply(
        kAppRulesPath, 200,
        R"({"rules":[{"_id":"r1","rule_type":"BLACK_LIST","applications":[{"pk":"com.blocked.game"}]}],"message":"ok"})");
    setReply(kWebRulesPath, 200, R"({"exceptions": []})");

    channel::SocketHandlerOptions options;
    options.socketURL = "https://localhost:" + std::to_string(server_.port());
    options.caFile = TestCertificates::get().caFile;
    options.connectTo = std::vector<std::string>{};
    // The agent's handle queue, the main queue, counting what is handed to it.
    options.handleQueue = [posted = posted_](std::function<void()> block) {
      ++*posted;
      platform::DispatchQueue::main().async(std::move(block));
    };
    options.session = &session_;
    options.contentBlocker = &contentBlocker_;
    options.fileManager = &files();
    options.workspace = &workspace_;
    options.exitProcess = [](int) { ADD_FAILURE() << "nothing here ends the process"; };
    channel_ = std::make_unique<channel::SocketHandler>(std::move(options));
  }
  ~ChannelFlood() override {
    delegate_.reset();
    channel_.reset();
  }

  // Starts the agent as main() does, its channel connector connecting our channel.
  void launch() {
    auto platform = makePlatform();
    platform.connectChannel = [this] { channel_->connectToWebsocket(); };
    delegate_ = std::make_shared<agent::AppDelegate>(std::move(platform));
    delegate_->applicationDidFinishLaunching();
  }

  std::size_t ticks() const { return CannedService::shared().requests(kAppRulesPath).size(); }
  std::size_t safeSearchFetches() const { return CannedService::shared().requests(kSafeSearchPath).size(); }
  bool runMainLoopUntil(const std::function<bool()>& condition, std::chrono::seconds timeout = 60s) {
    return runLoop_.runUntil(condition, timeout);
  }

  using CannedService = agenttest::CannedService;
  NodeServer server_;
  std::shared_ptr<std::atomic<std::size_t>> posted_ = std::make_shared<std::atomic<std::size_t>>(0);
  std::unique_ptr<channel::SocketHandler> channel_;
};

std::size_t loggedEvents(const platform::CapturingLogSink& log) {
  const auto entries = log.entries();
  return std::count_if(entries.begin(), entries.end(), [](const platform::LogEntry& e) {
    return e.text.find("event \"safe_search_rule\"") != std::string::npos;
  });
}

TEST_F(ChannelFlood, ABlockedApplicationStartedAfterABurstOfRuleCommandsIsStoppedWithinTwoTicks) {
  launch();
  ASSERT_TRUE(runMainLoopUntil([&] {
    return server_.count(eventIs("connection")) == 1 && channel_->isConnected() &&
           delegate().blockingAppsArrayString.get().contains(kBlockedGame);
  }));

  // The burst: every event is in the main queue before the main loop runs again.
  constexpr std::size_t kBurst = 2000;
  auto log = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog(log);
  for (std::size_t i = 0; i < kBurst; ++i) {
    server_.send({{"cmd", "emit"},
                  {"tag", std::to_string(i)},
                  {"name", "safe_search_rule"},
                  {"args", json::array({{{"changed", true}}})},
                  {"ack", true},
                  {"timeout", 120000}});
  }
  // The client has read every event once it has logged them all, and hands them to the
  // main queue in batches right after: wait until nothing more is handed over.
  ASSERT_TRUE(agenttest::waitFor([&] { return loggedEvents(*log) >= kBurst; }, 60s));
  ASSERT_TRUE(testsupport::waitUntilSteady(*posted_));

  platform::FakeWorkspace::Application game;
  game.bundleIdentifier = kBlockedGame;
  game.processIdentifier = 4242;
  workspace_.addRunningApplication(game);
  const std::size_t ticksAtStart = ticks();
  const std::size_t fetchesAtStart = safeSearchFetches();

  runMainLoopUntil([&] { return !workspace_.terminateCalls().empty() || ticks() > ticksAtStart + 2; });
  EXPECT_THAT(workspace_.terminateCalls(), Contains(4242));
  EXPECT_LE(ticks() - ticksAtStart, 2u);

  // Every event is acknowledged once, after the pass that served the whole burst.
  ASSERT_TRUE(runMainLoopUntil([&] { return server_.count(eventIs("ack")) == kBurst; }));
  for (const auto& ack : server_.matching(eventIs("ack"))) EXPECT_EQ(ack["args"], json::array({{{"status", "ok"}}}));
  EXPECT_EQ(server_.count(eventIs("ackTimeout")), 0u);
  const std::size_t tickFetches = ticks() - ticksAtStart;
  EXPECT_EQ(safeSearchFetches() - fetchesAtStart - tickFetches, 1u);
}

}  // namespace
