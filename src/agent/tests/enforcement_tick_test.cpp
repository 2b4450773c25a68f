// The enforcement tick over a scripted workspace, canned REST replies and a stub sudo:
// app rules and terminations, the host list's window, the hosts file and its command
// lines; and one real termination of a child process of the test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>

#include "agent/app_delegate.h"
#include "agent/tests/support/agent_fixture.h"
#include "agent/tests/support/printed.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/process.h"
#include "platform/workspace.h"

namespace {

using agenttest::AgentFixture;
using agenttest::app;
using agenttest::kAppRulesPath;
using agenttest::kSafeSearchPath;
using agenttest::kWebRulesPath;
using agenttest::readFile;
using platform::FakeWorkspace;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

constexpr const char* kBlockingRules = R"({
  "rules": [
    {"_id": "r1", "rule_type": "BLACK_LIST",
     "applications": [{"id": "1", "name": "Game", "pk": "com.blocked.game"},
                      {"id": "2", "name": "Other", "pk": "com.other.app"},
                      {"id": "3", "name": "No identifier"}]},
    {"_id": "r2", "rule_type": "BLACK_LIST", "applications": [{"pk": "com.blocked.game"}]},
    {"_id": "r3", "rule_type": "WHITE_LIST", "applications": [{"pk": "com.allowed.app"}]},
    {"_id": "r4", "rule_type": "black_list", "applications": [{"pk": "com.lowercase.type"}]},
    {"_id": "r5", "applications": [{"pk": "com.untyped.app"}]},
    {"_id": "r6", "rule_type": "BLACK_LIST"}
  ],
  "message": "ok"
})";

class Tick : public AgentFixture {
 protected:
  void SetUp() override {
    storeToken();
    storePassword("pw");
    setReply(kAppRulesPath, 200, kBlockingRules);
    setReply(kWebRulesPath, 200, R"({"exceptions": []})");
  }
  // Root's line for the hosts text `text` (handed over on its standard input).
  std::string moveCommand(const std::string& text) const {
    return agent::hostsReplacementCommand(hostsTarget(), text, ::getuid());
  }
  // One tick whose app-rule reply comes after it, as it does from a real service (held,
  // so that a quick canned reply cannot overtake the tick's own termination step), and
  // then handled.
  void tickWithTheAppRuleReplyAfterIt() {
    service().hold(kAppRulesPath, true);
    delegate().fireTimer();
    service().release(kAppRulesPath);
    drainSession();
  }
};

TEST_F(Tick, BlockedIdentifiersTakeEffectFromTheNextTickEveryInstanceAtOnce) {
  workspace_.setRunningApplications({app("com.blocked.game", 100), app("com.blocked.game", 101),
                                     app("com.Other.App", 200), app("com.allowed.app", 300),
                                     app("com.lowercase.type", 400), app("com.untyped.app", 500)});
  auto& d = delegate();

  platform::CapturedOutput captured;
  tickWithTheAppRuleReplyAfterIt();
  std::string out = agenttest::printedText(captured.take());
  // The first tick sent the request and terminated nothing.
  EXPECT_EQ(service().requests(kAppRulesPath).size(), 1u);
  EXPECT_THAT(workspace_.terminateCalls(), IsEmpty());
  EXPECT_THAT(workspace_.signals(), IsEmpty());
  // Only the two black lists count; the same identifier twice is one entry.
  EXPECT_THAT(d.blockingAppsArrayString.get(), UnorderedElementsAre("com.blocked.game", "com.other.app"));
  EXPECT_THAT(out, HasSubstr("responseModel: AppBlockerRuleBase(rules: Optional([RuleApp(_id: Optional(\"r1\")"));
  EXPECT_THAT(out, HasSubstr("ddd: com.blocked.game\nddd: com.other.app\nddd: nil\nddd: com.blocked.game\n"));

  EXPECT_EQ(workspace_.runningApplicationsCalls(), 0);

  // Second tick: both instances at once; "com.Other.App" differs in case and stays.
  // One list of the running applications serves both identifiers.
  d.fireTimer();
  EXPECT_EQ(workspace_.runningApplicationsCalls(), 1);
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(100, 101));
  EXPECT_THAT(workspace_.signals(),
              ElementsAre(FakeWorkspace::Signal{100, SIGTERM}, FakeWorkspace::Signal{101, SIGTERM}));

  // A later reply that names nothing leaves the set as it was.
  setReply(kAppRulesPath, 200, R"({"rules": []})");
  drainSession();
  d.fireTimer();
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(100, 101));
  EXPECT_TRUE(workspace_.isRunning(200));
  EXPECT_TRUE(workspace_.isRunning(300));
  EXPECT_TRUE(workspace_.isRunning(400));
  EXPECT_TRUE(workspace_.isRunning(500));
  EXPECT_THAT(d.blockingAppsArrayString.get(), UnorderedElementsAre("com.blocked.game", "com.other.app"));
}

