#pragma once
// The desktop's own location service (GeoClue2 on the system D-Bus), behind a small
// interface so that GLib stays inside geoclue_service.cpp.
//
// The service runs a private GLib main context on a worker thread of its own; the
// listener's calls come on that thread, and the location manager moves them onto the
// main queue. Nothing is asked of D-Bus until fixes are first wanted.
#include <functional>
#include <memory>
#include <string>

#include "platform/location.h"

namespace platform {

// GeoClue's accuracy levels (RequestedAccuracyLevel).
namespace GeoClueAccuracy {
inline constexpr unsigned country = 1;
inline constexpr unsigned city = 4;
inline constexpr unsigned neighborhood = 5;
inline constexpr unsigned street = 6;
inline constexpr unsigned exact = 8;
}  // namespace GeoClueAccuracy

// The level that gives at least the desired accuracy (metres, or the "best" markers).
unsigned geoClueAccuracyLevel(double desiredAccuracy);

// What the location manager wants of the service now.
struct DesktopLocationRequest {
  bool active = false;              // fixes wanted
  unsigned accuracyLevel = GeoClueAccuracy::exact;
  unsigned distanceThreshold = 0;   // metres; 0: every fix
  unsigned timeThreshold = 0;       // seconds between fixes at least; 0: no limit
  bool operator==(const DesktopLocationRequest&) const = default;
};

class DesktopLocationService {
 public:
  // Called on the service's worker thread.
  struct Listener {
    std::function<void()> authorized;                  // the service started giving fixes
    std::function<void(const std::string& why)> off;   // no service, or access denied
    std::function<void(Location)> fix;                 // a new fix
  };
  virtual ~DesktopLocationService() = default;
  // Applies the newest request; the worker catches up in its own time, keeping only
  // the last request when several come quickly.
  virtual void request(const DesktopLocationRequest& wanted) = 0;
};

// GeoClue2 on the system bus (the address in DBUS_SYSTEM_BUS_ADDRESS, else the
// standard one); the client names itself with `desktopId`.
std::unique_ptr<DesktopLocationService> makeGeoClueService(DesktopLocationService::Listener listener,
                                                           std::string desktopId);

}  // namespace platform
