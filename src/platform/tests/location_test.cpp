// The location manager: delivery on the main queue through the fake, region
// monitoring, and the Linux provider with and without a position source.
#include "platform/location.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/fakes/fake_location_manager.h"
#include "platform/run_loop.h"
#include "support/location_recorder.h"
#include "support/temp_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Recorder = testsupport::LocationRecorder;

bool runUntil(const std::function<bool()>& condition) { return RunLoop::main().runUntil(condition, 5s); }
// Lets every block already posted to the main queue run.
void drainMainQueue() {
  bool done = false;
  DispatchQueue::main().async([&] { done = true; });
  RunLoop::main().runUntil([&] { return done; }, 5s);
}

CircularRegion region(const std::string& id, double latitude = 52.5, double longitude = 13.4, double radius = 100) {
  return CircularRegion({latitude, longitude}, radius, id);
}

TEST(LocationGeometry, DistancesAndRegionMembership) {
  EXPECT_NEAR(distanceBetween({0, 0}, {1, 0}), 111195, 10);  // one degree of latitude
  EXPECT_NEAR(distanceBetween({52.52, 13.405}, {48.137, 11.575}), 504000, 1500);  // two cities
  EXPECT_EQ(distanceBetween({10, 20}, {10, 20}), 0);

  auto r = region("r", 0, 0, 1000);
  EXPECT_TRUE(r.contains({0.005, 0}));   // about 556 m
  EXPECT_FALSE(r.contains({0.01, 0}));   // about 1112 m
  EXPECT_TRUE(r.notifyOnEntry());
  EXPECT_TRUE(r.notifyOnExit());
}

// ---- the fake -----------------------------------------------------------------

TEST(FakeLocationManagerTest, FixesArriveLaterOnTheMainQueueInOrder) {
  auto manager = FakeLocationManager::make();
  Recorder recorder;
  manager->setDelegate(&recorder);
  drainMainQueue();  // the authorisation report that setting a delegate makes
  ASSERT_EQ(recorder.statuses, (std::vector<AuthorizationStatus>{AuthorizationStatus::authorizedAlways}));
  recorder.events.clear();

  manager->deliver({FakeLocationManager::fix(1, 2), FakeLocationManager::fix(3, 4)});
  EXPECT_TRUE(recorder.events.empty());  // not inside deliver()
  std::thread([&] { manager->deliver(FakeLocationManager::fix(5, 6)); }).join();
  ASSERT_TRUE(runUntil([&] { return recorder.batches.size() == 2; }));

  EXPECT_TRUE(recorder.allOnMainQueue);
  ASSERT_EQ(recorder.batches[0].size(), 2u);
  EXPECT_EQ(recorder.batches[0][0].coordinate, (LocationCoordinate{1, 2}));
  EXPECT_EQ(recorder.batches[0][1].coordinate, (LocationCoordinate{3, 4}));
  EXPECT_EQ(recorder.batches[1][0].coordinate, (LocationCoordinate{5, 6}));
  ASSERT_TRUE(manager->location().has_value());
  EXPECT_EQ(manager->location()->coordinate, (LocationCoordinate{5, 6}));  // the newest

  manager->fail(locationError(LocationErrorCode::locationUnknown));
  ASSERT_TRUE(runUntil([&] { return !recorder.errors.empty(); }));
  EXPECT_EQ(recorder.errors[0].domain, "kCLErrorDomain");
}

TEST(FakeLocationManagerTest, NothingReachesAGoneDelegateOrComesFromAGoneManager) {
  auto manager = FakeLocationManager::make();
  {
    Recorder recorder;
    manager->setDelegate(&recorder);
    manager->deliver(FakeLocationManager::fix(1, 2));
  }  // destroyed before the queued delivery runs
  drainMainQueue();
  EXPECT_EQ(manager->delegate(), nullptr);
  EXPECT_EQ(manager->location()->coordinate, (LocationCoordinate{1, 2}));

  Recorder recorder;
  manager->setDelegate(&recorder);
  drainMainQueue();
  recorder.events.clear();
  manager->deliver(FakeLocationManager::fix(3, 4));
  manager.reset();
  drainMainQueue();
  EXPECT_TRUE(recorder.events.empty());
}

