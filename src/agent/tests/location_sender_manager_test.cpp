// The location reporter with a fake location manager, a recording request runner, a
// scripted clock and a stand-in for the command channel's registration.
#include "agent/location_sender_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/tests/support/printed.h"
#include "channel/command_payloads.h"
#include "networks/child_user_default_manager.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/fakes/fake_location_manager.h"
#include "platform/run_loop.h"
#include "support/scoped_user_defaults.h"

namespace agent {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = std::chrono::system_clock;

// Records every request; answers each one as told (success, failure, or not at all,
// as the runner does without a child token).
class RecordingRunner final : public networks::NetworkManager {
 public:
  enum class Reply { success, failure, none };
  Reply reply = Reply::success;
  std::vector<networks::ChildEndPoint> requests;

  void task(const networks::ChildEndPoint& endPoint, ReplyHandler handler) override {
    requests.push_back(endPoint);
    if (reply == Reply::success) handler.decodeSuccess(platform::toData(R"({"message":"ok"})"));
    if (reply == Reply::failure) handler.failure(networks::ErrorModel{"refused", -1004, std::nullopt});
  }

  // The samples of every location upload, in order.
  std::vector<networks::LocationModel> samples() const {
    std::vector<networks::LocationModel> all;
    for (const auto& request : requests) {
      const auto* upload = std::get_if<networks::ChildEndPoint::SendLocation>(&request.value());
      EXPECT_NE(upload, nullptr);
      if (!upload) continue;
      EXPECT_EQ(upload->samples.size(), 1u);
      all.insert(all.end(), upload->samples.begin(), upload->samples.end());
    }
    return all;
  }
};

class LocationSenderManagerTest : public ::testing::Test {
 protected:
  ~LocationSenderManagerTest() override {
    platform::RunLoop::main().setCurrentMode(platform::RunLoopMode::defaultMode);
  }

  void storeLoginRecord() {
    networks::ChildUser::make(platform::UserDefaults::standard())
        .save(networks::DeviceLoginModel{"token", "parent", "child", "CHILD", "device"});
  }

  // A reporter over the fakes. The clock moves on by a microsecond at every reading,
  // as a real one would between two steps.
  std::unique_ptr<LocationSenderManager> make() {
    LocationSenderManager::Environment environment;
    environment.locationManager = manager_;
    environment.networkManger = runner_;
    environment.childUser = &networks::ChildUser::make(platform::UserDefaults::standard());
    environment.runLoop = &platform::RunLoop::main();
    environment.now = [this] { return now_ += 1us; };
    environment.listenToLiveLocation = [this](LocationSenderManager::LiveLocationHandler handler) {
      handlers_.push_back(std::move(handler));
    };
    return std::make_unique<LocationSenderManager>(std::move(environment));
  }

  // Delivers a batch on the main queue and waits until the reporter stored it.
  void deliver(LocationSenderManager& reporter, std::vector<platform::Location> batch) {
    const auto expected = batch.front();
    manager_->deliver(std::move(batch));
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return reporter.userLocation == expected; }, 5s));
  }

  // Sends the command to every registered handler, as the channel does.
  void command(double interval, double duration, std::int64_t distance = 50) {
    for (auto& handler : handlers_) handler(channel::LiveLocationRule{distance, duration, interval});
  }

  static platform::Location fix(double latitude, double longitude) {
    return platform::FakeLocationManager::fix(latitude, longitude);
  }

  testsupport::ScopedUserDefaults defaults_;
  std::shared_ptr<platform::FakeLocationManager> manager_ = platform::FakeLocationManager::make();
  std::shared_ptr<RecordingRunner> runner_ = std::make_shared<RecordingRunner>();
  Clock::time_point now_ = Clock::time_point(std::chrono::milliseconds(1'700'000'000'250));
  std::vector<LocationSenderManager::LiveLocationHandler> handlers_;
};

TEST_F(LocationSenderManagerTest, CreationConfiguresTheManagerAndStartsNoTimerWithoutALoginRecord) {
  auto reporter = make();
  EXPECT_EQ(manager_->startSignificantChangesCalls(), 1);
  EXPECT_EQ(manager_->activityType(), platform::ActivityType::otherNavigation);
  EXPECT_EQ(manager_->desiredAccuracy(), platform::LocationAccuracy::best);
  EXPECT_EQ(manager_->distanceFilter(), 1.0);
  EXPECT_EQ(manager_->alwaysAuthorizationRequests(), 1);
  EXPECT_EQ(manager_->delegate(), reporter.get());

  EXPECT_EQ(reporter->regularTimer, nullptr);
  EXPECT_THAT(handlers_, IsEmpty());
  EXPECT_EQ(reporter->regularTimeInterval, 300.0);
  EXPECT_EQ(reporter->liveTimeInterval, 5.0);
  EXPECT_EQ(reporter->distance, "50");
  EXPECT_EQ(manager_->startUpdatingLocationCalls(), 0);
  EXPECT_THAT(runner_->requests, IsEmpty());

  // A login record stored later does not start it.
  storeLoginRecord();
  EXPECT_EQ(reporter->regularTimer, nullptr);
}

