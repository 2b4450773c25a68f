#include "platform/location.h"

#include "platform/geoclue_service.h"
#include "platform/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/dispatch.h"
#include "platform/run_loop.h"

namespace platform {

double distanceBetween(const LocationCoordinate& a, const LocationCoordinate& b) {
  constexpr double kEarthRadius = 6371008.8;  // metres, mean radius
  constexpr double kRadians = 3.14159265358979323846 / 180.0;
  double lat1 = a.latitude * kRadians;
  double lat2 = b.latitude * kRadians;
  double dLat = lat2 - lat1;
  double dLon = (b.longitude - a.longitude) * kRadians;
  double h = std::sin(dLat / 2) * std::sin(dLat / 2) +
             std::cos(lat1) * std::cos(lat2) * std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * kEarthRadius * std::asin(std::min(1.0, std::sqrt(h)));
}

Error locationError(long code) {
  return Error{kLocationErrorDomain, code,
               "The operation couldn\xE2\x80\x99t be completed. (kCLErrorDomain error " + std::to_string(code) + ".)"};
}

// ---- LocationManager ----------------------------------------------------------

std::shared_ptr<LocationManager> LocationManager::make() {
  return LinuxLocationManager::make(LinuxLocationManager::optionsFrom(Settings::current()));
}

void LocationManager::setDelegate(LocationManagerDelegate* delegate) {
  {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
    delegateAlive_ = delegate != nullptr ? delegate->alive_.weak() : Lifeline<LocationManagerDelegate>::Weak();
  }
  if (delegate != nullptr) postAuthorization(authorizationStatus());
}

LocationManagerDelegate* LocationManager::delegate() const {
  std::lock_guard lock(mutex_);
  return delegateAlive_.expired() ? nullptr : delegate_;
}

#define MOPET_LOCATION_SETTING(type, getter, setter, member, notify) \
  type LocationManager::getter() const {                             \
    std::lock_guard lock(mutex_);                                    \
    return member;                                                   \
  }                                                                  \
  void LocationManager::setter(type value) {                         \
    {                                                                \
      std::lock_guard lock(mutex_);                                  \
      if ((member) == value) return;                                 \
      (member) = value;                                              \
    }                                                                \
    if (notify) settingsChanged();                                   \
  }
MOPET_LOCATION_SETTING(double, desiredAccuracy, setDesiredAccuracy, desiredAccuracy_, true)
MOPET_LOCATION_SETTING(double, distanceFilter, setDistanceFilter, distanceFilter_, true)
MOPET_LOCATION_SETTING(ActivityType, activityType, setActivityType, activityType_, false)
MOPET_LOCATION_SETTING(bool, allowsBackgroundLocationUpdates, setAllowsBackgroundLocationUpdates, allowsBackground_,
                       false)
MOPET_LOCATION_SETTING(bool, pausesLocationUpdatesAutomatically, setPausesLocationUpdatesAutomatically,
                       pausesAutomatically_, false)
#undef MOPET_LOCATION_SETTING

namespace {
// Sets `flag` to `value`; true when that changed it.
bool change(std::mutex& mutex, bool& flag, bool value) {
  std::lock_guard lock(mutex);
  if (flag == value) return false;
  flag = value;
  return true;
}
}  // namespace

void LocationManager::startUpdatingLocation() {
  if (change(mutex_, updating_, true)) updatesStarted();
}

void LocationManager::stopUpdatingLocation() {
  if (change(mutex_, updating_, false)) updatesStopped();
}

bool LocationManager::isUpdatingLocation() const {
  std::lock_guard lock(mutex_);
  return updating_;
}

void LocationManager::startMonitoringSignificantLocationChanges() {
  if (change(mutex_, significant_, true)) significantChangesStarted();
}

void LocationManager::stopMonitoringSignificantLocationChanges() {
  if (change(mutex_, significant_, false)) significantChangesStopped();
}

bool LocationManager::isMonitoringSignificantLocationChanges() const {
  std::lock_guard lock(mutex_);
  return significant_;
}

std::optional<Location> LocationManager::location() const {
  std::lock_guard lock(mutex_);
  return location_;
}

void LocationManager::startMonitoring(const CircularRegion& region) {
  if (!isMonitoringAvailableForCircularRegions() || !std::isfinite(region.radius()) || region.radius() <= 0) {
    postMonitoringFailed(region, locationError(LocationErrorCode::regionMonitoringFailure));
    return;
  }
  bool added = false;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(regions_, [&](const auto& r) { return r.identifier() == region.identifier(); });
    if (regions_.size() < kMaximumMonitoredRegions) {
      regions_.push_back(region);
      added = true;
    }
  }
  if (!added) {
    postMonitoringFailed(region, locationError(LocationErrorCode::regionMonitoringFailure));
    return;
  }
  regionsChanged();
  postMonitoringStarted(region);
}

