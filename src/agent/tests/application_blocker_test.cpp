// The application blocker on its own, over a scripted workspace: which process each
// identifier ends, never the agent itself, the weekday, and no rule request or
// termination without a stored child token.
#include "agent/application_blocker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

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
  blocker_.terminate(*running[0]);
  EXPECT_THAT(workspace_.terminateCalls(), IsEmpty());
  EXPECT_THAT(workspace_.signals(), IsEmpty());
  blocker_.terminate(*running[1]);
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

}  // namespace
