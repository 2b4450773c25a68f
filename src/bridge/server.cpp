#include "bridge/server.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <span>
#include <thread>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "bridge/io_pool.h"
#include "bridge/output.h"

namespace bridge {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kChunkSize = 4096;
// A request's buffer starts this large and doubles, never beyond its frame.
constexpr std::size_t kFirstBuffer = 2 * kChunkSize;
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

// The server whose delegate the current thread is running, so that a stop() from
// inside the delegate does not wait for itself.
thread_local const void* t_inDelegateOf = nullptr;

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

// The bytes of a request that spans chunks. A small one lives on the heap; from
// kMappedBuffer on, in pages of its own, so that its memory goes back to the system the moment the request is done (the
// heap would keep it for later, in the arena of whichever thread freed it).
class RequestBuffer {
 public:
  static constexpr std::size_t kMappedBuffer = std::size_t{64} * 1024;

  RequestBuffer() = default;
  ~RequestBuffer() { reset(); }
  RequestBuffer(const RequestBuffer&) = delete;
  RequestBuffer& operator=(const RequestBuffer&) = delete;

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

  // The capacity that reserve() gives for a wish of `bytes`: whole pages once mapped.
  static std::size_t capacityFor(std::size_t bytes) {
    if (bytes < kMappedBuffer) return bytes;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
  }

  // Grows the storage to capacityFor(bytes), keeping the bytes held. Throws
  // std::bad_alloc when the memory cannot be had; the bytes are then kept as they were.
  void reserve(std::size_t bytes) {
    const std::size_t capacity = capacityFor(bytes);
    if (capacity <= capacity_) return;
    if (capacity < kMappedBuffer) {
      auto* grown = new std::uint8_t[capacity];
      if (size_ > 0) std::memcpy(grown, data_, size_);
      delete[] data_;
      data_ = grown;
    } else {
      void* grown = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (grown == MAP_FAILED) throw std::bad_alloc();
      if (size_ > 0) std::memcpy(grown, data_, size_);
      releaseStorage();
      data_ = static_cast<std::uint8_t*>(grown);
      mapped_ = true;
    }
    capacity_ = capacity;
  }

  // Appends within the capacity.
  void append(std::span<const std::uint8_t> chunk) {
    std::memcpy(data_ + size_, chunk.data(), chunk.size());
    size_ += chunk.size();
  }

  void reset() {
    releaseStorage();
    data_ = nullptr;
    size_ = capacity_ = 0;
    mapped_ = false;
  }

 private:
  void releaseStorage() {
    if (mapped_) {
      ::munmap(data_, capacity_);
    } else {
      delete[] data_;
    }
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};

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

}  // namespace

struct PBServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::uint16_t port_, Delegate delegate_, std::string bindHost_, ServerLimits limits_)
      : port(port_), delegate(std::move(delegate_)), bindHost(std::move(bindHost_)), limits(limits_) {}

  std::expected<void, PBError> start(std::shared_ptr<CallbackQueue> givenQueue);
  // Stops the server (only the start() of that generation, when one is given); true
  // when this call stopped it.
  bool stop(std::optional<std::uint64_t> onlyGeneration = std::nullopt);
  error_code listen(tcp::acceptor& acceptor) const;
  void spawnAcceptThread(const std::shared_ptr<Listener>& listener, std::uint64_t gen);
  void acceptLoop(const std::shared_ptr<Listener>& listener, std::uint64_t gen);
  bool waitForPlace(const Listener& l, std::uint64_t gen);
  void admit(const Listener& l, std::uint64_t gen, int fd, tcp protocol);
  std::shared_ptr<ServerConn> takeOldestWaitingLocked();
  bool hasWaitingLocked() const;
  std::shared_ptr<ServerConn> addSessionLocked(int fd, tcp protocol, std::uint64_t gen);
  std::shared_ptr<ServerConn> newConnection(int fd, tcp protocol, std::uint64_t gen);
  void listenerFailed(std::uint64_t gen, const std::string& text);
  void removeSession(std::uint64_t id);
  // Adds to the bytes held for requests; refused (false) when the total would pass
  // the budget, unless `always` (a connection's first bytes).
  bool chargeRequestBytes(std::size_t bytes, bool always);
  void refundRequestBytes(std::size_t bytes) { heldRequestBytes.fetch_sub(bytes, std::memory_order_relaxed); }

  const std::uint16_t port;
  Delegate delegate;
  const std::string bindHost;
  const ServerLimits limits;

  mutable std::mutex mutex;
  std::condition_variable delegatesIdle;
  std::condition_variable placeFreed;  // a session left, or the server stopped
  std::size_t maxOpen = 0;  // of this start(): the limit, within the descriptors
  std::size_t pending = 0;  // given a place, not yet in sessions
  bool started = false;
  std::uint64_t generation = 0;  // one per start(); callbacks of an older one are void
  std::shared_ptr<Listener> listener;
  std::shared_ptr<CallbackQueue> queue;  // null: listener callbacks run on the accepting thread
  std::optional<std::uint16_t> localPort;
  std::map<std::uint64_t, std::shared_ptr<ServerConn>> sessions;  // by acceptance order
  std::uint64_t nextSessionId = 0;
  std::size_t activeDelegates = 0;
  std::atomic<std::size_t> heldRequestBytes{0};  // of every start(), against limits.requestBudget
};

