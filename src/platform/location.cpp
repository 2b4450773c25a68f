#include "platform/location.h"

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
  double h = std::sin(dLat / 2) * std::sin(dLat / 2) + std::cos(lat1) * std::cos(lat2) * std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * kEarthRadius * std::asin(std::min(1.0, std::sqrt(h)));
}

Error locationError(long code) {
  return Error{kLocationErrorDomain, code,
               "The operation couldn\xE2\x80\x99t be completed. (kCLErrorDomain error " + std::to_string(code) + ".)"};
}

// ---- LocationManager ----------------------------------------------------------

std::shared_ptr<LocationManager> LocationManager::make() {
  return LinuxLocationManager::make(LinuxLocationManager::optionsFromEnvironment());
}

void LocationManager::setDelegate(LocationManagerDelegate* delegate) {
  {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
    delegateAlive_ = delegate != nullptr ? std::weak_ptr<char>(delegate->alive_) : std::weak_ptr<char>();
  }
  if (delegate != nullptr) postAuthorization(authorizationStatus());
}

LocationManagerDelegate* LocationManager::delegate() const {
  std::lock_guard lock(mutex_);
  return delegateAlive_.expired() ? nullptr : delegate_;
}

#define MOPET_LOCATION_SETTING(type, getter, setter, member) \
  type LocationManager::getter() const {                     \
    std::lock_guard lock(mutex_);                            \
    return member;                                           \
  }                                                          \
  void LocationManager::setter(type value) {                 \
    std::lock_guard lock(mutex_);                            \
    member = value;                                          \
  }
MOPET_LOCATION_SETTING(double, desiredAccuracy, setDesiredAccuracy, desiredAccuracy_)
MOPET_LOCATION_SETTING(double, distanceFilter, setDistanceFilter, distanceFilter_)
MOPET_LOCATION_SETTING(ActivityType, activityType, setActivityType, activityType_)
MOPET_LOCATION_SETTING(bool, allowsBackgroundLocationUpdates, setAllowsBackgroundLocationUpdates, allowsBackground_)
MOPET_LOCATION_SETTING(bool, pausesLocationUpdatesAutomatically, setPausesLocationUpdatesAutomatically,
                       pausesAutomatically_)
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

LinuxLocationManager::Options LinuxLocationManager::optionsFromEnvironment() {
  Options options;
  if (auto file = settings::locationFile(); !file.empty()) options.sourceFile = std::move(file);
  return options;
}

std::shared_ptr<LinuxLocationManager> LinuxLocationManager::make(Options options) {
  return std::shared_ptr<LinuxLocationManager>(new LinuxLocationManager(std::move(options)));
}

LinuxLocationManager::~LinuxLocationManager() {
  if (timer_) timer_->invalidate();
}

bool LinuxLocationManager::locationServicesEnabled() const { return hasSource(); }
bool LinuxLocationManager::isMonitoringAvailableForCircularRegions() const { return hasSource(); }

AuthorizationStatus LinuxLocationManager::authorizationStatus() const {
  return hasSource() ? AuthorizationStatus::authorizedAlways : AuthorizationStatus::denied;
}

// Nobody can be asked on Linux: the configuration is the answer.
void LinuxLocationManager::requestAlwaysAuthorization() {}
void LinuxLocationManager::requestWhenInUseAuthorization() {}

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
  return std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" +
         std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
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
  if (!hasSource()) {
    postError(locationError(LocationErrorCode::denied));
    return;
  }
  deliverCurrent();
  watch();
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
  bool needed = hasSource() && (isUpdatingLocation() || isMonitoringSignificantLocationChanges() ||
                                !monitoredRegions().empty());
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
  LocationCoordinate newest = fixes->back().coordinate;
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
    postLocations(std::move(*fixes));
  }
}

}  // namespace platform
