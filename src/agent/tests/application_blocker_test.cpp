// The application blocker on its own, over a scripted workspace: which processes each
// identifier ends (all of them in one pass), never the agent itself nor what must never
// be signalled (with a line), the weekday, no rule request or termination without a
// stored child token, SIGKILL for what outlives its SIGTERM and at once for a fresh copy
// of a name sent SIGTERM two passes ago; then over the Linux workspace with real
// processes: ones that ignore SIGTERM, an application of several processes, a relay
// that hands over to fresh copies, the agent's own helper, and a /proc-like tree whose
// pid is recycled.
#include "agent/application_blocker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/fakes/capturing_log_sink.h"
#include "platform/process.h"
#include "platform/workspace.h"

#include "agent/tests/support/agent_fixture.h"

namespace {

using agenttest::AgentFixture;
using agenttest::app;
using platform::FakeWorkspace;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Reaches the blocker's protected termination step, as no caller outside can.
class ApplicationBlockerPeer : public agent::ApplicationBlocker {
 public:
  using agent::ApplicationBlocker::ApplicationBlocker;
  using agent::ApplicationBlocker::terminate;
};

// The blocker built with exactly its pieces: the workspace, a request runner over the
// fixture's canned session, and the fixture's clock.
class Blocker : public AgentFixture {
 protected:
  networks::NetworkManager requests_{session_};
  ApplicationBlockerPeer blocker_{workspace_, requests_, [this] { return now_; }};
};

TEST_F(Blocker, BlockAnAppEndsEveryExactMatchAtOnce) {
  auto polite = app("com.polite.app", 700);
  polite.refusesTerminate = false;  // quits when asked: no kill needed
  workspace_.setRunningApplications(
      {app("com.blocked.game", 100), app("com.blocked.game", 101), polite, FakeWorkspace::Application{}});
  blocker_.blockOne("com.Blocked.Game");
  blocker_.blockOne("");
  EXPECT_THAT(workspace_.terminateCalls(), IsEmpty());
  blocker_.blockOne("com.blocked.game");
  blocker_.blockOne("com.polite.app");
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(100, 101, 700));
  EXPECT_THAT(workspace_.signals(),
              ElementsAre(FakeWorkspace::Signal{100, SIGTERM}, FakeWorkspace::Signal{101, SIGTERM}));
}

TEST_F(Blocker, ApplicationsAnswerToAnyOfTheirNamesButTheAgentNeverEndsItself) {
  const pid_t self = ::getpid();
  auto agentItself = app("com.blocked.game", self);
  agentItself.otherNames = {"com.other.app", "VelmorMopetAgent"};
  auto renamed = app("org.allowed.launcher", self + 1);
  renamed.otherNames = {"com.blocked.game"};
  auto second = app("org.example.third", self + 2);
  second.otherNames = {"com.other.app", "com.blocked.game"};
  workspace_.setRunningApplications({agentItself, renamed, second});
  blocker_.blocked().set({"com.blocked.game", "com.other.app", "VelmorMopetAgent"});

  blocker_.blockByRule();
  // One list; the first other process with each name, each hit as usual.
  EXPECT_EQ(workspace_.runningApplicationsCalls(), 1);
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(self + 1, self + 2));
  EXPECT_THAT(workspace_.signals(),
              ElementsAre(FakeWorkspace::Signal{self + 1, SIGTERM}, FakeWorkspace::Signal{self + 2, SIGTERM}));

  blocker_.blockOne("VelmorMopetAgent");
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(self + 1, self + 2));
  EXPECT_THAT(workspace_.signals(), ::testing::SizeIs(2));
  EXPECT_TRUE(workspace_.isRunning(self));
}

TEST_F(Blocker, SetsTheWeekdayOfTheCurrentDate) {
  // 2024-03-03 12:00 local time was a Sunday.
  std::tm sunday{};
  sunday.tm_year = 124;
  sunday.tm_mon = 2;
  sunday.tm_mday = 3;
  sunday.tm_hour = 12;
  sunday.tm_isdst = -1;
  now_ = std::chrono::system_clock::from_time_t(std::mktime(&sunday));
  blocker_.storeWeekDay();
  EXPECT_EQ(blocker_.weekDay(), 1);
  now_ += std::chrono::hours(24 * 6);
  blocker_.storeWeekDay();
  EXPECT_EQ(blocker_.weekDay(), 7);
}