// One accepted connection. Its callbacks run on the thread that accepted it or on
// threads of the shared pool, one at a time.
class ServerConn : public std::enable_shared_from_this<ServerConn> {
 public:
  // Where the connection is in its one exchange. Moves forward only; the step out of
  // waiting is taken once, by the request, a deadline or an eviction.
  enum class Phase { waiting, handling, responding, closed };

  ServerConn(int fd, tcp protocol, std::shared_ptr<PBServer::Impl> server, std::uint64_t id, std::uint64_t gen)
      : fd_(fd),
        protocol_(protocol),
        server_(std::move(server)),
        id_(id),
        gen_(gen),
        acceptedAt_(Clock::now()),
        requestDeadline_(acceptedAt_ + server_->limits.requestDeadline) {}
  // A timer's cancel throws only when the system fails it; ending the program then is right.
  ~ServerConn() {  // NOLINT(bugprone-exception-escape)
    closeSocket();
    releaseBuffer();
  }
  ServerConn(const ServerConn&) = delete;
  ServerConn& operator=(const ServerConn&) = delete;

  // An accepted connection is ready at once: start reading the request. With an
  // inline budget the calling thread waits that long for the request's bytes itself
  // before it leaves the connection to the pool.
  void start(Clock::duration inlineBudget) {
    inlineUntil_ = acceptedAt_ + inlineBudget;
    receiveRequest();
  }

  // Writes the line and closes, unless the connection is closed already: one
  // connection ends once, with at most one line.
  void fail(std::string_view text) {
    if (stopped_.exchange(true)) return;
    printLine("Server error: ", text);
    close();
  }

  // Closes the connection once, however often and from whichever thread it is
  // called, and drops it from the server's sessions.
  void stop() {
    if (stopped_.exchange(true)) return;
    close();
  }

  bool waitingForRequest() const { return phase_ == Phase::waiting; }

  // Takes a connection that is still waiting for its request out of its exchange, so
  // that it can be closed to make room; false once the request is in.
  bool claimForEviction() { return advance(Phase::waiting, Phase::closed); }

 private:
  bool advance(Phase from, Phase to) { return phase_.compare_exchange_strong(from, to); }

  void close() {
    phase_ = Phase::closed;
    server_->removeSession(id_);
    std::lock_guard lock(socketMutex_);
    closeSocket();
  }

