// The command channel against the npm Socket.IO server on loopback over TLS: the
// token in the handshake, every command's acknowledgement, its effects, reconnection,
// bad input, and the wipe-and-exit in a child process.
#include "channel/socket_handler.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "networks/shared_settings.h"
#include "networks/url_protocol_stub.h"
#include "node_server.h"
#include "platform/dispatch.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/fakes/fake_workspace.h"
#include "platform/log.h"
#include "platform/settings.h"
#include "platform/user_defaults.h"
#include "support/scoped_user_defaults.h"
#include "support/steady.h"
#include "support/temp_files.h"

extern char** environ;

namespace channel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using sio::test::eventAndTag;
using sio::test::eventIs;
using sio::test::NodeServer;
using sio::test::TestCertificates;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kToken = "tok en/=&é";
const json kOk = json::array({{{"status", "ok"}}});

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Counts the log entries of the Socket.IO client that contain a text.
std::size_t logged(const platform::CapturingLogSink& log, const std::string& text) {
  const auto entries = log.entries();
  return std::count_if(entries.begin(), entries.end(),
                       [&](const platform::LogEntry& e) { return e.text.find(text) != std::string::npos; });
}

platform::URLSessionConfiguration stubbedConfiguration() {
  platform::URLSessionConfiguration configuration;
  configuration.protocolClasses = {platform::URLProtocolClass::of<networks::URLProtocolStub>()};
  return configuration;
}

// This process's environment with HOME set to `home`, for a child that must find its
// defaults there (it reads its own HOME; the test's settings are not its).
std::vector<std::string> environmentWithHome(const fs::path& home) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with("HOME=")) entries.emplace_back(*entry);
  }
  entries.push_back("HOME=" + home.string());
  return entries;
}

// The standard user defaults' file: the test's own (ScopedUserDefaults).
fs::path standardDefaultsFile() { return platform::UserDefaults::standard().path(); }

