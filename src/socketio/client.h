// A Socket.IO client (protocol 5 over Engine.IO 4, WebSocket transport only).
//
//   sio::SocketManager manager("https://host", {.log = true, .compress = true, .forceWebsockets = true},
//                              {.handleQueue = mainQueuePoster});
//   auto& socket = manager.defaultSocket();
//   socket.on(sio::SocketClientEvent::connect, [](const auto& data, sio::SocketAckEmitter&) { ... });
//   socket.on("command", [](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack) {
//     ack.with(nlohmann::json{{"status", "ok"}});
//   });
//   socket.connect();
//
// Every handler runs on the handle queue. All member functions are safe to
// call from any thread; the connection itself lives on one I/O thread per manager.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "socketio/url.h"

namespace sio {

namespace detail {
class ManagerCore;
struct AckState;
}  // namespace detail

enum class SocketIOStatus { notConnected, disconnected, connecting, connected };
std::string_view toString(SocketIOStatus status);

// Events the client itself raises. Their data:
//   connect           [namespace]
//   disconnect        [reason]
//   error             [description] or [the server's connect-error payload]
//   reconnect         [reason]                 reconnection begins (also from setReconnecting)
//   reconnectAttempt  [attempts left, -1 for unlimited]
//   statusChange      [status name]
enum class SocketClientEvent { connect, disconnect, error, reconnect, reconnectAttempt, statusChange };

// The option set of a manager. Replacing it (SocketManager::setConfig) replaces
// every field: a set that leaves `compress` out turns compression off.
// The new set applies from the next connection on.
struct SocketManagerConfig {
  bool log = false;              // log the client's own lines through the environment's logger
  bool compress = false;         // offer permessage-deflate
  bool forceWebsockets = false;  // WebSocket is the only transport either way
  std::map<std::string, std::string> connectParams{};  // added to the query of the upgrade request
  bool reconnects = true;
  int reconnectAttempts = -1;    // -1: forever
  std::chrono::milliseconds reconnectWait{1000};     // first delay; doubles per attempt
  std::chrono::milliseconds reconnectWaitMax{5000};  // upper bound of any delay
  double randomizationFactor = 0.5;                  // each delay varies by up to this fraction
  std::string path = "/socket.io/";
  std::optional<bool> secure{};    // default: from the URL scheme (https/wss)
  std::map<std::string, std::string> extraHeaders{};   // sent with the upgrade request
  std::chrono::milliseconds connectTimeout{20000};   // TCP, TLS, upgrade and namespace connect
  // Bytes queued for sending (acknowledgements, emits, pongs) beyond which the
  // client reads nothing more from the server, which then can make it queue only
  // the answers to events already read; emits given meanwhile are dropped. Not
  // drained back under it within the server's ping timeout, the connection is
  // dropped and reconnected as after any loss.
  std::size_t sendQueueMax = std::size_t{4} * 1024 * 1024;
};

// Platform hooks fixed for the manager's life (not part of the replaceable set).
struct SocketManagerEnvironment {
  // Runs handler calls; it must run them one at a time, in order. Empty: an
  // internal serial thread.
  std::function<void(std::function<void()>)> handleQueue{};
  // Receives log lines when `log` is on. Empty: standard error.
  std::function<void(const std::string&)> logger{};
  // Certificate authorities trusted for TLS (a PEM file). Empty: the system's.
  std::string caFile{};
  // "HOST:PORT:ADDRESS:PORT" entries used instead of name resolution; the URL
  // host stays the name for SNI, certificate verification and the Host header.
  std::vector<std::string> connectTo{};
};

// The acknowledgement handle given to every handler of one event. Copies share
// one state: the first `with` sends the acknowledgement, later ones send nothing,
// and nothing is sent when the server did not ask for one.
class SocketAckEmitter {
 public:
  SocketAckEmitter();  // a handle that never sends

  bool expected() const;                 // the server asked for an acknowledgement
  std::optional<std::uint64_t> ackNum() const;

  void with(std::vector<nlohmann::json> items);

