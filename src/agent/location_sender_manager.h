#pragma once
// The location reporter: one process-wide object that drives the location manager,
// keeps the latest stored fix and uploads it
//   - once, at the first fix after launch;
//   - on the regular timer (every 300 s), when a login record was stored when the
//     reporter was made;
//   - on the live timer, whose interval and end the server sets with "live_location".
// It also watches a small exit region around the newest fix and restarts continuous
// updates when the computer leaves it. Every sample reports accuracy 10, battery 100
// and not charging.
//
// Threads: main thread only (timers on the main run loop, location callbacks on the
// main queue, command-channel handlers on the main queue). Each upload blocks the main
// thread until its reply has been handled, at most its runner's reply wait and what is
// left of the main thread's budget (platform::MainThreadBudget); a later reply is
// printed when it comes, and no upload is sent while one is unanswered.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "networks/child_user_default_manager.h"
#include "networks/location_report.h"
#include "networks/network_manager.h"
#include "platform/location.h"
#include "platform/run_loop.h"

namespace channel {
struct LiveLocationRule;
}

namespace agent {

class LocationSenderManager final : public platform::LocationManagerDelegate {
 public:
  using Clock = std::chrono::system_clock;
  // What the command channel calls with each "live_location" payload.
  using LiveLocationHandler = std::function<void(const channel::LiveLocationRule&)>;

  // The identifier of the exit region that follows the newest fix.
  static constexpr const char* kRegionIdentifier = "lastUserLocation";
  // At this many monitored regions one is stopped before the next is monitored.
  static constexpr std::size_t kRegionLimit = 10;
  // The live timer never fires more often than this (a server interval below it,
  // zero or negative included, is raised to it).
  static constexpr double kMinimumLiveInterval = 1.0;
  // Server-given intervals and durations are capped at this many seconds, so that no
  // value overflows the clock's arithmetic.
  static constexpr double kMaximumSeconds = 100.0 * 365 * 24 * 3600;

  // Everything the reporter uses besides its own state: main gives the agent's own
  // (agent/services.h), tests pass fakes.
  struct Environment {
    std::shared_ptr<platform::LocationManager> locationManager;
    // The request runner of the uploads.
    std::shared_ptr<networks::NetworkManager> networkManger;
    // Asked once, at creation, whether a login record is stored. Required.
    networks::ChildUser* childUser = nullptr;
    // Where both timers are scheduled.
    platform::RunLoop* runLoop = nullptr;
    std::function<Clock::time_point()> now;
    // Registers one "live_location" handler on the command channel; empty: none.
    std::function<void(LiveLocationHandler)> listenToLiveLocation;
  };

  // Creates the reporter (see the .cpp for the order of its steps). Of the environment,
  // a missing location manager is a new Linux one, a missing request runner one over
  // the shared URL session, a missing run loop the main one and a missing clock the
  // system clock.
  explicit LocationSenderManager(Environment environment);
  ~LocationSenderManager() override;
  LocationSenderManager(const LocationSenderManager&) = delete;
  LocationSenderManager& operator=(const LocationSenderManager&) = delete;

  // The agent's reporter: the one main built and handed to install(). Asking before
  // that ends the process.
  static LocationSenderManager& shared();
  // Makes `reporter` the one shared() returns; it must live for the rest of the process.
  static void install(LocationSenderManager& reporter);

  // ---- state, in declaration order ----
  double regularTimeInterval = 300.0;  // seconds
  double liveTimeInterval = 5.0;       // seconds; each "live_location" replaces it
  bool isSendLocation = false;         // nothing reads or changes it
  std::shared_ptr<platform::Timer> liveTimer;
  std::shared_ptr<platform::Timer> regularTimer;
  const std::shared_ptr<platform::LocationManager> locationManager;
  bool liveLocationActive = false;  // nothing reads or changes it
  Clock::time_point isLiveUntil;    // end of the live period
  std::string distance = "50";      // the last command's distance, as decimal text
  const std::shared_ptr<networks::NetworkManager> networkManger;
  std::optional<platform::Location> lastLocation;  // nothing reads or changes it
  // The fix the timer ticks upload: the oldest fix of the latest batch.
  std::optional<platform::Location> userLocation;

  // ---- operations ----
  // Schedules the regular timer and fires it once at once.
  void startRegularTimer();
  void handleRegularTimer(platform::Timer& timer);
  // Registers one more live-location handler on the command channel.
  void listenToLiveLocationSocket();
  // Schedules the live timer and fires it once at once.
  void startSendLocations();
  void handleTimer(platform::Timer& timer);
  // Ends the live timer once the live period is over.
  void changeTimeIntervalToRegularIfDurationEnded();
  // Asks for continuous updates when location services are on; uploads nothing.
  void getAndSendCurrentLocation();
  // Starts monitoring an exit-only region at `center` whose radius is the manager's
  // distance filter.
  void monitorRegionAtLocation(const platform::LocationCoordinate& center, const std::string& identifier);
  // What one "live_location" command does (the registered handler runs this).
  void applyLiveLocation(const channel::LiveLocationRule& rule);

  // ---- location-manager delegate ----
  void didUpdateLocations(platform::LocationManager& manager,
                          const std::vector<platform::Location>& locations) override;
  void didFailWithError(platform::LocationManager& manager, const platform::Error& error) override;
  void didExitRegion(platform::LocationManager& manager, const platform::CircularRegion& region) override;

  // Builds one sample from the fix and uploads it; prints "success" or "failed". Sends
  // nothing while an earlier upload is unanswered.
  void sendLocation(const platform::Location& userLocation);
  // The sample that sendLocation uploads for the fix, made now.
  networks::LocationModel sample(const platform::Location& location) const;
  std::int64_t batteryLevel() const { return 100; }
  bool batteryIsCharging() const { return false; }
  void getConfigs() {}

 private:
  struct Completed {};
  LocationSenderManager(Environment environment, Completed);
  std::shared_ptr<platform::Timer> schedule(double seconds, void (LocationSenderManager::*action)(platform::Timer&));

  Environment environment_;
  // How long an upload waits for its reply at most: the runner's limit when it was
  // handed in (before the main thread's budget cuts it).
  const std::chrono::milliseconds waitLimit_;
  // How long an unanswered upload counts as out when the session sets no deadline.
  static constexpr std::chrono::seconds kUploadDeadline{30};
  // Until when (steady-clock ticks) an upload is out; 0: none. Shared with the replies.
  const std::shared_ptr<std::atomic<std::chrono::steady_clock::rep>> uploadOutUntil_ =
      std::make_shared<std::atomic<std::chrono::steady_clock::rep>>(0);
  // Read by the handlers and timer actions to tell whether the reporter still exists.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// Seconds between live ticks for a command's interval in milliseconds: at least
// kMinimumLiveInterval (also for zero, negative or non-numbers), at most kMaximumSeconds.
double liveIntervalSeconds(double intervalMilliseconds);
// The seconds of a command's duration in milliseconds, within +-kMaximumSeconds (a
// non-number counts as 0).
double liveDurationSeconds(double durationMilliseconds);

}  // namespace agent
