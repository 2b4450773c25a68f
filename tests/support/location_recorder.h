#pragma once
// A location manager delegate for tests: it records every callback, in order, and
// whether each came on the main queue.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/location.h"

namespace testsupport {

struct LocationRecorder : platform::LocationManagerDelegate {
  // One line per callback: "locations", "error <code>", "authorization <status>",
  // "enter <region>", "exit <region>", "monitoring <region>", "monitoring failed <region or ->".
  std::vector<std::string> events;
  std::vector<std::vector<platform::Location>> batches;
  std::vector<platform::Error> errors;
  std::vector<platform::AuthorizationStatus> statuses;
  bool allOnMainQueue = true;

  bool saw(const std::string& event) const { return std::find(events.begin(), events.end(), event) != events.end(); }

  void didUpdateLocations(platform::LocationManager&, const std::vector<platform::Location>& locations) override {
    batches.push_back(locations);
    note("locations");
  }
  void didFailWithError(platform::LocationManager&, const platform::Error& error) override {
    errors.push_back(error);
    note("error " + std::to_string(error.code));
  }
  void didChangeAuthorization(platform::LocationManager&, platform::AuthorizationStatus status) override {
    statuses.push_back(status);
    note("authorization " + std::to_string(static_cast<int>(status)));
  }
  void didEnterRegion(platform::LocationManager&, const platform::CircularRegion& region) override {
    note("enter " + region.identifier());
  }
  void didExitRegion(platform::LocationManager&, const platform::CircularRegion& region) override {
    note("exit " + region.identifier());
  }
  void didStartMonitoringFor(platform::LocationManager&, const platform::CircularRegion& region) override {
    note("monitoring " + region.identifier());
  }
  void monitoringDidFailFor(platform::LocationManager&, const std::optional<platform::CircularRegion>& region,
                            const platform::Error&) override {
    note("monitoring failed " + (region ? region->identifier() : std::string("-")));
  }

 private:
  void note(std::string event) {
    allOnMainQueue = allOnMainQueue && platform::DispatchQueue::main().isCurrent();
    events.push_back(std::move(event));
  }
};

}  // namespace testsupport