// A content blocker whose reload (made inside a safe-search pass) can be held until the
// test lets it go, so a test can look at the channel while the pass is still running.
class GateContentBlocker final : public platform::ContentBlockerManager {
 public:
  void reloadContentBlocker(const std::string& identifier, Completion completion) override {
    std::unique_lock lock(mutex_);
    reloads_.push_back(identifier);
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    lock.unlock();
    if (completion) completion(std::nullopt);
  }
  void close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::size_t reloads() const {
    std::lock_guard lock(mutex_);
    return reloads_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> reloads_;
  bool open_ = true;
};

// In the suite the agent reads: the test's own (ScopedUserDefaults).
void setSuiteValue(std::string_view key, std::optional<std::string> value) {
  auto suite = networks::openSharedSuite();
  if (value) suite->set(std::string(key), *value);
  else suite->removeObject(std::string(key));
}

TEST(SocketHandlerCreationTest, ChoosesTheHostAndOpensNothing) {
  struct Case {
    std::optional<std::string> setting;
    std::string url;
    std::vector<std::string> printed;
  };
  const Case cases[] = {
      {std::nullopt, "https://api.family.mopet.velmorhome.so", {}},
      {"", "https://api.family.mopet.velmorhome.so", {}},
      {"School", "https://api.family.mopet.velmorhome.so", {}},
      {"school ", "https://api.family.mopet.velmorhome.so", {}},
      {"school", "https://api.school.mopet.velmorhome.so", {"USE SCHOOL FOR API"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting.value_or("<absent>"));
    testsupport::ScopedUserDefaults defaults;
    setSuiteValue(networks::kSchoolFamilyApiAgent, c.setting);
    platform::FakeWorkspace workspace;
    platform::CapturedOutput output_;
    SocketHandlerOptions options;
    options.workspace = &workspace;
    SocketHandler handler(std::move(options));
    EXPECT_EQ(output_.take(), c.printed);
    EXPECT_EQ(handler.socketURL(), c.url);
    EXPECT_FALSE(handler.isConnected());
    EXPECT_EQ(handler.socket().status(), sio::SocketIOStatus::notConnected);
    const auto config = handler.manager().config();
    EXPECT_TRUE(config.log);
    EXPECT_TRUE(config.compress);
    EXPECT_TRUE(config.forceWebsockets);
    EXPECT_TRUE(config.reconnects);
    EXPECT_TRUE(config.connectParams.empty());
  }
}

class SocketHandlerTest : public ::testing::Test {
 protected:
  platform::CapturedOutput output_;  // the printed lines; first in, last out

  SocketHandlerTest() {
    setSuiteValue(networks::kSharedChildToken, kToken);
    server_ = std::make_unique<NodeServer>();
    // A rule set whose pass writes one word.
    networks::URLProtocolStub::stub(
        platform::toData(
            R"({"category_rules":[],"is_active":true,"exceptions":[{"word":"w","rule":{"is_blocked":true}}]})"),
        std::make_shared<platform::HTTPURLResponse>("https://x/", 200, platform::HeaderList{}), std::nullopt);
    auto app = [](std::optional<std::string> identifier, pid_t pid, platform::ActivationPolicy policy) {
      platform::FakeWorkspace::Application application;
      application.bundleIdentifier = std::move(identifier);
      application.localizedName = "app" + std::to_string(pid);
      application.processIdentifier = pid;
      application.activationPolicy = policy;
      return application;
    };
    workspace_.setRunningApplications({
        app("so.velmorhome.mopet.agent", 10, platform::ActivationPolicy::regular),
        app(std::nullopt, 11, platform::ActivationPolicy::prohibited),
        app("org.example.game", 12, platform::ActivationPolicy::regular),
        app("org.example.daemon", 13, platform::ActivationPolicy::accessory),
    });

    handler_ = std::make_unique<SocketHandler>(options());
  }

  SocketHandlerOptions options() {
    SocketHandlerOptions options;
    options.socketURL = "https://localhost:" + std::to_string(server_->port());
    options.caFile = TestCertificates::get().caFile;
    options.connectTo = std::vector<std::string>{};
    options.handleQueue = [queue = queue_, posted = posted_](std::function<void()> block) {
      ++*posted;
      queue->async(std::move(block));
    };
    options.session = &session_;
    options.contentBlocker = &blocker_;
    options.fileManager = &home_.files();
    options.workspace = &workspace_;
    options.ownDefaults = &defaults_.standard();
    options.exitProcess = [this](int status) {
      std::function<void(int)> extra;
      {
        std::lock_guard lock(mutex_);
        exits_.push_back(status);
        extra = onExit_;
      }
      if (extra) extra(status);
    };
    options.adjustConfig = [](sio::SocketManagerConfig& config) {
      config.reconnectWait = 50ms;
      config.reconnectWaitMax = 200ms;
    };
    options.retryWait = kRetryWait;
    options.retryWaitMax = kRetryWaitMax;
    options.tokenWatchInterval = kTokenWatch;
    options.handleQueueAfter = [this](std::chrono::milliseconds delay, std::function<void()> block) {
      {
        std::lock_guard lock(mutex_);
        delays_.push_back(delay);
      }
      queue_->asyncAfter(delay, std::move(block));
    };
    return options;
  }

  // A channel of other settings in place of the fixture's.
  void remake(const std::function<void(SocketHandlerOptions&)>& change) {
    handler_.reset();
    auto adjusted = options();
    change(adjusted);
    handler_ = std::make_unique<SocketHandler>(std::move(adjusted));
  }

  // The waits the channel asked for that were retries (not the token watch).
  std::vector<std::chrono::milliseconds> retryDelays() const {
    std::lock_guard lock(mutex_);
    std::vector<std::chrono::milliseconds> out;
    for (auto delay : delays_)
      if (delay != kTokenWatch) out.push_back(delay);
    return out;
  }

  static constexpr std::chrono::milliseconds kRetryWait{40};
  static constexpr std::chrono::milliseconds kRetryWaitMax{160};
  static constexpr std::chrono::milliseconds kTokenWatch{10};

  ~SocketHandlerTest() override {
    handler_.reset();
    networks::URLProtocolStub::removeStub();
  }

  // Waits for the n-th connection at the server and for the channel to report it.
  json connected(std::size_t n = 1) {
    auto connection = server_->waitFor(eventIs("connection"), n);
    EXPECT_TRUE(connection);
    EXPECT_TRUE(waitUntil([&] { return handler_->isConnected(); }));
    return connection.value_or(json());
  }

  void connect() {
    handler_->connectToWebsocket();
    connected();
  }

  // The server's records of connections opening and closing, in the order they came.
  std::vector<json> connectionsAndDisconnects() const {
    return server_->matching([](const json& r) {
      const auto event = r.value("event", "");
      return event == "connection" || event == "disconnect";
    });
  }

  // Lets every handler already handed to the handle queue finish.
  void drain() {
    queue_->sync([] {});
  }

  // Emits an event asking for an acknowledgement (`args` absent: no data at all).
  void emit(const std::string& tag, const std::string& name, std::optional<json> args,
            std::chrono::milliseconds timeout = 10s) {
    json command = {{"cmd", "emit"}, {"tag", tag}, {"name", name}, {"ack", true}, {"timeout", timeout.count()}};
    command["args"] = args ? *args : json::array();
    server_->send(command);
  }

  // The acknowledgement's arguments, or nothing when the server's wait ran out.
  std::optional<json> ackOf(const std::string& tag) {
    auto outcome = server_->waitFor([&](const json& r) {
      const auto event = r.value("event", "");
      return (event == "ack" || event == "ackTimeout") && r.value("tag", "") == tag;
    });
    EXPECT_TRUE(outcome) << tag;
    if (!outcome || (*outcome)["event"] == "ackTimeout") return std::nullopt;
    return (*outcome)["args"];
  }

  // Once this command is acknowledged, every command sent before it has been handled
  // (the server sends in order, the handlers run one at a time).
  void fence() {
    const std::string tag = "fence" + std::to_string(++fences_);
    emit(tag, "web_content_rule", json::array({1}));
    EXPECT_EQ(ackOf(tag), kOk);
    drain();  // and what they wrote is visible to this thread
  }

  // Runs `extra` too whenever the channel would end the process.
  void remakeExit(std::function<void(int)> extra) {
    std::lock_guard lock(mutex_);
    onExit_ = std::move(extra);
  }

  std::vector<int> exits() const {
    std::lock_guard lock(mutex_);
    return exits_;
  }

  // The acknowledgement packets the client sent.
  std::size_t ackPacketsSent() const {
    return server_->count([](const json& r) {
      return r.value("event", "") == "packet" && r["data"].is_string() && r["data"].get<std::string>().starts_with("3");
    });
  }

  testsupport::TempFiles home_;
  testsupport::ScopedUserDefaults defaults_;
  std::unique_ptr<NodeServer> server_;
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::makeSerial("channel-test-handlers");
  // How many blocks were handed to the handle queue.
  std::shared_ptr<std::atomic<std::size_t>> posted_ = std::make_shared<std::atomic<std::size_t>>(0);
  platform::URLSession session_{stubbedConfiguration()};
  GateContentBlocker blocker_;
  platform::FakeWorkspace workspace_;
  mutable std::mutex mutex_;
  std::vector<int> exits_;
  std::function<void(int)> onExit_;
  std::vector<std::chrono::milliseconds> delays_;
  int fences_ = 0;
  std::unique_ptr<SocketHandler> handler_;
};

TEST_F(SocketHandlerTest, WithoutTokenNothingConnectsAndNothingIsRegistered) {
  setSuiteValue(networks::kSharedChildToken, std::nullopt);
  auto log = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog(log);
  output_.clear();
  handler_->connectToWebsocket();
  handler_->reconnectToWebsocket();
  // The client works through its calls in order: once it has dropped this emit, it has
  // also done whatever the reconnect asked of it before.
  handler_->socket().emit("fence");
  EXPECT_TRUE(waitUntil([&] {
    const auto entries = log->entries();
    return std::any_of(entries.begin(), entries.end(), [](const platform::LogEntry& e) {
      return e.text.find("\"fence\" dropped") != std::string::npos;
    });
  }));
  EXPECT_THAT(output_.take(), ElementsAre());
  EXPECT_FALSE(handler_->isConnected());
  EXPECT_EQ(handler_->socket().status(), sio::SocketIOStatus::disconnected);
  EXPECT_EQ(server_->count(eventIs("connection")), 0u);

  // Once a token is there, one connection carries it, and a command runs once.
  setSuiteValue(networks::kSharedChildToken, "later");
  handler_->connectToWebsocket();
  const auto connection = connected();
  EXPECT_EQ(connection["query"]["token"], "later");
  emit("rule", "web_content_rule", json::array({1}));
  EXPECT_EQ(ackOf("rule"), kOk);
  EXPECT_EQ(server_->count(eventIs("connection")), 1u);
  EXPECT_EQ(ackPacketsSent(), 1u);
}

TEST_F(SocketHandlerTest, ConnectSendsTheTokenInTheHandshakeQuery) {
  output_.clear();
  connect();
  drain();
  const auto printed = output_.take();
  EXPECT_THAT(printed, ElementsAre("tokeeeen tok …", "socket connected"));
  const auto connection = server_->waitFor(eventIs("connection"));
  ASSERT_TRUE(connection);
  EXPECT_EQ((*connection)["query"]["token"], kToken);
  EXPECT_EQ((*connection)["query"]["transport"], "websocket");
  // The connect-time option set replaces the creation-time one: no compression offered.
  EXPECT_THAT((*connection)["offered"].get<std::string>(), Not(HasSubstr("permessage-deflate")));
  const auto config = handler_->manager().config();
  EXPECT_FALSE(config.compress);
  EXPECT_EQ(config.connectParams, (std::map<std::string, std::string>{{"token", kToken}}));
}

TEST_F(SocketHandlerTest, EveryCommandIsAcknowledgedAsItsTableSays) {
  handler_->listenToLiveLocation([](const LiveLocationRule&) {});
  connect();
  struct Case {
    const char* event;
    std::optional<json> args;  // absent: the event carries no data
    bool acknowledged;
    bool exits;
  };
  const Case cases[] = {
      {"instant_block_activation", json::array({{{"isInstantBlockActivated", false}}}), true, false},
      {"instant_block_activation", json::array({{{"is_instant_block_activated", true}}}), true, false},
      {"instant_block_activation", json::array({json::object()}), true, false},
      {"instant_block_activation", json::array({{{"isInstantBlockActivated", nullptr}}}), true, false},
      {"instant_block_activation", json::array({5}), true, false},
      {"instant_block_activation", json::array({{{"isInstantBlockActivated", "yes"}}}), true, false},
      {"instant_block_activation", std::nullopt, false, false},
      {"safe_search_rule", json::array({json::object()}), true, false},
      {"safe_search_rule", json::array({nullptr}), true, false},
      {"safe_search_rule", std::nullopt, false, false},
      {"web_content_rule", json::array({nullptr}), true, false},
      {"web_content_rule", json::array({"x", 2}), true, false},
      {"web_content_rule", std::nullopt, false, false},
      {"app_blocker_rule", json::array({json::array()}), true, false},
      {"app_blocker_rule", std::nullopt, false, false},
      {"live_location", json::array({{{"distance", 50}, {"duration", 60000}, {"interval", 5000}}}), true, false},
      {"live_location", json::array({{{"distance", 50}, {"duration", 60000}}}), false, false},
      {"live_location", json::array({{{"distance", 12.5}, {"duration", 1}, {"interval", 1}}}), false, false},
      {"live_location", json::array({"text"}), false, false},
      {"live_location", std::nullopt, false, false},
      {"child_restriction", json::array({json::object()}), false, true},
      {"child_restriction", std::nullopt, false, false},
      {"session_termination", json::array({false}), false, true},
      {"session_termination", std::nullopt, false, false},
      {"unknown_command", json::array({1}), false, false},
  };
  std::size_t expectedAcks = 0;
  std::size_t expectedExits = 0;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    emit(std::to_string(i), cases[i].event, cases[i].args, cases[i].acknowledged ? 10s : 1s);
    expectedAcks += cases[i].acknowledged ? 1 : 0;
    expectedExits += cases[i].exits ? 1 : 0;
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::string(cases[i].event) + " " + (cases[i].args ? cases[i].args->dump() : "<no data>"));
    const auto ack = ackOf(std::to_string(i));
    if (cases[i].acknowledged) {
      EXPECT_EQ(ack, kOk);
    } else {
      EXPECT_FALSE(ack);
    }
  }
  fence();
  EXPECT_EQ(ackPacketsSent(), expectedAcks + 1);
  EXPECT_EQ(exits(), std::vector<int>(expectedExits, 0));
  // The two safe_search_rule events with data run one pass each, or share one when the
  // second came while the first one's pass was still waiting to run.
  EXPECT_GE(blocker_.reloads(), 1u);
  EXPECT_LE(blocker_.reloads(), 2u);
  EXPECT_TRUE(workspace_.terminateCalls().empty());
  EXPECT_TRUE(workspace_.signals().empty());
}

