// Requests per second and latency of the bridge on loopback, one new connection per
// request, beside a plain-socket baseline that moves the same bytes (connect, write,
// end the sending side, read, close) with no codec and no handler.
//
//   bridge_bench --benchmark_min_time=2
//
// Latency is the "Time" column (wall time per request in each client thread);
// throughput is items_per_second (all client threads together).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "bridge/client.h"
#include "bridge/server.h"

namespace {

using bridge::Data;
using bridge::Json;

const Json kPayload = {{"child", "a1b2c3"}, {"sequence", 42}, {"ok", true}};

// The bytes one exchange carries, so that the baseline moves exactly as many.
const Data kRequest = bridge::Protocol::writeRequest("echo", kPayload);
const Data kResponse = bridge::Protocol::writeGoodResponse(kPayload);

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool writeAll(int fd, const Data& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool readCount(int fd, std::size_t count) {
  std::uint8_t buf[4096];
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Threads blocked in accept() on one listening socket; each connection: read the
// request's byte count, write the response bytes, end the stream, close.
class PlainServer {
 public:
  PlainServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, SOMAXCONN) != 0) {
      std::perror("plain server");
      std::exit(1);
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    const unsigned count = std::max(4u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) {
      std::thread([fd = fd_] {
        for (;;) {
          const int conn = ::accept(fd, nullptr, nullptr);
          if (conn < 0) continue;
          if (readCount(conn, kRequest.size())) writeAll(conn, kResponse);
          ::shutdown(conn, SHUT_WR);
          ::close(conn);
        }
      }).detach();
    }
  }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

std::uint16_t g_plainPort = 0;
std::uint16_t g_bridgePort = 0;

void BM_PlainSocket(benchmark::State& state) {
  const sockaddr_in addr = loopback(g_plainPort);
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && writeAll(fd, kRequest);
    ::shutdown(fd, SHUT_WR);
    ok = ok && readCount(fd, kResponse.size());
    ::close(fd);
    if (!ok) {
      state.SkipWithError("plain exchange failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Bridge(benchmark::State& state) {
  const bridge::PBClient client("127.0.0.1", g_bridgePort);
  for (auto _ : state) {
    auto result = client.request("echo", kPayload);
    if (!result) {
      state.SkipWithError(result.error().text().c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
}

// Interleaved so that both see the same machine conditions.
BENCHMARK(BM_PlainSocket)->Threads(1)->UseRealTime();
BENCHMARK(BM_Bridge)->Threads(1)->UseRealTime();
BENCHMARK(BM_PlainSocket)->Threads(8)->UseRealTime();
BENCHMARK(BM_Bridge)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  static PlainServer plain;
  g_plainPort = plain.port();
  static bridge::PBServer server(
      0, [](const std::string&, const Json& payload) -> std::expected<Json, std::string> { return payload; },
      "127.0.0.1");
  if (auto started = server.start(); !started) {
    std::fprintf(stderr, "bridge server: %s\n", started.error().text().c_str());
    return 1;
  }
  g_bridgePort = server.localPort().value();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The servers' threads run until the process ends.
  std::_Exit(0);
}
