// GeoClue2 over a private connection to the system bus, driven from a worker thread
// that runs a GLib main context of its own. The only file that sees GLib.
#include "platform/geoclue_service.h"

#include <geoclue.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {

unsigned geoClueAccuracyLevel(double desiredAccuracy) {
  // The coarsest level whose usual accuracy is still within what is desired.
  if (!(desiredAccuracy >= 100)) return GeoClueAccuracy::exact;  // also the "best" markers and NaN
  if (desiredAccuracy < 1000) return GeoClueAccuracy::street;
  if (desiredAccuracy < 15000) return GeoClueAccuracy::neighborhood;
  if (desiredAccuracy < 300000) return GeoClueAccuracy::city;
  return GeoClueAccuracy::country;
}

namespace {

constexpr const char* kBusName = "org.freedesktop.GeoClue2";
constexpr const char* kManagerPath = "/org/freedesktop/GeoClue2/Manager";
constexpr const char* kClientInterface = "org.freedesktop.GeoClue2.Client";
constexpr int kCallTimeoutMs = 10000;

template <typename T>
struct GUnref {
  void operator()(T* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GUnref<T>>;

struct ErrorText {
  GError* error = nullptr;
  ~ErrorText() {
    if (error != nullptr) g_error_free(error);
  }
  std::string text() const { return error != nullptr ? error->message : "unknown failure"; }
};

// A finite double property from the proxy's cache.
std::optional<double> cachedDouble(GDBusProxy* proxy, const char* name) {
  GVariant* value = g_dbus_proxy_get_cached_property(proxy, name);
  if (value == nullptr) return std::nullopt;
  std::optional<double> result;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE)) result = g_variant_get_double(value);
  g_variant_unref(value);
  if (result && !std::isfinite(*result) && *result != -G_MAXDOUBLE) result.reset();
  return result;
}

class GeoClueService final : public DesktopLocationService {
 public:
  GeoClueService(Listener listener, std::string desktopId)
      : listener_(std::move(listener)), desktopId_(std::move(desktopId)) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    cancellable_ = g_cancellable_new();
    thread_ = std::thread([this] { run(); });
  }

