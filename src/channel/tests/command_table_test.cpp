// The command table and its dispatch, without a socket: every row's decoder and
// acknowledgement policy, what each command does with the data it gets, and the order
// in which work, acknowledgements and the wipe take effect when many events come at
// once (coalesced work, a wipe behind pending passes, a flood).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "channel/socket_handler.h"
#include "networks/shared_settings.h"
#include "networks/url_protocol_stub.h"
#include "platform/dispatch.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/fakes/fake_content_blocker.h"
#include "platform/fakes/fake_workspace.h"
#include "platform/user_defaults.h"
#include "support/scoped_user_defaults.h"
#include "support/temp_files.h"

namespace channel {
namespace {

using json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Each row: its registration and acknowledgement, what it reads of the event's data and
// what its step asks for; a payload that does not decode fails only a row that reads it.
TEST(CommandTableTest, StatesEveryRowsRegistrationPayloadAndStep) {
  using Kind = CommandStep::Kind;
  struct Row {
    const char* event;
    Registration registration;
    AckPolicy ack;
    std::size_t payload;
    bool reads;
    json accepted;  // the step's answer to this data is `step`
    Kind step;
  };
  const json on = {{"is_instant_block_activated", true}};
  const json rule = {{"distance", 1}, {"duration", 2}, {"interval", 3}};
  // In the order the socket registers them; "live_location" comes from each listener.
  const Row expected[] = {
      {"instant_block_activation", Registration::onConnect, AckPolicy::always,
       detail::payloadIndex<rules::InstantBlock>(), true, on, Kind::walkRunningApplications},
      {"safe_search_rule", Registration::onConnect, AckPolicy::always, kNoPayload, false, json(5),
       Kind::safeSearchPass},
      {"web_content_rule", Registration::onConnect, AckPolicy::always, kNoPayload, false, json(5), Kind::nothing},
      {"app_blocker_rule", Registration::onConnect, AckPolicy::always, kNoPayload, false, json(5), Kind::nothing},
      {"child_restriction", Registration::onConnect, AckPolicy::never, detail::payloadIndex<ExpirationModel>(), false,
       json(5), Kind::wipeAndExit},
      {"session_termination", Registration::onConnect, AckPolicy::never, detail::payloadIndex<AppDeletion>(), false,
       json(5), Kind::wipeAndExit},
      {"live_location", Registration::perListener, AckPolicy::onDecodedPayload,
       detail::payloadIndex<LiveLocationRule>(), true, rule, Kind::liveLocation},
  };
  const auto table = commandTable();
  ASSERT_EQ(table.size(), std::size(expected));
  const auto decoder = makePayloadDecoder();
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& row = table[i];
    SCOPED_TRACE(expected[i].event);
    EXPECT_EQ(row.event, expected[i].event);
    EXPECT_EQ(row.registration, expected[i].registration);
    EXPECT_EQ(row.ack, expected[i].ack);
    EXPECT_EQ(row.payload, expected[i].payload);
    EXPECT_EQ(row.readsPayload, expected[i].reads);
    EXPECT_EQ(findCommand(expected[i].event), &row);

    auto step = row.step(expected[i].accepted, decoder);
    ASSERT_TRUE(step) << step.error().debugDescription;
    EXPECT_EQ(step->kind, expected[i].step);
    if (expected[i].step == Kind::liveLocation) {
      EXPECT_EQ(step->rule, (LiveLocationRule{1, 2.0, 3.0}));
    } else {
      EXPECT_FALSE(step->rule);
    }
    // Data that is no record of any row's payload: only a row that reads it fails.
    EXPECT_EQ(row.step(json("x"), decoder).has_value(), !expected[i].reads);
  }
  EXPECT_EQ(findCommand("unknown_command"), nullptr);
}

platform::URLSessionConfiguration stubbedConfiguration() {
  platform::URLSessionConfiguration configuration;
  configuration.protocolClasses = {platform::URLProtocolClass::of<networks::URLProtocolStub>()};
  return configuration;
}

// A channel that is never connected, its handle queue a serial queue of the test's,
// and a journal of what its commands did, in order: "ack <tag>", "walk", "pass",
// "exit", "live <distance>".
class CommandDispatchTest : public ::testing::Test {
 protected:
  CommandDispatchTest() {
    defaults_.suite().set(std::string(networks::kSharedChildToken), std::string("token"));
    networks::URLProtocolStub::stub(
        platform::toData(
            R"({"category_rules":[],"is_active":true,"exceptions":[{"word":"w","rule":{"is_blocked":true}}]})"),
        std::make_shared<platform::HTTPURLResponse>("https://x/", 200, platform::HeaderList{}), std::nullopt);
    platform::FakeWorkspace::Application game;
    game.bundleIdentifier = "org.example.game";
    game.processIdentifier = 12;
    workspace_.setRunningApplications({game});
    blocker_.setAnswersSynchronously(true);

    SocketHandlerOptions options;
    options.socketURL = "https://localhost:9";
    options.handleQueue = [queue = queue_](std::function<void()> block) { queue->async(std::move(block)); };
    options.session = &session_;
    options.contentBlocker = &blocker_;
    options.fileManager = &home_.files();
    options.workspace = &workspace_;
    options.ownDefaults = &defaults_.standard();
    options.exitProcess = [this](int status) {
      EXPECT_EQ(status, 0);
      note("exit");
    };
    handler_ = std::make_unique<SocketHandler>(std::move(options));
    listener_ = handler_->addLiveLocationListener(
        [this](const LiveLocationRule& rule) { note("live " + std::to_string(rule.distance)); });
  }
  ~CommandDispatchTest() override {
    handler_.reset();
    networks::URLProtocolStub::removeStub();
  }

