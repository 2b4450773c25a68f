#include "platform/fakes/fake_location_manager.h"

namespace platform {

std::shared_ptr<FakeLocationManager> FakeLocationManager::make() {
  return std::shared_ptr<FakeLocationManager>(new FakeLocationManager());
}

Location FakeLocationManager::fix(double latitude, double longitude, double horizontalAccuracy) {
  Location location;
  location.coordinate = {latitude, longitude};
  location.horizontalAccuracy = horizontalAccuracy;
  location.timestamp = std::chrono::system_clock::now();
  return location;
}

void FakeLocationManager::setAuthorizationStatus(AuthorizationStatus status) {
  if (status_.exchange(status) != status) postAuthorization(status);
}

bool FakeLocationManager::exitRegion(const std::string& identifier) {
  for (const auto& region : monitoredRegions()) {
    if (region.identifier() == identifier) {
      postRegionEvent(region, false);
      return true;
    }
  }
  return false;
}

std::vector<CircularRegion> FakeLocationManager::startedRegions() const {
  std::lock_guard lock(mutex_);
  return started_;
}

std::vector<CircularRegion> FakeLocationManager::stoppedRegions() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

void FakeLocationManager::startUpdatingLocation() {
  ++startUpdating_;
  LocationManager::startUpdatingLocation();
}

void FakeLocationManager::stopUpdatingLocation() {
  ++stopUpdating_;
  LocationManager::stopUpdatingLocation();
}

void FakeLocationManager::startMonitoringSignificantLocationChanges() {
  ++startSignificant_;
  LocationManager::startMonitoringSignificantLocationChanges();
}

void FakeLocationManager::startMonitoring(const CircularRegion& region) {
  {
    std::lock_guard lock(mutex_);
    started_.push_back(region);
  }
  LocationManager::startMonitoring(region);
}

void FakeLocationManager::stopMonitoring(const CircularRegion& region) {
  {
    std::lock_guard lock(mutex_);
    stopped_.push_back(region);
  }
  LocationManager::stopMonitoring(region);
}

}  // namespace platform