void LocationManager::stopMonitoring(const CircularRegion& region) {
  bool removed = false;
  {
    std::lock_guard lock(mutex_);
    removed = std::erase_if(regions_, [&](const auto& r) { return r.identifier() == region.identifier(); }) > 0;
  }
  if (removed) regionsChanged();
}

std::vector<CircularRegion> LocationManager::monitoredRegions() const {
  std::lock_guard lock(mutex_);
  return regions_;
}

void LocationManager::post(std::function<void(LocationManager&, LocationManagerDelegate&)> call) {
  std::weak_ptr<LocationManager> weak = weak_from_this();
  DispatchQueue::main().async([weak, call = std::move(call)] {
    auto self = weak.lock();
    if (!self) return;
    if (LocationManagerDelegate* d = self->delegate()) call(*self, *d);
  });
}

void LocationManager::postLocations(std::vector<Location> locations) {
  if (locations.empty()) return;
  std::weak_ptr<LocationManager> weak = weak_from_this();
  DispatchQueue::main().async([weak, locations = std::move(locations)] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      self->location_ = locations.back();
    }
    if (LocationManagerDelegate* d = self->delegate()) d->didUpdateLocations(*self, locations);
  });
}

void LocationManager::postError(Error error) {
  post([error = std::move(error)](LocationManager& m, LocationManagerDelegate& d) { d.didFailWithError(m, error); });
}

void LocationManager::postAuthorization(AuthorizationStatus status) {
  post([status](LocationManager& m, LocationManagerDelegate& d) { d.didChangeAuthorization(m, status); });
}

void LocationManager::postRegionEvent(CircularRegion region, bool entered) {
  post([region = std::move(region), entered](LocationManager& m, LocationManagerDelegate& d) {
    if (entered) {
      d.didEnterRegion(m, region);
    } else {
      d.didExitRegion(m, region);
    }
  });
}

void LocationManager::postMonitoringStarted(CircularRegion region) {
  post([region = std::move(region)](LocationManager& m, LocationManagerDelegate& d) {
    d.didStartMonitoringFor(m, region);
  });
}

void LocationManager::postMonitoringFailed(std::optional<CircularRegion> region, Error error) {
  post([region = std::move(region), error = std::move(error)](LocationManager& m, LocationManagerDelegate& d) {
    d.monitoringDidFailFor(m, region, error);
  });
}

// ---- LinuxLocationManager -----------------------------------------------------

namespace {
// How the agent names itself to the desktop's location service: its desktop entry.
constexpr const char* kDesktopId = "so.velmorhome.mopet.agent";
}  // namespace

LinuxLocationManager::Options LinuxLocationManager::optionsFrom(const Settings& settings) {
  Options options;
  if (!settings.locationFile.empty()) options.sourceFile = settings.locationFile;
  return options;
}

std::shared_ptr<LinuxLocationManager> LinuxLocationManager::make(Options options) {
  return std::shared_ptr<LinuxLocationManager>(new LinuxLocationManager(std::move(options)));
}

LinuxLocationManager::LinuxLocationManager(Options options) : options_(std::move(options)) {}

LinuxLocationManager::~LinuxLocationManager() {
  if (timer_) timer_->invalidate();
  service_.reset();  // ends the worker before the rest goes
}

bool LinuxLocationManager::servicesOn() const {
  if (hasSource()) return true;
  return usesDesktop() && desktop_.load() != Desktop::off;
}

bool LinuxLocationManager::locationServicesEnabled() const { return servicesOn(); }
bool LinuxLocationManager::isMonitoringAvailableForCircularRegions() const { return servicesOn(); }

AuthorizationStatus LinuxLocationManager::authorizationStatus() const {
  if (hasSource()) return AuthorizationStatus::authorizedAlways;
  if (!usesDesktop()) return AuthorizationStatus::denied;
  switch (desktop_.load()) {
    case Desktop::unknown:
      return AuthorizationStatus::notDetermined;
    case Desktop::on:
      return AuthorizationStatus::authorizedAlways;
    case Desktop::off:
      break;
  }
  return AuthorizationStatus::denied;
}

// Nobody can be asked here: a source file is the answer, and the desktop service
// asks its user (through its agent) when fixes are first wanted.
void LinuxLocationManager::requestAlwaysAuthorization() {}
void LinuxLocationManager::requestWhenInUseAuthorization() {}

bool LinuxLocationManager::fixesWanted() const {
  return isUpdatingLocation() || isMonitoringSignificantLocationChanges() || !monitoredRegions().empty();
}

void LinuxLocationManager::changed() {
  if (hasSource()) {
    watch();
  } else if (usesDesktop()) {
    requestDesktop();
  }
}

