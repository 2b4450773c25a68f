#include "bridge/client.h"

#include <array>
#include <exception>
#include <semaphore>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include "bridge/io_pool.h"

namespace bridge {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {
constexpr std::size_t kChunkSize = 4096;
}  // namespace

// The state of one exchange. Every callback runs on the exchange's strand of the
// shared pool; async operations hold the state alive until they have finished, so
// a late callback after the caller has its result finds it intact and is ignored.
struct ClientConn::Exchange : std::enable_shared_from_this<Exchange> {
  Exchange(std::string host_, std::uint16_t port_, Data request_, std::optional<std::chrono::milliseconds> timeout_)
      : strand(asio::make_strand(detail::IoPool::global().context())),
        socket(strand),
        resolver(strand),
        timer(strand),
        host(std::move(host_)),
        port(port_),
        request(std::move(request_)),
        timeout(timeout_) {}

  void start() {
    if (timeout) {
      timer.expires_after(*timeout);
      timer.async_wait([self = shared_from_this()](const error_code& ec) {
        if (!ec) self->fail(std::string(kClientTimedOut));
      });
    }
    error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (!ec) {
      socket.async_connect(tcp::endpoint(address, port),
                           [self = shared_from_this()](const error_code& e) { self->connected(e); });
      return;
    }
    resolver.async_resolve(host, std::to_string(port), tcp::resolver::numeric_service,
                           [self = shared_from_this()](const error_code& e, const tcp::resolver::results_type& results) {
                             if (self->done) return;
                             if (e) return self->fail(e.message());
                             asio::async_connect(self->socket, results,
                                                 [self](const error_code& e2, const tcp::endpoint&) { self->connected(e2); });
                           });
  }

  void connected(const error_code& ec) {
    if (done) return;
    if (ec) return fail(ec.message());
    // The request is the whole of our direction of the stream: send it, then end it.
    asio::async_write(socket, asio::buffer(request), [self = shared_from_this()](const error_code&, std::size_t) {
      if (self->done) return;
      error_code ignored;
      self->socket.shutdown(tcp::socket::shutdown_send, ignored);
      // A send error is not looked at: the read that follows reports what happened.
      self->receiveResponse(std::nullopt);
    });
  }

  void receiveResponse(std::optional<Data> soFar) {
    buffer = std::move(soFar);
    socket.async_read_some(asio::buffer(chunk), [self = shared_from_this()](const error_code& ec, std::size_t n) {
      self->received(ec, n);
    });
  }

  void received(const error_code& ec, std::size_t n) {
    if (done) return;
    const bool ended = ec == asio::error::eof;
    if (ec && !ended) return fail(ec.message());
    if (n == 0) {
      // The stream ended. Bytes of an unfinished message make it an incomplete one;
      // no bytes at all, an empty receive.
      const bool hadBytes = buffer && !buffer->empty();
      return fail(std::string(hadBytes ? kClientIncomplete : kClientEmpty));
    }
    Data bytes = prefix_data(std::span(chunk.data(), n), std::move(buffer));
    switch (Protocol::frameState(bytes)) {
      case FrameState::invalidHeader:
        return fail(std::string(kClientMalformed));
      case FrameState::tooLarge:
        return fail(std::string(kClientTooLarge));
      case FrameState::incomplete:
        if (ended) return fail(std::string(kClientIncomplete));
        if (bytes.size() >= Protocol::HEADER_LENGTH) {
          bytes.reserve(Protocol::HEADER_LENGTH + Protocol::announcedLength(bytes));
        }
        return receiveResponse(std::move(bytes));
      case FrameState::complete:
        break;
    }
    // A whole message is in: it is read now, whatever follows it.
    if (auto response = Protocol::readResponse(bytes)) {
      return complete({response->status, std::move(response->value)});
    }
    fail(std::string(kClientMalformed));
  }

  // The first completion wins; later ones (a receive aborted by the close, a timer
  // firing late) find `done` set and change nothing.
  void complete(std::pair<StatusCode, Json> outcome) {
    if (done) return;
    done = true;
    error_code ignored;
    socket.close(ignored);
    resolver.cancel();
    timer.cancel();
    result = std::move(outcome);
    semaphore.release();
  }

  void fail(std::string text) { complete({StatusCode::badResponse, Json(std::move(text))}); }

  asio::strand<asio::io_context::executor_type> strand;
  tcp::socket socket;
  tcp::resolver resolver;
  asio::steady_timer timer;
  std::string host;
  std::uint16_t port;
  Data request;
  std::optional<std::chrono::milliseconds> timeout;

  std::counting_semaphore<> semaphore{0};
  bool done = false;
  std::optional<std::pair<StatusCode, Json>> result;
  std::optional<Data> buffer;
  std::array<std::uint8_t, kChunkSize> chunk{};
};

ClientConn::ClientConn(std::string host, std::uint16_t port, Data request,
                       std::optional<std::chrono::milliseconds> timeout)
    : exchange_(std::make_shared<Exchange>(std::move(host), port, std::move(request), timeout)) {}

ClientConn::~ClientConn() = default;

std::expected<Json, PBError> ClientConn::run() {
  if (ran_) return std::unexpected(PBError::clientError(std::string(kClientUnexpected)));
  ran_ = true;
  asio::post(exchange_->strand, [exchange = exchange_] { exchange->start(); });
  {
    detail::IoPool::BlockingScope blocking;
    exchange_->semaphore.acquire();
  }
  // The semaphore orders the strand's write of `result` before this read.
  auto& result = exchange_->result;
  if (result && result->first == StatusCode::goodResponse) return std::move(result->second);
  if (result && result->first == StatusCode::badResponse && result->second.is_string()) {
    return std::unexpected(PBError::clientError(result->second.get<std::string>()));
  }
  return std::unexpected(PBError::clientError(std::string(kClientUnexpected)));
}

PBClient::PBClient(std::string host, std::uint16_t port, std::optional<std::chrono::milliseconds> timeout)
    : port_(port), host_(std::move(host)), timeout_(timeout) {}

std::expected<Json, PBError> PBClient::request(std::string_view method, const Json& payload) const {
  try {
    Data bytes = Protocol::writeRequest(method, payload);
    if (bytes.size() - Protocol::HEADER_LENGTH > Protocol::MAX_BODY_LENGTH) {
      return std::unexpected(PBError::clientError(std::string(kClientTooLarge)));
    }
    ClientConn conn(host_, port_, std::move(bytes), timeout_);
    return conn.run();
  } catch (const std::exception& e) {
    return std::unexpected(PBError::clientError(e.what()));
  }
}

}  // namespace bridge