TEST_F(LocationSenderManagerTest, ALoginRecordAtCreationStartsTheRegularTimerAndOneHandler) {
  storeLoginRecord();
  auto reporter = make();
  ASSERT_NE(reporter->regularTimer, nullptr);
  EXPECT_TRUE(reporter->regularTimer->isValid());
  EXPECT_EQ(reporter->regularTimer->interval(), 300s);
  EXPECT_EQ(handlers_.size(), 1u);
  // Fired once at once: updates were asked for; with no fix yet nothing is uploaded.
  EXPECT_EQ(manager_->startUpdatingLocationCalls(), 1);
  EXPECT_THAT(runner_->requests, IsEmpty());

  // Start-up registers a second handler.
  reporter->listenToLiveLocationSocket();
  EXPECT_EQ(handlers_.size(), 2u);

  // Each regular tick asks for updates and uploads the stored fix.
  deliver(*reporter, {fix(48.1, 11.5)});
  ASSERT_EQ(runner_->requests.size(), 1u);  // the first fix
  reporter->regularTimer->fire();
  EXPECT_EQ(manager_->startUpdatingLocationCalls(), 2);
  EXPECT_EQ(runner_->samples().size(), 2u);
}

TEST_F(LocationSenderManagerTest, TheFirstFixIsUploadedAtOnceAndLaterOnesOnlyStored) {
  auto reporter = make();
  platform::CapturedOutput captured;
  deliver(*reporter, {fix(52.52, 13.405), fix(1e-05, -0.5), fix(-33.0, 151.25)});
  deliver(*reporter, {fix(40.0, -3.75)});
  const std::string printed = agenttest::printedText(captured.take());
  EXPECT_EQ(printed, "52.52 13.405\nsuccess\n40.0 -3.75\n");

  const auto samples = runner_->samples();
  ASSERT_EQ(samples.size(), 1u);
  const auto& sample = samples[0];
  EXPECT_EQ(sample.lat, "52.52");  // the oldest fix of the batch
  EXPECT_EQ(sample.long_, "13.405");
  EXPECT_EQ(sample.metaData.accuracy, 10.0f);  // not the fix's own accuracy
  EXPECT_EQ(sample.metaData.batteryPercentage, 100);
  EXPECT_FALSE(sample.metaData.batteryIsCharging);
  // The time the sample was made, in milliseconds, fraction kept.
  EXPECT_NEAR(sample.time, 1'700'000'000'250.0, 1.0);
  EXPECT_NE(sample.time, std::floor(sample.time));
  EXPECT_EQ(reporter->userLocation->coordinate, (platform::LocationCoordinate{40.0, -3.75}));

  // The wire form: an array of one object with exactly these members.
  const auto body = runner_->requests[0].parameters();
  ASSERT_TRUE(body);
  const auto json = nlohmann::json::parse(platform::toString(*body));
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0].size(), 4u);
  EXPECT_EQ(json[0]["long"], "13.405");
  EXPECT_EQ(json[0]["lat"], "52.52");
  EXPECT_TRUE(json[0]["time"].is_number());
  EXPECT_EQ(json[0]["meta_data"],
            (nlohmann::json{{"accuracy", 10.0}, {"battery_is_charging", false}, {"battery_percentage", 100}}));
}

TEST_F(LocationSenderManagerTest, OneExitRegionFollowsTheNewestFix) {
  auto reporter = make();
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  deliver(*reporter, {fix(10.0, 20.0), fix(10.5, 20.5)});
  deliver(*reporter, {fix(11.0, 21.0)});

  const auto started = manager_->startedRegions();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0].center(), (platform::LocationCoordinate{10.5, 20.5}));  // the newest of the batch
  for (const auto& region : started) {
    EXPECT_EQ(region.identifier(), "lastUserLocation");
    EXPECT_EQ(region.radius(), 1.0);  // the distance filter
    EXPECT_FALSE(region.notifyOnEntry());
    EXPECT_TRUE(region.notifyOnExit());
  }
  ASSERT_EQ(manager_->monitoredRegions().size(), 1u);
  EXPECT_EQ(manager_->monitoredRegions()[0].center(), (platform::LocationCoordinate{11.0, 21.0}));

  // Leaving it restarts updates; leaving another region does nothing.
  const int before = manager_->startUpdatingLocationCalls();
  manager_->exitRegion(platform::CircularRegion({0, 0}, 5, "somewhereElse"));
  ASSERT_TRUE(manager_->exitRegion("lastUserLocation"));
  ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return manager_->startUpdatingLocationCalls() > before; }, 5s));
  platform::RunLoop::main().runUntil(std::chrono::steady_clock::now() + 20ms);
  EXPECT_EQ(manager_->startUpdatingLocationCalls(), before + 1);

  // Without region monitoring nothing is watched.
  manager_->setMonitoringAvailable(false);
  reporter->monitorRegionAtLocation({1, 2}, "lastUserLocation");
  EXPECT_EQ(manager_->startedRegions().size(), 2u);
}