// An application answers to every name it is known by; the agent's own process is never
// a candidate, whatever a rule names (a later process with the name is hit instead).
TEST_F(Tick, RepliesThatCarryNoRulesChangeNothing) {
  struct Case {
    std::string name;
    agenttest::CannedReply reply;
    std::string printed;
  } cases[] = {
      {"not json", agenttest::reply(200, "<html>"), "errrrrrrrr®\n"},
      {"wrong type", agenttest::reply(200, R"({"rules": {"rule_type": "BLACK_LIST"}})"), "errrrrrrrr®\n"},
      {"error object", agenttest::reply(500, R"({"message": "boom"})"),
       "responseModel: AppBlockerRuleBase(rules: nil, message: Optional(\"boom\"))\n"},
      {"transport failure", {}, "ERRORRRRR:  Optional(Error Domain=NSURLErrorDomain Code=-1004"},
  };
  cases[3].reply.error = platform::Error::url(platform::URLErrorCode::cannotConnectToHost);
  auto& d = delegate();
  for (const auto& c : cases) {
    service().setReply(kAppRulesPath, c.reply);
    platform::CapturedOutput captured;
    d.getAppRule();
    drainSession();
    std::string out = agenttest::printedText(captured.take());
    EXPECT_THAT(out, HasSubstr(c.printed)) << c.name;
    EXPECT_THAT(d.blockingAppsArrayString.get(), IsEmpty()) << c.name;
  }
}

TEST_F(Tick, RequestsCarryTheTokenAndFollowTheBackendChoice) {
  struct Case {
    std::optional<std::string> backend;
    std::string host;
    bool schoolPrinted;
  } cases[] = {
      {std::nullopt, "api.family.mopet.velmorhome.so", false},
      {"school", "api.school.mopet.velmorhome.so", true},
      {"School", "api.family.mopet.velmorhome.so", false},
      {"family", "api.family.mopet.velmorhome.so", false},
  };
  auto& d = delegate();
  for (const auto& c : cases) {
    if (c.backend) sharedSuite()->set("SCHOOL_FAMILYAPI_AGENT", *c.backend);
    else sharedSuite()->removeObject("SCHOOL_FAMILYAPI_AGENT");
    service().reset();
    platform::CapturedOutput captured;
    d.getAppRule();
    d.getWebfilterRule();
    drainSession();
    std::string out = agenttest::printedText(captured.take());
    EXPECT_EQ(out.find("USE SCHOOL FOR APP RULES") != std::string::npos, c.schoolPrinted);
    for (const char* path : {kAppRulesPath, kWebRulesPath}) {
      auto requests = service().requests(path);
      ASSERT_EQ(requests.size(), 1u) << path;
      EXPECT_EQ(requests[0].url, "https://" + c.host + path);
      EXPECT_EQ(requests[0].method, "GET");
      EXPECT_THAT(requests[0].headers,
                  ElementsAre(platform::HeaderList::value_type{"Authorization", "Bearer child-token"}));
      EXPECT_FALSE(requests[0].body);
      EXPECT_TRUE(std::isinf(requests[0].timeoutInterval));
    }
  }
}

