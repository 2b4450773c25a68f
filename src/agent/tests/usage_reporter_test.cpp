// The usage reporter: the body byte for byte, the counter in the shared defaults, the
// request, the wait for the reply, and the Safari window check; on its own, built with
// its pieces, and through the delegate's operations that the timer and callers use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>

#include "agent/app_delegate.h"
#include "agent/tests/support/agent_fixture.h"
#include "agent/tests/support/printed.h"
#include "agent/usage_reporter.h"
#include "platform/fakes/capturing_log_sink.h"

namespace {

using agenttest::AgentFixture;
using agenttest::kReportsPath;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::chrono::system_clock::time_point localNoon(int year, int month, int day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

TEST(UsageReportBody, IsTheFixedTextWithDayAndCount) {
  EXPECT_EQ(agent::usageReportBody("20240305", 15),
            "[\n"
            "  {\n"
            "    \"time\": 20240305,\n"
            "    \"report_type\": \"APP_USAGE\",\n"
            "    \"info\": {\n"
            "      \"pk\": \"com.apple.Safari\",\n"
            "      \"last_start\": \"10:00:00\",\n"
            "      \"last_end\": \"11:00:00\",\n"
            "      \"duration\": \"15\"\n"
            "    }\n"
            "  }\n"
            "]");
}

class UsageReport : public AgentFixture {
 protected:
  void SetUp() override { now_ = localNoon(2024, 3, 5); }
  std::int64_t counter() { return sharedSuite()->integer("device_usage"); }

  // The reporter built with exactly its pieces, over the fixture's fakes and session.
  networks::NetworkManager requests_{session_};
  agent::UsageReporter reporter_{workspace_, windowList_, networks::ChildUser::make(platform::UserDefaults::standard()),
                                 requests_, [this] { return now_; }};
};

TEST_F(UsageReport, EachTickAddsFiveAndReportsTheNewCount) {
  storeToken();
  auto& d = delegate();
  for (int tick = 1; tick <= 3; ++tick) {
    d.fireTimerForActivityReport();
    EXPECT_EQ(counter(), 5 * tick);
  }
  auto requests = service().requests(kReportsPath);
  ASSERT_EQ(requests.size(), 3u);
  const auto& last = requests.back();
  EXPECT_EQ(last.url, "https://api.family.mopet.velmorhome.so/api/v1/children/reports");
  EXPECT_EQ(last.method, "POST");
  EXPECT_THAT(last.headers,
              ElementsAre(platform::HeaderList::value_type{"Authorization", "Bearer child-token"},
                          platform::HeaderList::value_type{"Content-Type", "application/json"},
                          platform::HeaderList::value_type{"Cookie",
                                                           "connect.sid=s%3AFh3JkP9sQw2ErT6yUi8oLa4SdG7hZx5c."
                                                           "Mn6BvC2xZl9KjH4gFd8SaP3oIu7YtR1eWq5EzA0Ls6D"}));
  EXPECT_EQ(requests[0].bodyText(), agent::usageReportBody("20240305", 5));
  EXPECT_EQ(last.bodyText(), agent::usageReportBody("20240305", 15));
}

TEST_F(UsageReport, CounterSurvivesAndGrowsFromTheStoredValue) {
  storeToken();
  sharedSuite()->set("device_usage", 40);
  now_ = localNoon(2025, 12, 31);
  reporter_.tick();
  EXPECT_EQ(counter(), 45);
  EXPECT_EQ(service().requests(kReportsPath).at(0).bodyText(), agent::usageReportBody("20251231", 45));
}

// The test's suite file, whose writes fail while `full` is set, as on a full disk or
// under a lock that is not had: reads see the file as it is.
class FailingWritesSuite final : public platform::UserDefaults {
 public:
  FailingWritesSuite(std::shared_ptr<platform::UserDefaults> file, std::shared_ptr<std::atomic<bool>> full)
      : file_(std::move(file)), full_(std::move(full)) {}
  std::optional<platform::PlistValue> object(const std::string& key) const override { return file_->object(key); }
  std::optional<std::string> string(const std::string& key) const override { return file_->string(key); }
  std::optional<platform::Data> data(const std::string& key) const override { return file_->data(key); }
  bool boolean(const std::string& key) const override { return file_->boolean(key); }
  std::int64_t integer(const std::string& key) const override { return file_->integer(key); }
  void set(const std::string& key, platform::PlistValue value) override {
    if (!*full_) file_->set(key, std::move(value));
  }
  void removeObject(const std::string& key) override {
    if (!*full_) file_->removeObject(key);
  }
  bool update(const std::string& key,
              const std::function<bool(std::optional<platform::PlistValue>&)>& change) override {
    return !*full_ && file_->update(key, change);
  }
  bool synchronize() override { return file_->synchronize(); }
  void removePersistentDomain(const std::string& name) override { file_->removePersistentDomain(name); }
  std::string path() const override { return file_->path(); }

 private:
  std::shared_ptr<platform::UserDefaults> file_;
  std::shared_ptr<std::atomic<bool>> full_;
};

// While the suite cannot be written, the count goes on in memory and in the reports; the
// first write that succeeds puts every second in the file, which a restart reads.
TEST_F(UsageReport, NoSecondIsLostWhileWritesFail) {
  storeToken();
  sharedSuite()->set("device_usage", 100);
  auto full = std::make_shared<std::atomic<bool>>(false);
  auto file = platform::UserDefaults::atPath(sharedSuite()->path());
  auto previous =
      networks::installSharedSuite([file, full] { return std::make_shared<FailingWritesSuite>(file, full); });
  struct Restore {
    networks::SharedSuiteOpener opener;
    ~Restore() { networks::installSharedSuite(std::move(opener)); }
  } restore{std::move(previous)};

  reporter_.tick();
  EXPECT_EQ(counter(), 105);
  *full = true;
  reporter_.tick();
  reporter_.tick();
  EXPECT_EQ(counter(), 105);  // the file keeps what it had
  *full = false;
  reporter_.tick();
  EXPECT_EQ(counter(), 120);
  std::vector<std::string> bodies;
  for (const auto& request : service().requests(kReportsPath)) bodies.push_back(request.bodyText());
  EXPECT_EQ(bodies, (std::vector<std::string>{
                        agent::usageReportBody("20240305", 105), agent::usageReportBody("20240305", 110),
                        agent::usageReportBody("20240305", 115), agent::usageReportBody("20240305", 120)}));

  // A restart starts from the file; a failed write there is made good the same way.
  agent::UsageReporter restarted{workspace_, windowList_, networks::ChildUser::make(platform::UserDefaults::standard()),
                                 requests_, [this] { return now_; }};
  *full = true;
  restarted.tick();
  *full = false;
  restarted.tick();
  EXPECT_EQ(counter(), 130);
}

TEST_F(UsageReport, AValueInTheAgentsOwnDefaultsMakesEveryTickWriteFive) {
  storeToken();
  sharedSuite()->set("device_usage", 100);
  networks::ChildUser::shared().userDefault.set("device_usage", "anything");
  reporter_.tick();
  reporter_.tick();
  EXPECT_EQ(counter(), 5);
  for (const auto& request : service().requests(kReportsPath))
    EXPECT_EQ(request.bodyText(), agent::usageReportBody("20240305", 5));
  networks::ChildUser::shared().userDefault.removeObject("device_usage");
}

TEST_F(UsageReport, WithoutATokenTheCounterRisesAndNothingIsSent) {
  platform::CapturedOutput captured;
  reporter_.tick();
  reporter_.tick();
  EXPECT_THAT(captured.take(), IsEmpty());
  EXPECT_EQ(counter(), 10);
  EXPECT_THAT(service().requests(), IsEmpty());
}

TEST_F(UsageReport, OnlyTheExactSchoolChoiceUsesTheSchoolHost) {
  storeToken();
  struct Case {
    std::optional<std::string> backend;
    std::string host;
  } cases[] = {{"school", "api.school.mopet.velmorhome.so"},
               {"School", "api.family.mopet.velmorhome.so"},
               {"school ", "api.family.mopet.velmorhome.so"},
               {std::nullopt, "api.family.mopet.velmorhome.so"}};
  for (const auto& c : cases) {
    if (c.backend) sharedSuite()->set("SCHOOL_FAMILYAPI_AGENT", *c.backend);
    else sharedSuite()->removeObject("SCHOOL_FAMILYAPI_AGENT");
    service().reset();
    reporter_.sendReport();
    auto requests = service().requests(kReportsPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, "https://" + c.host + kReportsPath);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].headers.size(), 3u);
    EXPECT_TRUE(std::isinf(requests[0].timeoutInterval));
  }
}