  struct Event {
    const char* event;
    std::optional<json> payload;  // absent: the event carries no data
    std::string tag;
  };

  // Dispatches the events in one block of the handle queue, as the Socket.IO client
  // hands over one batch, then lets everything they queued run.
  void batch(const std::vector<Event>& events) {
    queue_->sync([&] {
      for (const auto& e : events) {
        const Command* command = findCommand(e.event);
        ASSERT_NE(command, nullptr) << e.event;
        std::vector<json> data;
        if (e.payload) data.push_back(*e.payload);
        handler_->dispatch(
            *command, data,
            [this, tag = e.tag](const Acknowledge& ack) {
              EXPECT_EQ(ack.socketRepresentation(), (std::map<std::string, std::string>{{"status", "ok"}}));
              note("ack " + tag);
            },
            listener_);
      }
    });
    drain();
  }

  // Runs the handle queue until nothing more is queued on it.
  void drain() {
    for (int i = 0; i < 4; ++i) queue_->sync([] {});
  }

  // What happened so far, in order, with the walks and passes folded in.
  std::vector<std::string> journal() {
    std::vector<std::string> out;
    std::size_t walks = baseWalks_;
    std::size_t passes = basePasses_;
    for (const auto& entry : journal_) {
      // Work is seen where its effects are counted: just before the next entry.
      out.insert(out.end(), entry.walks - walks, "walk");
      out.insert(out.end(), entry.passes - passes, "pass");
      walks = entry.walks;
      passes = entry.passes;
      out.push_back(entry.text);
    }
    out.insert(out.end(), static_cast<std::size_t>(workspace_.runningApplicationsCalls()) - walks, "walk");
    out.insert(out.end(), blocker_.reloads().size() - passes, "pass");
    return out;
  }

  // Starts the journal afresh: what happened before is left out.
  void restartJournal() {
    journal_.clear();
    baseWalks_ = static_cast<std::size_t>(workspace_.runningApplicationsCalls());
    basePasses_ = blocker_.reloads().size();
  }

  void note(std::string text) {
    journal_.push_back(
        {std::move(text), static_cast<std::size_t>(workspace_.runningApplicationsCalls()), blocker_.reloads().size()});
  }

  struct Entry {
    std::string text;
    std::size_t walks;
    std::size_t passes;
  };