TEST_F(Blocker, TerminationNeverReachesTheAgentsOwnProcess) {
  const pid_t self = ::getpid();
  workspace_.setRunningApplications({app("com.blocked.game", self), app("com.blocked.game", self + 1)});
  auto running = workspace_.runningApplications();
  ASSERT_EQ(running.size(), 2u);
  blocker_.terminate(running[0]);
  EXPECT_THAT(workspace_.terminateCalls(), IsEmpty());
  EXPECT_THAT(workspace_.signals(), IsEmpty());
  blocker_.terminate(running[1]);
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(self + 1));
  EXPECT_THAT(workspace_.signals(), ElementsAre(FakeWorkspace::Signal{self + 1, SIGTERM}));
}

TEST_F(Blocker, WithoutATokenNoRequestIsSentAndNothingIsTerminated) {
  workspace_.setRunningApplications({app("com.blocked.game", 100)});
  blocker_.blocked().set({"com.blocked.game"});
  blocker_.requestRules();
  drainSession();
  EXPECT_THAT(service().requests(agenttest::kAppRulesPath), IsEmpty());
  EXPECT_THAT(workspace_.terminateCalls(), IsEmpty());

  // With a token the request goes out and the earlier replies' set is enforced at once.
  storeToken();
  blocker_.requestRules();
  drainSession();
  EXPECT_EQ(service().requests(agenttest::kAppRulesPath).size(), 1u);
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(100));
}

// What each pass signals, over a scripted workspace: every process of a blocked
// identifier gets SIGTERM in the same pass, and one that ignores it gets SIGKILL on the
// second pass after it; none shields another.
TEST_F(Blocker, WhatOutlivesItsSigtermIsKilledTwoPassesLaterAndShieldsNoOther) {
  using S = FakeWorkspace::Signal;
  struct Case {
    const char* what;
    std::vector<FakeWorkspace::Application> running;
    std::vector<std::vector<S>> signalsAfterEachPass;  // cumulative
  };
  auto stubborn = [](pid_t pid) {
    auto a = app("com.blocked.game", pid);
    a.ignoresSIGTERM = true;
    return a;
  };
  auto polite = app("com.blocked.game", 300);
  polite.refusesTerminate = false;
  const std::vector<Case> cases = {
      {"one that ignores SIGTERM",
       {stubborn(100)},
       {{{100, SIGTERM}}, {{100, SIGTERM}}, {{100, SIGTERM}, {100, SIGKILL}}, {{100, SIGTERM}, {100, SIGKILL}}}},
      {"the first of two ignores SIGTERM",
       {stubborn(100), app("com.blocked.game", 101)},
       {{{100, SIGTERM}, {101, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}}}},
      {"both ignore SIGTERM",
       {stubborn(100), stubborn(101)},
       {{{100, SIGTERM}, {101, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}, {101, SIGKILL}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}, {101, SIGKILL}}}},
      {"six decoys that ignore SIGTERM do not delay the real one",
       {stubborn(100), stubborn(101), stubborn(102), stubborn(103), stubborn(104), stubborn(105),
        app("com.blocked.game", 106)},
       {{{100, SIGTERM},
         {101, SIGTERM},
         {102, SIGTERM},
         {103, SIGTERM},
         {104, SIGTERM},
         {105, SIGTERM},
         {106, SIGTERM}},
        {{100, SIGTERM},
         {101, SIGTERM},
         {102, SIGTERM},
         {103, SIGTERM},
         {104, SIGTERM},
         {105, SIGTERM},
         {106, SIGTERM}},
        {{100, SIGTERM},
         {101, SIGTERM},
         {102, SIGTERM},
         {103, SIGTERM},
         {104, SIGTERM},
         {105, SIGTERM},
         {106, SIGTERM},
         {100, SIGKILL},
         {101, SIGKILL},
         {102, SIGKILL},
         {103, SIGKILL},
         {104, SIGKILL},
         {105, SIGKILL}}}},
      {"one that quits when asked is never signalled", {polite}, {{}, {}, {}, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeWorkspace workspace;
    ApplicationBlockerPeer blocker{workspace, requests_, [this] { return now_; }};
    workspace.setRunningApplications(c.running);
    blocker.blocked().set({"com.blocked.game"});
    for (std::size_t pass = 0; pass < c.signalsAfterEachPass.size(); ++pass) {
      blocker.blockByRule();
      EXPECT_EQ(workspace.signals(), c.signalsAfterEachPass[pass]) << "after pass " << pass + 1;
    }
    EXPECT_THAT(workspace.runningApplications(), IsEmpty());
  }
}

// The follow-up reaches only the process that was sent SIGTERM: one that ended is
// forgotten (a new process under its identifier starts its own count), and a process
// hit by the single-identifier call is followed up by the passes as well.
TEST_F(Blocker, TheFollowUpKeepsToTheProcessItSignalled) {
  using S = FakeWorkspace::Signal;
  auto stubborn = app("com.blocked.game", 100);
  stubborn.ignoresSIGTERM = true;
  workspace_.setRunningApplications({stubborn});
  blocker_.blockOne("com.blocked.game");
  blocker_.blockOne("com.blocked.game");  // already signalled: no second SIGTERM
  EXPECT_THAT(workspace_.signals(), ElementsAre(S{100, SIGTERM}));
  blocker_.blockByRule();  // nothing blocked by rule: the follow-up still runs
  EXPECT_THAT(workspace_.signals(), ElementsAre(S{100, SIGTERM}));
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.signals(), ElementsAre(S{100, SIGTERM}, S{100, SIGKILL}));

  // Gone on its own after its SIGTERM: the next holder of the identifier gets its own
  // SIGTERM and two passes before a SIGKILL.
  blocker_.blocked().set({"com.blocked.game"});
  auto other = app("com.blocked.game", 200);
  other.ignoresSIGTERM = true;
  workspace_.setRunningApplications({other});
  blocker_.blockByRule();
  workspace_.setRunningApplications({});
  blocker_.blockByRule();
  workspace_.setRunningApplications({other});
  blocker_.blockByRule();
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.signals(), ElementsAre(S{100, SIGTERM}, S{100, SIGKILL}, S{200, SIGTERM}, S{200, SIGTERM}));
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.signals(),
              ElementsAre(S{100, SIGTERM}, S{100, SIGKILL}, S{200, SIGTERM}, S{200, SIGTERM}, S{200, SIGKILL}));
}

