// The location manager over the desktop's location service: a stand-in GeoClue2
// (geoclue2_standin.py, on python-dbusmock) on a private bus that the test starts
// and names as the system bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/geoclue_service.h"
#include "platform/location.h"
#include "platform/run_loop.h"
#include "support/location_recorder.h"
#include "support/temp_folder.h"

extern char** environ;

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Recorder = testsupport::LocationRecorder;

bool runUntil(const std::function<bool()>& condition) { return RunLoop::main().runUntil(condition, 10s); }

// Waits on the test's thread (not the run loop) until the condition holds.
bool waitFor(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    RunLoop::main().runUntil(std::chrono::steady_clock::now() + 20ms);
  }
  return true;
}

// The probes below run before the test starts a thread of its own.
// NOLINTBEGIN(concurrency-mt-unsafe)
bool onPath(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

// A Python that has python-dbusmock: the system's first (a user's own Python may
// come first on PATH), else the one on PATH.
std::optional<std::string> dbusmockPython() {
  for (const char* candidate : {"/usr/bin/python3", "python3"}) {
    std::string probe = std::string(candidate) + " -c 'import dbusmock' >/dev/null 2>&1";
    if (std::system(probe.c_str()) == 0) return candidate;
  }
  return std::nullopt;
}
// NOLINTEND(concurrency-mt-unsafe)

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) out += buffer.data();
  ::pclose(pipe);
  return out;
}

constexpr const char* kStandIn = MOPET_SOURCE_DIR "/src/platform/tests/geoclue2_standin.py";

// The Linux provider as on a real machine: no source file, the desktop's service.
std::shared_ptr<LocationManager> desktopManager() {
  return LinuxLocationManager::make(LinuxLocationManager::optionsFrom(Settings{}));
}

class DesktopLocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"dbus-daemon", "gdbus"}) {
      if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
    }
    python_ = dbusmockPython();
    if (!python_) GTEST_SKIP() << "python3-dbusmock is not installed (scripts/install-deps installs it)";

    folder_ = testsupport::makeTemporaryFolder("mopet-geoclue");
    address_ = "unix:path=" + (folder_ / "bus").string();
    // The D-Bus library finds the system bus through this variable, not through our
    // settings; it is changed here and in TearDown, where no thread of the test runs.
    // NOLINTBEGIN(concurrency-mt-unsafe)
    if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) previous_ = previous;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    // NOLINTEND(concurrency-mt-unsafe)

    spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_});
    ASSERT_TRUE(waitFor([&] {
      return run(busCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId")).find('\'') !=
             std::string::npos;
    })) << "the private bus did not come up";
  }

  void TearDown() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    // NOLINTBEGIN(concurrency-mt-unsafe): see SetUp
    if (previous_) {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    // NOLINTEND(concurrency-mt-unsafe)
    if (!folder_.empty()) {
      std::error_code ignored;
      fs::remove_all(folder_, ignored);
    }
  }

  void spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Their chatter goes to a log in the test's folder.
    std::string log = (folder_ / (fs::path(argv[0]).filename().string() + ".log")).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0) << argv[0];
    children_.push_back(pid);
  }

  std::string busCall(const std::string& dest, const std::string& path, const std::string& method,
                      const std::string& args = "") const {
    return "gdbus call --address '" + address_ + "' --dest " + dest + " --object-path " + path + " --method " + method +
           " " + args;
  }
  std::string mockCall(const std::string& method, const std::string& args = "") const {
    return run(busCall("org.freedesktop.GeoClue2", "/org/freedesktop/GeoClue2/Manager",
                       "org.freedesktop.DBus.Mock." + method, args));
  }

  // Starts the stand-in service and waits until it answers.
  void startService(const std::string& parameters = "{}") {
    spawn({*python_, "-m", "dbusmock", "--system", "--template", kStandIn, "-p", parameters});
    ASSERT_TRUE(waitFor([&] { return mockCall("Describe").find("no client") != std::string::npos; }))
        << "the stand-in service did not come up";
  }
  std::string describe() const { return mockCall("Describe"); }
  void emitFix(double latitude, double longitude, double accuracy) {
    mockCall("EmitFix",
             "-- " + std::to_string(latitude) + " " + std::to_string(longitude) + " " + std::to_string(accuracy));
  }

  fs::path folder_;
  std::string address_;
  std::optional<std::string> python_;
  std::optional<std::string> previous_;
  std::vector<pid_t> children_;
};

