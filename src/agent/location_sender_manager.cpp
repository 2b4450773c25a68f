#include "agent/location_sender_manager.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "channel/command_payloads.h"
#include "coding/number_text.h"
#include "networks/print_line.h"
#include "platform/main_thread_budget.h"

namespace agent {

namespace {

using Seconds = std::chrono::duration<double>;

// `seconds` as a duration of the clock `D` (the caller keeps it within range).
template <class D>
D toDuration(double seconds) {
  return std::chrono::duration_cast<D>(Seconds(seconds));
}

LocationSenderManager::Environment completed(LocationSenderManager::Environment environment) {
  if (!environment.locationManager) environment.locationManager = platform::LocationManager::make();
  if (!environment.networkManger) environment.networkManger = std::make_shared<networks::NetworkManager>();
  if (environment.runLoop == nullptr) environment.runLoop = &platform::RunLoop::main();
  if (!environment.now) environment.now = [] { return LocationSenderManager::Clock::now(); };
  if (environment.childUser == nullptr) {
    std::fputs("LocationSenderManager needs the child state it is to ask for a login record\n", stderr);
    std::abort();
  }
  return environment;
}

}  // namespace

double liveIntervalSeconds(double intervalMilliseconds) {
  const double seconds = intervalMilliseconds / 1000.0;
  // Written so that a non-number also ends up at the minimum.
  if (!(seconds >= LocationSenderManager::kMinimumLiveInterval)) return LocationSenderManager::kMinimumLiveInterval;
  return std::min(seconds, LocationSenderManager::kMaximumSeconds);
}

double liveDurationSeconds(double durationMilliseconds) {
  if (std::isnan(durationMilliseconds)) return 0;
  return std::clamp(durationMilliseconds / 1000.0, -LocationSenderManager::kMaximumSeconds,
                    LocationSenderManager::kMaximumSeconds);
}

LocationSenderManager::LocationSenderManager(Environment environment)
    : LocationSenderManager(completed(std::move(environment)), Completed{}) {}

LocationSenderManager::LocationSenderManager(Environment environment, Completed)
    : locationManager(environment.locationManager),
      networkManger(environment.networkManger),
      environment_(std::move(environment)),
      waitLimit_(networkManger->replyWaitLimit()) {
  isLiveUntil = environment_.now();

  locationManager->startMonitoringSignificantLocationChanges();
  locationManager->setActivityType(platform::ActivityType::otherNavigation);
  locationManager->setDesiredAccuracy(platform::LocationAccuracy::best);
  locationManager->setDistanceFilter(1.0);
  locationManager->requestAlwaysAuthorization();
  locationManager->setDelegate(this);

  // Only a login record stored now starts the regular timer; one stored later does not.
  if (environment_.childUser->tokenExist()) {
    listenToLiveLocationSocket();
    getConfigs();
    startRegularTimer();
  }
}

LocationSenderManager::~LocationSenderManager() {
  alive_.reset();
  if (liveTimer) liveTimer->invalidate();
  if (regularTimer) regularTimer->invalidate();
  if (locationManager->delegate() == this) locationManager->setDelegate(nullptr);
}

namespace {
std::atomic<LocationSenderManager*> installedReporter{nullptr};
}  // namespace

LocationSenderManager& LocationSenderManager::shared() {
  auto* reporter = installedReporter.load();
  if (reporter == nullptr) {
    std::fputs("LocationSenderManager::shared() was asked for before main built the reporter\n", stderr);
    std::abort();
  }
  return *reporter;
}

void LocationSenderManager::install(LocationSenderManager& reporter) { installedReporter.store(&reporter); }

std::shared_ptr<platform::Timer> LocationSenderManager::schedule(
    double seconds, void (LocationSenderManager::*action)(platform::Timer&)) {
  // A timer of no interval would fire as fast as the run loop turns.
  if (!(seconds >= kMinimumLiveInterval)) seconds = kMinimumLiveInterval;
  seconds = std::min(seconds, kMaximumSeconds);
  std::weak_ptr<char> alive = alive_;
  return environment_.runLoop->scheduledTimer(
      toDuration<std::chrono::steady_clock::duration>(seconds), true,
      [this, alive, action](platform::Timer& timer) {
        if (alive.expired()) return;
        (this->*action)(timer);
      },
      platform::RunLoopMode::defaultMode);
}

void LocationSenderManager::startRegularTimer() {
  regularTimer = schedule(regularTimeInterval, &LocationSenderManager::handleRegularTimer);
  regularTimer->fire();
}

void LocationSenderManager::handleRegularTimer(platform::Timer&) {
  getAndSendCurrentLocation();
  if (userLocation) sendLocation(*userLocation);
}

void LocationSenderManager::listenToLiveLocationSocket() {
  if (!environment_.listenToLiveLocation) return;
  std::weak_ptr<char> alive = alive_;
  environment_.listenToLiveLocation([this, alive](const channel::LiveLocationRule& rule) {
    if (alive.expired()) return;
    applyLiveLocation(rule);
  });
}

void LocationSenderManager::applyLiveLocation(const channel::LiveLocationRule& rule) {
  liveTimeInterval = liveIntervalSeconds(rule.interval);
  distance = std::to_string(rule.distance);
  isLiveUntil = environment_.now() + toDuration<Clock::duration>(liveDurationSeconds(rule.duration));
  if (liveTimer) liveTimer->invalidate();
  startSendLocations();
}

void LocationSenderManager::startSendLocations() {
  liveTimer = schedule(liveTimeInterval, &LocationSenderManager::handleTimer);
  liveTimer->fire();
}

void LocationSenderManager::handleTimer(platform::Timer&) {
  changeTimeIntervalToRegularIfDurationEnded();
  getAndSendCurrentLocation();
  // The tick that ends the live period still uploads once.
  if (userLocation) sendLocation(*userLocation);
}

void LocationSenderManager::changeTimeIntervalToRegularIfDurationEnded() {
  if (environment_.now() > isLiveUntil && liveTimer) liveTimer->invalidate();
}

void LocationSenderManager::getAndSendCurrentLocation() {
  if (locationManager->locationServicesEnabled()) locationManager->startUpdatingLocation();
}

void LocationSenderManager::monitorRegionAtLocation(const platform::LocationCoordinate& center,
                                                    const std::string& identifier) {
  if (!locationManager->isMonitoringAvailableForCircularRegions()) return;
  platform::CircularRegion region(center, locationManager->distanceFilter(), identifier);
  region.setNotifyOnEntry(false);
  region.setNotifyOnExit(true);
  locationManager->startMonitoring(region);
}

void LocationSenderManager::didUpdateLocations(platform::LocationManager&,
                                               const std::vector<platform::Location>& locations) {
  if (locations.empty()) return;
  const platform::Location first = locations.front();
  networks::printLine(coding::doubleDescription(first.coordinate.latitude) + " " +
                      coding::doubleDescription(first.coordinate.longitude));
  if (!userLocation) sendLocation(first);
  const auto regions = locationManager->monitoredRegions();
  if (regions.size() >= kRegionLimit) locationManager->stopMonitoring(regions.front());
  monitorRegionAtLocation(locations.back().coordinate, kRegionIdentifier);
  userLocation = first;
}

void LocationSenderManager::didFailWithError(platform::LocationManager&, const platform::Error&) {}

void LocationSenderManager::didExitRegion(platform::LocationManager& manager, const platform::CircularRegion& region) {
  if (region.identifier() == kRegionIdentifier) manager.startUpdatingLocation();
}

networks::LocationModel LocationSenderManager::sample(const platform::Location& location) const {
  networks::LocationModel model;
  model.long_ = coding::doubleDescription(location.coordinate.longitude);
  model.lat = coding::doubleDescription(location.coordinate.latitude);
  model.time = std::chrono::duration<double>(environment_.now().time_since_epoch()).count() * 1000.0;
  model.metaData = networks::LocationMetaData{10.0f, batteryIsCharging(), batteryLevel()};
  return model;
}

void LocationSenderManager::sendLocation(const platform::Location& location) {
  // One upload at a time: while one is unanswered (until its reply, or the request's own
  // deadline for one whose reply runs no completion) the next is skipped, and a later
  // tick sends the fix as it is then. A slow service cannot pile uploads up.
  using Steady = std::chrono::steady_clock;
  const auto now = Steady::now();
  if (now.time_since_epoch().count() < uploadOutUntil_->load()) return;
  const auto& configuration = networkManger->session().configuration();
  const auto deadline =
      configuration.resourceTimeout > std::chrono::milliseconds(0) ? configuration.resourceTimeout : kUploadDeadline;
  uploadOutUntil_->store((now + deadline).time_since_epoch().count());
  // The wait on the main thread draws on the main thread's budget of the period; a
  // reply that comes later is printed when it comes.
  const auto limit = platform::MainThreadBudget::bound(waitLimit_);
  networkManger->setReplyWaitLimit(limit);
  networkManger->sendLocation({sample(location)},
                              [out = uploadOutUntil_](networks::Result<networks::AcceptanceModel> result) {
                                out->store(0);
                                networks::printLine(result ? "success" : "failed");
                              });
  // A call that returned before its limit had its reply handled, with or without a
  // completion.
  if (Steady::now() - now < limit) uploadOutUntil_->store(0);
}

}  // namespace agent