// A program that ignores SIGTERM and hands over to a fresh copy of itself before its
// SIGKILL is due: each copy is another process, so only the name tells that it was
// sent SIGTERM before. Two passes after the first SIGTERM to the name, every process
// bearing it gets SIGKILL at once; a name that no process bears on a pass starts
// afresh.
TEST_F(Blocker, AFreshCopyOfANameSentSigtermTwoPassesAgoIsKilledAtOnce) {
  using S = FakeWorkspace::Signal;
  auto stubborn = [](pid_t pid, const char* id = "com.blocked.game") {
    auto a = app(id, pid);
    a.ignoresSIGTERM = true;
    return a;
  };
  blocker_.blocked().set({"com.blocked.game", "com.new.name"});
  workspace_.setRunningApplications({stubborn(100)});
  blocker_.blockByRule();
  workspace_.setRunningApplications({stubborn(101)});  // 100 handed over and exited
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.signals(), ElementsAre(S{100, SIGTERM}, S{101, SIGTERM}));
  workspace_.setRunningApplications({stubborn(101), stubborn(102)});
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.signals(), ElementsAre(S{100, SIGTERM}, S{101, SIGTERM}, S{102, SIGKILL}));
  // Bearing the relayed name among others is enough.
  auto renamed = stubborn(103, "com.new.name");
  renamed.otherNames = {"com.blocked.game"};
  workspace_.setRunningApplications({renamed});
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.signals(), ElementsAre(S{100, SIGTERM}, S{101, SIGTERM}, S{102, SIGKILL}, S{103, SIGKILL}));
  workspace_.setRunningApplications({});
  blocker_.blockByRule();
  workspace_.setRunningApplications({stubborn(104)});
  blocker_.blockByRule();
  EXPECT_THAT(workspace_.signals(),
              ElementsAre(S{100, SIGTERM}, S{101, SIGTERM}, S{102, SIGKILL}, S{103, SIGKILL}, S{104, SIGTERM}));
}