void LinuxLocationManager::requestDesktop() {
  if (desktop_.load() == Desktop::off) return;
  DesktopLocationRequest wanted;
  wanted.active = fixesWanted();
  if (!wanted.active && !service_) return;
  wanted.accuracyLevel = geoClueAccuracyLevel(desiredAccuracy());
  constexpr double kSignificantDistance = 500.0;
  constexpr double kLargest = 1e6;  // metres; a larger threshold would mean no fixes
  double threshold = 0;
  if (isUpdatingLocation()) {
    threshold = std::max(0.0, distanceFilter());
  } else if (isMonitoringSignificantLocationChanges()) {
    threshold = kSignificantDistance;
  }
  // A crossing must not hide inside the threshold.
  for (const auto& region : monitoredRegions()) {
    if (threshold > 0) threshold = std::min(threshold, region.radius());
  }
  if (!(threshold >= 0)) threshold = 0;
  wanted.distanceThreshold = static_cast<unsigned>(std::floor(std::min(threshold, kLargest)));
  if (!service_) {
    std::weak_ptr<LocationManager> weak = weak_from_this();
    // Called on the service's worker thread: only post, so that the manager is never
    // released there.
    auto onMain = [weak](std::function<void(LinuxLocationManager&)> call) {
      DispatchQueue::main().async([weak, call = std::move(call)] {
        if (auto self = weak.lock()) call(static_cast<LinuxLocationManager&>(*self));
      });
    };
    // At most this many fixes wait for the main queue; a service that floods us
    // loses the rest.
    auto waiting = std::make_shared<std::atomic<int>>(0);
    constexpr int kMostWaiting = 16;
    DesktopLocationService::Listener listener;
    listener.authorized = [onMain] { onMain([](LinuxLocationManager& m) { m.desktopAuthorized(); }); };
    listener.off = [onMain](const std::string& why) { onMain([why](LinuxLocationManager& m) { m.desktopOff(why); }); };
    listener.fix = [onMain, waiting](Location fix) {
      if (waiting->fetch_add(1) >= kMostWaiting) {
        waiting->fetch_sub(1);
        return;
      }
      onMain([fix, waiting](LinuxLocationManager& m) {
        waiting->fetch_sub(1);
        m.desktopFix(fix);
      });
    };
    service_ = makeGeoClueService(std::move(listener), kDesktopId);
  }
  service_->request(wanted);
}

void LinuxLocationManager::desktopAuthorized() {
  Desktop expected = Desktop::unknown;
  if (desktop_.compare_exchange_strong(expected, Desktop::on)) postAuthorization(AuthorizationStatus::authorizedAlways);
}

void LinuxLocationManager::desktopOff(const std::string& why) {
  if (desktop_.exchange(Desktop::off) == Desktop::off) return;
  std::fprintf(stderr, "Location service: %s\n", why.c_str());
  postAuthorization(AuthorizationStatus::denied);
  if (isUpdatingLocation() || isMonitoringSignificantLocationChanges())
    postError(locationError(LocationErrorCode::denied));
}

void LinuxLocationManager::desktopFix(Location fix) {
  if (desktop_.load() == Desktop::off) return;
  lastFix_ = fix;
  received({fix});
}

namespace {

std::optional<Location> parseFix(const nlohmann::json& fix, std::string& reason) {
  if (!fix.is_object()) {
    reason = "a fix is not a JSON object";
    return std::nullopt;
  }
  auto number = [&](const char* key, std::optional<double> fallback) -> std::optional<double> {
    if (!fix.contains(key)) {
      if (!fallback) reason = std::string("a fix has no \"") + key + "\"";
      return fallback;
    }
    if (!fix[key].is_number() || !std::isfinite(fix[key].get<double>())) {
      reason = std::string("\"") + key + "\" is not a finite number";
      return std::nullopt;
    }
    return fix[key].get<double>();
  };
  auto latitude = number("latitude", std::nullopt);
  if (!latitude) return std::nullopt;
  auto longitude = number("longitude", std::nullopt);
  if (!longitude) return std::nullopt;
  auto accuracy = number("horizontalAccuracy", 65.0);
  auto altitude = number("altitude", 0.0);
  auto vertical = number("verticalAccuracy", -1.0);
  auto seconds = number("timestamp", -1.0);
  if (!accuracy || !altitude || !vertical || !seconds) return std::nullopt;
  if (*latitude < -90 || *latitude > 90 || *longitude < -180 || *longitude > 180) {
    reason = "the coordinate is out of range";
    return std::nullopt;
  }
  Location location;
  location.coordinate = {*latitude, *longitude};
  location.horizontalAccuracy = *accuracy;
  location.altitude = *altitude;
  location.verticalAccuracy = *vertical;
  if (*seconds >= 0) {
    location.timestamp = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(*seconds)));
  } else {
    location.timestamp = std::chrono::system_clock::now();
  }
  return location;
}