TEST_F(Tick, WebEntriesInsideTheWindowReachTheHostsFileByteForByte) {
  // The web-rule reply lands while the safe-search pass holds the tick.
  service().hold(kWebRulesPath, true);
  auto safeSearch = agenttest::reply(200, agenttest::kEmptySafeSearchRules);
  safeSearch.releaseFirst = {kWebRulesPath};
  service().setReply(kSafeSearchPath, safeSearch);
  setReply(kWebRulesPath, 200, R"({
    "exceptions": [
      {"_id": "1", "domain": "blocked.example", "rule": {"is_blocked": true}},
      {"_id": "2", "domain": "allowed.example", "rule": {"is_blocked": false}},
      {"_id": "3", "domain": "norule.example"},
      {"_id": "4", "domain": "noflag.example", "rule": {}},
      {"_id": "5", "domain": "blocked.example", "rule": {"is_blocked": true}},
      {"_id": "6", "domain": "evil.example\n203.0.113.9\tbank.example", "rule": {"is_blocked": true}},
      {"_id": "7", "rule": {"is_blocked": true}}
    ],
    "categoryRules": [{"name": "Adult", "rule": {"is_blocked": true}}]
  })");

  platform::CapturedOutput captured;
  delegate().fireTimer();
  std::string out = agenttest::printedText(captured.take());

  const std::string expected = agent::hostsFileText(agent::defaultHostEntries()) +
                               "127.0.0.1\tblocked.example\n"
                               "127.0.0.1\tblocked.example\n";
  EXPECT_EQ(readFile(hostsTarget()), expected);
  struct stat info {};
  ASSERT_EQ(::stat(hostsTarget().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_FALSE(std::filesystem::exists(stagingPath()));
  EXPECT_THAT(tools_.sudoCommandLines(), ElementsAre(moveCommand(expected), agent::kFlushDnsCacheCommand));
  ASSERT_EQ(tools_.calls("chown").size(), 1u);
  EXPECT_THAT(tools_.calls("chown")[0].arguments,
              ElementsAre("--reference=./etc-hosts", "--", ".mopet-hosts-" + std::to_string(::getuid())));
  EXPECT_EQ(tools_.calls("resolvectl").size(), 2u);  // asked whether it runs, then flushed
  // The password, and for the replacement the text after it.
  ASSERT_EQ(tools_.calls().size(), 2u);
  EXPECT_EQ(tools_.calls()[0].standardInput, "pw\n" + expected);
  EXPECT_EQ(tools_.calls()[1].standardInput, "pw\n");

  EXPECT_THAT(out, HasSubstr("model: Optional(\"allowed.example\") - Optional(false)\n"));
  EXPECT_THAT(out, HasSubstr("model: Optional(\"norule.example\") - nil\n"));
  EXPECT_THAT(out, HasSubstr("model: Optional(\"noflag.example\") - nil\n"));
  EXPECT_THAT(out, HasSubstr("model: nil - Optional(true)\n"));
  EXPECT_THAT(out, HasSubstr("not a valid host name"));
}

TEST_F(Tick, AHomeWithABlankAndAQuoteStillGetsItsHostsFileMoved) {
  auto odd = home_.path() / "o'neil $(touch pwned) home";
  std::filesystem::create_directories(odd / "Documents");
  const std::string staging = (odd / "Documents" / "hosts").string();
  // The tick finds Documents through its file manager's home.
  useFolders([&](platform::Settings& settings) { settings.homeDirectory = odd.string(); });
  delegate().fireTimer();

  EXPECT_EQ(readFile(hostsTarget()), agent::hostsFileText(agent::defaultHostEntries()));
  EXPECT_FALSE(std::filesystem::exists(staging));
  EXPECT_FALSE(std::filesystem::exists(odd / "Documents" / "pwned"));
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  ASSERT_FALSE(tools_.sudoCommandLines().empty());
  EXPECT_EQ(tools_.sudoCommandLines()[0], moveCommand(agent::hostsFileText(agent::defaultHostEntries())));
}

TEST_F(Tick, AWebReplyAfterTheWriteIsWrittenByTheNextTick) {
  service().hold(kWebRulesPath, true);
  setReply(kWebRulesPath, 200, R"({"exceptions": [{"domain": "late.example", "rule": {"is_blocked": true}}]})");
  auto& d = delegate();
  d.fireTimer();
  EXPECT_EQ(readFile(hostsTarget()), agent::hostsFileText(agent::defaultHostEntries()));

  // The reply lands between ticks; the next tick writes it, although that tick's own
  // reply has not come.
  ASSERT_EQ(service().release(kWebRulesPath), 1);
  drainSession();
  service().hold(kWebRulesPath, true);
  d.fireTimer();
  EXPECT_EQ(readFile(hostsTarget()), agent::hostsFileText(agent::defaultHostEntries()) + "127.0.0.1\tlate.example\n");
  service().release(kWebRulesPath);
  drainSession();
}

// One tick with a rule set in force, then a tick whose web-rule reply fails.
TEST_F(Tick, AFailedOrUndecodableWebReplyKeepsTheBlockedDomains) {
  const std::string good = R"({"exceptions": [{"domain": "kept.example", "rule": {"is_blocked": true}}]})";
  const std::string blocking = agent::hostsFileText(agent::defaultHostEntries()) + "127.0.0.1\tkept.example\n";
  struct Case {
    std::string name;
    agenttest::CannedReply reply;
    std::string printed;
  } cases[] = {
      {"503 with an empty rule set", agenttest::reply(503, R"({"exceptions": []})"),
       "Keeping the blocked domains: the web-rule reply has status 503\n"},
      {"503 with an error object", agenttest::reply(503, R"({"message": "maintenance"})"),
       "Keeping the blocked domains: the web-rule reply has status 503\n"},
      {"transport failure", {}, "Optional(Error Domain=NSURLErrorDomain Code=-1004"},
      {"not JSON", agenttest::reply(200, "<html>busy</html>"), "Error decoding JSON: "},
      {"wrong type", agenttest::reply(200, R"({"exceptions": {"domain": "x.example"}})"), "Error decoding JSON: "},
  };
  cases[2].reply.error = platform::Error::url(platform::URLErrorCode::cannotConnectToHost);
  for (const auto& c : cases) {
    auto& d = delegate();
    setReply(kWebRulesPath, 200, good);
    d.fireTimer();
    ASSERT_EQ(readFile(hostsTarget()), blocking) << c.name;

    service().setReply(kWebRulesPath, c.reply);
    platform::CapturedOutput captured;
    d.fireTimer();
    drainSession();
    std::string out = agenttest::printedText(captured.take());
    EXPECT_THAT(out, HasSubstr(c.printed)) << c.name;
    EXPECT_EQ(readFile(hostsTarget()), blocking) << c.name;
    // And the tick after it too.
    d.fireTimer();
    EXPECT_EQ(readFile(hostsTarget()), blocking) << c.name;
    delegate_.reset();
  }
}

TEST_F(Tick, BlockedDomainsAreWrittenAsTheHostsFileHoldsThemAndTheAgentsOwnNamesSkipped) {
  setReply(kWebRulesPath, 200, R"({"exceptions": [
    {"domain": "B\u00fccher.example.", "rule": {"is_blocked": true}},
    {"domain": "ads_tracker.example.net", "rule": {"is_blocked": true}},
    {"domain": "api.family.mopet.velmorhome.so", "rule": {"is_blocked": true}},
    {"domain": "API.SCHOOL.mopet.velmorhome.so.", "rule": {"is_blocked": true}},
    {"domain": "localhost", "rule": {"is_blocked": true}},
    {"domain": "192.0.2.7", "rule": {"is_blocked": true}},
    {"domain": "::1", "rule": {"is_blocked": true}},
    {"domain": "bad#name.example", "rule": {"is_blocked": true}}
  ]})");
  platform::CapturedOutput captured;
  delegate().fireTimer();
  std::string out = agenttest::printedText(captured.take());
  EXPECT_EQ(readFile(hostsTarget()), agent::hostsFileText(agent::defaultHostEntries()) +
                                         "127.0.0.1\txn--bcher-kva.example\n"
                                         "127.0.0.1\tads_tracker.example.net\n");
  const std::string skipped = "Skipping blocked domain that is never sunk (the service, localhost or an address): ";
  for (const char* name :
       {"api.family.mopet.velmorhome.so", "API.SCHOOL.mopet.velmorhome.so.", "localhost", "192.0.2.7", "::1"})
    EXPECT_THAT(out, HasSubstr(skipped + "Optional(\"" + name + "\")\n")) << name;
  EXPECT_THAT(out,
              HasSubstr("Skipping blocked domain that is not a valid host name: Optional(\"bad#name.example\")\n"));
}