TEST_F(DesktopLocationTest, FixesFromTheServiceAreDeliveredAsTheReporterAsks) {
  startService();
  auto manager = desktopManager();
  Recorder recorder;
  manager->setDelegate(&recorder);
  EXPECT_EQ(manager->authorizationStatus(), AuthorizationStatus::notDetermined);
  EXPECT_TRUE(manager->locationServicesEnabled());

  // The reporter's set-up: significant changes, best accuracy, a 1 m filter.
  manager->startMonitoringSignificantLocationChanges();
  manager->setActivityType(ActivityType::otherNavigation);
  manager->setDesiredAccuracy(LocationAccuracy::best);
  manager->setDistanceFilter(1.0);
  manager->requestAlwaysAuthorization();
  ASSERT_TRUE(runUntil([&] { return recorder.saw("authorization 3"); }));
  EXPECT_EQ(manager->authorizationStatus(), AuthorizationStatus::authorizedAlways);
  const std::string named = "desktop=so.velmorhome.mopet.agent accuracy=8 ";
  ASSERT_TRUE(waitFor([&] { return describe().find(named + "distance=500 time=0 active=true") != std::string::npos; }))
      << describe();

  manager->startUpdatingLocation();
  ASSERT_TRUE(waitFor([&] { return describe().find(named + "distance=1 time=0 active=true") != std::string::npos; }))
      << describe();

  emitFix(52.52, 13.405, 20);
  ASSERT_TRUE(runUntil([&] { return recorder.batches.size() == 1; }));
  const Location& fix = recorder.batches[0].at(0);
  EXPECT_EQ(fix.coordinate, (LocationCoordinate{52.52, 13.405}));
  EXPECT_EQ(fix.horizontalAccuracy, 20);
  EXPECT_LT(fix.verticalAccuracy, 0);  // the service knows no altitude
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(fix.timestamp.time_since_epoch()).count(),
            1700000000250);

  // The reporter's exit region around the fix; a fix with no valid coordinate is
  // dropped, and the next one leaves the region.
  CircularRegion around(fix.coordinate, 1.0, "lastUserLocation");
  around.setNotifyOnEntry(false);
  manager->startMonitoring(around);
  emitFix(95, 13.405, 20);
  emitFix(52.53, 13.405, 20);
  ASSERT_TRUE(runUntil([&] { return recorder.batches.size() == 2 && recorder.saw("exit lastUserLocation"); }));
  EXPECT_EQ(recorder.batches[1].at(0).coordinate, (LocationCoordinate{52.53, 13.405}));
  EXPECT_TRUE(recorder.errors.empty());
  EXPECT_TRUE(recorder.allOnMainQueue);

  manager->stopUpdatingLocation();
  manager->stopMonitoringSignificantLocationChanges();
  manager->stopMonitoring(around);
  ASSERT_TRUE(waitFor([&] { return describe().find("active=false") != std::string::npos; })) << describe();
}

TEST_F(DesktopLocationTest, NoServiceOrAccessDeniedIsLocationServicesOff) {
  struct Case {
    const char* name;
    std::optional<std::string> service;  // the stand-in's parameters; absent: none runs
    bool bus = true;                     // false: the system bus address leads nowhere
  };
  const Case cases[] = {
      {"no service on the bus", std::nullopt},
      {"access denied", R"({"deny": true})"},
      {"no system bus", std::nullopt, false},
  };
  bool serviceRuns = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.service) {
      ASSERT_FALSE(serviceRuns);
      startService(*c.service);
      serviceRuns = true;
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before the manager starts its thread
    if (!c.bus) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder_ / "nothing").string()).c_str(), 1);
    auto manager = desktopManager();
    Recorder recorder;
    manager->setDelegate(&recorder);
    manager->startUpdatingLocation();
    ASSERT_TRUE(runUntil([&] { return recorder.saw("authorization 2") && recorder.saw("error 1"); }));
    EXPECT_EQ(recorder.statuses,
              (std::vector<AuthorizationStatus>{AuthorizationStatus::notDetermined, AuthorizationStatus::denied}));
    EXPECT_EQ(manager->authorizationStatus(), AuthorizationStatus::denied);
    EXPECT_FALSE(manager->locationServicesEnabled());
    EXPECT_FALSE(manager->isMonitoringAvailableForCircularRegions());

    // Off stays off: starting again reports "denied" at once, and regions fail.
    manager->startMonitoringSignificantLocationChanges();
    manager->startMonitoring(CircularRegion({1, 2}, 10, "r"));
    ASSERT_TRUE(runUntil([&] { return recorder.errors.size() == 2 && recorder.saw("monitoring failed r"); }));
    EXPECT_EQ(recorder.errors[1].code, LocationErrorCode::denied);
    EXPECT_TRUE(recorder.batches.empty());
    EXPECT_TRUE(recorder.allOnMainQueue);
  }
}

TEST(GeoClueAccuracy, TheLevelGivesAtLeastTheDesiredAccuracy) {
  struct Case {
    double desired;
    unsigned level;
  };
  const Case cases[] = {
      {LocationAccuracy::bestForNavigation, GeoClueAccuracy::exact},
      {LocationAccuracy::best, GeoClueAccuracy::exact},
      {LocationAccuracy::nearestTenMeters, GeoClueAccuracy::exact},
      {LocationAccuracy::hundredMeters, GeoClueAccuracy::street},
      {LocationAccuracy::kilometer, GeoClueAccuracy::neighborhood},
      {LocationAccuracy::threeKilometers, GeoClueAccuracy::neighborhood},
      {20000, GeoClueAccuracy::city},
      {1e6, GeoClueAccuracy::country},
      {std::nan(""), GeoClueAccuracy::exact},
  };
  for (const auto& c : cases) EXPECT_EQ(geoClueAccuracyLevel(c.desired), c.level) << c.desired;
}

}  // namespace
}  // namespace platform