// Every row of the table has its handler on the socket, and only one: with one
// live-location listener, each row's event without data is reported once.
TEST_F(SocketHandlerTest, EveryRowOfTheTableIsRegisteredOnTheSocket) {
  handler_->listenToLiveLocation([](const LiveLocationRule&) {});
  connect();
  output_.clear();
  for (const auto& command : commandTable())
    emit(std::string(command.event), std::string(command.event), std::nullopt, 1s);
  fence();
  const auto printed = output_.take();
  EXPECT_EQ(static_cast<std::size_t>(std::count(printed.begin(), printed.end(), "\"⛔️ result not found\"")),
            commandTable().size())
      << ::testing::PrintToString(printed);
}

TEST_F(SocketHandlerTest, HandlersPrintWhatWentWrong) {
  handler_->listenToLiveLocation([](const LiveLocationRule&) {});
  connect();
  output_.clear();
  emit("empty", "web_content_rule", std::nullopt, 300ms);
  emit("number", "instant_block_activation", json::array({5}));
  emit("missing", "live_location", json::array({{{"distance", 1}, {"duration", 1}}}), 300ms);
  fence();
  const auto printed = output_.take();
  ASSERT_EQ(printed.size(), 3u);
  EXPECT_EQ(printed[0], "\"⛔️ result not found\"");
  EXPECT_THAT(printed[1], ::testing::StartsWith("\"⛔️ JSONSerialization failed \" "));
  EXPECT_THAT(printed[2], ::testing::StartsWith("\"⛔️ JSONSerialization failed \" "));
  EXPECT_THAT(printed[2], HasSubstr("interval"));
}