TEST(FakeLocationManagerTest, RegionsAreReplacedByIdentifierLimitedAndReportExits) {
  auto manager = FakeLocationManager::make();
  Recorder recorder;
  manager->setDelegate(&recorder);

  manager->startMonitoring(region("lastUserLocation", 1, 1));
  manager->startMonitoring(region("lastUserLocation", 2, 2));
  ASSERT_EQ(manager->monitoredRegions().size(), 1u);
  EXPECT_EQ(manager->monitoredRegions()[0].center(), (LocationCoordinate{2, 2}));
  EXPECT_EQ(manager->startedRegions().size(), 2u);

  EXPECT_TRUE(manager->exitRegion("lastUserLocation"));
  EXPECT_FALSE(manager->exitRegion("elsewhere"));  // not monitored: nothing posted
  manager->exitRegion(region("elsewhere"));         // reported anyway when forced

  for (int i = 0; i < 25; ++i) manager->startMonitoring(region("r" + std::to_string(i)));
  EXPECT_EQ(manager->monitoredRegions().size(), LocationManager::kMaximumMonitoredRegions);
  manager->stopMonitoring(region("r0"));
  EXPECT_EQ(manager->monitoredRegions().size(), LocationManager::kMaximumMonitoredRegions - 1);

  manager->startMonitoring(region("flat", 0, 0, 0));  // a radius must be positive
  manager->setMonitoringAvailable(false);
  manager->startMonitoring(region("unavailable"));
  drainMainQueue();

  auto count = [&](const std::string& event) {
    return std::count(recorder.events.begin(), recorder.events.end(), event);
  };
  EXPECT_EQ(count("monitoring lastUserLocation"), 2);
  EXPECT_EQ(count("exit lastUserLocation"), 1);
  EXPECT_EQ(count("exit elsewhere"), 1);
  EXPECT_EQ(count("monitoring failed r24"), 1);
  EXPECT_EQ(count("monitoring failed flat"), 1);
  EXPECT_EQ(count("monitoring failed unavailable"), 1);
  EXPECT_TRUE(recorder.allOnMainQueue);
}

TEST(FakeLocationManagerTest, CountsEveryRequestAndKeepsSettings) {
  auto manager = FakeLocationManager::make();
  manager->startUpdatingLocation();
  manager->startUpdatingLocation();  // harmless while running, but counted
  manager->startMonitoringSignificantLocationChanges();
  manager->requestAlwaysAuthorization();
  EXPECT_EQ(manager->startUpdatingLocationCalls(), 2);
  EXPECT_TRUE(manager->isUpdatingLocation());
  EXPECT_TRUE(manager->isMonitoringSignificantLocationChanges());
  EXPECT_EQ(manager->alwaysAuthorizationRequests(), 1);
  manager->stopUpdatingLocation();
  EXPECT_FALSE(manager->isUpdatingLocation());

  EXPECT_EQ(manager->desiredAccuracy(), LocationAccuracy::best);
  EXPECT_EQ(manager->distanceFilter(), kDistanceFilterNone);
  manager->setActivityType(ActivityType::otherNavigation);
  manager->setDistanceFilter(1.0);
  manager->setAllowsBackgroundLocationUpdates(true);
  EXPECT_EQ(manager->activityType(), ActivityType::otherNavigation);
  EXPECT_EQ(manager->distanceFilter(), 1.0);
  EXPECT_TRUE(manager->allowsBackgroundLocationUpdates());
}

// ---- the Linux provider -------------------------------------------------------

class LinuxLocationTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = testsupport::makeTemporaryFolder("mopet-location"); }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  // Replaces the source file whole, so that a poll never reads half of it.
  std::string writeSource(const std::string& text) {
    auto path = folder_ / "fix.json";
    auto temporary = folder_ / "fix.json.tmp";
    std::ofstream(temporary) << text;
    fs::rename(temporary, path);
    return path.string();
  }

  fs::path folder_;
};

TEST_F(LinuxLocationTest, WithoutASourceLocationServicesAreOff) {
  // Neither a source file nor the desktop's service (geoclue_location_test.cpp
  // covers that one).
  LinuxLocationManager::Options options;
  options.desktopService = false;
  auto manager = LinuxLocationManager::make(options);
  Recorder recorder;
  manager->setDelegate(&recorder);
  EXPECT_FALSE(manager->locationServicesEnabled());
  EXPECT_FALSE(manager->isMonitoringAvailableForCircularRegions());
  EXPECT_EQ(manager->authorizationStatus(), AuthorizationStatus::denied);

  manager->requestAlwaysAuthorization();
  manager->startMonitoringSignificantLocationChanges();
  manager->startUpdatingLocation();
  manager->startUpdatingLocation();  // already started: no second report
  manager->startMonitoring(region("lastUserLocation"));
  ASSERT_TRUE(runUntil([&] { return recorder.events.size() >= 4; }));
  RunLoop::main().runUntil(std::chrono::steady_clock::now() + 50ms);

  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"authorization 2", "error 1", "error 1", "monitoring failed lastUserLocation"}));
  EXPECT_EQ(recorder.statuses, (std::vector<AuthorizationStatus>{AuthorizationStatus::denied}));
  EXPECT_TRUE(recorder.batches.empty());
  EXPECT_FALSE(manager->location().has_value());
  EXPECT_TRUE(recorder.allOnMainQueue);
}