// What must never be signalled is left alone, whatever the rule names, with a line on
// every pass; an ordinary process of the same name is stopped as usual. A process that
// is gone by then is passed over without a line.
TEST_F(Blocker, WhatIsNeverSignalledIsLeftAloneWithALineEachPass) {
  using platform::SignalRefusal;
  struct Case {
    std::optional<SignalRefusal> refusal;  // nullopt: the agent's own pid
    const char* reason;                    // nullptr: no line
  };
  const std::vector<Case> cases = {
      {std::nullopt, "the agent's own process"},
      {SignalRefusal::agentHelper, "a program the agent runs"},
      {SignalRefusal::otherUser, "a process of another user"},
      {SignalRefusal::desktopSession, "the desktop's own process"},
      {SignalRefusal::sessionLeader, "the login session's leader"},
      {SignalRefusal::gone, nullptr},
  };
  const pid_t self = ::getpid();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason ? c.reason : "gone");
    FakeWorkspace workspace;
    ApplicationBlockerPeer blocker{workspace, requests_, [this] { return now_; }};
    const pid_t refused = c.refusal ? self + 1 : self;
    auto protectedOne = app("org.gnome.Shell", refused);
    protectedOne.otherNames = {"com.blocked.game"};
    protectedOne.neverSignalled = c.refusal;
    workspace.setRunningApplications({protectedOne, app("com.blocked.game", self + 2)});
    blocker.blocked().set({"com.blocked.game", "org.gnome.Shell"});
    platform::CapturedOutput printed;
    blocker.blockByRule();
    blocker.blockByRule();
    blocker.blockOne("org.gnome.Shell");
    EXPECT_THAT(workspace.terminateCalls(), ElementsAre(self + 2));
    EXPECT_THAT(workspace.signals(), ElementsAre(FakeWorkspace::Signal{self + 2, SIGTERM}));
    EXPECT_TRUE(workspace.isRunning(refused));
    std::vector<std::string> expected;
    if (c.reason) {
      const std::string line = std::string("Skipping blocked application that is never stopped (") + c.reason +
                               "): com.blocked.game (pid " + std::to_string(refused) + ")";
      const std::string byId = std::string("Skipping blocked application that is never stopped (") + c.reason +
                               "): org.gnome.Shell (pid " + std::to_string(refused) + ")";
      expected = {line, line, byId};
    }
    EXPECT_EQ(printed.take(), expected);
  }
}

// Real processes started by the test, seen through the Linux workspace that shows only
// them and what they start (every process that carries the test's mark in its
// environment), each named by a unique identifier in its environment.
class RealProcesses : public Blocker {
 protected:
  ~RealProcesses() override {
    for (auto& process : processes_) {
      process->sendSignal(SIGKILL);
      process->waitUntilExit(std::chrono::seconds(5));
    }
    // What they started and left behind: marked, so this test's own.
    for (const pid_t pid : marked())
      if (isMarked(pid)) ::kill(pid, SIGKILL);
  }