  testsupport::TempFiles home_;
  testsupport::ScopedUserDefaults defaults_;
  platform::CapturedOutput output_;
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::makeSerial("command-dispatch-test");
  platform::URLSession session_{stubbedConfiguration()};
  platform::FakeContentBlockerManager blocker_;
  platform::FakeWorkspace workspace_;
  std::vector<Entry> journal_;
  std::size_t baseWalks_ = 0;
  std::size_t basePasses_ = 0;
  std::unique_ptr<SocketHandler> handler_;
  std::size_t listener_ = 0;
};

// One event at a time: the printed lines, the work done and the acknowledgement, as
// the row's policy says.
TEST_F(CommandDispatchTest, EachRowActsAndAcknowledgesAsItsPolicySays) {
  const std::string notFound = "\"⛔️ result not found\"";
  const std::string failed = "\"⛔️ JSONSerialization failed \" ";
  struct Case {
    const char* event;
    std::optional<json> payload;
    std::vector<std::string> journal;
    std::vector<std::string> printedStarts;  // each printed line starts with one of these
  };
  const Case cases[] = {
      {"instant_block_activation", json{{"isInstantBlockActivated", true}}, {"walk", "ack x"}, {}},
      {"instant_block_activation", json{{"is_instant_block_activated", false}}, {"ack x"}, {}},
      {"instant_block_activation", json::object(), {"ack x"}, {}},
      {"instant_block_activation", json(5), {"ack x"}, {failed}},
      {"instant_block_activation", std::nullopt, {}, {notFound}},
      {"safe_search_rule", json(nullptr), {"pass", "ack x"}, {"Successfuly validated rules"}},
      {"safe_search_rule", std::nullopt, {}, {notFound}},
      {"web_content_rule", json::array(), {"ack x"}, {}},
      {"web_content_rule", std::nullopt, {}, {notFound}},
      {"app_blocker_rule", json("x"), {"ack x"}, {}},
      {"app_blocker_rule", std::nullopt, {}, {notFound}},
      {"live_location", json{{"distance", 50}, {"duration", 60000}, {"interval", 5000}}, {"live 50", "ack x"}, {}},
      {"live_location", json{{"distance", 50}, {"duration", 60000}}, {}, {failed}},
      {"live_location", std::nullopt, {}, {notFound}},
      {"child_restriction", json::object(), {"exit"}, {}},
      {"child_restriction", std::nullopt, {}, {notFound}},
      {"session_termination", json{{"deleted", 1}}, {"exit"}, {}},
      {"session_termination", std::nullopt, {}, {notFound}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.event) + " " + (c.payload ? c.payload->dump() : "<no data>"));
    restartJournal();
    output_.clear();
    batch({{c.event, c.payload, "x"}});
    // Only this case's work counts.
    const auto entries = journal();
    EXPECT_EQ(entries, c.journal);
    const auto printed = output_.take();
    const auto relevant = std::count_if(printed.begin(), printed.end(), [&](const std::string& line) {
      return std::any_of(c.printedStarts.begin(), c.printedStarts.end(),
                         [&](const std::string& start) { return line.starts_with(start); });
    });
    EXPECT_EQ(static_cast<std::size_t>(relevant), c.printedStarts.size()) << ::testing::PrintToString(printed);
    if (c.printedStarts.empty() || c.printedStarts[0] != "Successfuly validated rules") {
      EXPECT_EQ(printed.size(), c.printedStarts.size()) << ::testing::PrintToString(printed);
    }
  }
}

