// The client against a Socket.IO peer that stops reading: a plain WebSocket
// server on loopback written here, since the npm server cannot be made to stop
// reading. After the handshake it pushes events that ask for acknowledgements
// and reads nothing for a while (or never), with a small receive buffer, so the
// client's acknowledgements pile up on its side.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "node_server.h"
#include "socketio/client.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kPingTimeoutMillis = 1000;
constexpr std::size_t kAckSize = 1024;
constexpr std::size_t kSendQueueMax = std::size_t{64} * 1024;

std::string acceptKey(const std::string& key) {
  const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha1(), nullptr);
  unsigned char encoded[64];
  int length = EVP_EncodeBlock(encoded, digest, static_cast<int>(size));
  return {reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length)};
}

// An unmasked text frame, as a server sends it.
std::string textFrame(std::string_view text) {
  std::string frame(1, '\x81');
  if (text.size() < 126) {
    frame.push_back(static_cast<char>(text.size()));
  } else {
    frame.push_back(126);
    frame.push_back(static_cast<char>(text.size() >> 8));
    frame.push_back(static_cast<char>(text.size() & 0xFF));
  }
  return frame + std::string(text);
}

// Takes one whole (masked) client frame off the front of `buffer`: its payload,
// or nothing while it is incomplete.
std::optional<std::string> takeClientFrame(std::string& buffer) {
  if (buffer.size() < 2) {
    return std::nullopt;
  }
  std::size_t length = static_cast<unsigned char>(buffer[1]) & 0x7F;
  std::size_t at = 2;
  if (length >= 126) {
    std::size_t bytes = length == 126 ? 2 : 8;
    if (buffer.size() < at + bytes) {
      return std::nullopt;
    }
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
      length = (length << 8) | static_cast<unsigned char>(buffer[at + i]);
    }
    at += bytes;
  }
  if (buffer.size() < at + 4 + length) {
    return std::nullopt;
  }
  std::string payload = buffer.substr(at + 4, length);
  for (std::size_t i = 0; i < length; ++i) {
    payload[i] = static_cast<char>(payload[i] ^ buffer[at + (i % 4)]);
  }
  buffer.erase(0, at + 4 + length);
  return payload;
}

// The peer: every connection does the Engine.IO and namespace handshake; on the
// first one it then pushes `events` events asking for acknowledgements, and
// reads nothing for `pause` (nullopt: never). Later connections read and count.
class StallingPeer {
 public:
  StallingPeer(std::optional<std::chrono::milliseconds> pause, int events) : pause_(pause), events_(events) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int small = 4096;  // inherited by accepted sockets: a small window that fills at once
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("test set-up: cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~StallingPeer() {
    stop_ = true;
    acceptor_.join();
    for (auto& thread : connections_) {
      thread.join();
    }
    close(listener_);
  }

  StallingPeer(const StallingPeer&) = delete;
  StallingPeer& operator=(const StallingPeer&) = delete;

  int port() const { return port_; }
  int connections() const { return accepted_.load(); }
  int acksRead() const { return acksRead_.load(); }
  bool allSent() const { return allSent_.load(); }

 private:
  // Waits for `events` on `fd` for a short while; false once the peer stops.
  bool wait(int fd, short events) const {
    pollfd p{fd, events, 0};
    poll(&p, 1, 20);
    return !stop_;
  }