  // The connection's descriptor is used with plain calls that do not block (but for
  // the inline wait's receive, bounded by SO_RCVTIMEO); an Asio socket is made for it
  // only when the connection has to wait on the pool, so a connection served at once
  // never touches the pool's reactor.
  std::size_t readSome(std::span<std::uint8_t> into, bool mayWait, error_code& ec) {
    for (;;) {
      const ssize_t n = ::recv(fd_, into.data(), into.size(), mayWait ? 0 : MSG_DONTWAIT);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n == 0) {
        ec = asio::error::eof;
      } else if (errno == EINTR) {
        continue;
      } else {
        ec = error_code(errno == EWOULDBLOCK ? EAGAIN : errno, boost::system::system_category());
      }
      return 0;
    }
  }

  std::size_t writeSome(std::span<const std::uint8_t> bytes, error_code& ec) {
    for (;;) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_MORE | MSG_DONTWAIT);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      ec = error_code(errno == EWOULDBLOCK ? EAGAIN : errno, boost::system::system_category());
      return 0;
    }
  }

  // Waits on the pool for the socket, within the deadline of the phase it waits in.
  // Called with socketMutex_ held.
  template <typename Handler>
  void waitFor(tcp::socket::wait_type what, Phase phase, Clock::time_point deadline, Handler handler) {
    auto& context = detail::IoPool::global().context();
    if (!socket_) {
      socket_.emplace(context);
      error_code ec;
      socket_->assign(protocol_, fd_, ec);
      if (ec) {
        socket_.reset();
        asio::post(context, [handler = std::move(handler), ec] { handler(ec); });
        return;
      }
    }
    if (timedPhase_ != phase) {
      timedPhase_ = phase;
      if (!timer_) timer_.emplace(context);
      timer_->expires_at(deadline);
      timer_->async_wait([self = shared_from_this(), phase](const error_code& e) {
        if (e || !self->advance(phase, Phase::closed)) return;
        self->fail(phase == Phase::waiting ? kServerRequestTimedOut : kServerResponseTimedOut);
      });
    }
    socket_->async_wait(what, std::move(handler));
  }

  // Makes the receives that may wait block for at most what is left of the inline
  // budget: the cheapest way to be woken by the request's bytes. Done only once the
  // socket has turned out empty, so that a request that is there at once costs no
  // extra call. False when there is no budget left.
  bool armInlineWait() {
    if (inlineWaitArmed_) return false;
    inlineWaitArmed_ = true;
    const auto left = std::chrono::ceil<std::chrono::microseconds>(inlineUntil_ - Clock::now()).count();
    if (left <= 0) return false;
    const timeval limit{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
  }

  void closeSocket() {
    if (timer_) timer_->cancel();
    if (fd_ < 0) return;
    if (socket_) {
      error_code ignored;
      socket_->close(ignored);
    } else {
      ::close(fd_);
    }
    fd_ = -1;
  }

  // Reads what the socket holds now, waiting for it within the inline budget; with
  // nothing there then, waits for readability on the pool. Memory that runs out
  // while the request is read (its bytes, its JSON) closes this connection only.
  void receiveRequest() {
    bool waiting = false;
    try {
      waiting = receiveLoop();
    } catch (const std::bad_alloc&) {
      fail(kServerTooLarge);
    } catch (const std::exception& e) {
      fail(e.what());
    }
    // Done with the request, one way or the other: its bytes go back to the budget
    // now, not when the last callback lets go of the connection.
    if (!waiting) releaseBuffer();
  }

  // True when a wait for more bytes is outstanding (it owns buffer_ from then on).
  bool receiveLoop() {
    std::array<std::uint8_t, kChunkSize> chunk;  // NOLINT: filled by recv before use
    for (;;) {
      error_code ec;
      std::size_t n = 0;
      {
        std::lock_guard lock(socketMutex_);
        if (stopped_) return false;
        n = readSome(chunk, inlineWaitArmed_ && Clock::now() < inlineUntil_, ec);
        if (ec == boost::system::errc::resource_unavailable_try_again) {
          if (armInlineWait()) continue;
          waitFor(tcp::socket::wait_read, Phase::waiting, requestDeadline_,
                  [self = shared_from_this()](const error_code& e) {
                    if (self->stopped_) return self->releaseBuffer();
                    if (e) {
                      self->fail(e.message());
                      return self->releaseBuffer();
                    }
                    self->receiveRequest();
                  });
          return true;
        }
      }
      if (!received(ec, std::span(chunk.data(), n))) return false;
    }
  }

  // Takes one chunk; true when the next chunk is wanted (the bytes so far are then
  // in buffer_).
  bool received(const error_code& ec, std::span<const std::uint8_t> chunk) {
    if (stopped_) return false;
    const bool ended = ec == asio::error::eof;
    if (ec && !ended) {
      fail(ec.message());
      return false;
    }
    if (chunk.empty()) {
      // The stream ended. Bytes of an unfinished request make it an incomplete one;
      // no bytes at all, an empty receive.
      const bool hadBytes = buffer_.size() > 0;
      fail(hadBytes ? kServerIncomplete : kServerEmpty);
      return false;
    }
    // The buffer grows with what arrives, never by what the header announces. A first
    // chunk that holds the whole request is read where it lies.
    std::span<const std::uint8_t> bytes = chunk;
    if (buffer_.size() > 0) {
      if (!append(chunk)) return false;
      bytes = buffer_.bytes();
    }
    switch (Protocol::frameState(bytes)) {
      case FrameState::invalidHeader:
        fail(kServerMalformed);
        return false;
      case FrameState::tooLarge:
        fail(kServerTooLarge);
        return false;
      case FrameState::incomplete:
        if (ended) {
          fail(kServerIncomplete);
          return false;
        }
        return buffer_.size() > 0 || append(chunk);
      case FrameState::complete:
        break;
    }
    // The whole request is in: from here on no deadline or eviction for the request
    // applies. Lost to one of them already: it closes the connection.
    if (!advance(Phase::waiting, Phase::handling)) return false;
    // Answer as soon as a whole request is in, whether or not the client's side ended.
    // A whole frame whose body is no request can never become one: end at once, with
    // the text a receiver gives a request it could not read.
    auto request = Protocol::readRequest(bytes);
    releaseBuffer();
    if (request) {
      sendResponse(request->method, request->payload);
    } else {
      fail(kServerIncomplete);
    }
    return false;
  }

  // Appends a chunk to buffer_. Growth is charged to the server's budget before it is
  // allocated, and the old storage refunded once replaced, so that the budget never
  // counts less than is held. False, with the connection failed, when the budget or
  // the memory refuses.
  bool append(std::span<const std::uint8_t> chunk) {
    const std::size_t needed = buffer_.size() + chunk.size();
    if (needed > buffer_.capacity()) {
      // Double, but never beyond the frame the header announces (or can announce).
      std::size_t frame = Protocol::HEADER_LENGTH + Protocol::MAX_BODY_LENGTH;
      if (buffer_.size() >= Protocol::HEADER_LENGTH) {
        frame = Protocol::HEADER_LENGTH +
                std::min<std::size_t>(Protocol::announcedLength(buffer_.bytes()), Protocol::MAX_BODY_LENGTH);
      }
      const std::size_t target =
          RequestBuffer::capacityFor(std::max(needed, std::min(std::max(2 * buffer_.capacity(), kFirstBuffer), frame)));
      if (!server_->chargeRequestBytes(target, target <= kRequestBytesAlwaysAllowed)) {
        fail(kServerTooLarge);
        return false;
      }
      try {
        buffer_.reserve(target);
      } catch (const std::bad_alloc&) {
        server_->refundRequestBytes(target);
        fail(kServerTooLarge);
        return false;
      }
      server_->refundRequestBytes(std::exchange(charged_, target));
    }
    buffer_.append(chunk);
    return true;
  }

  // Frees the request's bytes and gives them back to the budget. On the connection's
  // own thread, or once no callback of it is left.
  void releaseBuffer() {
    buffer_.reset();
    server_->refundRequestBytes(std::exchange(charged_, 0));
  }

  void sendResponse(const std::string& method, const Json& payload) {
    auto& server = *server_;
    {
      std::lock_guard lock(server.mutex);
      if (!server.started || stopped_) return;
      ++server.activeDelegates;
    }
    std::optional<std::expected<Json, std::string>> outcome;
    {
      const void* outer = t_inDelegateOf;
      t_inDelegateOf = &server;
      detail::IoPool::BlockingScope blocking;
      // Even the text of an error can fail to be allocated: the call is then over all
      // the same, with no response.
      try {
        try {
          if (server.delegate) {
            outcome = server.delegate(method, payload);
          } else {
            outcome = std::unexpected(std::string("No request handler"));
          }
        } catch (const std::exception& e) {
          outcome = std::unexpected(std::string(e.what()));
        } catch (...) {
          outcome = std::unexpected(std::string("Unknown error"));
        }
      } catch (const std::bad_alloc&) {
        outcome.reset();
      }
      t_inDelegateOf = outer;
    }
    bool serverStopped = false;
    {
      std::lock_guard lock(server.mutex);
      if (--server.activeDelegates == 0) server.delegatesIdle.notify_all();
      serverStopped = !server.started || server.generation != gen_;
    }
    // The server stopped while the delegate ran: no response goes out.
    if (serverStopped) return stop();
    if (stopped_) return;
    if (!outcome) return fail(kServerTooLarge);

    try {
      response_ = *outcome ? Protocol::writeGoodResponse(**outcome) : Protocol::writeBadResponse(outcome->error());
      if (response_.size() - Protocol::HEADER_LENGTH > Protocol::MAX_BODY_LENGTH) {
        response_ = Protocol::writeBadResponse(kServerResponseTooLarge);
      }
    } catch (const std::exception& e) {
      return fail(e.what());
    }
    if (!advance(Phase::handling, Phase::responding)) return;
    writeResponse(0);
  }

  // The response is the whole of our direction of the stream: write it (waiting for
  // writability on the pool only when the socket is full), end the stream and
  // close. Writes say MSG_MORE, so that the response's end goes out with the end of
  // stream in one segment. A failed send closes the connection all the same. The
  // response's deadline runs from the first write that could not go through, right
  // after the response was ready.
  void writeResponse(std::size_t offset) {
    try {
      std::lock_guard lock(socketMutex_);
      while (!stopped_ && offset < response_.size()) {
        error_code ec;
        const std::size_t n = writeSome(std::span<const std::uint8_t>(response_).subspan(offset), ec);
        if (ec == boost::system::errc::resource_unavailable_try_again) {
          if (timedPhase_ != Phase::responding) responseDeadline_ = Clock::now() + server_->limits.responseDeadline;
          waitFor(tcp::socket::wait_write, Phase::responding, responseDeadline_,
                  [self = shared_from_this(), offset](const error_code& e) {
                    if (e) return self->stop();
                    self->writeResponse(offset);
                  });
          return;
        }
        if (ec) break;
        offset += n;
      }
      if (!stopped_) ::shutdown(fd_, SHUT_WR);
    } catch (const std::exception&) {
      // No memory to wait for the peer with: the response is given up, as a failed send.
    }
    stop();
  }

  // One operation of this connection is outstanding at a time, so its callbacks never
  // overlap; the mutex orders them against a stop() from another thread.
  std::mutex socketMutex_;
  int fd_;
  const tcp protocol_;
  std::optional<tcp::socket> socket_;
  std::optional<asio::steady_timer> timer_;  // the deadline of the phase waited in
  Phase timedPhase_ = Phase::closed;  // the phase timer_ was set for; closed: none
  std::shared_ptr<PBServer::Impl> server_;
  const std::uint64_t id_;
  const std::uint64_t gen_;  // the server's start() that accepted it
  std::atomic<bool> stopped_{false};
  std::atomic<Phase> phase_{Phase::waiting};
  const Clock::time_point acceptedAt_;
  const Clock::time_point requestDeadline_;
  Clock::time_point responseDeadline_{};
  Clock::time_point inlineUntil_{};
  bool inlineWaitArmed_ = false;
  RequestBuffer buffer_;  // the request's bytes so far, once they span chunks
  std::size_t charged_ = 0;  // buffer_'s capacity, charged to the server's budget
  Data response_;  // set once, before the first write
};

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