// Many events in one batch: each kind of work runs once for the events that asked for
// it before it ran, every acknowledgement goes out in the order the events came and
// after the work its event asked for, and a wipe waits for the work queued before it.
TEST_F(CommandDispatchTest, ABatchIsHandledInOrderWithItsWorkCoalesced) {
  const json on = {{"isInstantBlockActivated", true}};
  const json off = {{"isInstantBlockActivated", false}};
  auto live = [](int distance) { return json{{"distance", distance}, {"duration", 1000}, {"interval", 1000}}; };
  struct Case {
    const char* name;
    std::vector<Event> events;
    std::vector<std::string> journal;
  };
  const Case cases[] = {
      {"a pass, then a wipe in the same batch",
       {{"safe_search_rule", json(1), "s"}, {"child_restriction", json(1), "c"}},
       {"pass", "ack s", "exit"}},
      {"a pass, then the other wipe",
       {{"safe_search_rule", json(1), "s"}, {"session_termination", json(1), "t"}},
       {"pass", "ack s", "exit"}},
      {"an acknowledgement without work waits for the pass before it",
       {{"safe_search_rule", json(1), "s"}, {"web_content_rule", json(1), "w"}, {"app_blocker_rule", json(1), "a"}},
       {"pass", "ack s", "ack w", "ack a"}},
      {"before any work, an acknowledgement goes at once",
       {{"web_content_rule", json(1), "w"}, {"instant_block_activation", off, "i"}, {"safe_search_rule", json(1), "s"}},
       {"ack w", "ack i", "pass", "ack s"}},
      {"kinds of work coalesce each on its own",
       {{"instant_block_activation", on, "i1"},
        {"safe_search_rule", json(1), "s1"},
        {"instant_block_activation", on, "i2"},
        {"web_content_rule", json(1), "w"},
        {"safe_search_rule", json(1), "s2"},
        {"instant_block_activation", off, "i3"}},
       {"walk", "ack i1", "pass", "ack s1", "ack i2", "ack w", "ack s2", "ack i3"}},
      {"the live rule handed over is the latest",
       {{"live_location", live(1), "l1"}, {"live_location", live(2), "l2"}, {"live_location", json::object(), "bad"}},
       {"live 2", "ack l1", "ack l2"}},
      {"events without data or failing to decode keep their place",
       {{"safe_search_rule", std::nullopt, "none"},
        {"instant_block_activation", json("x"), "i"},
        {"safe_search_rule", json(1), "s"},
        {"instant_block_activation", json(2), "j"}},
       {"ack i", "pass", "ack s", "ack j"}},
      {"work after a wipe is work of its own",
       {{"safe_search_rule", json(1), "s1"},
        {"child_restriction", json(1), "c"},
        {"safe_search_rule", json(1), "s2"},
        {"web_content_rule", json(1), "w"}},
       {"pass", "ack s1", "exit", "pass", "ack s2", "ack w"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    restartJournal();
    batch(c.events);
    const auto entries = journal();
    EXPECT_EQ(entries, c.journal);
  }
}

// Events handed over in two batches before the work of the first ran share that work;
// an event after it has run asks for work of its own.
TEST_F(CommandDispatchTest, WorkServesEveryEventQueuedBeforeItRan) {
  platform::DispatchSemaphore gate(0);
  queue_->async([&] { gate.wait(); });
  const json on = {{"isInstantBlockActivated", true}};
  auto post = [&](const char* event, const json& payload, const std::string& tag) {
    queue_->async([this, event, payload, tag] {
      handler_->dispatch(*findCommand(event), {payload}, [this, tag](const Acknowledge&) { note("ack " + tag); });
    });
  };
  post("instant_block_activation", on, "a");
  post("instant_block_activation", on, "b");
  gate.signal();
  drain();
  post("instant_block_activation", on, "c");
  drain();
  EXPECT_THAT(journal(), ElementsAre("walk", "ack a", "ack b", "walk", "ack c"));
}

// A flood of commands costs one walk and one pass, however many events came; every
// event is acknowledged once, in order, and nothing is kept afterwards.
TEST_F(CommandDispatchTest, AFloodCostsOneWalkAndOnePass) {
  constexpr int kFlood = 20000;
  const json on = {{"isInstantBlockActivated", true}};
  std::vector<Event> events;
  std::vector<std::string> acks;
  for (int i = 0; i < kFlood; ++i) {
    const std::string tag = std::to_string(i);
    events.push_back(i % 4 == 3 ? Event{"safe_search_rule", json(i), tag} : Event{"instant_block_activation", on, tag});
    acks.push_back("ack " + tag);
  }
  batch(events);
  auto entries = journal();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "walk"), 1);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "pass"), 1);
  std::erase_if(entries, [](const std::string& e) { return !e.starts_with("ack "); });
  EXPECT_EQ(entries, acks);

  // The next event is served on its own, at once.
  restartJournal();
  batch({{"web_content_rule", json(1), "after"}});
  EXPECT_THAT(journal_.size(), 1u);
  EXPECT_EQ(journal_.back().text, "ack after");
}

}  // namespace
}  // namespace channel
