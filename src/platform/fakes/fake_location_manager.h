#pragma once
// A location manager that tests drive: they choose what the service can do, deliver
// fixes, failures and region events (which arrive on the main queue, as the real
// service's do), and read what the manager was asked.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/location.h"

namespace platform {

class FakeLocationManager final : public LocationManager {
 public:
  static std::shared_ptr<FakeLocationManager> make();

  // A fix at the coordinate, stamped now.
  static Location fix(double latitude, double longitude, double horizontalAccuracy = 5.0);

  // ---- what the service can do (all true / authorizedAlways until set) ----
  void setLocationServicesEnabled(bool enabled) { servicesEnabled_ = enabled; }
  void setMonitoringAvailable(bool available) { monitoringAvailable_ = available; }
  // Posts didChangeAuthorization when the status changes.
  void setAuthorizationStatus(AuthorizationStatus status);

  bool locationServicesEnabled() const override { return servicesEnabled_; }
  bool isMonitoringAvailableForCircularRegions() const override { return monitoringAvailable_; }
  AuthorizationStatus authorizationStatus() const override { return status_; }
  void requestAlwaysAuthorization() override { ++alwaysAuthorizationRequests_; }
  void requestWhenInUseAuthorization() override { ++whenInUseAuthorizationRequests_; }

  // ---- driving (any thread; delivered on the main queue) ----
  void deliver(std::vector<Location> locations) { postLocations(std::move(locations)); }
  void deliver(Location location) { postLocations({location}); }
  void fail(Error error) { postError(std::move(error)); }
  // Reports leaving the region, monitored or not.
  void exitRegion(const CircularRegion& region) { postRegionEvent(region, false); }
  // Reports leaving the monitored region with the identifier; false (nothing posted)
  // when no such region is monitored.
  bool exitRegion(const std::string& identifier);
  void enterRegion(const CircularRegion& region) { postRegionEvent(region, true); }

  // ---- what the manager was asked (every call counts, also repeated ones) ----
  int startUpdatingLocationCalls() const { return startUpdating_; }
  int stopUpdatingLocationCalls() const { return stopUpdating_; }
  int startSignificantChangesCalls() const { return startSignificant_; }
  int alwaysAuthorizationRequests() const { return alwaysAuthorizationRequests_; }
  int whenInUseAuthorizationRequests() const { return whenInUseAuthorizationRequests_; }
  // Every region passed to startMonitoring / stopMonitoring, in order.
  std::vector<CircularRegion> startedRegions() const;
  std::vector<CircularRegion> stoppedRegions() const;

  void startUpdatingLocation() override;
  void stopUpdatingLocation() override;
  void startMonitoringSignificantLocationChanges() override;
  void startMonitoring(const CircularRegion& region) override;
  void stopMonitoring(const CircularRegion& region) override;

 private:
  FakeLocationManager() = default;
  std::atomic<bool> servicesEnabled_{true};
  std::atomic<bool> monitoringAvailable_{true};
  std::atomic<AuthorizationStatus> status_{AuthorizationStatus::authorizedAlways};
  std::atomic<int> startUpdating_{0};
  std::atomic<int> stopUpdating_{0};
  std::atomic<int> startSignificant_{0};
  std::atomic<int> alwaysAuthorizationRequests_{0};
  std::atomic<int> whenInUseAuthorizationRequests_{0};
  std::vector<CircularRegion> started_;  // guarded by mutex_
  std::vector<CircularRegion> stopped_;  // guarded by mutex_
};

}  // namespace platform
