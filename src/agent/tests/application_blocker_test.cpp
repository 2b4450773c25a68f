// The application blocker on its own, over a scripted workspace: which process each
// identifier ends, never the agent itself, the weekday, no rule request or termination
// without a stored child token, and SIGKILL for what outlives its SIGTERM; then over the
// Linux workspace with real processes that ignore SIGTERM, and a /proc-like tree whose
// pid is recycled.
#include "agent/application_blocker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(Blocker, BlockAnAppEndsTheFirstExactMatchOnly) {
  auto polite = app("com.polite.app", 700);
  polite.refusesTerminate = false;  // quits when asked: no kill needed
  workspace_.setRunningApplications(
      {app("com.blocked.game", 100), app("com.blocked.game", 101), polite, FakeWorkspace::Application{}});
  blocker_.blockOne("com.Blocked.Game");
  blocker_.blockOne("");
  EXPECT_THAT(workspace_.terminateCalls(), IsEmpty());
  blocker_.blockOne("com.blocked.game");
  blocker_.blockOne("com.polite.app");
  EXPECT_THAT(workspace_.terminateCalls(), ElementsAre(100, 700));
  EXPECT_THAT(workspace_.signals(), ElementsAre(FakeWorkspace::Signal{100, SIGTERM}));
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

// What each pass signals, over a scripted workspace: a process that ignores SIGTERM
// gets SIGKILL on the second pass after it, and does not shield the next process with
// its identifier, which is reached on the pass after the first SIGTERM.
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
       {{{100, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}}}},
      {"both ignore SIGTERM",
       {stubborn(100), stubborn(101)},
       {{{100, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}},
        {{100, SIGTERM}, {101, SIGTERM}, {100, SIGKILL}, {101, SIGKILL}}}},
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

// Real processes started by the test, seen through the Linux workspace that shows only
// them, each named by a unique identifier in its environment.
class RealProcesses : public Blocker {
 protected:
  ~RealProcesses() override {
    for (auto& process : processes_) {
      process->sendSignal(SIGKILL);
      process->waitUntilExit(std::chrono::seconds(5));
    }
  }

  // Started with SIGTERM ignored (as `trap '' TERM; exec game` would), or not; returns
  // once the program runs as `sleep`, with the disposition in place.
  platform::Process& start(const std::string& identifier, bool ignoresTerm) {
    auto process = std::make_unique<platform::Process>();
    process->executablePath = "/bin/sh";
    process->arguments = {"-c", std::string(ignoresTerm ? "trap '' TERM; " : "") + "exec sleep 60"};
    process->environment = {{"MOPET_BUNDLE_IDENTIFIER", identifier}};
    process->standardInput = platform::NullDevice{};
    EXPECT_TRUE(process->run().has_value());
    const auto proc = "/proc/" + std::to_string(process->processIdentifier());
    for (int i = 0; i < 500 && agenttest::readFile(proc + "/comm") != "sleep\n"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(agenttest::readFile(proc + "/comm"), "sleep\n");
    processes_.push_back(std::move(process));
    return *processes_.back();
  }

  bool isOurs(pid_t pid) const {
    for (const auto& process : processes_)
      if (process->processIdentifier() == pid && process->isRunning()) return true;
    return false;
  }

  // How it ended: the signal number, or 0 when it still runs after the wait.
  static int endingSignal(platform::Process& process) {
    if (!process.waitUntilExit(std::chrono::seconds(5))) return 0;
    return process.terminationReason() == platform::TerminationReason::uncaughtSignal ? process.terminationStatus()
                                                                                      : -1;
  }

  const std::string id_ = "mopet.test.blocked." + std::to_string(::getpid());
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
