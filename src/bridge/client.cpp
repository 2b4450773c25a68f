#include "bridge/client.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <exception>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace bridge {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kChunkSize = 4096;

std::string describe(int error) { return error_code(error, boost::system::system_category()).message(); }

// The endpoints for a host name, through the system's resolver.
std::expected<std::vector<tcp::endpoint>, std::string> endpointsFor(const std::string& host, std::uint16_t port) {
  error_code ec;
  asio::io_context context(1);
  tcp::resolver resolver(context);
  const auto results = resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
  if (ec) return std::unexpected(ec.message());
  std::vector<tcp::endpoint> endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  if (endpoints.empty()) return std::unexpected(std::string("Host not found"));
  return endpoints;
}

}  // namespace

// One exchange, driven on the calling thread: the caller waits for it anyway, so
// the connection's steps run right there with non-blocking calls and poll() for the
// waits, with no hand-over to other threads. There is exactly one outcome, set by
// the first completion.
struct ClientConn::Exchange {
  Exchange(std::string host_, std::uint16_t port_, std::optional<std::chrono::milliseconds> timeout)
      : host(std::move(host_)), port(port_) {
    if (timeout) deadline = Clock::now() + *timeout;
  }
  ~Exchange() {
    if (fd >= 0) ::close(fd);
  }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Waits until the descriptor is ready for `events`; false (with the outcome set)
  // when the time ran out or the wait failed.
  bool waitFor(short events) {
    for (;;) {
      int wait = -1;
      if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
        if (left.count() <= 0) return fail(std::string(kClientTimedOut));
        wait = static_cast<int>(left.count());
      }
      pollfd p{fd, events, 0};
      const int n = ::poll(&p, 1, wait);
      if (n > 0) return true;
      if (n < 0 && errno != EINTR) return fail(describe(errno));
    }
  }

  bool connectTo(const tcp::endpoint& endpoint) {
    // Without a deadline every step may simply block; with one, the socket does not
    // block and each wait is bounded by what is left of the time.
    const int type = SOCK_STREAM | SOCK_CLOEXEC | (deadline ? SOCK_NONBLOCK : 0);
    fd = ::socket(endpoint.protocol().family(), type, IPPROTO_TCP);
    if (fd < 0) return fail(describe(errno));
    if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return fail(describe(errno));
    if (!waitFor(POLLOUT)) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    return error == 0 || fail(describe(error));
  }

  // Connects to the first endpoint that accepts; the last failure otherwise.
  bool connect() {
    error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (!ec) return connectTo(tcp::endpoint(address, port));
    const auto endpoints = endpointsFor(host, port);
    if (!endpoints) return fail(endpoints.error());
    for (const auto& endpoint : *endpoints) {
      outcome.reset();
      if (connectTo(endpoint)) return true;
      if (fd >= 0) ::close(fd);
      fd = -1;
      if (outcome && outcome->second == kClientTimedOut) return false;
    }
    return false;
  }

  // The request is the whole of our direction of the stream: send it, then end it.
  // MSG_MORE holds the last part back until the shutdown, so that the request's end
  // and the end of stream travel in one segment. A send error is not looked at: the
  // read that follows reports what happened.
  void send(const Data& request) {
    std::size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_MORE);
      if (n >= 0) {
        sent += static_cast<std::size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!waitFor(POLLOUT)) return;
      } else if (errno != EINTR) {
        break;
      }
    }
    ::shutdown(fd, SHUT_WR);
  }

  // Reads chunks until a whole response is in, the stream ends or fails. Bytes after
  // the response are not read.
  void receiveResponse() {
    std::optional<Data> buffer;
    std::array<std::uint8_t, kChunkSize> chunk;  // NOLINT: filled by recv before use
    while (!outcome) {
      const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          waitFor(POLLIN);
          continue;
        }
        fail(describe(errno));
        return;
      }
      if (n == 0) {
        // The stream ended. Bytes of an unfinished message make it an incomplete one;
        // no bytes at all, an empty receive.
        const bool hadBytes = buffer && !buffer->empty();
        fail(std::string(hadBytes ? kClientIncomplete : kClientEmpty));
        return;
      }
      // A first chunk that holds the whole response is read where it lies.
      std::span<const std::uint8_t> bytes(chunk.data(), static_cast<std::size_t>(n));
      if (buffer) {
        buffer->insert(buffer->end(), bytes.begin(), bytes.end());
        bytes = *buffer;
      }
      switch (Protocol::frameState(bytes)) {
        case FrameState::invalidHeader:
          fail(std::string(kClientMalformed));
          return;
        case FrameState::tooLarge:
          fail(std::string(kClientTooLarge));
          return;
        case FrameState::incomplete:
          // The buffer grows with what arrives, never by what the header announces.
          if (!buffer) buffer.emplace(bytes.begin(), bytes.end());
          continue;
        case FrameState::complete:
          break;
      }
      // A whole frame whose body is no response can never become one: end at once,
      // with the text a receiver gives a response it could not read.
      if (auto response = Protocol::readResponse(bytes)) {
        complete({response->status, std::move(response->value)});
      } else {
        fail(std::string(kClientIncomplete));
      }
    }
  }

  // The first completion wins; the connection closes with it.
  bool complete(std::pair<StatusCode, Json> result) {
    if (outcome) return false;
    outcome = std::move(result);
    if (fd >= 0) ::close(fd);
    fd = -1;
    return false;
  }

  bool fail(std::string text) { return complete({StatusCode::badResponse, Json(std::move(text))}); }

  std::string host;
  std::uint16_t port;
  std::optional<Clock::time_point> deadline;
  int fd = -1;
  std::optional<std::pair<StatusCode, Json>> outcome;
};

ClientConn::ClientConn(std::string host, std::uint16_t port, Data request,
                       std::optional<std::chrono::milliseconds> timeout)
    : host_(std::move(host)), port_(port), request_(std::move(request)), timeout_(timeout) {}

ClientConn::~ClientConn() = default;

std::expected<Json, PBError> ClientConn::run() {
  if (ran_) return std::unexpected(PBError::clientError(std::string(kClientUnexpected)));
  ran_ = true;
  Exchange exchange(std::move(host_), port_, timeout_);
  if (exchange.connect()) {
    exchange.send(request_);
    if (!exchange.outcome) exchange.receiveResponse();
  }
  auto& result = exchange.outcome;
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