TEST_F(Tick, AShorterRuleSetUnblocksTheRest) {
  auto& d = delegate();
  const auto defaults = agent::hostsFileText(agent::defaultHostEntries());
  struct Step {
    std::string reply;
    std::string added;
  } steps[] = {
      {R"({"exceptions": [{"domain": "a.example", "rule": {"is_blocked": true}},
                          {"domain": "b.example", "rule": {"is_blocked": true}}]})",
       "127.0.0.1\ta.example\n127.0.0.1\tb.example\n"},
      {R"({"exceptions": [{"domain": "b.example", "rule": {"is_blocked": true}},
                          {"domain": "a.example", "rule": {"is_blocked": false}}]})",
       "127.0.0.1\tb.example\n"},
      {R"({"exceptions": []})", ""},
      {R"({"exceptions": [{"domain": "c.example", "rule": {"is_blocked": true}}]})", "127.0.0.1\tc.example\n"},
      // An object without exceptions (or with a null list) arrived whole: it blocks no domain.
      {R"({"message": "ok"})", ""},
      {R"({"exceptions": [{"domain": "d.example", "rule": {"is_blocked": true}}]})", "127.0.0.1\td.example\n"},
      {R"({"categoryRules": [{"name": "Adult", "rule": {"is_blocked": true}}]})", ""},
      {R"({"exceptions": [{"domain": "e.example", "rule": {"is_blocked": true}}]})", "127.0.0.1\te.example\n"},
      {R"({"exceptions": null})", ""},
  };
  for (const auto& step : steps) {
    setReply(kWebRulesPath, 200, step.reply);
    d.fireTimer();
    EXPECT_EQ(readFile(hostsTarget()), defaults + step.added) << step.reply;
  }
}

