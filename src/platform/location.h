#pragma once
// The location service: a manager that delivers position fixes, watches circular
// regions and reports to a delegate on the main queue (the main run loop's thread).
//
// LocationManager keeps the settings and the monitoring state and does the delivery;
// a provider (LinuxLocationManager below, or FakeLocationManager in
// fakes/fake_location_manager.h) decides what the service can do and when fixes come.
//
// The Linux provider takes its positions from one of two sources.
//
// With the setting (Settings::locationFile, from the environment variable)
//
//   MOPET_LOCATION_FILE=<path of a JSON file>
//
// (for tests and the demo) the file holds one fix, or an array of fixes delivered as
// one batch (oldest first):
//
//   {"latitude": 52.52, "longitude": 13.405,            degrees, required
//    "horizontalAccuracy": 20, "altitude": 34,          metres, optional (65 and 0)
//    "timestamp": 1700000000.5}                         seconds since 1970, optional (now)
//
// Authorisation is "always", circular regions can be monitored, and starting updates
// or significant-change monitoring delivers the file's fix. While either runs, or any
// region is monitored, the file is watched. A file that is missing or malformed
// reports a "location unknown" error instead.
//
// Without it, the desktop's location service (GeoClue2 on the system bus,
// geoclue_service.h) gives the fixes. Authorisation is "not determined" until fixes
// are first wanted; then the service is asked and the answer is "always" (it gives
// fixes) or "denied" (no service, or access refused). Denied means location services
// are off: no region monitoring, and starting updates reports a "denied" error, as
// with no source at all. The service is asked for the accuracy level that
// desiredAccuracy needs and for fixes at least the distance filter apart (500 m for
// significant changes only; regions lower it to the smallest radius).
//
// With either source, a fix is delivered when it moved at least the distance filter
// (updates) or 500 m (significant changes only), and leaving or entering a monitored
// region is reported.
//
// Main thread: call the manager on the main thread; callbacks come on the main queue.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/lifeline.h"
#include "platform/settings.h"
#include "platform/url_session.h"  // platform::Error

namespace platform {

class Timer;
class DesktopLocationService;

struct LocationCoordinate {
  double latitude = 0;   // degrees
  double longitude = 0;  // degrees
  bool operator==(const LocationCoordinate&) const = default;
};

// Great-circle distance in metres.
double distanceBetween(const LocationCoordinate& a, const LocationCoordinate& b);

struct Location {
  LocationCoordinate coordinate;
  double altitude = 0;             // metres
  double horizontalAccuracy = 0;   // metres; negative: the coordinate is not valid
  double verticalAccuracy = -1;    // metres; negative: the altitude is not valid
  std::chrono::system_clock::time_point timestamp;
  bool operator==(const Location&) const = default;
};

class CircularRegion {
 public:
  CircularRegion(LocationCoordinate center, double radius, std::string identifier)
      : center_(center), radius_(radius), identifier_(std::move(identifier)) {}

  const LocationCoordinate& center() const { return center_; }
  double radius() const { return radius_; }  // metres
  const std::string& identifier() const { return identifier_; }
  bool notifyOnEntry() const { return notifyOnEntry_; }
  void setNotifyOnEntry(bool value) { notifyOnEntry_ = value; }
  bool notifyOnExit() const { return notifyOnExit_; }
  void setNotifyOnExit(bool value) { notifyOnExit_ = value; }
  bool contains(const LocationCoordinate& point) const { return distanceBetween(center_, point) <= radius_; }
  bool operator==(const CircularRegion&) const = default;