TEST_F(SocketHandlerTest, SafeSearchRuleIsAcknowledgedAfterItsPass) {
  connect();
  blocker_.close();
  emit("pass", "safe_search_rule", json::array({json::object()}));
  ASSERT_TRUE(waitUntil([&] { return blocker_.reloads() == 1; }));
  // The pass has written its list and is still running: no acknowledgement yet.
  const auto list = home_.path() / "Library/Group Containers/group.so.velmorhome.mopet/safeSearchBlocker.json";
  EXPECT_TRUE(fs::exists(list));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(server_->count(eventAndTag("ack", "pass")), 0u);
  blocker_.open();
  EXPECT_EQ(ackOf("pass"), kOk);
  EXPECT_TRUE(handler_->SafeSearchManager.rq_success);
  EXPECT_THAT(handler_->SafeSearchManager.parsedLines.words(), ElementsAre("w"));
}

TEST_F(SocketHandlerTest, SafeSearchRulesWaitingTogetherShareOnePassAndAreEachAcknowledged) {
  connect();
  drain();
  // Hold the handle queue until every event of the burst is queued behind the gate.
  platform::DispatchSemaphore gate(0);
  queue_->async([&] { gate.wait(); });
  auto log = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog(log);
  constexpr int kBurst = 200;
  for (int i = 0; i < kBurst; ++i) emit("b" + std::to_string(i), "safe_search_rule", json::array({i}), 30s);
  emit("empty", "safe_search_rule", std::nullopt, 300ms);
  // The client has read every event once it has logged them all; it hands them to the
  // queue in batches right after, so wait until nothing more is handed over.
  ASSERT_TRUE(waitUntil([&] { return logged(*log, "event \"safe_search_rule\"") >= kBurst + 1; }, 30s));
  ASSERT_TRUE(testsupport::waitUntilSteady(*posted_));
  gate.signal();
  for (int i = 0; i < kBurst; ++i) EXPECT_EQ(ackOf("b" + std::to_string(i)), kOk) << i;
  EXPECT_FALSE(ackOf("empty"));
  drain();
  EXPECT_EQ(blocker_.reloads(), 1u);
  EXPECT_EQ(ackPacketsSent(), std::size_t{kBurst});

  // An event after that pass asks for a pass of its own.
  emit("later", "safe_search_rule", json::array({1}));
  EXPECT_EQ(ackOf("later"), kOk);
  EXPECT_EQ(blocker_.reloads(), 2u);
  EXPECT_EQ(ackPacketsSent(), std::size_t{kBurst} + 1);
}