TEST_F(LinuxLocationTest, ASourceFileGivesOneFixWhenUpdatesStart) {
  auto path = writeSource(R"({"latitude": 52.52, "longitude": 13.405, "horizontalAccuracy": 20,
                              "altitude": 34, "timestamp": 1700000000.5})");
  Settings settings;
  settings.locationFile = path;
  auto manager = LinuxLocationManager::make(LinuxLocationManager::optionsFrom(settings));
  Recorder recorder;
  manager->setDelegate(&recorder);
  EXPECT_TRUE(manager->locationServicesEnabled());
  EXPECT_TRUE(manager->isMonitoringAvailableForCircularRegions());
  EXPECT_EQ(manager->authorizationStatus(), AuthorizationStatus::authorizedAlways);

  manager->startUpdatingLocation();
  manager->startUpdatingLocation();
  ASSERT_TRUE(runUntil([&] { return !recorder.batches.empty(); }));
  RunLoop::main().runUntil(std::chrono::steady_clock::now() + 50ms);

  ASSERT_EQ(recorder.batches.size(), 1u);
  ASSERT_EQ(recorder.batches[0].size(), 1u);
  const Location& fix = recorder.batches[0][0];
  EXPECT_EQ(fix.coordinate, (LocationCoordinate{52.52, 13.405}));
  EXPECT_EQ(fix.horizontalAccuracy, 20);
  EXPECT_EQ(fix.altitude, 34);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(fix.timestamp.time_since_epoch()).count(),
            1700000000500);
  EXPECT_TRUE(recorder.errors.empty());
  EXPECT_TRUE(recorder.allOnMainQueue);
  manager->stopUpdatingLocation();
}

TEST_F(LinuxLocationTest, AWatchedSourceReportsMovesAndLeavingARegion) {
  auto path = writeSource(R"({"latitude": 10.0, "longitude": 20.0})");
  auto manager = LinuxLocationManager::make({path, 5ms});
  Recorder recorder;
  manager->setDelegate(&recorder);
  manager->setDistanceFilter(50);
  manager->startUpdatingLocation();
  ASSERT_TRUE(runUntil([&] { return recorder.batches.size() == 1; }));
  EXPECT_EQ(recorder.batches[0][0].horizontalAccuracy, 65);  // the default
  manager->startMonitoring(region("home", 10.0, 20.0, 100));

  writeSource(R"({"latitude": 10.0001, "longitude": 20.0})");  // 11 m: inside the filter
  RunLoop::main().runUntil(std::chrono::steady_clock::now() + 60ms);
  EXPECT_EQ(recorder.batches.size(), 1u);

  writeSource(R"([{"latitude": 10.001, "longitude": 20.0}, {"latitude": 10.002, "longitude": 20.0}])");
  ASSERT_TRUE(runUntil([&] { return recorder.batches.size() == 2; }));
  ASSERT_EQ(recorder.batches[1].size(), 2u);
  EXPECT_EQ(recorder.batches[1][1].coordinate, (LocationCoordinate{10.002, 20.0}));
  ASSERT_TRUE(runUntil(
      [&] { return std::find(recorder.events.begin(), recorder.events.end(), "exit home") != recorder.events.end(); }));

  writeSource("not json");
  ASSERT_TRUE(runUntil([&] { return !recorder.errors.empty(); }));
  EXPECT_EQ(recorder.errors[0].code, LocationErrorCode::locationUnknown);
  EXPECT_TRUE(recorder.allOnMainQueue);
}

TEST(LinuxLocationSource, ReadsOneFixOrABatchAndRefusesBadFiles) {
  struct Case {
    const char* name;
    const char* text;
    std::size_t fixes;  // 0: refused
  };
  const Case cases[] = {
      {"one fix", R"({"latitude": -33.9, "longitude": 151.2})", 1},
      {"a batch", R"([{"latitude": 1, "longitude": 2}, {"latitude": 3, "longitude": 4}])", 2},
      {"no longitude", R"({"latitude": 1})", 0},
      {"latitude out of range", R"({"latitude": 91, "longitude": 0})", 0},
      {"longitude out of range", R"({"latitude": 0, "longitude": -181})", 0},
      {"a text for a number", R"({"latitude": "1", "longitude": 2})", 0},
      {"an empty batch", "[]", 0},
      {"a bad element", R"([{"latitude": 1, "longitude": 2}, 7])", 0},
      {"not JSON", "latitude=1", 0},
  };
  const fs::path folder = testsupport::makeTemporaryFolder("mopet-location-src");
  const fs::path file = folder / "fix.json";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(file) << c.text;
    std::string reason;
    auto fixes = LinuxLocationManager::readSource(file.string(), &reason);
    if (c.fixes == 0) {
      EXPECT_FALSE(fixes.has_value());
      EXPECT_FALSE(reason.empty());
    } else {
      ASSERT_TRUE(fixes.has_value()) << reason;
      EXPECT_EQ(fixes->size(), c.fixes);
    }
  }
  EXPECT_FALSE(LinuxLocationManager::readSource((folder / "missing.json").string()).has_value());
  fs::remove_all(folder);
}

}  // namespace
}  // namespace platform