  // with(a, b, ...): each item is a JSON value, or a type with
  // socketRepresentation() returning something convertible to JSON.
  template <class... Items>
  void with(Items&&... items) {
    with(std::vector<nlohmann::json>{toJson(std::forward<Items>(items))...});
  }

 private:
  friend class detail::ManagerCore;
  explicit SocketAckEmitter(std::shared_ptr<detail::AckState> state);

  template <class T>
  static nlohmann::json toJson(T&& item) {
    if constexpr (requires { item.socketRepresentation(); }) {
      return nlohmann::json(item.socketRepresentation());
    } else {
      return nlohmann::json(std::forward<T>(item));
    }
  }

  std::shared_ptr<detail::AckState> state_;
};

using NormalCallback = std::function<void(const std::vector<nlohmann::json>& data, SocketAckEmitter& ack)>;
using HandlerId = std::uint64_t;

// The socket of one namespace ("/" for the default socket). Owned by its manager.
class SocketIOClient {
 public:
  SocketIOClient(const SocketIOClient&) = delete;
  SocketIOClient& operator=(const SocketIOClient&) = delete;

  // Handlers stay registered across reconnections. Every handler of an event
  // runs, in registration order.
  HandlerId on(SocketClientEvent event, NormalCallback callback);
  HandlerId on(const std::string& event, NormalCallback callback);
  void off(HandlerId id);
  void off(const std::string& event);

  // Connects, sending `payload` (an object, or null for none) with the namespace
  // connect. Nothing happens when already connected.
  void connect(nlohmann::json payload = nullptr);
  // Leaves the namespace and closes the connection; no automatic reconnection follows.
  void disconnect();
  // Marks the socket as reconnecting (status connecting) and raises `reconnect`
  // with the reason. Call connect() to start the connection.
  void setReconnecting(const std::string& reason);
  // Sends an event without asking for an acknowledgement; dropped when not connected.
  void emit(const std::string& event, std::vector<nlohmann::json> items = {});

  SocketIOStatus status() const;
  const std::string& nsp() const { return nsp_; }

 private:
  friend class SocketManager;
  SocketIOClient(std::shared_ptr<detail::ManagerCore> core, std::string nsp);

  std::shared_ptr<detail::ManagerCore> core_;
  std::string nsp_;
};

class SocketManager {
 public:
  SocketManager(std::string socketURL, SocketManagerConfig config = {}, SocketManagerEnvironment environment = {});
  // Closes the connection and stops the I/O thread. Safe from any thread, a
  // handler of this manager included. A handler running on another thread is
  // waited for; no handler starts afterwards, no log line is written, and the
  // environment's hooks are released on the destroying thread (a handle queue
  // that only the manager owns then ends there).
  ~SocketManager();
  SocketManager(const SocketManager&) = delete;
  SocketManager& operator=(const SocketManager&) = delete;

  SocketManagerConfig config() const;
  void setConfig(SocketManagerConfig config);

  SocketIOClient& defaultSocket() { return *defaultSocket_; }
  const std::string& socketURL() const { return socketURL_; }

  // Waits until every emit and acknowledgement given before the call has been written
  // to the connection (or dropped, the connection gone), at most `timeout`; true when
  // the wait ended before it. For a process about to end. Not from a handler running
  // on the manager's own I/O thread (returns false at once there).
  bool flush(std::chrono::milliseconds timeout);

  // The Sec-WebSocket-Extensions header of the last successful upgrade
  // (e.g. "permessage-deflate"), empty when none was negotiated.
  std::string negotiatedExtensions() const;

 private:
  std::string socketURL_;
  std::shared_ptr<detail::ManagerCore> core_;
  std::unique_ptr<SocketIOClient> defaultSocket_;
};

// ---- Pure helpers (exposed for tests; the URL ones are in url.h) ---------

// The delay before reconnection attempt `attempt` (0-based): wait * 2^attempt,
// varied by +-factor (random01 in [0, 1)), never above waitMax.
std::chrono::milliseconds reconnectDelay(int attempt, std::chrono::milliseconds wait, std::chrono::milliseconds waitMax,
                                         double factor, double random01);

}  // namespace sio
