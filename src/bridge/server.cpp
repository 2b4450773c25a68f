#include "bridge/server.h"

#include <array>
#include <condition_variable>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include "bridge/io_pool.h"
#include "bridge/output.h"

namespace bridge {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Strand = asio::strand<asio::io_context::executor_type>;

namespace {

constexpr std::size_t kChunkSize = 4096;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

// The server whose delegate the current thread is running, so that a stop() from
// inside the delegate does not wait for itself.
thread_local const void* t_inDelegateOf = nullptr;

enum class AcceptFailure { retryNow, retryLater, fatal };

AcceptFailure classify(const error_code& ec) {
  if (ec == asio::error::bad_descriptor || ec == asio::error::invalid_argument || ec == asio::error::not_socket ||
      ec == asio::error::operation_not_supported) {
    return AcceptFailure::fatal;
  }
  if (ec == asio::error::connection_aborted || ec == asio::error::interrupted ||
      ec == asio::error::connection_reset) {
    return AcceptFailure::retryNow;
  }
  // Out of descriptors or memory, and whatever else the system reports: wait a
  // moment instead of spinning, then accept again.
  return AcceptFailure::retryLater;
}

}  // namespace

struct PBServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::uint16_t port_, Delegate delegate_, std::string bindHost_)
      : port(port_),
        delegate(std::move(delegate_)),
        bindHost(std::move(bindHost_)),
        listenerStrand(asio::make_strand(detail::IoPool::global().context())) {}

  std::expected<void, PBError> start(std::shared_ptr<CallbackQueue> givenQueue);
  void stop();
  error_code listen(tcp::acceptor& acceptor) const;
  void accept(const std::shared_ptr<tcp::acceptor>& acceptor, std::uint64_t gen);
  void accepted(const std::shared_ptr<tcp::acceptor>& acceptor, std::uint64_t gen, const error_code& ec,
                tcp::socket socket);
  void newConnection(tcp::socket socket, std::uint64_t gen);
  void listenerFailed(std::uint64_t gen, const std::string& text);
  void removeSession(std::uint64_t id);

  const std::uint16_t port;
  Delegate delegate;
  const std::string bindHost;
  Strand listenerStrand;

  mutable std::mutex mutex;
  std::condition_variable delegatesIdle;
  bool started = false;
  std::uint64_t generation = 0;  // one per start(); callbacks of an older one are void
  std::shared_ptr<tcp::acceptor> acceptor;
  std::shared_ptr<CallbackQueue> queue;  // null: the listener's own strand
  std::optional<std::uint16_t> localPort;
  std::map<std::uint64_t, std::shared_ptr<ServerConn>> sessions;  // by acceptance order
  std::uint64_t nextSessionId = 0;
  std::size_t activeDelegates = 0;
};

// One accepted connection. Its callbacks run on its own strand of the shared pool.
class ServerConn : public std::enable_shared_from_this<ServerConn> {
 public:
  ServerConn(tcp::socket socket, std::shared_ptr<PBServer::Impl> server, std::uint64_t id)
      : socket_(std::move(socket)), server_(std::move(server)), id_(id) {}

  // An accepted connection is ready at once: start reading the request.
  void start() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->receiveRequest(std::nullopt); });
  }

  void fail(std::string_view text) {
    printLine("Server error: " + std::string(text));
    stop();
  }

  // Closes the connection once, however often it is called, and drops it from the
  // server's sessions.
  void stop() {
    if (stopped_.exchange(true)) return;
    server_->removeSession(id_);
    asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
      error_code ignored;
      self->socket_.close(ignored);
    });
  }

 private:
  void receiveRequest(std::optional<Data> soFar) {
    buffer_ = std::move(soFar);
    socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](const error_code& ec, std::size_t n) {
      self->received(ec, n);
    });
  }

  void received(const error_code& ec, std::size_t n) {
    if (stopped_) return;
    const bool ended = ec == asio::error::eof;
    if (ec && !ended) return fail(ec.message());
    if (n == 0) {
      const bool hadBytes = buffer_ && !buffer_->empty();
      return fail(hadBytes ? kServerIncomplete : kServerEmpty);
    }
    Data bytes = prefix_data(std::span(chunk_.data(), n), std::move(buffer_));
    switch (Protocol::frameState(bytes)) {
      case FrameState::invalidHeader:
        return fail(kServerMalformed);
      case FrameState::tooLarge:
        return fail(kServerTooLarge);
      case FrameState::incomplete:
        if (ended) return fail(kServerIncomplete);
        if (bytes.size() >= Protocol::HEADER_LENGTH) {
          bytes.reserve(Protocol::HEADER_LENGTH + Protocol::announcedLength(bytes));
        }
        return receiveRequest(std::move(bytes));
      case FrameState::complete:
        break;
    }
    // Answer as soon as a whole request is in, whether or not the client's side ended.
    if (auto request = Protocol::readRequest(bytes)) return sendResponse(request->method, request->payload);
    fail(kServerMalformed);
  }

  void sendResponse(const std::string& method, const Json& payload) {
    auto& server = *server_;
    {
      std::lock_guard lock(server.mutex);
      if (!server.started || stopped_) return;
      ++server.activeDelegates;
    }
    std::expected<Json, std::string> outcome;
    {
      const void* outer = t_inDelegateOf;
      t_inDelegateOf = &server;
      detail::IoPool::BlockingScope blocking;
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
      t_inDelegateOf = outer;
    }
    {
      std::lock_guard lock(server.mutex);
      if (--server.activeDelegates == 0) server.delegatesIdle.notify_all();
    }
    // Stopped while the delegate ran (the server's stop()): no response goes out.
    if (stopped_) return;

    auto response = std::make_shared<Data>();
    try {
      *response = outcome ? Protocol::writeGoodResponse(*outcome) : Protocol::writeBadResponse(outcome.error());
      if (response->size() - Protocol::HEADER_LENGTH > Protocol::MAX_BODY_LENGTH) {
        *response = Protocol::writeBadResponse(kServerResponseTooLarge);
      }
    } catch (const std::exception& e) {
      return fail(e.what());
    }
    // The response is the whole of our direction of the stream; whatever the send
    // reports, the connection is closed after it.
    asio::async_write(socket_, asio::buffer(*response),
                      [self = shared_from_this(), response](const error_code&, std::size_t) {
                        error_code ignored;
                        self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                        self->stop();
                      });
  }

  tcp::socket socket_;
  std::shared_ptr<PBServer::Impl> server_;
  const std::uint64_t id_;
  std::atomic<bool> stopped_{false};
  std::optional<Data> buffer_;
  std::array<std::uint8_t, kChunkSize> chunk_{};
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
  std::shared_ptr<tcp::acceptor> acc;
  std::uint64_t gen = 0;
  {
    std::lock_guard lock(mutex);
    if (started) return std::unexpected(PBError::serverError("Server already started"));
    acc = std::make_shared<tcp::acceptor>(listenerStrand);
    if (const error_code ec = listen(*acc)) {
      printLine("Server error: " + ec.message());
      return std::unexpected(PBError::serverError(ec.message()));
    }
    error_code ec;
    const auto endpoint = acc->local_endpoint(ec);
    localPort = ec ? std::optional<std::uint16_t>() : endpoint.port();
    started = true;
    gen = ++generation;
    acceptor = acc;
    queue = std::move(givenQueue);
  }
  asio::post(listenerStrand, [self = shared_from_this(), acc, gen] { self->accept(acc, gen); });
  return {};
}