// A rule set of 100,000 domains, every hundredth of them not a host name, arrives whole
// and the next tick writes every valid one, in the reply's order.
TEST_F(Tick, AWebRuleReplyOfAHundredThousandDomainsIsWrittenWhole) {
  constexpr int kDomains = 100000;
  std::string reply = R"({"exceptions": [)";
  std::string added;
  for (int i = 0; i < kDomains; ++i) {
    const std::string domain = (i % 100 == 99 ? "bad#" : "blocked-") + std::to_string(i) + ".example.com";
    reply += (i ? "," : "") + std::string(R"({"domain": ")") + domain + R"(", "rule": {"is_blocked": true}})";
    if (i % 100 != 99) added += "127.0.0.1\t" + domain + "\n";
  }
  reply += "]}";
  setReply(kWebRulesPath, 200, reply);
  auto& d = delegate();
  {
    platform::CapturedOutput captured;
    d.fireTimer();
    drainSession();
    d.fireTimer();
  }
  EXPECT_EQ(readFile(hostsTarget()), agent::hostsFileText(agent::defaultHostEntries()) + added);
}

TEST_F(Tick, WithoutATokenNothingIsSentTerminatedOrRun) {
  sharedSuite()->removeObject("sharedChildToken");
  workspace_.setRunningApplications({app("com.blocked.game", 100)});
  auto& d = delegate();
  d.blockingAppsArrayString.set({"com.blocked.game"});  // as an earlier reply would have left it
  d.g_input.modify([](agent::HostEntries& list) { list.emplace_back("old.example", "127.0.0.1"); });

  d.fireTimer();
  EXPECT_THAT(service().requests(), IsEmpty());
  EXPECT_THAT(workspace_.terminateCalls(), IsEmpty());
  EXPECT_THAT(workspace_.signals(), IsEmpty());
  EXPECT_THAT(tools_.calls(), IsEmpty());
  EXPECT_EQ(readFile(hostsTarget()), "# the machine's hosts file\n");
  // The tick still wrote the staging file, with the domains in force.
  EXPECT_EQ(readFile(stagingPath()), agent::hostsFileText(agent::defaultHostEntries()) + "127.0.0.1\told.example\n");
  EXPECT_EQ(channelConnects_, 0);
}

// A safe-search reply that does not come holds the tick only for its budget: the tick
// still terminates and writes; the reply, when it comes, counts from the next tick on,
// even when that tick's own request is not answered either.
TEST_F(Tick, AnUnansweredReplyHoldsTheTickOnlyForItsBudget) {
  settings_.replyWaitBudget = std::chrono::milliseconds(50);
  workspace_.setRunningApplications({app("com.blocked.game", 100)});
  auto& d = delegate();
  platform::CapturedOutput captured;
  tickWithTheAppRuleReplyAfterIt();
  ASSERT_TRUE(waitForBlockedCount(2));
  ASSERT_FALSE(contentBlocker_.reloads().empty());  // the first tick's rules were applied

  // The next reply does not decode; it is held past the tick's budget. The tick goes on
  // (the rules of before are applied again) and terminates and writes as ever.
  setReply(agenttest::kSafeSearchPath, 200, R"({"categoryRules": 5})");
  service().hold(agenttest::kSafeSearchPath, true);
  d.fireTimer();
  EXPECT_EQ(service().heldCount(agenttest::kSafeSearchPath), 1u);
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(100));
  EXPECT_EQ(readFile(hostsTarget()), agent::hostsFileText(agent::defaultHostEntries()));
  const auto reloads = contentBlocker_.reloads().size();

  // The late reply is handled when it comes and counts at the next tick, whose own
  // request is not answered in time either: that pass ends at the failed fetch.
  ASSERT_EQ(service().release(agenttest::kSafeSearchPath), 1);
  drainSession();
  service().hold(agenttest::kSafeSearchPath, true);
  d.fireTimer();
  EXPECT_EQ(contentBlocker_.reloads().size(), reloads);
  service().release(agenttest::kSafeSearchPath);
  drainSession();
}

