// The I/O side of the client: one thread running timers and WebSocket
// connections (plain or TLS, with optional permessage-deflate).
//
// Everything here is implemented in transport.cpp, the only file that includes
// Asio and Beast. Callbacks run on the loop's own thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "socketio/packet.h"

namespace sio {

// One "HOST:PORT:ADDRESS:PORT" entry (curl's connect-to form). An empty host
// or port on the left matches any; an empty address or port on the right
// keeps the original.
struct ConnectTo {
  std::string host;
  std::string port;
  std::string address;
  std::string addressPort;
};

std::expected<ConnectTo, CodecError> parseConnectTo(std::string_view entry);

struct WebSocketRequest {
  std::string host;            // URL host: SNI, certificate verification, Host header
  std::uint16_t port = 0;
  std::string target;          // path and query of the upgrade request
  bool secure = false;
  bool compress = false;       // offer permessage-deflate
  std::string caFile;          // empty: the system's trusted authorities
  std::vector<ConnectTo> connectTo;
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::milliseconds timeout{20000};  // TCP connect, TLS and upgrade
  // Bytes queued for sending beyond which the connection reads nothing more, so
  // that a peer that does not read cannot make it queue more; 0: no limit. See
  // WebSocket::setStallTimeout for how long the queue may stay over it.
  std::size_t sendQueueMax = 0;
};

struct WebSocketCallbacks {
  // The upgrade succeeded; the argument is the Sec-WebSocket-Extensions response header.
  std::function<void(const std::string& extensions)> onOpen;
  std::function<void(std::string text)> onText;
  std::function<void(Bytes bytes)> onBinary;
  // The connection failed or ended; called once, never after close().
  std::function<void(const std::string& reason)> onClose;
};

class WebSocket {
 public:
  virtual ~WebSocket() = default;
  virtual void sendText(std::string text) = 0;
  virtual void sendBinary(Bytes bytes) = 0;
  // Flushes queued messages, then closes; no callback runs after this call.
  virtual void close() = 0;
  // Calls `done(true)` once every message queued so far has been written (at once when
  // none waits), `done(false)` when the connection fails or is dropped first.
  virtual void whenWritten(std::function<void(bool written)> done) = 0;
  // How long the send queue may stay over the request's sendQueueMax before the
  // connection fails ("send queue not drained in N ms"), and how long close()
  // waits for the queue to go out; until set, the request's timeout.
  virtual void setStallTimeout(std::chrono::milliseconds timeout) = 0;
  // The send queue is over sendQueueMax: reading has stopped until it drains.
  virtual bool stalled() const = 0;
};

class IoLoop {
 public:
  using TimerId = std::uint64_t;

  virtual ~IoLoop() = default;
  // Runs `task` on the loop thread. Safe from any thread.
  virtual void post(std::function<void()> task) = 0;
  // Loop thread only, like everything below.
  virtual TimerId schedule(std::chrono::milliseconds delay, std::function<void()> task) = 0;
  virtual void cancel(TimerId id) = 0;
  // Runs `hook` each time the loop has run every task that was ready, before
  // it waits again: what the tasks of one burst produced can go on together.
  virtual void setIdleHook(std::function<void()> hook) = 0;
  virtual std::unique_ptr<WebSocket> open(const WebSocketRequest& request, WebSocketCallbacks callbacks) = 0;
  // Stops the loop; pending tasks are dropped. From another thread it joins the
  // loop's thread; from one of the loop's own tasks it lets the thread end once
  // the task returns (the loop object may be destroyed meanwhile).
  virtual void stop() = 0;
  virtual bool onLoopThread() const = 0;
};

std::unique_ptr<IoLoop> makeIoLoop();

}  // namespace sio