  void acceptLoop() {
    while (wait(listener_, POLLIN)) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        int index = accepted_++;
        connections_.emplace_back([this, fd, index] {
          serve(fd, index);
          close(fd);
        });
      }
    }
  }

  // Reads what is there into `buffer`; false when the connection ended.
  bool receive(int fd, std::string& buffer) const {
    char chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n > 0) {
      buffer.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }

  // Sends as much of `out` as the socket takes now; false when the connection ended.
  static bool transmit(int fd, std::string& out) {
    ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      out.erase(0, static_cast<std::size_t>(n));
      return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }

  bool sendAll(int fd, std::string out) const {
    while (!out.empty()) {
      if (!transmit(fd, out) || !wait(fd, POLLOUT)) {
        return false;
      }
    }
    return true;
  }

  std::optional<std::string> nextFrame(int fd, std::string& buffer) const {
    while (true) {
      if (auto frame = takeClientFrame(buffer)) {
        return frame;
      }
      if (!receive(fd, buffer) || !wait(fd, POLLIN)) {
        return std::nullopt;
      }
    }
  }

  bool handshake(int fd, int index, std::string& buffer) const {
    std::size_t end = std::string::npos;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!receive(fd, buffer) || !wait(fd, POLLIN)) {
        return false;
      }
    }
    std::string request = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    auto at = request.find("Sec-WebSocket-Key: ");
    if (at == std::string::npos) {
      return false;
    }
    std::string key = request.substr(at + 19, request.find("\r\n", at) - at - 19);
    json open = {{"sid", "stall-" + std::to_string(index)},
                 {"upgrades", json::array()},
                 {"pingInterval", 25000},
                 {"pingTimeout", kPingTimeoutMillis},
                 {"maxPayload", 1000000}};
    if (!sendAll(fd,
                 "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Accept: " +
                     acceptKey(key) + "\r\n\r\n" + textFrame("0" + open.dump()))) {
      return false;
    }
    auto connect = nextFrame(fd, buffer);
    return connect && connect->starts_with("40") && sendAll(fd, textFrame(R"(40{"sid":"n"})"));
  }

  void countAcks(std::string& buffer) {
    while (auto frame = takeClientFrame(buffer)) {
      if (frame->starts_with("43")) {
        ++acksRead_;
      }
    }
  }

  // Pushes the events while reading nothing until the pause is over.
  void flood(int fd, std::string& buffer) {
    auto readFrom = pause_ ? std::optional(Clock::now() + *pause_) : std::nullopt;
    std::string out;
    int next = 0;
    while (!stop_) {
      while (out.size() < 65536 && next < events_) {
        out += textFrame("42" + std::to_string(next++) + R"(["push","event"])");
      }
      if (!out.empty() && !transmit(fd, out)) {
        return;
      }
      allSent_ = next == events_ && out.empty();
      bool reading = readFrom && Clock::now() >= *readFrom;
      if (reading && !receive(fd, buffer)) {
        return;
      }
      countAcks(buffer);
      wait(fd, static_cast<short>((out.empty() ? 0 : POLLOUT) | (reading ? POLLIN : 0)));
    }
  }

  void serve(int fd, int index) {
    std::string buffer;
    if (!handshake(fd, index, buffer)) {
      return;
    }
    if (index == 0) {
      flood(fd, buffer);
      return;
    }
    while (receive(fd, buffer) && wait(fd, POLLIN)) {
      countAcks(buffer);
    }
  }

  std::optional<std::chrono::milliseconds> pause_;
  int events_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> acksRead_{0};
  std::atomic<bool> allSent_{false};
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // the acceptor's only, until it is joined
};

// A client that answers every "push" with a 1 KiB acknowledgement and notes what happens.
struct AckingClient {
  explicit AckingClient(int port)
      : manager("http://127.0.0.1:" + std::to_string(port),
                {.log = true,
                 .reconnectWait = 100ms,
                 .reconnectWaitMax = 100ms,
                 .randomizationFactor = 0,
                 .sendQueueMax = kSendQueueMax},
                {.logger = [](const std::string&) {}}) {
    auto& socket = manager.defaultSocket();
    socket.on(sio::SocketClientEvent::connect,
              [this](const std::vector<json>&, sio::SocketAckEmitter&) { seen.add("connect", acksGiven.load()); });
    socket.on(sio::SocketClientEvent::disconnect, [this](const std::vector<json>& data, sio::SocketAckEmitter&) {
      seen.add("disconnect", json{{"reason", data.empty() ? json() : data[0]}, {"acks", acksGiven.load()}});
    });
    socket.on("push", [this](const std::vector<json>&, sio::SocketAckEmitter& ack) {
      ++acksGiven;
      ack.with(std::string(kAckSize, 'a'));
    });
    socket.connect();
  }

  sio::test::Waiter seen;
  std::atomic<int> acksGiven{0};
  sio::SocketManager manager;  // last: destroyed first, while the rest is still there
};

TEST(SocketIOStalledPeerTest, APeerThatStopsReadingCannotGrowTheQueueAndIsDroppedAfterItsPingTimeout) {
  constexpr int kEvents = 200000;  // 200 MiB of acknowledgements if all were queued
  StallingPeer peer(std::nullopt, kEvents);
  AckingClient client(peer.port());

  auto dropped = client.seen.waitFor("disconnect", 1, 20s);
  ASSERT_TRUE(dropped) << "the stalled connection was never dropped";
  EXPECT_EQ((*dropped)["reason"], "send queue not drained in " + std::to_string(kPingTimeoutMillis) + " ms");
  // The client stopped reading once its queue was full: what it answered is what
  // the socket buffers and the cap hold, a small part of what was pushed.
  int answered = (*dropped)["acks"].get<int>();
  EXPECT_LT(static_cast<std::size_t>(answered) * kAckSize, std::size_t{16} * 1024 * 1024)
      << answered << " acknowledgements queued";
  EXPECT_FALSE(peer.allSent()) << "the client kept reading";

  ASSERT_TRUE(client.seen.waitFor("connect", 2, 10s)) << "no reconnection after the drop";
  EXPECT_GE(peer.connections(), 2);
}

TEST(SocketIOStalledPeerTest, APeerThatCatchesUpWithinItsPingTimeoutKeepsTheConnectionAndEveryAck) {
  constexpr int kEvents = 20000;
  StallingPeer peer(300ms, kEvents);
  AckingClient client(peer.port());

  auto deadline = Clock::now() + 30s;
  while (peer.acksRead() < kEvents && Clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(peer.acksRead(), kEvents);
  EXPECT_EQ(client.acksGiven.load(), kEvents);
  EXPECT_EQ(client.seen.count("disconnect"), 0U);
  EXPECT_EQ(peer.connections(), 1);
}

}  // namespace