 private:
  LocationCoordinate center_;
  double radius_;
  std::string identifier_;
  bool notifyOnEntry_ = true;
  bool notifyOnExit_ = true;
};

// Accuracy values for desiredAccuracy (metres, or the two "best" markers).
namespace LocationAccuracy {
inline constexpr double bestForNavigation = -2.0;
inline constexpr double best = -1.0;
inline constexpr double nearestTenMeters = 10.0;
inline constexpr double hundredMeters = 100.0;
inline constexpr double kilometer = 1000.0;
inline constexpr double threeKilometers = 3000.0;
}  // namespace LocationAccuracy
// distanceFilter value: every movement is reported.
inline constexpr double kDistanceFilterNone = -1.0;

enum class ActivityType { other = 1, automotiveNavigation = 2, fitness = 3, otherNavigation = 4, airborne = 5 };

enum class AuthorizationStatus {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorizedAlways = 3,
  authorizedWhenInUse = 4,
};

// Error codes of the location error domain "kCLErrorDomain".
namespace LocationErrorCode {
inline constexpr long locationUnknown = 0;
inline constexpr long denied = 1;
inline constexpr long network = 2;
inline constexpr long regionMonitoringDenied = 4;
inline constexpr long regionMonitoringFailure = 5;
}  // namespace LocationErrorCode
inline constexpr const char* kLocationErrorDomain = "kCLErrorDomain";
Error locationError(long code);

class LocationManager;

class LocationManagerDelegate {
 public:
  LocationManagerDelegate() : alive_(this) {}
  LocationManagerDelegate(const LocationManagerDelegate&) : LocationManagerDelegate() {}
  // A copy keeps its own liveness token, so assigning changes nothing, to itself or not.
  // NOLINTNEXTLINE(bugprone-unhandled-self-assignment)
  LocationManagerDelegate& operator=(const LocationManagerDelegate&) { return *this; }
  virtual ~LocationManagerDelegate() = default;

  // New fixes, never empty, oldest first.
  virtual void didUpdateLocations(LocationManager&, const std::vector<Location>&) {}
  virtual void didFailWithError(LocationManager&, const Error&) {}
  virtual void didChangeAuthorization(LocationManager&, AuthorizationStatus) {}
  virtual void didEnterRegion(LocationManager&, const CircularRegion&) {}
  virtual void didExitRegion(LocationManager&, const CircularRegion&) {}
  virtual void didStartMonitoringFor(LocationManager&, const CircularRegion&) {}
  // `region` is absent when the failure concerns no particular region.
  virtual void monitoringDidFailFor(LocationManager&, const std::optional<CircularRegion>& /*region*/, const Error&) {}

 private:
  friend class LocationManager;
  Lifeline<LocationManagerDelegate> alive_;
};

class LocationManager : public std::enable_shared_from_this<LocationManager> {
 public:
  // At most this many regions are monitored at once; more fail with
  // regionMonitoringFailure.
  static constexpr std::size_t kMaximumMonitoredRegions = 20;

  virtual ~LocationManager() = default;
  LocationManager(const LocationManager&) = delete;
  LocationManager& operator=(const LocationManager&) = delete;

  // A new manager of the Linux provider, configured from Settings::current().
  static std::shared_ptr<LocationManager> make();

  // The delegate is not owned; it reads as absent once destroyed. Setting one makes
  // the manager report the current authorisation to it (on the main queue).
  void setDelegate(LocationManagerDelegate* delegate);
  LocationManagerDelegate* delegate() const;

  // ---- what the service can do (provider) ----
  virtual bool locationServicesEnabled() const = 0;
  virtual bool isMonitoringAvailableForCircularRegions() const = 0;
  virtual AuthorizationStatus authorizationStatus() const = 0;
  virtual void requestAlwaysAuthorization() = 0;
  virtual void requestWhenInUseAuthorization() = 0;

  // ---- settings ----
  double desiredAccuracy() const;
  void setDesiredAccuracy(double accuracy);
  double distanceFilter() const;
  void setDistanceFilter(double metres);
  ActivityType activityType() const;
  void setActivityType(ActivityType type);
  bool allowsBackgroundLocationUpdates() const;
  void setAllowsBackgroundLocationUpdates(bool value);
  bool pausesLocationUpdatesAutomatically() const;
  void setPausesLocationUpdatesAutomatically(bool value);

  // ---- updates ----
  // Starting what already runs changes nothing.
  virtual void startUpdatingLocation();
  virtual void stopUpdatingLocation();
  bool isUpdatingLocation() const;
  virtual void startMonitoringSignificantLocationChanges();
  virtual void stopMonitoringSignificantLocationChanges();
  bool isMonitoringSignificantLocationChanges() const;
  // The newest fix delivered, absent before the first.
  std::optional<Location> location() const;

  // ---- regions ----
  // Replaces a monitored region of the same identifier. The delegate hears
  // didStartMonitoringFor, or monitoringDidFailFor when circular regions cannot be
  // monitored, the radius is not a positive number, or the limit is reached.
  virtual void startMonitoring(const CircularRegion& region);
  // Stops monitoring the region with the same identifier.
  virtual void stopMonitoring(const CircularRegion& region);
  // The monitored regions (an unordered set for callers; here oldest first).
  std::vector<CircularRegion> monitoredRegions() const;