// What identifies one version of the file: inode, size and modification time.
std::string fileStamp(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return "missing";
  return std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) +
         "." + std::to_string(info.st_mtim.tv_nsec);
}

}  // namespace

std::optional<std::vector<Location>> LinuxLocationManager::readSource(const std::string& path, std::string* reason) {
  std::string why;
  auto result = [&]() -> std::optional<std::vector<Location>> {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      why = "cannot read " + path;
      return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, false);
    if (parsed.is_discarded()) {
      why = "not valid JSON";
      return std::nullopt;
    }
    std::vector<Location> fixes;
    if (parsed.is_array()) {
      if (parsed.empty()) {
        why = "no fix in the array";
        return std::nullopt;
      }
      for (const auto& fix : parsed) {
        auto location = parseFix(fix, why);
        if (!location) return std::nullopt;
        fixes.push_back(*location);
      }
    } else {
      auto location = parseFix(parsed, why);
      if (!location) return std::nullopt;
      fixes.push_back(*location);
    }
    return fixes;
  }();
  if (reason != nullptr) *reason = why;
  return result;
}

void LinuxLocationManager::updatesStarted() {
  if (!servicesOn()) {
    postError(locationError(LocationErrorCode::denied));
    return;
  }
  if (hasSource()) {
    deliverCurrent();
    watch();
    return;
  }
  // A fix the running service gave already is the first event of a start, as a
  // source file's is; the service's next fixes follow.
  if (lastFix_ && isUpdatingLocation()) {
    lastDelivered_ = lastFix_->coordinate;
    postLocations({*lastFix_});
  }
  requestDesktop();
}

void LinuxLocationManager::significantChangesStarted() { updatesStarted(); }

void LinuxLocationManager::deliverCurrent() {
  const std::string& path = *options_.sourceFile;
  std::string reason;
  std::string stamp = fileStamp(path);
  auto fixes = readSource(path, &reason);
  if (!fixes) {
    std::fprintf(stderr, "Location source %s: %s\n", path.c_str(), reason.c_str());
    postError(locationError(LocationErrorCode::locationUnknown));
    return;
  }
  lastStamp_ = stamp;
  lastKnown_ = fixes->back().coordinate;
  lastDelivered_ = lastKnown_;
  postLocations(std::move(*fixes));
}

void LinuxLocationManager::watch() {
  bool needed = hasSource() && fixesWanted();
  if (needed && !timer_) {
    std::weak_ptr<LocationManager> weak = weak_from_this();
    timer_ = RunLoop::main().scheduledTimer(
        options_.pollInterval, true,
        [weak](Timer&) {
          if (auto self = weak.lock()) static_cast<LinuxLocationManager&>(*self).poll();
        },
        RunLoopMode::common);
  } else if (!needed && timer_) {
    timer_->invalidate();
    timer_.reset();
  }
}

void LinuxLocationManager::poll() {
  const std::string& path = *options_.sourceFile;
  std::string stamp = fileStamp(path);
  if (lastStamp_ == stamp) return;
  lastStamp_ = stamp;
  std::string reason;
  auto fixes = readSource(path, &reason);
  if (!fixes) {
    std::fprintf(stderr, "Location source %s: %s\n", path.c_str(), reason.c_str());
    if (isUpdatingLocation() || isMonitoringSignificantLocationChanges()) {
      postError(locationError(LocationErrorCode::locationUnknown));
    }
    return;
  }
  received(std::move(*fixes));
}

void LinuxLocationManager::received(std::vector<Location> fixes) {
  LocationCoordinate newest = fixes.back().coordinate;
  if (lastKnown_) {
    for (const auto& region : monitoredRegions()) {
      bool wasInside = region.contains(*lastKnown_);
      bool isInside = region.contains(newest);
      if (wasInside && !isInside && region.notifyOnExit()) postRegionEvent(region, false);
      if (!wasInside && isInside && region.notifyOnEntry()) postRegionEvent(region, true);
    }
  }
  lastKnown_ = newest;

  bool deliver = false;
  if (isUpdatingLocation()) {
    double filter = distanceFilter();
    deliver = !lastDelivered_ || filter < 0 || distanceBetween(*lastDelivered_, newest) >= filter;
  } else if (isMonitoringSignificantLocationChanges()) {
    constexpr double kSignificantDistance = 500.0;
    deliver = !lastDelivered_ || distanceBetween(*lastDelivered_, newest) >= kSignificantDistance;
  }
  if (deliver) {
    lastDelivered_ = newest;
    postLocations(std::move(fixes));
  }
}

}  // namespace platform