// A flood of commands that all wait together: one walk over the running applications
// and one safe-search pass serve them all, and every event is acknowledged once, in
// the order the server sent them.
TEST_F(SocketHandlerTest, AFloodOfCommandsCostsOneWalkAndOnePassAndIsAcknowledgedInOrder) {
  connect();
  drain();
  const int walksBefore = workspace_.runningApplicationsCalls();
  platform::DispatchSemaphore gate(0);
  queue_->async([&] { gate.wait(); });
  auto log = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog(log);
  constexpr int kFlood = 3000;
  std::vector<std::string> tags;
  for (int i = 0; i < kFlood; ++i) {
    tags.push_back("f" + std::to_string(i));
    if (i % 10 == 9) emit(tags.back(), "safe_search_rule", json::array({i}), 60s);
    else if (i % 10 == 8) emit(tags.back(), "web_content_rule", json::array({i}), 60s);
    else emit(tags.back(), "instant_block_activation", json::array({{{"isInstantBlockActivated", true}}}), 60s);
  }
  ASSERT_TRUE(waitUntil([&] { return logged(*log, "asking for ack") >= std::size_t{kFlood}; }, 60s));
  ASSERT_TRUE(testsupport::waitUntilSteady(*posted_));
  gate.signal();
  ASSERT_TRUE(waitUntil([&] { return server_->count(eventIs("ack")) == std::size_t{kFlood}; }, 60s));
  drain();
  EXPECT_EQ(workspace_.runningApplicationsCalls() - walksBefore, 1);
  EXPECT_EQ(blocker_.reloads(), 1u);
  std::vector<std::string> acked;
  for (const auto& ack : server_->matching(eventIs("ack"))) {
    EXPECT_EQ(ack["args"], kOk);
    acked.push_back(ack.value("tag", ""));
  }
  EXPECT_EQ(acked, tags);
  EXPECT_EQ(ackPacketsSent(), std::size_t{kFlood});
  EXPECT_TRUE(workspace_.terminateCalls().empty());
}

// Safe-search commands and wipes handed over in one batch: each pass runs and its
// event is acknowledged before the wipe that came after it ends the process (here a
// stand-in that lets the channel go on).
TEST_F(SocketHandlerTest, AWipeInTheSameBatchWaitsForThePassBeforeIt) {
  connect();
  drain();
  std::vector<std::size_t> reloadsAtExit;
  remakeExit([&](int) { reloadsAtExit.push_back(blocker_.reloads()); });
  platform::DispatchSemaphore gate(0);
  queue_->async([&] { gate.wait(); });
  auto log = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog(log);
  emit("pass1", "safe_search_rule", json::array({1}));
  emit("restriction", "child_restriction", json::array({json::object()}), 300ms);
  emit("pass2", "safe_search_rule", json::array({2}));
  emit("termination", "session_termination", json::array({json::object()}), 300ms);
  ASSERT_TRUE(waitUntil([&] { return logged(*log, "asking for ack") >= 4; }));
  ASSERT_TRUE(testsupport::waitUntilSteady(*posted_));
  gate.signal();
  EXPECT_EQ(ackOf("pass1"), kOk);
  EXPECT_EQ(ackOf("pass2"), kOk);
  EXPECT_FALSE(ackOf("restriction"));
  EXPECT_FALSE(ackOf("termination"));
  drain();
  remakeExit(nullptr);
  EXPECT_EQ(reloadsAtExit, (std::vector<std::size_t>{1, 2}));
  EXPECT_EQ(exits(), (std::vector<int>{0, 0}));
  const auto acks = server_->matching(eventIs("ack"));
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_EQ(acks[0]["tag"], "pass1");
  EXPECT_EQ(acks[1]["tag"], "pass2");
}

TEST_F(SocketHandlerTest, InstantBlockReadsRunningApplicationsOnlyWhenTheFlagIsTrue) {
  connect();
  struct Case {
    json payload;
    int reads;
  };
  const Case cases[] = {
      {{{"isInstantBlockActivated", true}}, 1},
      {{{"isInstantBlockActivated", false}}, 0},
      {json::object(), 0},
      {{{"is_instant_block_activated", true},
        {"extra",
         [] {
           return json::array({1, 2});
         }()}},
       1},
  };
  int reads = 0;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].payload.dump());
    emit(std::to_string(i), "instant_block_activation", json::array({cases[i].payload}));
    EXPECT_EQ(ackOf(std::to_string(i)), kOk);
    reads += cases[i].reads;
    EXPECT_EQ(workspace_.runningApplicationsCalls(), reads);
  }
  EXPECT_TRUE(workspace_.terminateCalls().empty());
  EXPECT_TRUE(workspace_.signals().empty());
  for (pid_t pid : {10, 11, 12, 13}) EXPECT_TRUE(workspace_.isRunning(pid));
  EXPECT_TRUE(exits().empty());
}

TEST_F(SocketHandlerTest, LiveLocationHandsTheRuleOverThenAcknowledges) {
  std::vector<LiveLocationRule> seen;
  std::atomic<std::size_t> acksAtCompletion{0};
  handler_->listenToLiveLocation([&](const LiveLocationRule& rule) {
    acksAtCompletion = server_->count(eventIs("ack"));
    seen.push_back(rule);
  });
  connect();
  emit("good", "live_location", json::array({{{"distance", 50}, {"duration", 60000}, {"interval", 5000}, {"x", 1}}}));
  EXPECT_EQ(ackOf("good"), kOk);
  emit("bad", "live_location", json::array({{{"distance", 50}, {"duration", 60000}}}), 300ms);
  EXPECT_FALSE(ackOf("bad"));
  fence();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (LiveLocationRule{50, 60000.0, 5000.0}));
  EXPECT_EQ(acksAtCompletion.load(), 0u);
}