  ~GeoClueService() override {
    g_cancellable_cancel(cancellable_);  // ends a call in progress at once
    invoke(
        +[](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_object_unref(cancellable_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  void request(const DesktopLocationRequest& wanted) override {
    {
      std::lock_guard lock(mutex_);
      wanted_ = wanted;
    }
    schedule();
  }

 private:
  // Runs apply() on the worker soon, once however often this is called before.
  void schedule() {
    std::lock_guard lock(mutex_);
    if (scheduled_) return;
    scheduled_ = true;
    invoke(
        +[](gpointer self) -> gboolean {
          static_cast<GeoClueService*>(self)->apply();
          return G_SOURCE_REMOVE;
        },
        this);
  }

  void invoke(GSourceFunc function, gpointer data) {
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, function, data, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
  }

  void run() {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    dropSession();
    // Sources still queued (a last request) are dropped with the context.
    g_main_context_pop_thread_default(context_);
  }

  // Brings the session in line with the newest request.
  void apply() {
    DesktopLocationRequest wanted;
    {
      std::lock_guard lock(mutex_);
      wanted = wanted_;
      scheduled_ = false;
    }
    if (off_ || g_cancellable_is_cancelled(cancellable_)) return;
    if (lost_) {
      lost_ = false;
      dropSession();
    }
    if (!wanted.active) {
      if (client_ && started_) {
        started_ = false;
        gclue_client_call_stop_sync(client_.get(), cancellable_, nullptr);
      }
      return;
    }
    if (!client_ && !openSession()) return;
    ErrorText failure;
    auto set = [&](const char* name, unsigned value, unsigned& applied) {
      if (applied == value) return true;
      if (!setProperty(name, g_variant_new_uint32(value), &failure.error)) return false;
      applied = value;
      return true;
    };
    if (!set("RequestedAccuracyLevel", wanted.accuracyLevel, applied_.accuracyLevel) ||
        !set("DistanceThreshold", wanted.distanceThreshold, applied_.distanceThreshold) ||
        !set("TimeThreshold", wanted.timeThreshold, applied_.timeThreshold)) {
      goOff("cannot configure the client: " + failure.text());
      return;
    }
    if (!started_) start();
  }

  bool openSession() {
    ErrorText failure;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, cancellable_, &failure.error);
    if (address == nullptr) {
      goOff("no system bus: " + failure.text());
      return false;
    }
    // A connection of our own: closing it ends our client at the service, and the
    // process-wide system bus connection stays untouched.
    connection_.reset(g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable_, &failure.error));
    g_free(address);
    if (!connection_) {
      goOff("cannot reach the system bus: " + failure.text());
      return false;
    }
    g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);

    GPtr<GClueManager> manager(
        gclue_manager_proxy_new_sync(connection_.get(),
                                     static_cast<GDBusProxyFlags>(G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES |
                                                                  G_DBUS_PROXY_FLAGS_DO_NOT_CONNECT_SIGNALS),
                                     kBusName, kManagerPath, cancellable_, &failure.error));
    if (!manager) {
      goOff("no location service: " + failure.text());
      return false;
    }
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(manager.get()), kCallTimeoutMs);
    gchar* path = nullptr;
    if (!gclue_manager_call_create_client_sync(manager.get(), &path, cancellable_, &failure.error)) {
      goOff("no location service: " + failure.text());
      return false;
    }
    clientPath_ = path;
    g_free(path);

    client_.reset(gclue_client_proxy_new_sync(connection_.get(), G_DBUS_PROXY_FLAGS_NONE, kBusName, clientPath_.c_str(),
                                              cancellable_, &failure.error));
    if (!client_) {
      goOff("no location client: " + failure.text());
      return false;
    }
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(client_.get()), kCallTimeoutMs);
    g_signal_connect(client_.get(), "location-updated", G_CALLBACK(onLocationUpdated), this);
    g_signal_connect(client_.get(), "notify::active", G_CALLBACK(onActiveChanged), this);
    g_signal_connect(client_.get(), "notify::g-name-owner", G_CALLBACK(onOwnerChanged), this);
    applied_ = {};
    applied_.accuracyLevel = 0;  // unset: always written once
    applied_.distanceThreshold = ~0u;
    applied_.timeThreshold = ~0u;
    if (!setProperty("DesktopId", g_variant_new_string(desktopId_.c_str()), &failure.error)) {
      goOff("cannot name the client: " + failure.text());
      return false;
    }
    return true;
  }

  void start() {
    ErrorText failure;
    if (!gclue_client_call_start_sync(client_.get(), cancellable_, &failure.error)) {
      // Access denied (by the service's configuration or its agent), or the service
      // failed: either way there is no position.
      goOff("location refused: " + failure.text());
      return;
    }
    started_ = true;
    if (!authorized_) {
      authorized_ = true;
      listener_.authorized();
    }
  }

  bool setProperty(const char* name, GVariant* value, GError** error) {
    GVariant* reply =
        g_dbus_connection_call_sync(connection_.get(), kBusName, clientPath_.c_str(), "org.freedesktop.DBus.Properties",
                                    "Set", g_variant_new("(ssv)", kClientInterface, name, value), nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, cancellable_, error);
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    return true;
  }

  void dropSession() {
    client_.reset();
    if (connection_) g_dbus_connection_close(connection_.get(), nullptr, nullptr, nullptr);
    connection_.reset();
    clientPath_.clear();
    started_ = false;
  }

  void goOff(const std::string& why) {
    if (g_cancellable_is_cancelled(cancellable_)) return;  // shutting down, not refused
    dropSession();
    off_ = true;
    listener_.off(why);
  }

  static void onLocationUpdated(GClueClient*, const gchar* /*old*/, const gchar* path, gpointer data) {
    static_cast<GeoClueService*>(data)->readFix(path);
  }

  // The service stopped our client (its agent withdrew access, for one): asking
  // again tells whether access is still given.
  static void onActiveChanged(GObject*, GParamSpec*, gpointer data) {
    auto* self = static_cast<GeoClueService*>(data);
    if (self->started_ && self->client_ && !gclue_client_get_active(self->client_.get())) {
      self->started_ = false;
      self->schedule();
    }
  }

  // The service went away, and our client with it. A new one is asked for if fixes
  // are still wanted (the bus starts the service again on demand).
  static void onOwnerChanged(GObject*, GParamSpec*, gpointer data) {
    auto* self = static_cast<GeoClueService*>(data);
    if (!self->client_) return;
    gchar* owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(self->client_.get()));
    if (owner != nullptr) {
      g_free(owner);
      return;
    }
    self->lost_ = true;
    self->schedule();
  }

  void readFix(const gchar* path) {
    if (!connection_ || !started_) return;
    ErrorText failure;
    GPtr<GClueLocation> proxy(gclue_location_proxy_new_sync(
        connection_.get(), G_DBUS_PROXY_FLAGS_DO_NOT_CONNECT_SIGNALS, kBusName, path, cancellable_, &failure.error));
    if (!proxy) {
      std::fprintf(stderr, "Location service: cannot read a fix: %s\n", failure.text().c_str());
      return;
    }
    auto* dbus = G_DBUS_PROXY(proxy.get());
    auto latitude = cachedDouble(dbus, "Latitude");
    auto longitude = cachedDouble(dbus, "Longitude");
    auto accuracy = cachedDouble(dbus, "Accuracy");
    if (!latitude || !longitude || std::abs(*latitude) > 90 || std::abs(*longitude) > 180) {
      std::fprintf(stderr, "Location service: a fix without a valid coordinate\n");
      return;
    }
    Location fix;
    fix.coordinate = {*latitude, *longitude};
    constexpr double kUnknownAccuracy = 65.0;  // metres, as for a source file's fix
    fix.horizontalAccuracy = accuracy && *accuracy >= 0 ? *accuracy : kUnknownAccuracy;
    // GeoClue marks an unknown altitude with the most negative double.
    if (auto altitude = cachedDouble(dbus, "Altitude"); altitude && *altitude != -G_MAXDOUBLE) {
      fix.altitude = *altitude;
      fix.verticalAccuracy = fix.horizontalAccuracy;
    }
    fix.timestamp = std::chrono::system_clock::now();
    if (GVariant* stamp = g_dbus_proxy_get_cached_property(dbus, "Timestamp")) {
      if (g_variant_is_of_type(stamp, G_VARIANT_TYPE("(tt)"))) {
        guint64 seconds = 0;
        guint64 micros = 0;
        g_variant_get(stamp, "(tt)", &seconds, &micros);
        constexpr guint64 kLatest = 253402300799;  // the end of year 9999
        if (seconds > 0 && seconds <= kLatest && micros < 1000000) {
          fix.timestamp =
              std::chrono::system_clock::time_point(std::chrono::seconds(static_cast<long long>(seconds)) +
                                                    std::chrono::microseconds(static_cast<long long>(micros)));
        }
      }
      g_variant_unref(stamp);
    }
    listener_.fix(fix);
  }

  Listener listener_;
  std::string desktopId_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  std::thread thread_;

  std::mutex mutex_;  // guards wanted_ and scheduled_
  DesktopLocationRequest wanted_;
  bool scheduled_ = false;

  // The session, on the worker thread only.
  GPtr<GDBusConnection> connection_;
  GPtr<GClueClient> client_;
  std::string clientPath_;
  DesktopLocationRequest applied_;
  bool started_ = false;
  bool authorized_ = false;
  bool off_ = false;
  bool lost_ = false;  // the service vanished; the session is dropped at the next apply()
};

}  // namespace

#if defined(__SANITIZE_THREAD__)
// GLib and the GeoClue client library are not built with the thread sanitizer: their
// own locks and atomics are invisible to it, so what they do inside themselves reads
// as races. Our side of the worker stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgeoclue-2.so.0\n"
         "mutex:libgeoclue-2.so.0\n";
}
#endif

std::unique_ptr<DesktopLocationService> makeGeoClueService(DesktopLocationService::Listener listener,
                                                           std::string desktopId) {
  return std::make_unique<GeoClueService>(std::move(listener), std::move(desktopId));
}

}  // namespace platform