TEST_F(LocationSenderManagerTest, AtTenMonitoredRegionsOneIsStoppedFirst) {
  struct Case {
    int monitored;
    std::size_t stopped;
  };
  for (const auto& [monitored, stopped] : {Case{9, 0}, Case{10, 1}}) {
    SCOPED_TRACE(monitored);
    manager_ = platform::FakeLocationManager::make();
    for (int i = 0; i < monitored; ++i) {
      manager_->startMonitoring(platform::CircularRegion({1.0 * i, 0}, 50, "r" + std::to_string(i)));
    }
    auto reporter = make();
    platform::CapturedOutput quiet;  // keeps the printed lines off the test output
    deliver(*reporter, {fix(5, 5)});
    const auto stoppedRegions = manager_->stoppedRegions();
    ASSERT_EQ(stoppedRegions.size(), stopped);
    if (stopped == 1) {
      EXPECT_EQ(stoppedRegions[0].identifier(), "r0");
    }
    EXPECT_EQ(manager_->monitoredRegions().size(), monitored + 1 - stopped);
  }
}

TEST_F(LocationSenderManagerTest, StartUpsLiveTimerEndsAtItsFirstTick) {
  auto reporter = make();
  reporter->listenToLiveLocationSocket();
  reporter->startSendLocations();
  ASSERT_NE(reporter->liveTimer, nullptr);
  EXPECT_FALSE(reporter->liveTimer->isValid());
  EXPECT_EQ(reporter->liveTimer->interval(), 5s);
  EXPECT_EQ(manager_->startUpdatingLocationCalls(), 1);  // the tick still asked for updates
  EXPECT_THAT(runner_->requests, IsEmpty());               // and had no fix to upload
}

TEST_F(LocationSenderManagerTest, ALiveCommandTicksUntilItsDurationEndsThenUploadsOnceMore) {
  auto reporter = make();
  reporter->listenToLiveLocationSocket();
  reporter->startSendLocations();
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  deliver(*reporter, {fix(1, 2)});
  runner_->requests.clear();

  const auto commandTime = now_;
  command(5000, 60000, 120);
  EXPECT_EQ(reporter->liveTimeInterval, 5.0);
  EXPECT_EQ(reporter->distance, "120");
  EXPECT_NEAR(std::chrono::duration<double>(reporter->isLiveUntil - commandTime).count(), 60.0, 0.001);
  auto timer = reporter->liveTimer;
  ASSERT_TRUE(timer->isValid());
  EXPECT_EQ(timer->interval(), 5s);
  EXPECT_EQ(runner_->requests.size(), 1u);  // the tick fired at once

  // Every 5 seconds a tick, up to 60 seconds after the command.
  for (int second = 5; second <= 55; second += 5) {
    now_ = commandTime + std::chrono::seconds(second);
    timer->fire();
    ASSERT_TRUE(timer->isValid()) << second;
  }
  EXPECT_EQ(runner_->requests.size(), 12u);
  // The first tick later than the end uploads once more and ends the timer.
  now_ = commandTime + 60s + 1ms;
  timer->fire();
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(runner_->requests.size(), 13u);
  EXPECT_EQ(reporter->liveTimer, timer);  // kept, ended
  EXPECT_EQ(reporter->liveTimeInterval, 5.0);
}

TEST_F(LocationSenderManagerTest, WithTwoHandlersACommandRestartsTheTimerTwice) {
  storeLoginRecord();
  auto reporter = make();
  reporter->listenToLiveLocationSocket();  // as start-up does
  ASSERT_EQ(handlers_.size(), 2u);
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  deliver(*reporter, {fix(1, 2)});
  runner_->requests.clear();

  std::vector<std::shared_ptr<platform::Timer>> timers;
  for (auto& handler : handlers_) {
    handler(channel::LiveLocationRule{50, 60000, 5000});
    timers.push_back(reporter->liveTimer);
  }
  EXPECT_NE(timers[0], timers[1]);
  EXPECT_FALSE(timers[0]->isValid());
  EXPECT_TRUE(timers[1]->isValid());
  EXPECT_EQ(runner_->requests.size(), 2u);  // the fired-at-once tick ran twice
}