TEST_F(SocketHandlerTest, WipeRemovesOwnDefaultsKeepsTheSharedSuiteAndEnds) {
  platform::UserDefaults::standard().set("SYNCED_APPS", true);
  ASSERT_TRUE(fs::exists(standardDefaultsFile()));
  connect();
  emit("empty", "child_restriction", std::nullopt, 300ms);
  EXPECT_FALSE(ackOf("empty"));
  fence();
  EXPECT_TRUE(exits().empty());
  EXPECT_TRUE(fs::exists(standardDefaultsFile()));

  emit("wipe", "child_restriction", json::array({"anything"}), 300ms);
  EXPECT_FALSE(ackOf("wipe"));
  fence();
  EXPECT_EQ(ackPacketsSent(), 2u);  // the two fences
  EXPECT_EQ(exits(), std::vector<int>{0});
  EXPECT_FALSE(fs::exists(standardDefaultsFile()));
  EXPECT_FALSE(platform::UserDefaults::standard().boolean("SYNCED_APPS"));
  EXPECT_EQ(defaults_.suite().string(std::string(networks::kSharedChildToken)), kToken);
}

TEST_F(SocketHandlerTest, HandlersAreRegisteredOnceAcrossConnectsAndReconnects) {
  connect();
  handler_->connectToWebsocket();
  handler_->setSocketEvents();
  handler_->reconnectToWebsocket();
  connected(2);
  ASSERT_TRUE(server_->waitFor(eventIs("disconnect")));  // the first connection is gone at the server
  output_.clear();
  emit("pass", "safe_search_rule", json::array({1}));
  emit("rule", "app_blocker_rule", json::array({1}));
  EXPECT_EQ(ackOf("pass"), kOk);
  EXPECT_EQ(ackOf("rule"), kOk);
  drain();
  const auto printed = output_.take();
  EXPECT_EQ(std::count(printed.begin(), printed.end(), "Successfuly validated rules"), 1);
  EXPECT_EQ(blocker_.reloads(), 1u);
  const auto second = server_->waitFor(eventIs("connection"), 2);
  ASSERT_TRUE(second);
  const auto fromSecond = server_->count([&](const json& r) {
    return r.value("event", "") == "packet" && json(r.value("id", "")) == (*second)["id"] && r["data"].is_string() &&
           r["data"].get<std::string>().starts_with("3");
  });
  EXPECT_EQ(fromSecond, 2u);
}

TEST_F(SocketHandlerTest, ReconnectsAfterServerRestartAndRunsLaterCommandsOnce) {
  connect();
  output_.clear();
  server_->send({{"cmd", "restart"}});
  connected(2);
  ASSERT_TRUE(waitUntil([&] { return handler_->isConnected(); }));
  emit("after", "safe_search_rule", json::array({json::object()}));
  EXPECT_EQ(ackOf("after"), kOk);
  drain();
  const auto printed = output_.take();
  EXPECT_THAT(printed, Contains("socket close"));
  EXPECT_THAT(printed, Contains("socket connected"));
  EXPECT_EQ(std::count(printed.begin(), printed.end(), "Successfuly validated rules"), 1);
  EXPECT_EQ(blocker_.reloads(), 1u);
  EXPECT_EQ(ackPacketsSent(), 1u);
}

TEST_F(SocketHandlerTest, BadInputIsDroppedAndNeverAcknowledgedWrongly) {
  handler_->listenToLiveLocation([](const LiveLocationRule&) { ADD_FAILURE() << "no live rule was valid"; });
  connect();
  const char* garbage[] = {
      "garbage",
      "4",
      "42",
      "42[",
      "4x",
      "49[\"web_content_rule\",1]",
      "42\"web_content_rule\"",
      "42{\"a\":1}",
      "42[1,2]",
      "42[\"web_content_rule\"]",
      "42[\"safe_search_rule\"]",
      "7",
      "",
  };
  int tag = 0;
  for (const char* text : garbage) server_->send({{"cmd", "raw"}, {"tag", std::to_string(++tag)}, {"text", text}});
  server_->send({{"cmd", "raw"}, {"tag", "bin"}, {"binary", "AAEC"}});

  // 1 MB payloads: the instant block decodes (no flag) and is acknowledged; the live
  // location does not decode and is not.
  server_->send({{"cmd", "big"},
                 {"tag", "big-instant"},
                 {"name", "instant_block_activation"},
                 {"size", 1 << 20},
                 {"ack", true},
                 {"timeout", 10000}});
  server_->send({{"cmd", "big"},
                 {"tag", "big-live"},
                 {"name", "live_location"},
                 {"size", 1 << 20},
                 {"ack", true},
                 {"timeout", 1500}});
  // Binary attachments cannot be written as JSON text.
  const json blob = {{"$binary", "AAECAw=="}};
  for (const auto& [name, acked] : std::vector<std::pair<std::string, bool>>{
           {"instant_block_activation", true}, {"live_location", false}, {"web_content_rule", true}}) {
    server_->send({{"cmd", "emitBinary"},
                   {"tag", "bin-" + name},
                   {"name", name},
                   {"args", json::array({blob})},
                   {"ack", true},
                   {"timeout", acked ? 10000 : 1500}});
  }
  EXPECT_EQ(ackOf("big-instant"), kOk);
  EXPECT_FALSE(ackOf("big-live"));
  EXPECT_EQ(ackOf("bin-instant_block_activation"), kOk);
  EXPECT_FALSE(ackOf("bin-live_location"));
  EXPECT_EQ(ackOf("bin-web_content_rule"), kOk);

  // The connection is still there and still serves commands; once this one is
  // answered every earlier handler has run, so the count of acknowledgements is final.
  emit("fence", "web_content_rule", json::array({1}), 10000ms);
  EXPECT_EQ(ackOf("fence"), kOk);
  EXPECT_EQ(server_->count(eventIs("connection")), 1u);
  EXPECT_EQ(ackPacketsSent(), 4u);
  EXPECT_EQ(blocker_.reloads(), 0u);  // the raw safe_search_rule carried no data
  EXPECT_TRUE(exits().empty());
}