 protected:
  LocationManager() = default;

  // Provider hooks, on the caller's thread after the state changed.
  virtual void updatesStarted() {}
  virtual void updatesStopped() {}
  virtual void significantChangesStarted() {}
  virtual void significantChangesStopped() {}
  virtual void regionsChanged() {}
  // The desired accuracy or the distance filter changed.
  virtual void settingsChanged() {}

  // Delivery to the delegate on the main queue; callable from any thread. Nothing is
  // delivered once the manager is destroyed.
  void postLocations(std::vector<Location> locations);
  void postError(Error error);
  void postAuthorization(AuthorizationStatus status);
  void postRegionEvent(CircularRegion region, bool entered);
  void postMonitoringStarted(CircularRegion region);
  void postMonitoringFailed(std::optional<CircularRegion> region, Error error);

  mutable std::mutex mutex_;

 private:
  void post(std::function<void(LocationManager&, LocationManagerDelegate&)> call);

  LocationManagerDelegate* delegate_ = nullptr;
  Lifeline<LocationManagerDelegate>::Weak delegateAlive_;
  double desiredAccuracy_ = LocationAccuracy::best;
  double distanceFilter_ = kDistanceFilterNone;
  ActivityType activityType_ = ActivityType::other;
  bool allowsBackground_ = false;
  bool pausesAutomatically_ = true;
  bool updating_ = false;
  bool significant_ = false;
  std::optional<Location> location_;
  std::vector<CircularRegion> regions_;
};

// The Linux provider (see the top of this file).
class LinuxLocationManager final : public LocationManager {
 public:
  struct Options {
    // The position source; absent or empty: the desktop's location service.
    std::optional<std::string> sourceFile;
    // How often a watched source file is checked for a change.
    std::chrono::milliseconds pollInterval{1000};
    // Without a source file: whether to use the desktop's location service (else
    // location services are off).
    bool desktopService = true;
  };
  // The settings' locationFile as sourceFile.
  static Options optionsFrom(const Settings& settings);
  static std::shared_ptr<LinuxLocationManager> make(Options options);
  ~LinuxLocationManager() override;

  bool locationServicesEnabled() const override;
  bool isMonitoringAvailableForCircularRegions() const override;
  AuthorizationStatus authorizationStatus() const override;
  void requestAlwaysAuthorization() override;
  void requestWhenInUseAuthorization() override;

  // Reads a source file: the fixes, oldest first, or the reason it cannot be used.
  // Exposed for tests.
  static std::optional<std::vector<Location>> readSource(const std::string& path, std::string* reason = nullptr);

 private:
  // What the desktop service has said so far.
  enum class Desktop { unknown, on, off };

  explicit LinuxLocationManager(Options options);
  bool hasSource() const { return options_.sourceFile && !options_.sourceFile->empty(); }
  bool usesDesktop() const { return !hasSource() && options_.desktopService; }
  bool servicesOn() const;
  bool fixesWanted() const;
  void updatesStarted() override;
  void significantChangesStarted() override;
  void updatesStopped() override { changed(); }
  void significantChangesStopped() override { changed(); }
  void regionsChanged() override { changed(); }
  void settingsChanged() override { changed(); }
  void changed();
  // Delivers the source's fix now, as the first event of a start.
  void deliverCurrent();
  // Starts or stops the watch timer as the state needs it.
  void watch();
  void poll();
  // Tells the desktop service what is wanted now.
  void requestDesktop();
  // Desktop service events, on the main queue.
  void desktopAuthorized();
  void desktopOff(const std::string& why);
  void desktopFix(Location fix);
  // Region events and the filter for newly read fixes, then delivery.
  void received(std::vector<Location> fixes);

  Options options_;
  std::shared_ptr<Timer> timer_;
  std::optional<std::string> lastStamp_;                 // the file's identity when last read
  std::optional<LocationCoordinate> lastKnown_;          // the newest fix read
  std::optional<LocationCoordinate> lastDelivered_;      // the newest fix delivered
  std::optional<Location> lastFix_;                      // the newest fix from the desktop service
  std::atomic<Desktop> desktop_{Desktop::unknown};
  std::unique_ptr<DesktopLocationService> service_;
};

}  // namespace platform