// A sudo that the child's account stops is ended at the runner's deadline: the hosts
// file stays as it was, no flush follows, and the next tick runs as usual.
TEST_F(Tick, AStoppedSudoIsEndedAndTheHostsFileKept) {
  settings_.privilegedCommandDeadline = std::chrono::milliseconds(200);
  tools_.recordingStub("sudo", "kill -STOP $$\n");
  platform::CapturedOutput captured;
  delegate().fireTimer();
  std::string out = agenttest::printedText(captured.take());
  EXPECT_THAT(out, HasSubstr("sudo did not end within 0.2 seconds and was ended; the command failed\n"));
  EXPECT_EQ(readFile(hostsTarget()), "# the machine's hosts file\n");
  EXPECT_EQ(tools_.calls().size(), 1u);  // the replacement only: no flush after it
  delegate().fireTimer();
  EXPECT_EQ(tools_.calls().size(), 2u);
}

TEST_F(Tick, AFailedWriteSkipsTheMoveAndTheFlush) {
  // A file where the Documents folder belongs: the staging file cannot be written.
  std::filesystem::remove_all(home_.path() / "Documents");
  agenttest::writeFile(home_.path() / "Documents", "not a folder\n");
  platform::CapturedOutput captured;
  delegate().fireTimer();
  std::string out = agenttest::printedText(captured.take());
  EXPECT_THAT(out, HasSubstr("Failed to create hosts file: "));
  EXPECT_THAT(tools_.calls(), IsEmpty());
  EXPECT_EQ(readFile(hostsTarget()), "# the machine's hosts file\n");
}

