#pragma once
// The bridge server: listens on a TCP port and answers each accepted connection
// with at most one response.
//
//   auto pool = std::make_shared<bridge::IoPool>();   // built once, beside the servers
//   bridge::PBServer server(port, [](const std::string& method, const bridge::Json& payload)
//       -> std::expected<bridge::Json, std::string> { ... }, "127.0.0.1", {}, pool);
//   if (auto started = server.start(); !started) log(started.error().text());
//   ...
//   server.stop();
//
// Per connection: read one request, call the delegate with its method and payload on
// one of the server's threads (the thread that accepted the connection, or a thread
// of the server's IoPool when the request was slow to come), send a good response with
// the delegate's value or a bad response with its error text, close. Failures of a
// connection are written to standard output as "Server error: <text>" and close that
// connection only. A request is read into a buffer that grows with the bytes that
// arrive, whatever length its header announces; see ServerLimits for deadlines, the
// number of connections served at once and the bytes held for requests and responses.
// Accept errors that pass (a full descriptor table, a shortage of memory, a connection
// gone before it was taken) are retried; a listener that has failed for good (its socket
// no longer listens) stops the server, writes "Server error: <text>" and ends the
// process with status 1 at once, without waiting for delegate calls in progress (their
// connections are closed already).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/protocol.h"
#include "bridge/queue.h"

namespace bridge {

// Texts of the server's own connection failures.
inline constexpr std::string_view kServerIncomplete = "Warning: Incomplete message received despite Complete flag";
inline constexpr std::string_view kServerEmpty = "Warning: no errors but receive is empty";
inline constexpr std::string_view kServerMalformed = "Warning: Malformed message received";
inline constexpr std::string_view kServerTooLarge = "Warning: Message too large";
// A connection that did not deliver its request, or take its response, in time.
inline constexpr std::string_view kServerRequestTimedOut = "Warning: Request timed out";
inline constexpr std::string_view kServerResponseTimedOut = "Warning: Response timed out";
// The bad response sent when the delegate's value is too large to send.
inline constexpr std::string_view kServerResponseTooLarge = "Response too large";

// What keeps a server serving while peers are idle, slow or hostile.
struct ServerLimits {
  // A connection that has not delivered a whole request this long after it was
  // accepted is closed, with the line "Server error: " and kServerRequestTimedOut.
  std::chrono::milliseconds requestDeadline{10000};
  // A response that the peer has not taken in full this long after it was ready is
  // given up and the connection closed, with kServerResponseTimedOut.
  std::chrono::milliseconds responseDeadline{10000};
  // Connections served at once (never more than half the process's descriptor
  // limit). A connection that arrives with every place taken closes the oldest one
  // still waiting for its request, quietly; when every place is held by a handler
  // call or a response, it waits in the listen backlog until one frees.
  std::size_t maxConnections = 512;
  // Bytes held at once, across every connection, for requests still coming in (and
  // through their delegate call) and for responses not yet sent. A connection whose
  // request would take the total past it is closed, with the line "Server error: " and
  // kServerTooLarge; so is a connection whose bytes cannot be allocated, and the rest of
  // the server goes on. Each connection may hold its first kRequestBytesAlwaysAllowed
  // whatever the total, so that small requests are served while large ones fill the
  // budget. A response is charged once it is made, whatever the total (its delegate
  // call is over), and held until it is sent or given up. While the responses held fill
  // the budget on their own, no request is taken: a connection whose request comes
  // whole then is closed, with kServerTooLarge, before its delegate is called. The bound
  // is this, plus kRequestBytesAlwaysAllowed per connection, plus the responses of the
  // delegate calls that were running when the budget filled.
  std::size_t requestBudget = std::size_t{64} * 1024 * 1024;
};

// What one connection may hold for its request whatever the budget's total.
inline constexpr std::size_t kRequestBytesAlwaysAllowed = std::size_t{16} * 1024;

// The request handler. It may be called for several connections at the same time on
// different threads. An error (or a thrown exception, whose what() is used) becomes
// a bad response carrying its text.
using Delegate = std::function<std::expected<Json, std::string>(const std::string& method, const Json& payload)>;

class IoPool;
class ServerConn;

class PBServer {
 public:
  // bindHost empty: every interface (IPv6 and IPv4 where the machine has both);
  // otherwise an address literal such as "127.0.0.1". Port 0 picks a free port. The
  // pool's threads serve the connections that have to wait for their peer; none given:
  // the server builds a pool of its own (see bridge/io_pool.h).
  PBServer(std::uint16_t port, Delegate delegate, std::string bindHost = {}, ServerLimits limits = {},
           std::shared_ptr<IoPool> pool = nullptr);
  // Stops the server and waits for delegate calls in progress to return.
  virtual ~PBServer();  // NOLINT(bugprone-exception-escape): see its definition
  PBServer(const PBServer&) = delete;
  PBServer& operator=(const PBServer&) = delete;

  std::uint16_t port() const;
  // The port actually listened on while started (differs from port() for port 0).
  std::optional<std::uint16_t> localPort() const;

  virtual bool isStarted() const;
  // Binds and starts listening. Listener callbacks (recording each accepted
  // connection) run on the given queue; none given: on the accepting thread. Fails with
  // PBError::serverError when already started or when the port cannot be listened on
  // (the text is also written as "Server error: <text>"). A stopped server can be
  // started again.
  virtual std::expected<void, PBError> start(std::shared_ptr<CallbackQueue> queue = nullptr);
  // Stops listening, closes every open connection and waits for delegate calls in
  // progress (except when called from inside a delegate call of this server), however
  // long they take. Does nothing when not started.
  virtual void stop();

  // Connections accepted and not yet closed.
  std::size_t sessionCount() const;
  // Bytes charged now to ServerLimits::requestBudget: requests still coming in or being
  // handled, and responses not yet sent.
  std::size_t bytesHeld() const;

 private:
  friend class ServerConn;
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace bridge