// The listener operations register the same wipe-and-exit handler as the channel's own
// commands, once per event however often they are called: each command wipes and ends
// once, with no acknowledgement, and the completions are never called.
TEST_F(SocketHandlerTest, ListenersLeaveOneWipeHandlerPerEvent) {
  platform::UserDefaults::standard().set("SYNCED_APPS", true);
  bool called = false;
  handler_->listenToDeletion([&](const AppDeletion&) { called = true; });
  EXPECT_EQ(handler_->socket().status(), sio::SocketIOStatus::notConnected);
  handler_->listenToExpiration([&](const ExpirationModel&) { called = true; });
  connected();
  handler_->listenToDeletion([&](const AppDeletion&) { called = true; });
  handler_->listenToExpiration([&](const ExpirationModel&) { called = true; });

  struct Case {
    const char* event;
    json payload;
  };
  const Case cases[] = {
      {"child_restriction", {{"is_block", true}}},
      {"child_restriction", json::object()},
      {"session_termination", {{"deleted", false}}},
      {"session_termination", {{"deleted", 1}}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].event + (" " + cases[i].payload.dump()));
    emit(std::to_string(i), cases[i].event, json::array({cases[i].payload}), 300ms);
    EXPECT_FALSE(ackOf(std::to_string(i)));
    fence();
    EXPECT_EQ(exits(), std::vector<int>(i + 1, 0));
  }
  EXPECT_FALSE(called);
  EXPECT_FALSE(fs::exists(standardDefaultsFile()));
  EXPECT_EQ(server_->count(eventIs("connection")), 1u);
  EXPECT_EQ(server_->count(eventIs("disconnect")), 0u);
  EXPECT_EQ(ackPacketsSent(), std::size(cases));  // the fences
}

TEST(SocketHandlerRetryTest, WaitsDoubleUpToTheirCapWithinAQuarterEitherWay) {
  using std::chrono::milliseconds;
  const SocketHandlerOptions defaults;
  const struct {
    int attempt;
    milliseconds wait, waitMax;
    milliseconds nominal;
  } cases[] = {
      {0, 40ms, 160ms, 40ms},
      {1, 40ms, 160ms, 80ms},
      {2, 40ms, 160ms, 160ms},
      {3, 40ms, 160ms, 160ms},
      {0, defaults.retryWait, defaults.retryWaitMax, 5s},
      {3, defaults.retryWait, defaults.retryWaitMax, 40s},
      {6, defaults.retryWait, defaults.retryWaitMax, std::chrono::minutes(4)},
      {1000000, defaults.retryWait, defaults.retryWaitMax, std::chrono::minutes(4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attempt);
    const auto low = SocketHandler::retryDelay(c.attempt, c.wait, c.waitMax, 0.0);
    const auto mid = SocketHandler::retryDelay(c.attempt, c.wait, c.waitMax, 0.5);
    const auto high = SocketHandler::retryDelay(c.attempt, c.wait, c.waitMax, 0.999999);
    EXPECT_EQ(low, c.nominal * 3 / 4);
    EXPECT_EQ(mid, c.nominal);
    EXPECT_LE(high, c.waitMax);
    EXPECT_GE(high, std::min(c.waitMax, c.nominal * 5 / 4 - 1ms));
  }
}

TEST_F(SocketHandlerTest, ARefusedConnectIsTriedAgainWithGrowingWaitsUntilATokenIsAccepted) {
  auto log = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog(log);
  setSuiteValue(networks::kSharedChildToken, "reject");
  handler_->connectToWebsocket();
  ASSERT_TRUE(waitUntil([&] { return logged(*log, "connect refused by the server") >= 4; }));
  EXPECT_FALSE(handler_->isConnected());
  EXPECT_EQ(server_->count(eventIs("connection")), 0u);
  const auto delays = retryDelays();
  ASSERT_GE(delays.size(), 3u);
  // 40 ms, 80 ms, then the 160 ms cap, each within a quarter.
  EXPECT_GE(delays[0], 30ms);
  EXPECT_LE(delays[0], 50ms);
  EXPECT_GE(delays[1], 60ms);
  EXPECT_LE(delays[1], 100ms);
  for (std::size_t i = 2; i < delays.size(); ++i) {
    EXPECT_GE(delays[i], 120ms) << i;
    EXPECT_LE(delays[i], 160ms) << i;
  }

  // The token the service accepts: one connection carries it, and a command is
  // acknowledged once.
  setSuiteValue(networks::kSharedChildToken, "accepted");
  const auto connection = connected();
  EXPECT_EQ(connection["query"]["token"], "accepted");
  emit("rule", "app_blocker_rule", json::array({1}));
  EXPECT_EQ(ackOf("rule"), kOk);
  fence();
  EXPECT_EQ(server_->count(eventIs("connection")), 1u);
  EXPECT_EQ(ackPacketsSent(), 2u);
}

TEST_F(SocketHandlerTest, ANewTokenEndsTheWaitAfterARefusalAtOnce) {
  remake([](SocketHandlerOptions& options) {
    options.retryWait = std::chrono::hours(1);
    options.retryWaitMax = std::chrono::hours(1);
  });
  auto log = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scopedLog(log);
  setSuiteValue(networks::kSharedChildToken, "reject");
  handler_->connectToWebsocket();
  ASSERT_TRUE(waitUntil([&] { return logged(*log, "connect refused by the server") == 1 && !retryDelays().empty(); }));
  EXPECT_GE(retryDelays().front(), 45min);
  setSuiteValue(networks::kSharedChildToken, "fresh");
  // Well before the hour is up.
  const auto connection = connected();
  EXPECT_EQ(connection["query"]["token"], "fresh");
  EXPECT_EQ(logged(*log, "connect refused by the server"), 1u);
}

TEST_F(SocketHandlerTest, ATokenChangedWhileConnectedMovesTheChannelToIt) {
  connect();
  setSuiteValue(networks::kSharedChildToken, "second");
  const auto second = connected(2);
  EXPECT_EQ(second["query"]["token"], "second");
  // The first connection was closed before the second was opened.
  const auto records = connectionsAndDisconnects();
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[0]["event"], "connection");
  EXPECT_EQ(records[1]["event"], "disconnect");
  EXPECT_EQ(records[1]["id"], records[0]["id"]);
  EXPECT_EQ(records[2]["event"], "connection");
  emit("rule", "web_content_rule", json::array({1}));
  EXPECT_EQ(ackOf("rule"), kOk);
  EXPECT_EQ(ackPacketsSent(), 1u);
}

