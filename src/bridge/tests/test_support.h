#pragma once
// Blocking POSIX sockets on loopback for playing a peer by hand, and a
// wait-for-condition helper.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/protocol.h"

namespace bridge {
inline void PrintTo(const PBError& error, std::ostream* os) {
  *os << (error.isClientError() ? "clientError(\"" : "serverError(\"") << error.text() << "\")";
}
}  // namespace bridge

namespace bridge::test {

using namespace std::chrono_literals;

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void sendAll(std::span<const std::uint8_t> bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("send failed");
      sent += static_cast<std::size_t>(n);
    }
  }
  void sendAll(std::string_view text) const {
    sendAll(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  void shutdownWrite() const { ::shutdown(fd_, SHUT_WR); }

  // Reads until the peer ends its stream (or an error), at most `limit` in time.
  // Nothing when the time ran out.
  std::optional<Data> readToEnd(std::chrono::milliseconds limit = 5000ms) const {
    Data out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return out;
      out.insert(out.end(), buf, buf + n);
    }
  }

  // Reads until `count` bytes are in or the stream ends.
  Data readExactly(std::size_t count, std::chrono::milliseconds limit = 5000ms) const {
    Data out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      std::uint8_t buf[4096];
      const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  // Reads a whole bridge message (header and announced body), or what came before
  // the stream ended.
  Data readMessage(std::chrono::milliseconds limit = 5000ms) const {
    Data head = readExactly(Protocol::HEADER_LENGTH, limit);
    if (head.size() < Protocol::HEADER_LENGTH) return head;
    Data body = readExactly(Protocol::announcedLength(head), limit);
    head.insert(head.end(), body.begin(), body.end());
    return head;
  }

 private:
  int fd_ = -1;
};

inline sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

inline Fd connectTo(std::uint16_t port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const sockaddr_in addr = loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("connect failed");
  }
  return fd;
}

// A listening socket on 127.0.0.1 with a port of the system's choice.
class RawListener {
 public:
  RawListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr = loopback(0);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_.get(), 64) != 0) {
      throw std::runtime_error("listen failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  std::uint16_t port() const { return port_; }

  Fd accept(std::chrono::milliseconds limit = 5000ms) const {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return Fd();
    Fd conn(::accept(fd_.get(), nullptr, nullptr));
    const int one = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return conn;
  }

 private:
  Fd fd_;
  std::uint16_t port_ = 0;
};

// A port on which nothing listens: bound once, then released.
inline std::uint16_t closedPort() {
  RawListener listener;
  return listener.port();
}

inline Data bytesOf(std::string_view text) { return Data(text.begin(), text.end()); }

}  // namespace bridge::test