TEST_F(UsageReport, EveryOutcomeIsPrintedAndEndsTheWait) {
  storeToken();
  agenttest::CannedReply failure;
  failure.error = platform::Error::url(platform::URLErrorCode::timedOut);
  struct Case {
    std::string name;
    agenttest::CannedReply reply;
    std::string printed;
  } cases[] = {
      {"ok", agenttest::reply(200, R"({"message":"saved"})"), "{\"message\":\"saved\"}\n"},
      {"server error", agenttest::reply(500, "Internal Server Error"), "Internal Server Error\n"},
      {"not text", agenttest::reply(200, "\xff\xfe"), "<UTF8 conversion failed>\n"},
      {"transport failure", failure, "Error Domain=NSURLErrorDomain Code=-1001"},
  };
  for (const auto& c : cases) {
    service().setReply(kReportsPath, c.reply);
    platform::CapturedOutput captured;
    reporter_.sendReport();  // returns only once the reply was handled
    EXPECT_THAT(agenttest::printedText(captured.take()), HasSubstr(c.printed)) << c.name;
  }
}

TEST_F(UsageReport, SafariCountsOnlyWhenFrontmostWithAWindowOnScreen) {
  platform::FakeWorkspace::Application safari;
  safari.bundleIdentifier = "com.apple.Safari";
  safari.processIdentifier = 77;
  platform::FakeWorkspace::Application other;
  other.bundleIdentifier = "org.mozilla.firefox";
  other.processIdentifier = 88;
  workspace_.setRunningApplications({safari, other});

  platform::WindowInfo noOwner;
  noOwner.number = 1;
  platform::WindowInfo safariWindow;
  safariWindow.number = 2;
  safariWindow.ownerPID = 77;
  platform::WindowInfo otherWindow;
  otherWindow.number = 3;
  otherWindow.ownerPID = 88;

  struct Case {
    std::string name;
    std::optional<pid_t> front;
    std::optional<std::vector<platform::WindowInfo>> windows;
    bool expected;
  } cases[] = {
      {"no frontmost application", std::nullopt, std::vector{safariWindow}, false},
      {"another application in front", 88, std::vector{otherWindow, safariWindow}, false},
      {"Safari without a window", 77, std::vector{noOwner, otherWindow}, false},
      {"no window list", 77, std::nullopt, false},
      {"Safari with two windows", 77, std::vector{noOwner, safariWindow, safariWindow}, true},
  };
  std::int64_t expectedCount = 0;
  for (const auto& c : cases) {
    workspace_.setFrontmostApplication(c.front);
    windowList_.setWindows(c.windows);
    EXPECT_EQ(reporter_.safariIsInUse(), c.expected) << c.name;
    expectedCount += c.expected;
    EXPECT_EQ(reporter_.safariTime(), expectedCount) << c.name;
  }
  // The delegate's operation and property are the reporter's, whatever the argument.
  workspace_.setFrontmostApplication(77);
  windowList_.setWindows(std::vector{safariWindow});
  auto& d = delegate();
  EXPECT_TRUE(d.trackSingleApplicationUsage("org.mozilla.firefox"));
  EXPECT_EQ(d.safariTime, 1);
  auto queries = windowList_.queries();
  ASSERT_FALSE(queries.empty());
  EXPECT_EQ(queries.back(), (platform::FakeWindowList::Query{17u, 0u}));
}

}  // namespace