void PBServer::Impl::stop() {
  std::shared_ptr<tcp::acceptor> acc;
  std::map<std::uint64_t, std::shared_ptr<ServerConn>> open;
  {
    std::lock_guard lock(mutex);
    if (!started) return;
    started = false;
    ++generation;
    acc = std::move(acceptor);
    open.swap(sessions);
    queue.reset();
    localPort.reset();
  }
  // The listener is closed before stop() returns: a connect after it is refused
  // instead of landing in a backlog that nobody accepts from.
  auto closeListener = [acc] {
    error_code ignored;
    acc->close(ignored);
  };
  if (listenerStrand.running_in_this_thread()) {
    closeListener();
  } else {
    std::promise<void> closed;
    asio::post(listenerStrand, [&closed, &closeListener] {
      closeListener();
      closed.set_value();
    });
    detail::IoPool::BlockingScope blocking;
    closed.get_future().wait();
  }
  for (auto& [id, conn] : open) conn->stop();
  if (t_inDelegateOf == this) return;
  std::unique_lock lock(mutex);
  delegatesIdle.wait(lock, [this] { return activeDelegates == 0; });
}

void PBServer::Impl::accept(const std::shared_ptr<tcp::acceptor>& acc, std::uint64_t gen) {
  acc->async_accept(asio::make_strand(detail::IoPool::global().context()),
                    [self = shared_from_this(), acc, gen](const error_code& ec, tcp::socket socket) {
                      self->accepted(acc, gen, ec, std::move(socket));
                    });
}

void PBServer::Impl::accepted(const std::shared_ptr<tcp::acceptor>& acc, std::uint64_t gen, const error_code& ec,
                              tcp::socket socket) {
  if (ec == asio::error::operation_aborted) return;
  std::shared_ptr<CallbackQueue> target;
  {
    std::lock_guard lock(mutex);
    if (!started || gen != generation) return;  // the socket closes as it goes
    target = queue;
  }
  if (ec) {
    switch (classify(ec)) {
      case AcceptFailure::retryNow:
        return accept(acc, gen);
      case AcceptFailure::retryLater: {
        auto timer = std::make_shared<asio::steady_timer>(listenerStrand, kAcceptRetryDelay);
        timer->async_wait([self = shared_from_this(), acc, gen, timer](const error_code& e) {
          if (!e) self->accept(acc, gen);
        });
        return;
      }
      case AcceptFailure::fatal:
        return listenerFailed(gen, ec.message());
    }
  }
  if (target) {
    auto held = std::make_shared<tcp::socket>(std::move(socket));
    target->async([self = shared_from_this(), held, gen] { self->newConnection(std::move(*held), gen); });
  } else {
    newConnection(std::move(socket), gen);
  }
  accept(acc, gen);
}

void PBServer::Impl::newConnection(tcp::socket socket, std::uint64_t gen) {
  std::shared_ptr<ServerConn> conn;
  {
    std::lock_guard lock(mutex);
    if (!started || gen != generation) return;
    const std::uint64_t id = nextSessionId++;
    conn = std::make_shared<ServerConn>(std::move(socket), shared_from_this(), id);
    sessions.emplace(id, conn);
  }
  conn->start();
}

void PBServer::Impl::listenerFailed(std::uint64_t gen, const std::string& text) {
  {
    std::lock_guard lock(mutex);
    if (!started || gen != generation) return;
  }
  // The listener cannot go on: stop the server and say why. The rest of the
  // process carries on; isStarted() turns false.
  stop();
  printLine("Server error: " + text);
}

void PBServer::Impl::removeSession(std::uint64_t id) {
  std::lock_guard lock(mutex);
  sessions.erase(id);
}

PBServer::PBServer(std::uint16_t port, Delegate delegate, std::string bindHost)
    : impl_(std::make_shared<Impl>(port, std::move(delegate), std::move(bindHost))) {}

PBServer::~PBServer() {
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

}  // namespace bridge