TEST_F(SocketHandlerTest, AServerSideDisconnectIsFollowedByOneNewConnection) {
  connect();
  output_.clear();
  server_->send({{"cmd", "kick"}});
  const auto second = connected(2);
  EXPECT_EQ(second["query"]["token"], kToken);
  emit("pass", "safe_search_rule", json::array({1}));
  EXPECT_EQ(ackOf("pass"), kOk);
  fence();
  const auto printed = output_.take();
  EXPECT_THAT(printed, Contains("socket close"));
  EXPECT_EQ(std::count(printed.begin(), printed.end(), "socket connected"), 1);
  EXPECT_EQ(std::count(printed.begin(), printed.end(), "Successfuly validated rules"), 1);
  // One connection at a time: the kicked one ended before the next began, and no
  // third came.
  const auto records = connectionsAndDisconnects();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1]["event"], "disconnect");
  EXPECT_EQ(records[1]["reason"], "server namespace disconnect");
  EXPECT_EQ(ackPacketsSent(), 2u);
  EXPECT_EQ(blocker_.reloads(), 1u);
}

// The agent-like helper process: the command ends it with status 0 after removing its
// own defaults; the shared suite stays, and the command is not acknowledged. The
// commands sent before it are, before the process ends.
TEST(SocketHandlerExitTest, CommandEndsTheProcessAfterTheWipe) {
  struct Case {
    std::string event;
    std::vector<std::string> before;  // commands sent just before it
  };
  const Case cases[] = {
      {"child_restriction", {}},
      {"session_termination", {}},
      {"child_restriction", {"web_content_rule", "instant_block_activation", "app_blocker_rule"}},
      {"session_termination", {"instant_block_activation", "web_content_rule", "instant_block_activation"}},
  };
  for (const auto& [event, before] : cases) {
    SCOPED_TRACE(event + " after " + std::to_string(before.size()));
    // The helper finds its defaults in this home, which it is given as HOME.
    testsupport::TempFiles home;
    auto suite = platform::UserDefaults::suite(home.files(), std::string(networks::kAppGroup));
    suite->set(std::string(networks::kSharedChildToken), std::string(kToken));
    suite->set(std::string(networks::kMacosPassword), std::string("pw"));
    const fs::path standardFile = platform::UserDefaults::standardPath(home.files());
    platform::UserDefaults::atPath(standardFile.string())->set("SYNCED_APPS", true);
    ASSERT_TRUE(fs::exists(standardFile));
    NodeServer server;

    std::string helper = CHANNEL_COMMAND_HELPER;
    std::string url = "https://localhost:" + std::to_string(server.port());
    std::string ca = TestCertificates::get().caFile;
    std::vector<char*> argv = {helper.data(), url.data(), ca.data(), nullptr};
    std::vector<std::string> environment = environmentWithHome(home.path());
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);

    const auto connection = server.waitFor(eventIs("connection"));
    ASSERT_TRUE(connection);
    EXPECT_EQ((*connection)["query"]["token"], kToken);
    for (std::size_t i = 0; i < before.size(); ++i) {
      server.send({{"cmd", "emit"},
                   {"tag", std::to_string(i)},
                   {"name", before[i]},
                   {"args", json::array({{{"isInstantBlockActivated", true}}})},
                   {"ack", true},
                   {"timeout", 1000}});
    }
    server.send({{"cmd", "emit"},
                 {"tag", "end"},
                 {"name", event},
                 {"args", json::array({{{"isBlock", true}}})},
                 {"ack", true},
                 {"timeout", 1000}});

    int status = -1;
    const bool ended = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      ::kill(pid, SIGKILL);  // our own child only
      ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(server.waitFor(eventAndTag("ackTimeout", "end")));
    std::vector<json> acked;
    for (const auto& ack : server.matching(eventIs("ack"))) acked.push_back(ack["tag"]);
    std::vector<json> sent;
    for (std::size_t i = 0; i < before.size(); ++i) sent.emplace_back(std::to_string(i));
    EXPECT_EQ(acked, sent);
    EXPECT_FALSE(fs::exists(standardFile));
    EXPECT_EQ(suite->string(std::string(networks::kSharedChildToken)), kToken);
    EXPECT_EQ(suite->string(std::string(networks::kMacosPassword)), "pw");
  }
}

}  // namespace
}  // namespace channel