TEST_F(LocationSenderManagerTest, ADurationOfZeroUploadsOnceAndEnds) {
  auto reporter = make();
  reporter->listenToLiveLocationSocket();
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  deliver(*reporter, {fix(1, 2)});
  runner_->requests.clear();
  for (const double duration : {0.0, -1000.0}) {
    command(5000, duration);
    EXPECT_FALSE(reporter->liveTimer->isValid());
  }
  EXPECT_EQ(runner_->requests.size(), 2u);
}

TEST_F(LocationSenderManagerTest, ServerIntervalsAreKeptWithinSaneBounds) {
  auto reporter = make();
  reporter->listenToLiveLocationSocket();
  struct Case {
    double interval;
    double seconds;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double huge = 1e300;
  for (const auto& [interval, seconds] :
       {Case{0, 1.0}, Case{-5000, 1.0}, Case{999, 1.0}, Case{nan, 1.0}, Case{1000, 1.0}, Case{2500, 2.5},
        Case{huge, LocationSenderManager::kMaximumSeconds}}) {
    SCOPED_TRACE(interval);
    command(interval, 60000);
    EXPECT_EQ(reporter->liveTimeInterval, seconds);
    EXPECT_EQ(std::chrono::duration<double>(reporter->liveTimer->interval()).count(), seconds);
  }
  // Durations beyond the clock's range end somewhere far away instead of overflowing.
  for (const double duration : {huge, -huge, nan}) {
    const auto before = now_;
    command(5000, duration);
    const double ahead = std::chrono::duration<double>(reporter->isLiveUntil - before).count();
    EXPECT_LE(std::abs(ahead), LocationSenderManager::kMaximumSeconds + 1);
  }
}

TEST_F(LocationSenderManagerTest, TicksUploadWithServicesOffAndPrintTheOutcome) {
  auto reporter = make();
  reporter->listenToLiveLocationSocket();
  platform::CapturedOutput captured;
  deliver(*reporter, {fix(1, 2)});
  captured.clear();
  manager_->setLocationServicesEnabled(false);
  const int updates = manager_->startUpdatingLocationCalls();

  struct Case {
    RecordingRunner::Reply reply;
    std::string printed;
  };
  for (const auto& [reply, printed] :
       {Case{RecordingRunner::Reply::success, "success\n"}, Case{RecordingRunner::Reply::failure, "failed\n"},
        Case{RecordingRunner::Reply::none, ""}}) {
    runner_->reply = reply;
    runner_->requests.clear();
    captured.clear();
    command(5000, 60000);
    EXPECT_EQ(agenttest::printedText(captured.take()), printed);
    EXPECT_EQ(runner_->requests.size(), 1u);
  }
  EXPECT_EQ(manager_->startUpdatingLocationCalls(), updates);
}

TEST_F(LocationSenderManagerTest, HandlersAndTimersOutlivingTheReporterDoNothing) {
  auto reporter = make();
  reporter->listenToLiveLocationSocket();
  command(1000, 60000);
  auto timer = reporter->liveTimer;
  reporter.reset();
  EXPECT_FALSE(timer->isValid());
  command(1000, 60000);  // the handler finds no reporter
  timer->fire();
  EXPECT_THAT(runner_->requests, IsEmpty());
}

// The live timer on the real main run loop and clock: a 1-second interval for 1.5
// seconds ticks at once, after one second, and ends at the tick after two.
TEST(LocationSenderManagerRunLoopTest, LiveTicksComeFromTheRunLoop) {
  testsupport::ScopedUserDefaults defaults;
  auto manager = platform::FakeLocationManager::make();
  auto runner = std::make_shared<RecordingRunner>();
  std::vector<LocationSenderManager::LiveLocationHandler> handlers;
  LocationSenderManager::Environment environment;
  environment.locationManager = manager;
  environment.networkManger = runner;
  environment.childUser = &networks::ChildUser::make(platform::UserDefaults::standard());
  environment.listenToLiveLocation = [&](LocationSenderManager::LiveLocationHandler handler) {
    handlers.push_back(std::move(handler));
  };
  LocationSenderManager reporter(std::move(environment));
  reporter.listenToLiveLocationSocket();
  auto& loop = platform::RunLoop::main();
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  manager->deliver(platform::FakeLocationManager::fix(3, 4));
  ASSERT_TRUE(loop.runUntil([&] { return reporter.userLocation.has_value(); }, 5s));
  runner->requests.clear();

  handlers.at(0)(channel::LiveLocationRule{50, 1500, 1000});
  auto timer = reporter.liveTimer;
  EXPECT_TRUE(loop.runUntil([&] { return !timer->isValid(); }, 5s));
  EXPECT_EQ(runner->requests.size(), 3u);
}

}  // namespace
}  // namespace agent