  // Started with SIGTERM ignored (as `trap '' TERM; exec game` would), or not; returns
  // once the program runs as `sleep`, with the disposition in place. In a session of
  // its own, as a program the user started, unless `ownSession` is false: then it is
  // one of the agent's own helpers (a descendant in its session), never signalled.
  platform::Process& start(const std::string& identifier, bool ignoresTerm, bool ownSession = true) {
    auto& process = run("/bin/sh", {"-c", std::string(ignoresTerm ? "trap '' TERM; " : "") + "exec sleep 60"},
                        identifier, ownSession);
    const auto proc = "/proc/" + std::to_string(process.processIdentifier());
    for (int i = 0; i < 500 && agenttest::readFile(proc + "/comm") != "sleep\n"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(agenttest::readFile(proc + "/comm"), "sleep\n");
    return process;
  }

  platform::Process& run(const std::string& program, std::vector<std::string> arguments, const std::string& identifier,
                         bool ownSession = true) {
    auto process = std::make_unique<platform::Process>();
    process->executablePath = program;
    process->arguments = std::move(arguments);
    process->environment = {{"MOPET_BUNDLE_IDENTIFIER", identifier}, {kMarkVariable, mark_}};
    process->standardInput = platform::NullDevice{};
    process->startsNewSession = ownSession;
    EXPECT_TRUE(process->run().has_value());
    processes_.push_back(std::move(process));
    return *processes_.back();
  }

  bool isOurs(pid_t pid) const {
    for (const auto& process : processes_)
      if (process->processIdentifier() == pid && process->isRunning()) return true;
    return isMarked(pid);
  }

  bool isMarked(pid_t pid) const {
    const std::string environ = agenttest::readFile("/proc/" + std::to_string(pid) + "/environ");
    return environ.find(std::string(kMarkVariable) + "=" + mark_ + '\0') != std::string::npos;
  }

  // The live processes that carry the mark, in pid order.
  std::vector<pid_t> marked() const {
    std::vector<pid_t> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::stoi(name);
      const std::string stat = agenttest::readFile(entry.path() / "stat");
      const auto close = stat.rfind(')');
      const bool zombie = close != std::string::npos && stat.compare(close, 3, ") Z") == 0;
      if (!zombie && isMarked(pid)) pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
  }

  // Waits (10 s at most) until no process has carried the mark for a whole second: a
  // relay's copies come and go, and one may be between two programs when looked at.
  bool allGone() const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    auto lastSeen = Clock::now();
    while (Clock::now() < deadline) {
      if (!marked().empty()) lastSeen = Clock::now();
      else if (Clock::now() - lastSeen >= std::chrono::seconds(1)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // How it ended: the signal number, or 0 when it still runs after the wait.
  static int endingSignal(platform::Process& process) {
    if (!process.waitUntilExit(std::chrono::seconds(5))) return 0;
    return process.terminationReason() == platform::TerminationReason::uncaughtSignal ? process.terminationStatus()
                                                                                      : -1;
  }

  static constexpr const char* kMarkVariable = "MOPET_TEST_MARK";
  const std::string id_ = "mopet.test.blocked." + std::to_string(::getpid());
  const std::string mark_ = "application-blocker-test-" + std::to_string(::getpid());
  std::vector<std::unique_ptr<platform::Process>> processes_;
  platform::LinuxWorkspace linux_{[this] {
    platform::WorkspaceOptions options;
    options.includeProcess = [this](pid_t pid) { return isOurs(pid); };
    return options;
  }()};
  agent::ApplicationBlocker realBlocker_{linux_, requests_, [this] { return now_; }};
};

TEST_F(RealProcesses, OneThatIgnoresSigtermIsKilledOnTheSecondPassAfterIt) {
  auto& stubborn = start(id_, true);
  realBlocker_.blocked().set({id_});
  realBlocker_.blockByRule();
  realBlocker_.blockByRule();
  EXPECT_TRUE(stubborn.isRunning()) << "SIGTERM is ignored, and SIGKILL waits two passes";
  realBlocker_.blockByRule();
  EXPECT_EQ(endingSignal(stubborn), SIGKILL);
}

TEST_F(RealProcesses, TwoOfOneIdentifierTheFirstIgnoringSigtermAreBothGoneWithinFourPasses) {
  auto& stubborn = start(id_, true);
  auto& plain = start(id_, false);
  ASSERT_LT(stubborn.processIdentifier(), plain.processIdentifier()) << "the stubborn one is listed first";
  realBlocker_.blocked().set({id_});
  for (int pass = 0; pass < 4; ++pass) realBlocker_.blockByRule();
  EXPECT_EQ(endingSignal(plain), SIGTERM);
  EXPECT_EQ(endingSignal(stubborn), SIGKILL);
}

// One application of three processes (a wrapper and the two programs it started, all
// bearing its name): one pass signals them all, so none outlives the pass's SIGTERMs.
TEST_F(RealProcesses, EveryProcessOfAnApplicationIsSignalledInOnePass) {
  auto& wrapper = run("/bin/sh", {"-c", "sleep 60 & sleep 61 & wait"}, id_);
  ASSERT_TRUE(agenttest::waitFor([&] { return marked().size() == 3; }));
  realBlocker_.blocked().set({id_});
  realBlocker_.blockByRule();
  EXPECT_EQ(endingSignal(wrapper), SIGTERM);
  EXPECT_TRUE(allGone()) << "the wrapper's programs outlived it";
}

// A real relay: a script that ignores SIGTERM and, every 0.3 s, starts a fresh copy of
// itself and exits. Each pass runs once a new copy is there, so no copy lives through
// two passes: the copy found two passes after the name's first SIGTERM is killed on
// sight, and nothing is left to hand over.
TEST_F(RealProcesses, ARelayThatHandsOverToAFreshCopyEndsOnTheThirdPass) {
  const auto script = home_.path() / "relay";
  agenttest::writeFile(script, "#!/bin/sh\ntrap '' TERM\nsleep 0.3\n\"$0\" &\nexit 0\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  auto copies = [&] {
    std::vector<pid_t> relays;
    for (const pid_t pid : marked())
      if (agenttest::readFile("/proc/" + std::to_string(pid) + "/comm") == "relay\n") relays.push_back(pid);
    return relays;
  };
  auto ignoresTerm = [](pid_t pid) {
    const std::string status = agenttest::readFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("SigIgn:\t");
    return at != std::string::npos && (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ULL << (SIGTERM - 1)));
  };
  auto& first = run(script.string(), {}, id_);
  ASSERT_TRUE(agenttest::waitFor([&] { return ignoresTerm(first.processIdentifier()); }));
  realBlocker_.blocked().set({id_});
  std::set<pid_t> seen = {first.processIdentifier()};
  realBlocker_.blockByRule();
  for (int pass = 2; pass <= 3; ++pass) {
    pid_t fresh = 0;
    ASSERT_TRUE(agenttest::waitFor([&] {
      for (const pid_t pid : copies())
        if (!seen.contains(pid) && ignoresTerm(pid)) fresh = pid;
      return fresh != 0;
    })) << "no fresh copy before pass "
        << pass;
    seen.insert(fresh);
    realBlocker_.blockByRule();
  }
  EXPECT_TRUE(allGone()) << "the relay runs on";
}

// The agent's own helpers (here: a child of the test in its session) are never
// signalled, and each pass says so.
TEST_F(RealProcesses, TheAgentsOwnHelpersAreNeverSignalledAndEachPassSaysSo) {
  auto& helper = start(id_, false, false);
  platform::CapturedOutput printed;
  realBlocker_.blocked().set({id_});
  for (int pass = 0; pass < 3; ++pass) realBlocker_.blockByRule();
  EXPECT_TRUE(helper.isRunning());
  const std::string line = "Skipping blocked application that is never stopped (a program the agent runs): " + id_ +
                           " (pid " + std::to_string(helper.processIdentifier()) + ")";
  EXPECT_THAT(printed.take(), ElementsAre(line, line, line));
}

// The snapshot knows its process by pid and start time: when the pid is recycled (the
// tree's start time changes), the process signalled first is forgotten and never gets
// SIGKILL; the new holder of the pid counts from its own SIGTERM. The pid is a real
// process of the test that ignores SIGTERM, so a SIGKILL sent by mistake would show.
TEST_F(RealProcesses, ARecycledPidIsNeverKilledForTheProcessThatHeldIt) {
  auto& stubborn = start("unnamed", true);
  const pid_t pid = stubborn.processIdentifier();
  const auto tree = home_.path() / "proc";
  const auto dir = tree / std::to_string(pid);
  std::filesystem::create_directories(dir);
  auto writeStat = [&](long startTime) {
    std::ofstream(dir / "stat") << pid << " (game) S 1 1 1 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 " << startTime
                                << " 0 0\n";
  };
  writeStat(1000);
  std::ofstream(dir / "status") << "Name:\tgame\nUid:\t" << ::getuid() << "\t" << ::getuid() << "\t" << ::getuid()
                                << "\t" << ::getuid() << "\n";
  std::ofstream(dir / "comm") << "game\n";
  std::ofstream(dir / "cmdline", std::ios::binary) << std::string("/opt/game/bin/game\0", 19);
  std::ofstream(dir / "environ", std::ios::binary) << "MOPET_BUNDLE_IDENTIFIER=" << id_ << '\0';
  std::filesystem::create_symlink("/opt/game/bin/game", dir / "exe");

  platform::WorkspaceOptions options;
  options.procRoot = tree.string();
  options.includeProcess = [pid](pid_t candidate) { return candidate == pid; };
  platform::LinuxWorkspace workspace(options);
  agent::ApplicationBlocker blocker{workspace, requests_, [this] { return now_; }};
  blocker.blocked().set({id_});
  blocker.blockByRule();  // SIGTERM, ignored
  writeStat(2000);        // the pid has another owner now
  blocker.blockByRule();  // the new owner's SIGTERM
  blocker.blockByRule();  // two passes after the first SIGTERM: its process is gone
  EXPECT_TRUE(stubborn.isRunning()) << "no SIGKILL for a process that is no longer there";
  blocker.blockByRule();  // two passes after the new owner's SIGTERM
  EXPECT_EQ(endingSignal(stubborn), SIGKILL);
}

}  // namespace
