#include "bridge/server_conn.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <new>
#include <utility>

#include <boost/asio/post.hpp>

#include "bridge/output.h"
#include "bridge/pool_threads.h"

namespace bridge {

namespace asio = boost::asio;

namespace detail {
thread_local const void* t_inDelegateOf = nullptr;
}  // namespace detail

namespace {

constexpr std::size_t kChunkSize = 4096;
// A request's buffer starts this large and doubles, never beyond its frame.
constexpr std::size_t kFirstBuffer = 2 * kChunkSize;

}  // namespace

ServerConn::ServerConn(int fd, tcp protocol, std::shared_ptr<PBServer::Impl> server, std::uint64_t id,
                       std::uint64_t gen)
    : server_(std::move(server)),
      fd_(fd),
      protocol_(protocol),
      id_(id),
      gen_(gen),
      acceptedAt_(Clock::now()),
      requestDeadline_(acceptedAt_ + server_->limits.requestDeadline) {}

ServerConn::~ServerConn() {  // NOLINT(bugprone-exception-escape): see the declaration
  closeSocket();
  releaseBuffer();
  releaseResponseLocked();  // no other thread holds the connection any more
}

void ServerConn::start(Clock::duration inlineBudget) {
  inlineUntil_ = acceptedAt_ + inlineBudget;
  receiveRequest();
}

void ServerConn::fail(std::string_view text) {
  if (stopped_.exchange(true)) return;
  printLine("Server error: ", text);
  close();
}

void ServerConn::stop() {
  if (stopped_.exchange(true)) return;
  close();
}

void ServerConn::close() {
  phase_ = Phase::closed;
  server_->removeSession(id_);
  std::lock_guard lock(socketMutex_);
  closeSocket();
  releaseResponseLocked();
}

void ServerConn::closeSocket() {
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

// The response's bytes go back to the budget the moment the connection closes, not
// when the last callback lets go of it.
void ServerConn::releaseResponseLocked() {
  Data().swap(response_);
  server_->refundResponseBytes(std::exchange(responseCharged_, 0));
}

// The connection's descriptor is used with plain calls that do not block (but for the
// inline wait's receive, bounded by SO_RCVTIMEO); an Asio socket is made for it only
// when the connection has to wait on the pool, so a connection served at once never
// touches the pool's reactor.
std::size_t ServerConn::readSome(std::span<std::uint8_t> into, bool mayWait, error_code& ec) {
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

std::size_t ServerConn::writeSome(std::span<const std::uint8_t> bytes, error_code& ec) {
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
void ServerConn::waitFor(tcp::socket::wait_type what, Phase phase, Clock::time_point deadline, Handler handler) {
  auto& context = server_->pool->threads().context();
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
// socket has turned out empty, so that a request that is there at once costs no extra
// call. False when there is no budget left.
bool ServerConn::armInlineWait() {
  if (inlineWaitArmed_) return false;
  inlineWaitArmed_ = true;
  const auto left = std::chrono::ceil<std::chrono::microseconds>(inlineUntil_ - Clock::now()).count();
  if (left <= 0) return false;
  const timeval limit{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
  return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

// Reads what the socket holds now, waiting for it within the inline budget; with
// nothing there then, waits for readability on the pool. Memory that runs out while
// the request is read (its bytes, its JSON) closes this connection only.
void ServerConn::receiveRequest() {
  bool waiting = false;
  try {
    waiting = receiveLoop();
  } catch (const std::bad_alloc&) {
    fail(kServerTooLarge);
  } catch (const std::exception& e) {
    fail(e.what());
  }
  // Done with the request, one way or the other: its bytes go back to the budget now,
  // not when the last callback lets go of the connection.
  if (!waiting) releaseBuffer();
}

// True when a wait for more bytes is outstanding (it owns buffer_ from then on).
bool ServerConn::receiveLoop() {
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

// Takes one chunk; true when the next chunk is wanted (the bytes so far are then in
// buffer_).
bool ServerConn::received(const error_code& ec, std::span<const std::uint8_t> chunk) {
  if (stopped_) return false;
  const bool ended = ec == asio::error::eof;
  if (ec && !ended) {
    fail(ec.message());
    return false;
  }
  if (chunk.empty()) {
    // The stream ended. Bytes of an unfinished request make it an incomplete one; no
    // bytes at all, an empty receive.
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
  takeRequest(bytes);
  return false;
}

// The whole request is in: from here on no deadline or eviction for the request
// applies. Lost to one of them already: it closes the connection. Answered as soon as
// a whole request is in, whether or not the client's side ended.
void ServerConn::takeRequest(std::span<const std::uint8_t> bytes) {
  if (!advance(Phase::waiting, Phase::handling)) return;
  // Responses that their peers have not taken fill the budget: no delegate is called
  // whose answer could not be held within it.
  if (server_->responsesFillBudget()) return fail(kServerTooLarge);
  // A whole frame whose body is no request can never become one: end at once, with
  // the text a receiver gives a request it could not read.
  auto request = Protocol::readRequest(bytes);
  buffer_.reset();  // its charge stays until the response takes over
  if (!request) return fail(kServerIncomplete);
  sendResponse(request->method, request->payload);
}

// Appends a chunk to buffer_. Growth is charged to the server's budget before it is
// allocated, and the old storage refunded once replaced, so that the budget never
// counts less than is held. False, with the connection failed, when the budget or the
// memory refuses.
bool ServerConn::append(std::span<const std::uint8_t> chunk) {
  const std::size_t needed = buffer_.size() + chunk.size();
  if (needed > buffer_.capacity()) {
    const std::size_t target = nextCapacity(needed);
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

// The capacity buffer_ grows to for `needed` bytes: double, but never beyond the frame
// the header announces (or can announce).
std::size_t ServerConn::nextCapacity(std::size_t needed) const {
  std::size_t frame = Protocol::HEADER_LENGTH + Protocol::MAX_BODY_LENGTH;
  if (buffer_.size() >= Protocol::HEADER_LENGTH) {
    frame = Protocol::HEADER_LENGTH +
            std::min<std::size_t>(Protocol::announcedLength(buffer_.bytes()), Protocol::MAX_BODY_LENGTH);
  }
  return detail::RequestBuffer::capacityFor(
      std::max(needed, std::min(std::max(2 * buffer_.capacity(), kFirstBuffer), frame)));
}

// Frees the request's bytes and gives them back to the budget. On the connection's own
// thread, or once no callback of it is left.
void ServerConn::releaseBuffer() {
  buffer_.reset();
  server_->refundRequestBytes(std::exchange(charged_, 0));
}

void ServerConn::sendResponse(const std::string& method, const Json& payload) {
  auto& server = *server_;
  {
    std::lock_guard lock(server.mutex);
    if (!server.started || stopped_) return;
    ++server.activeDelegates;
  }
  const auto outcome = callDelegate(method, payload);
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
  auto response = encodeResponse(*outcome);
  if (!response || !holdResponse(std::move(*response))) return;
  if (!advance(Phase::handling, Phase::responding)) return;
  writeResponse(0);
}

// The delegate's value or error; nothing when even the text of an error could not be
// allocated (the call is then over all the same, with no response).
std::optional<std::expected<Json, std::string>> ServerConn::callDelegate(const std::string& method,
                                                                         const Json& payload) {
  auto& server = *server_;
  std::optional<std::expected<Json, std::string>> outcome;
  const void* outer = detail::t_inDelegateOf;
  detail::t_inDelegateOf = &server;
  {
    const detail::PoolThreads::BlockingScope blocking(server.pool->threads());
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
  }
  detail::t_inDelegateOf = outer;
  return outcome;
}

// The response's bytes; nothing, with the connection failed, when they cannot be made.
std::optional<Data> ServerConn::encodeResponse(const std::expected<Json, std::string>& outcome) {
  try {
    Data response = outcome ? Protocol::writeGoodResponse(*outcome) : Protocol::writeBadResponse(outcome.error());
    if (response.size() - Protocol::HEADER_LENGTH > Protocol::MAX_BODY_LENGTH) {
      response = Protocol::writeBadResponse(kServerResponseTooLarge);
    }
    return response;
  } catch (const std::exception& e) {
    fail(e.what());
    return std::nullopt;
  }
}

// Keeps the response until it is sent, charged to the budget in place of the request;
// false when the connection closed meanwhile.
bool ServerConn::holdResponse(Data response) {
  const std::size_t bytes = response.capacity();
  server_->chargeResponseBytes(bytes);
  server_->refundRequestBytes(std::exchange(charged_, 0));
  std::lock_guard lock(socketMutex_);
  if (stopped_) {
    server_->refundResponseBytes(bytes);
    return false;
  }
  response_ = std::move(response);
  responseCharged_ = bytes;
  return true;
}

// A response that has to wait for its peer keeps no more than its bytes: the spare
// capacity its writer left goes back, and so does its charge.
void ServerConn::trimResponseLocked() {
  if (response_.capacity() - response_.size() < kChunkSize) return;
  response_.shrink_to_fit();  // keeps the storage when a smaller one cannot be had
  const std::size_t now = response_.capacity();
  server_->refundResponseBytes(std::exchange(responseCharged_, now) - now);
}

// The response is the whole of our direction of the stream: write it (waiting for
// writability on the pool only when the socket is full), end the stream and close.
// Writes say MSG_MORE, so that the response's end goes out with the end of stream in
// one segment. A failed send closes the connection all the same. The response's
// deadline runs from the first write that could not go through, right after the
// response was ready.
void ServerConn::writeResponse(std::size_t offset) {
  try {
    std::lock_guard lock(socketMutex_);
    while (!stopped_ && offset < response_.size()) {
      error_code ec;
      const std::size_t n = writeSome(std::span<const std::uint8_t>(response_).subspan(offset), ec);
      if (ec == boost::system::errc::resource_unavailable_try_again) {
        if (timedPhase_ != Phase::responding) {
          responseDeadline_ = Clock::now() + server_->limits.responseDeadline;
          trimResponseLocked();
        }
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

}  // namespace bridge