// A fresh account has no Documents folder: the tick makes it, private to the user, and
// the hosts file goes through it as usual.
TEST_F(Tick, AMissingDocumentsFolderIsMadeAndTheHostsFileStillMoved) {
  std::filesystem::remove_all(home_.path() / "Documents");
  platform::CapturedOutput captured;
  delegate().fireTimer();
  std::string out = agenttest::printedText(captured.take());
  EXPECT_THAT(out, Not(HasSubstr("Failed to create hosts file")));
  EXPECT_EQ(std::filesystem::status(home_.path() / "Documents").permissions(), std::filesystem::perms::owner_all);
  EXPECT_EQ(readFile(hostsTarget()), agent::hostsFileText(agent::defaultHostEntries()));
  EXPECT_THAT(tools_.sudoCommandLines(), ElementsAre(moveCommand(agent::hostsFileText(agent::defaultHostEntries())),
                                                     agent::kFlushDnsCacheCommand));
}

TEST_F(Tick, MarksTheAppsSyncedAndConnectsTheChannelOnceATokenAppears) {
  sharedSuite()->removeObject("sharedChildToken");
  auto& d = delegate();
  networks::ChildUser::shared().setSyncApps(false);
  d.fireTimer();
  EXPECT_TRUE(networks::ChildUser::shared().isSyncedApps());
  EXPECT_EQ(channelConnects_, 0);
  EXPECT_FALSE(d.channelConnectRequested());

  storeToken();
  d.fireTimer();
  d.fireTimer();
  EXPECT_EQ(channelConnects_, 1);
  EXPECT_TRUE(d.channelConnectRequested());
  drainSession();
}

// A child process of this test, named by a test identifier, really ends.
TEST_F(Tick, TerminatesARealChildProcessOfTheTest) {
  const std::string identifier = "test.mopet.blocked." + std::to_string(::getpid());
  platform::Process child;
  child.executablePath = "/bin/sleep";
  child.arguments = {"30"};
  child.environment["MOPET_BUNDLE_IDENTIFIER"] = identifier;
  // In a session of its own, as a program the user started: the agent's own helpers
  // (its descendants in its session) are never signalled.
  child.startsNewSession = true;
  ASSERT_TRUE(child.run());
  const pid_t pid = child.processIdentifier();

  platform::WorkspaceOptions options;
  options.includeProcess = [pid](pid_t candidate) { return candidate == pid; };
  platform::LinuxWorkspace workspace(options);
  workspaceOverride_ = &workspace;
  // The identifier is visible once the child has started its program.
  ASSERT_TRUE(agenttest::waitFor([&] {
    auto a = workspace.application(pid);
    return a && a->bundleIdentifier() == identifier;
  }));

  setReply(kAppRulesPath, 200,
           R"({"rules": [{"rule_type": "BLACK_LIST", "applications": [{"pk": ")" + identifier + R"("}]}]})");
  auto& d = delegate();
  tickWithTheAppRuleReplyAfterIt();
  EXPECT_TRUE(child.isRunning());
  ASSERT_THAT(d.blockingAppsArrayString.get(), ElementsAre(identifier));

  d.fireTimer();
  ASSERT_TRUE(child.waitUntilExit(std::chrono::milliseconds(5000)));
  EXPECT_EQ(child.terminationReason(), platform::TerminationReason::uncaughtSignal);
  EXPECT_EQ(child.terminationStatus(), SIGTERM);
  delegate_.reset();
}

