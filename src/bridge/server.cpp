// The server: its listening socket, the threads that accept on it, the places and the
// sessions, start and stop. One connection's exchange is in server_conn.cpp.
#include "bridge/server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <thread>
#include <utility>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

#include "bridge/output.h"
#include "bridge/pool_threads.h"
#include "bridge/server_conn.h"
#include "bridge/server_impl.h"

namespace bridge {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Threads waiting in accept() at start; more join while all of them are busy. The
// kernel wakes the one that has waited longest; with this many, that one last ran long
// enough ago for its processor to be idle more often than not, so it runs at once
// instead of queueing behind the thread that has just served (about 5 % off a request
// on one connection at a time, against 8 threads).
constexpr std::size_t kInitialAcceptThreads = 16;
constexpr std::size_t kMaxAcceptThreads = 256;
// How long the accepting thread waits for a request's bytes itself before it leaves
// the connection to the pool and goes back to accepting.
constexpr auto kInlineReadBudget = std::chrono::milliseconds(2);
// The accepting thread waits itself only while few connections are open: a crowd of
// peers that send nothing must not hold the accepting threads.
constexpr std::size_t kInlineReadMaxOpen = 16;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

enum class AcceptFailure { retryNow, retryLater, fatal };

AcceptFailure classify(int error) {
  switch (error) {
    case EBADF:
    case EINVAL:
    case ENOTSOCK:
    case EFAULT:
      // The socket is gone or no longer listens.
      return AcceptFailure::fatal;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptFailure::retryLater;
    default:
      // The connection went away before it was accepted (ECONNABORTED, or a network
      // error of the new connection that Linux reports here, EOPNOTSUPP among them),
      // a firewall's refusal or a signal: go on.
      return AcceptFailure::retryNow;
  }
}

std::string describe(int error) {
  try {
    return error_code(error, boost::system::system_category()).message();
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace

namespace detail {

// The listening socket and the threads that accept on it. Accepting threads block
// in accept(); the kernel hands each new connection to one of them. A thread that
// takes a connection serves it while the others keep accepting.
struct Listener {
  // The acceptor's own context is never run: the accept threads block in accept()
  // themselves, so the listening socket stays out of the pool's reactor, whose
  // threads would otherwise wake for every incoming connection.
  asio::io_context idleContext{1};
  tcp::acceptor acceptor{idleContext};
  tcp protocol = tcp::v4();  // of the bound address, for the accepted sockets
  std::atomic<bool> closing{false};
  std::mutex mutex;
  std::condition_variable wake;  // ends a retry pause at once when closing
  std::size_t threads = 0;
  std::size_t idle = 0;

  // Stops every accept thread and refuses new connections from now on.
  void close() {
    closing = true;
    {
      std::lock_guard lock(mutex);
      wake.notify_all();
    }
    // shutdown() of a listening socket wakes the threads blocked in accept() and
    // takes the port out of listening; the descriptor closes with the last thread.
    ::shutdown(acceptor.native_handle(), SHUT_RDWR);
  }
};

}  // namespace detail

using detail::Listener;

error_code PBServer::Impl::listen(tcp::acceptor& acc) const {
  auto attempt = [&acc](const tcp::endpoint& endpoint, bool dualStack) {
    error_code ec;
    acc.open(endpoint.protocol(), ec);
    if (ec) return ec;
    acc.set_option(tcp::acceptor::reuse_address(true), ec);
    if (dualStack) acc.set_option(asio::ip::v6_only(false), ec);
    ec = {};
    acc.bind(endpoint, ec);
    if (!ec) acc.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      error_code ignored;
      acc.close(ignored);
    }
    return ec;
  };
  if (!bindHost.empty()) {
    error_code ec;
    const auto address = asio::ip::make_address(bindHost, ec);
    if (ec) return ec;
    return attempt(tcp::endpoint(address, port), false);
  }
  error_code ec = attempt(tcp::endpoint(tcp::v6(), port), true);
  if (ec == asio::error::address_family_not_supported || ec == boost::system::errc::address_not_available) {
    ec = attempt(tcp::endpoint(tcp::v4(), port), false);
  }
  return ec;
}

std::expected<void, PBError> PBServer::Impl::start(std::shared_ptr<CallbackQueue> givenQueue) {
  std::shared_ptr<Listener> fresh;
  std::uint64_t gen = 0;
  {
    std::lock_guard lock(mutex);
    if (started) return std::unexpected(PBError::serverError("Server already started"));
    fresh = std::make_shared<Listener>();
    if (const error_code ec = listen(fresh->acceptor)) {
      printLine("Server error: ", ec.message());
      return std::unexpected(PBError::serverError(ec.message()));
    }
    error_code ec;
    const auto endpoint = fresh->acceptor.local_endpoint(ec);
    localPort = ec ? std::optional<std::uint16_t>() : endpoint.port();
    fresh->protocol = endpoint.protocol();
    started = true;
    gen = ++generation;
    listener = fresh;
    queue = std::move(givenQueue);
    pending = 0;
    // Half the descriptors at most, so that a crowd of peers cannot take the ones the
    // rest of the process needs.
    maxOpen = std::max<std::size_t>(1, limits.maxConnections);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
      maxOpen = std::min<std::size_t>(maxOpen, std::max<std::size_t>(1, files.rlim_cur / 2));
    }
  }
  for (std::size_t i = 0; i < kInitialAcceptThreads; ++i) spawnAcceptThread(fresh, gen);
  return {};
}

void PBServer::Impl::stop() {
  if (halt()) waitForDelegates();
}

bool PBServer::Impl::halt(std::optional<std::uint64_t> onlyGeneration) {
  std::shared_ptr<Listener> closing;
  std::map<std::uint64_t, std::shared_ptr<ServerConn>> open;
  {
    std::lock_guard lock(mutex);
    if (!started || (onlyGeneration && *onlyGeneration != generation)) return false;
    started = false;
    ++generation;
    closing = std::move(listener);
    open.swap(sessions);
    queue.reset();
    localPort.reset();
  }
  // Closed before stop() returns: a connect after it is refused instead of landing
  // in a backlog that nobody accepts from.
  closing->close();
  {
    std::lock_guard lock(mutex);
    placeFreed.notify_all();
  }
  for (auto& [id, conn] : open) conn->stop();
  return true;
}

void PBServer::Impl::waitForDelegates() {
  if (detail::t_inDelegateOf == this) return;
  std::unique_lock lock(mutex);
  delegatesIdle.wait(lock, [this] { return activeDelegates == 0; });
}

bool PBServer::Impl::chargeRequestBytes(std::size_t bytes, bool always) {
  std::size_t held = heldBytes.load(std::memory_order_relaxed);
  do {
    if (!always && (bytes > limits.requestBudget || held > limits.requestBudget - bytes)) return false;
  } while (!heldBytes.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
  return true;
}

void PBServer::Impl::chargeResponseBytes(std::size_t bytes) {
  heldResponseBytes.fetch_add(bytes, std::memory_order_relaxed);
  heldBytes.fetch_add(bytes, std::memory_order_relaxed);
}

void PBServer::Impl::refundResponseBytes(std::size_t bytes) {
  heldBytes.fetch_sub(bytes, std::memory_order_relaxed);
  heldResponseBytes.fetch_sub(bytes, std::memory_order_relaxed);
}

void PBServer::Impl::spawnAcceptThread(const std::shared_ptr<Listener>& l, std::uint64_t gen) {
  {
    std::lock_guard lock(l->mutex);
    if (l->closing || l->threads >= kMaxAcceptThreads) return;
    ++l->threads;
  }
  try {
    std::thread([self = shared_from_this(), l, gen] { self->acceptLoop(l, gen); }).detach();
  } catch (const std::exception&) {
    // No thread to be had now: the threads already there go on accepting.
    std::lock_guard lock(l->mutex);
    --l->threads;
  }
}

void PBServer::Impl::acceptLoop(const std::shared_ptr<Listener>& l, std::uint64_t gen) {
  for (;;) {
    // With every place taken by connections that are not waiting for their request,
    // new connections stay in the listen backlog.
    if (!waitForPlace(*l, gen)) break;
    {
      std::lock_guard lock(l->mutex);
      // Threads added while the others were busy leave once enough wait again.
      if (l->idle >= kInitialAcceptThreads && l->threads > kInitialAcceptThreads) break;
      ++l->idle;
    }
    if (!acceptOne(l, gen)) break;
  }
  std::lock_guard lock(l->mutex);
  --l->threads;
}

bool PBServer::Impl::acceptOne(const std::shared_ptr<Listener>& l, std::uint64_t gen) {
  const int accepted_fd = l->closing ? -1 : ::accept4(l->acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
  const int error = errno;
  bool lastIdle = false;
  {
    std::lock_guard lock(l->mutex);
    lastIdle = --l->idle == 0;
  }
  if (l->closing) {
    if (accepted_fd >= 0) ::close(accepted_fd);
    return false;
  }
  if (accepted_fd < 0) {
    const auto failure = classify(error);
    if (failure == AcceptFailure::fatal) {
      listenerFailed(gen, describe(error));
      return false;
    }
    if (failure == AcceptFailure::retryLater) {
      std::unique_lock lock(l->mutex);
      l->wake.wait_for(lock, kAcceptRetryDelay, [&] { return l->closing.load(); });
    }
    return true;
  }
  // Keep one thread waiting in accept() while this one serves the connection.
  if (lastIdle) spawnAcceptThread(l, gen);
  admit(*l, gen, accepted_fd, l->protocol);
  return true;
}

bool PBServer::Impl::hasWaitingLocked() const {
  for (const auto& [id, conn] : sessions) {
    if (conn->waitingForRequest()) return true;
  }
  return false;
}

// The oldest session still waiting for its request, out of the sessions; null when
// every session is past that.
std::shared_ptr<ServerConn> PBServer::Impl::takeOldestWaitingLocked() {
  for (auto it = sessions.begin(); it != sessions.end(); ++it) {
    if (it->second->claimForEviction()) {
      auto conn = std::move(it->second);
      sessions.erase(it);
      return conn;
    }
  }
  return nullptr;
}

bool PBServer::Impl::waitForPlace(const Listener& l, std::uint64_t gen) {
  std::unique_lock lock(mutex);
  placeFreed.wait(lock, [&] {
    return l.closing || gen != generation || sessions.size() + pending < maxOpen || hasWaitingLocked();
  });
  return !l.closing && gen == generation;
}

// Makes a place for a connection just accepted: a free one, or the one of the oldest
// connection still waiting for its request, which is closed quietly. Waits while
// every place is busy. Takes ownership of the descriptor: it ends up in a session or
// closed. Without a listener queue the session is recorded at once, under the same
// lock, and served on this thread.
void PBServer::Impl::admit(const Listener& l, std::uint64_t gen, int fd, tcp protocol) {
  std::shared_ptr<ServerConn> evicted;
  std::shared_ptr<ServerConn> conn;
  std::shared_ptr<CallbackQueue> target;
  std::size_t open = 0;
  bool owned = false;  // the descriptor is in a session, or closed by the attempt
  try {
    std::unique_lock lock(mutex);
    for (;;) {
      if (l.closing || gen != generation) {
        lock.unlock();
        ::close(fd);
        return;
      }
      if (sessions.size() + pending < maxOpen) break;
      evicted = takeOldestWaitingLocked();
      if (evicted) break;
      placeFreed.wait(lock);
    }
    target = queue;
    if (target) {
      ++pending;
    } else {
      owned = true;
      conn = addSessionLocked(fd, protocol, gen);
    }
    open = sessions.size() + pending;
  } catch (const std::exception&) {
    // No memory for the connection: it is closed, and so is the one it evicted.
    if (!owned) ::close(fd);
    if (evicted) evicted->stop();
    return;
  }
  if (evicted) evicted->stop();
  if (conn) {
    conn->start(open <= kInlineReadMaxOpen ? Clock::duration(kInlineReadBudget) : Clock::duration::zero());
    return;
  }
  serveFromQueue(target, fd, protocol, gen);
}

// The owner's queue records the connection; serving it goes to the pool. Takes
// ownership of the descriptor, which has a place (counted in pending).
void PBServer::Impl::serveFromQueue(const std::shared_ptr<CallbackQueue>& target, int fd, tcp protocol,
                                    std::uint64_t gen) {
  try {
    target->async([self = shared_from_this(), fd, protocol, gen] {
      auto queued = self->newConnection(fd, protocol, gen);
      if (!queued) return;
      try {
        asio::post(self->pool->threads().context(), [queued] { queued->start(Clock::duration::zero()); });
      } catch (const std::exception& e) {
        queued->fail(e.what());
      }
    });
  } catch (const std::exception&) {
    ::close(fd);
    std::lock_guard lock(mutex);
    if (pending > 0) --pending;
    placeFreed.notify_all();
  }
}

// Takes ownership of the descriptor: it ends up in a session or closed.
std::shared_ptr<ServerConn> PBServer::Impl::newConnection(int fd, tcp protocol, std::uint64_t gen) {
  std::lock_guard lock(mutex);
  if (!started || gen != generation) {
    ::close(fd);
    return nullptr;
  }
  if (pending > 0) --pending;
  try {
    return addSessionLocked(fd, protocol, gen);
  } catch (const std::exception&) {
    // No memory for the connection: it is closed, and its place is free again.
    placeFreed.notify_all();
    return nullptr;
  }
}

// Records a session for the descriptor, which it then owns (closed when no memory is
// left for the session, which then throws). Called with the mutex held.
std::shared_ptr<ServerConn> PBServer::Impl::addSessionLocked(int fd, tcp protocol, std::uint64_t gen) {
  const std::uint64_t id = nextSessionId++;
  std::shared_ptr<ServerConn> conn;
  try {
    conn = std::make_shared<ServerConn>(fd, protocol, shared_from_this(), id, gen);
  } catch (...) {
    ::close(fd);
    throw;
  }
  sessions.emplace(id, conn);  // when this throws, conn closes the descriptor
  // A new session waiting for its request can make room for the next connection.
  placeFreed.notify_all();
  return conn;
}

// The listener cannot go on: stop the server, say why and end the process. Only the
// thread that stops this start() of the server does so. Delegate calls in progress
// are not waited for: their connections are closed already, and a call that never
// returns must not keep the process alive with a dead listener.
void PBServer::Impl::listenerFailed(std::uint64_t gen, const std::string& text) {
  if (!halt(gen)) return;
  printLine("Server error: ", text);
  // The owner's threads still run: end without running static destructors under them,
  // once every stream is flushed.
  std::fflush(nullptr);
  std::_Exit(1);
}

void PBServer::Impl::removeSession(std::uint64_t id) {
  std::lock_guard lock(mutex);
  if (sessions.erase(id) > 0) placeFreed.notify_all();
}

PBServer::PBServer(std::uint16_t port, Delegate delegate, std::string bindHost, ServerLimits limits,
                   std::shared_ptr<IoPool> pool)
    : impl_(std::make_shared<Impl>(port, std::move(delegate), std::move(bindHost), limits,
                                   pool ? std::move(pool) : std::make_shared<IoPool>())) {}

// A lock or a thread's join throws only when the system fails it; ending the program then is right.
PBServer::~PBServer() {  // NOLINT(bugprone-exception-escape)
  impl_->stop();
  // Once no delegate call runs, release what the delegate holds now rather than
  // whenever the last pending callback lets go of the server's state.
  if (detail::t_inDelegateOf != impl_.get()) {
    std::lock_guard lock(impl_->mutex);
    impl_->delegate = nullptr;
  }
}

std::uint16_t PBServer::port() const { return impl_->port; }

std::optional<std::uint16_t> PBServer::localPort() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->localPort;
}

bool PBServer::isStarted() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->started;
}

std::expected<void, PBError> PBServer::start(std::shared_ptr<CallbackQueue> queue) {
  try {
    return impl_->start(std::move(queue));
  } catch (const std::exception& e) {
    return std::unexpected(PBError::serverError(e.what()));
  }
}

void PBServer::stop() { impl_->stop(); }

std::size_t PBServer::sessionCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->sessions.size();
}

std::size_t PBServer::bytesHeld() const { return impl_->heldBytes.load(std::memory_order_relaxed); }

}  // namespace bridge