bool PBServer::Impl::stop(std::optional<std::uint64_t> onlyGeneration) {
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
  if (t_inDelegateOf == this) return true;
  std::unique_lock lock(mutex);
  delegatesIdle.wait(lock, [this] { return activeDelegates == 0; });
  return true;
}

bool PBServer::Impl::chargeRequestBytes(std::size_t bytes, bool always) {
  std::size_t held = heldRequestBytes.load(std::memory_order_relaxed);
  do {
    if (!always && (bytes > limits.requestBudget || held > limits.requestBudget - bytes)) return false;
  } while (!heldRequestBytes.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
  return true;
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
  const int fd = l->acceptor.native_handle();
  const tcp protocol = l->protocol;
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
    const int accepted_fd = l->closing ? -1 : ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    const int error = errno;
    bool lastIdle = false;
    {
      std::lock_guard lock(l->mutex);
      lastIdle = --l->idle == 0;
    }
    if (l->closing) {
      if (accepted_fd >= 0) ::close(accepted_fd);
      break;
    }
    if (accepted_fd < 0) {
      const auto failure = classify(error);
      if (failure == AcceptFailure::fatal) {
        listenerFailed(gen, describe(error));
        break;
      }
      if (failure == AcceptFailure::retryLater) {
        std::unique_lock lock(l->mutex);
        l->wake.wait_for(lock, kAcceptRetryDelay, [&] { return l->closing.load(); });
      }
      continue;
    }
    // Keep one thread waiting in accept() while this one serves the connection.
    if (lastIdle) spawnAcceptThread(l, gen);
    admit(*l, gen, accepted_fd, protocol);
  }
  std::lock_guard lock(l->mutex);
  --l->threads;
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
  // The owner's queue records the connection; serving it goes to the pool.
  try {
    target->async([self = shared_from_this(), fd, protocol, gen] {
      auto queued = self->newConnection(fd, protocol, gen);
      if (!queued) return;
      try {
        asio::post(detail::IoPool::global().context(), [queued] { queued->start(Clock::duration::zero()); });
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
// thread that stops this start() of the server does so.
void PBServer::Impl::listenerFailed(std::uint64_t gen, const std::string& text) {
  if (!stop(gen)) return;
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

PBServer::PBServer(std::uint16_t port, Delegate delegate, std::string bindHost, ServerLimits limits)
    : impl_(std::make_shared<Impl>(port, std::move(delegate), std::move(bindHost), limits)) {}

// A lock or a thread's join throws only when the system fails it; ending the program then is right.
PBServer::~PBServer() {  // NOLINT(bugprone-exception-escape)
  impl_->stop();
  // Once no delegate call runs, release what the delegate holds now rather than
  // whenever the last pending callback lets go of the server's state.
  if (t_inDelegateOf != impl_.get()) {
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

std::size_t PBServer::requestBytesHeld() const { return impl_->heldRequestBytes.load(std::memory_order_relaxed); }

}  // namespace bridge
