#pragma once
// Internal: the state a server shares with its connections. Included by server.cpp and
// server_conn.cpp only (it brings in Asio).
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "bridge/io_pool.h"
#include "bridge/server.h"

namespace bridge {

namespace detail {

struct Listener;

// The server whose delegate the current thread is running, so that a stop() from
// inside the delegate does not wait for itself.
extern thread_local const void* t_inDelegateOf;

}  // namespace detail

struct PBServer::Impl : std::enable_shared_from_this<Impl> {
  using tcp = boost::asio::ip::tcp;

  Impl(std::uint16_t port_, Delegate delegate_, std::string bindHost_, ServerLimits limits_,
       std::shared_ptr<IoPool> pool_)
      : port(port_),
        delegate(std::move(delegate_)),
        bindHost(std::move(bindHost_)),
        limits(limits_),
        pool(std::move(pool_)) {}

  std::expected<void, PBError> start(std::shared_ptr<CallbackQueue> givenQueue);
  // Stops the server and waits for delegate calls in progress (see PBServer::stop).
  void stop();
  // Closes the listener and every open connection, without waiting for delegate calls
  // (only the start() of that generation, when one is given); true when this call
  // stopped the server.
  bool halt(std::optional<std::uint64_t> onlyGeneration = std::nullopt);
  void waitForDelegates();

  boost::system::error_code listen(tcp::acceptor& acceptor) const;
  void spawnAcceptThread(const std::shared_ptr<detail::Listener>& listener, std::uint64_t gen);
  void acceptLoop(const std::shared_ptr<detail::Listener>& listener, std::uint64_t gen);
  // Takes one connection; false when the listener is done (closed, or failed for good).
  bool acceptOne(const std::shared_ptr<detail::Listener>& listener, std::uint64_t gen);
  bool waitForPlace(const detail::Listener& l, std::uint64_t gen);
  void admit(const detail::Listener& l, std::uint64_t gen, int fd, tcp protocol);
  void serveFromQueue(const std::shared_ptr<CallbackQueue>& target, int fd, tcp protocol, std::uint64_t gen);
  std::shared_ptr<ServerConn> takeOldestWaitingLocked();
  bool hasWaitingLocked() const;
  std::shared_ptr<ServerConn> addSessionLocked(int fd, tcp protocol, std::uint64_t gen);
  std::shared_ptr<ServerConn> newConnection(int fd, tcp protocol, std::uint64_t gen);
  void listenerFailed(std::uint64_t gen, const std::string& text);
  void removeSession(std::uint64_t id);

  // The budget of limits.requestBudget, shared by requests still coming in and
  // responses not yet sent. Adds request bytes; refused (false) when the total would
  // pass the budget, unless `always` (a connection's first bytes).
  bool chargeRequestBytes(std::size_t bytes, bool always);
  void refundRequestBytes(std::size_t bytes) { heldBytes.fetch_sub(bytes, std::memory_order_relaxed); }
  // Adds a response that is made: it is charged whatever the total, since its delegate
  // call is over.
  void chargeResponseBytes(std::size_t bytes);
  void refundResponseBytes(std::size_t bytes);
  // While the responses held fill the budget, no request is taken.
  bool responsesFillBudget() const {
    const std::size_t held = heldResponseBytes.load(std::memory_order_relaxed);
    return held > 0 && held >= limits.requestBudget;
  }

  const std::uint16_t port;
  Delegate delegate;
  const std::string bindHost;
  const ServerLimits limits;
  const std::shared_ptr<IoPool> pool;  // never null: the given one, or the server's own

  mutable std::mutex mutex;
  std::condition_variable delegatesIdle;
  std::condition_variable placeFreed;  // a session left, or the server stopped
  std::size_t maxOpen = 0;  // of this start(): the limit, within the descriptors
  std::size_t pending = 0;  // given a place, not yet in sessions
  bool started = false;
  std::uint64_t generation = 0;  // one per start(); callbacks of an older one are void
  std::shared_ptr<detail::Listener> listener;
  std::shared_ptr<CallbackQueue> queue;  // null: listener callbacks run on the accepting thread
  std::optional<std::uint16_t> localPort;
  std::map<std::uint64_t, std::shared_ptr<ServerConn>> sessions;  // by acceptance order
  std::uint64_t nextSessionId = 0;
  std::size_t activeDelegates = 0;
  // Of every start(), against limits.requestBudget: requests and responses together,
  // and the responses alone.
  std::atomic<std::size_t> heldBytes{0};
  std::atomic<std::size_t> heldResponseBytes{0};
};

}  // namespace bridge
