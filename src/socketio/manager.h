// The manager's core, behind sio::SocketManager and sio::SocketIOClient: the
// Engine.IO and Socket.IO state of one connection, reconnection, the ping
// watch, handler dispatch to the handle queue, and the sends given from any
// thread. Internal to the library (client.cpp and manager.cpp).
//
// The API entry points are safe from any thread; everything else runs on the
// I/O loop's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "socketio/client.h"
#include "socketio/packet.h"
#include "socketio/transport.h"

namespace sio::detail {

using EventKey = std::variant<SocketClientEvent, std::string>;

class SerialQueue;
struct Shared;

// What one acknowledgement handle (and its copies) shares: the connection it
// belongs to and whether it has been given.
struct AckState {
  std::weak_ptr<ManagerCore> core;
  std::uint64_t generation = 0;
  std::optional<std::uint64_t> id;
  std::string nsp = "/";
  std::atomic<bool> used{false};
};

class ManagerCore : public std::enable_shared_from_this<ManagerCore> {
 public:
  ManagerCore(const std::string& url, SocketManagerConfig config, SocketManagerEnvironment environment);
  ~ManagerCore();
  ManagerCore(const ManagerCore&) = delete;
  ManagerCore& operator=(const ManagerCore&) = delete;

  // Once owned by a shared pointer.
  void start();
  // Stops the I/O thread and releases the environment's hooks on the calling
  // thread, which may be any: the loop's, the handle queue's, a handler's.
  void shutdown();

  // ---- API entry points (any thread) ----

  HandlerId on(EventKey key, NormalCallback callback);
  void off(HandlerId id);
  void off(const EventKey& key);
  void connect(nlohmann::json payload);
  void disconnect();
  void setReconnecting(std::string reason);
  void emit(std::string event, std::vector<nlohmann::json> items);
  SocketManagerConfig config() const;
  void setConfig(SocketManagerConfig config);
  SocketIOStatus status() const { return status_.load(); }
  std::string extensions() const;
  // From an acknowledgement handle.
  void sendAck(const std::shared_ptr<AckState>& ack, std::vector<nlohmann::json> items);
  void log(const std::string& line) const;
  // Waits until what was emitted or acknowledged before the call has been written to
  // the connection, or dropped, for at most `timeout`. Not from the loop thread.
  bool flush(std::chrono::milliseconds timeout);

  static SocketAckEmitter makeEmitter(std::shared_ptr<AckState> state) { return SocketAckEmitter(std::move(state)); }

 private:
  using HandleQueue = std::function<void(std::function<void()>)>;
  struct PendingEvent {
    EventKey key;
    std::vector<nlohmann::json> data;
    std::shared_ptr<AckState> ack;
  };
  // An emit (no generation: for whatever connection is up) or an acknowledgement.
  struct PendingSend {
    std::optional<std::uint64_t> generation;
    std::uint64_t ackId = 0;
    std::string event;
    EncodedPacket packet;
  };

  // A long burst goes on in parts of this many events, so that the handlers
  // (and the server, with their acknowledgements) work while the rest is read.
  static constexpr std::size_t kBatchMax = 32;

  void post(std::function<void()> task);
  std::function<void()> guarded(std::function<void()> task);
  IoLoop::TimerId schedule(std::chrono::milliseconds delay, std::function<void()> task);

  // ---- Loop thread ----

  void setStatus(SocketIOStatus status);
  void doConnect(nlohmann::json payload);
  void doDisconnect();
  void doSetReconnecting(const std::string& reason);
  void openEngine();
  WebSocketRequest upgradeRequest() const;
  WebSocketCallbacks callbacksFor(std::uint64_t generation);
  void onWebSocketOpen(const std::string& extensions);
  void onText(const std::string& text);
  void onEngineOpen(const std::string& data);
  void onBinary(Bytes bytes);
  void deliver(std::expected<std::optional<Packet>, CodecError> decoded);
  void handlePacket(Packet packet);
  void onNamespaceConnect();
  void onConnectError(const nlohmann::json& data);
  void onServerDisconnect();
  void onEvent(Packet packet);
  void sendConnect();
  void sendPacket(const Packet& packet);
  void sendEncoded(EncodedPacket encoded);
  void armPingTimer();
  void dropEngine();
  void engineFailed(const std::string& reason);
  void scheduleReconnect(const std::string& reason);
  void queueSend(PendingSend send);
  void flushSends();
  void emitClient(SocketClientEvent event, std::vector<nlohmann::json> data);
  void dispatch(EventKey key, std::vector<nlohmann::json> data, std::shared_ptr<AckState> ack);
  void flushBatch();

  std::expected<SocketURL, std::string> url_;
  mutable std::mutex configMutex_;
  SocketManagerConfig config_;  // guarded by configMutex_
  std::string extensions_;      // guarded by configMutex_
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<const HandleQueue> handleQueue_;  // loop thread, then shutdown
  std::unique_ptr<SerialQueue> ownQueue_;
  std::string caFile_;
  std::vector<ConnectTo> connectTo_;
  std::vector<std::string> connectToErrors_;
  std::atomic<SocketIOStatus> status_{SocketIOStatus::notConnected};

  // Loop thread only.
  SocketManagerConfig active_;
  std::unique_ptr<WebSocket> ws_;
  std::uint64_t generation_ = 0;
  bool engineOpen_ = false;
  bool nspConnected_ = false;
  bool connectSent_ = false;
  bool wantConnected_ = false;
  nlohmann::json connectPayload_;
  OpenInfo open_;
  PacketDecoder decoder_;
  std::optional<IoLoop::TimerId> pingTimer_;
  std::optional<IoLoop::TimerId> connectTimer_;
  std::optional<IoLoop::TimerId> reconnectTimer_;
  int reconnectAttempt_ = 0;
  std::mt19937 random_{std::random_device{}()};

  std::vector<PendingEvent> batch_;  // loop thread
  std::mutex sendMutex_;
  std::vector<PendingSend> pendingSends_;  // guarded by sendMutex_
  bool sendFlushPosted_ = false;           // guarded by sendMutex_
  std::atomic<bool> shutDown_{false};
  std::unique_ptr<IoLoop> loop_;  // last: destroyed first
};

}  // namespace sio::detail