// Real children of this test: a blocked program started with every hint of its
// environment naming something allowed, and a process that starts the blocked program
// after it was first seen (same pid, same start time) are both stopped by the tick.
TEST_F(Tick, StopsABlockedProgramWhateverItsEnvironmentClaimsAndAfterAnExec) {
  const std::string name = "mopet-blocked-" + std::to_string(::getpid());
  const std::filesystem::path program = home_.path() / "bin" / name;
  std::filesystem::create_directories(program.parent_path());
  std::filesystem::copy_file("/bin/sleep", program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  const std::filesystem::path marker = home_.path() / "start-it";

  platform::Process claims;
  claims.executablePath = "/bin/sh";
  claims.arguments = {"-c", "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec '" + program.string() + "' 30"};
  claims.environment = {{"MOPET_BUNDLE_IDENTIFIER", "allowed.hint"},
                        {"FLATPAK_ID", "org.example.Allowed"},
                        {"SNAP_NAME", "allowed"},
                        {"GIO_LAUNCHED_DESKTOP_FILE", "/usr/share/applications/allowed.desktop"},
                        {"BAMF_DESKTOP_FILE_HINT", "/usr/share/applications/allowed-too.desktop"}};
  platform::Process later;
  later.executablePath = "/bin/sh";
  // Waits for the marker (30 s at most), then starts the blocked program in its place.
  later.arguments = {"-c", "i=0; while [ ! -e '" + marker.string() +
                               "' ] && [ $i -lt 1500 ]; do sleep 0.02; "
                               "i=$((i+1)); done; exec '" +
                               program.string() + "' 30"};
  later.environment = {{"MOPET_BUNDLE_IDENTIFIER", ""}};
  claims.startsNewSession = later.startsNewSession = true;  // not the agent's helpers, as above
  ASSERT_TRUE(claims.run());
  ASSERT_TRUE(later.run());
  const pid_t claimsPid = claims.processIdentifier();
  const pid_t laterPid = later.processIdentifier();
  auto exeOf = [](pid_t pid) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
  };

  platform::WorkspaceOptions options;
  options.includeProcess = [=](pid_t candidate) { return candidate == claimsPid || candidate == laterPid; };
  options.applicationFolders = {(home_.path() / "no-applications").string()};
  platform::LinuxWorkspace workspace(options);
  workspaceOverride_ = &workspace;
  ASSERT_TRUE(agenttest::waitFor([&] {
    auto a = workspace.application(claimsPid);
    return a && a->bundleIdentifier() == "allowed.hint" && a->isNamed(name);
  }));
  ASSERT_TRUE(agenttest::waitFor([&] { return exeOf(laterPid).filename() != exeOf(::getpid()).filename(); }));

  setReply(kAppRulesPath, 200,
           R"({"rules": [{"rule_type": "BLACK_LIST", "applications": [{"pk": ")" + name + R"("}]}]})");
  auto& d = delegate();
  d.fireTimer();
  drainSession();
  ASSERT_THAT(d.blockingAppsArrayString.get(), ElementsAre(name));

  d.fireTimer();
  ASSERT_TRUE(claims.waitUntilExit(std::chrono::milliseconds(10000)));
  EXPECT_EQ(claims.terminationReason(), platform::TerminationReason::uncaughtSignal);
  EXPECT_EQ(claims.terminationStatus(), SIGTERM);
  EXPECT_TRUE(later.isRunning());  // still the shell: nothing blocks it yet

  agenttest::writeFile(marker, "go\n");
  ASSERT_TRUE(agenttest::waitFor([&] { return exeOf(laterPid) == std::filesystem::canonical(program); },
                                 std::chrono::milliseconds(10000)));
  d.fireTimer();
  const bool stopped = later.waitUntilExit(std::chrono::milliseconds(10000));
  if (!stopped && later.sendSignal(SIGKILL)) later.waitUntilExit();
  ASSERT_TRUE(stopped);
  EXPECT_EQ(later.terminationReason(), platform::TerminationReason::uncaughtSignal);
  EXPECT_EQ(later.terminationStatus(), SIGTERM);
  delegate_.reset();
}

}  // namespace
