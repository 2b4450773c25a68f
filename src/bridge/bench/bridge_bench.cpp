// Requests per second and latency of the bridge on loopback, one new connection per
// request, beside a plain-socket baseline that moves the same bytes (connect, write,
// end the sending side, read, close) with no codec and no handler.
//
//   bridge_bench --benchmark_min_time=2
//
// Latency is the "Time" column (wall time per request in each client thread);
// throughput is items_per_second (all client threads together).
//
// BM_BridgeBesideIdlePeers times a request while 10,000 peers sit connected without
// sending anything, and reports the process's resident memory (rss_MiB, and
// rss_idle_MiB the growth they caused) and thread count, and how many of them the
// server holds (held). "default limits": the server keeps 512 and closes the oldest
// idle peer for each newcomer; "every peer held": the limit raised to as many
// connections as the descriptor limit allows (peers and server share the process).
//
// BM_BridgeBesideUnfinishedBodies times a request while 64 peers each send 15 MiB of
// a body that announces 16 MiB and then wait, and reports the resident memory
// (rss_MiB, rss_bodies_MiB the growth they caused), the bytes the server holds for
// them (held_MiB, against its 64 MiB budget for requests and responses) and how many
// peers it still serves (held).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/client.h"
#include "bridge/io_pool.h"
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

// The one pool of every bridge server here, built in main().
std::shared_ptr<bridge::IoPool> g_pool;
std::uint16_t g_plainPort = 0;
std::uint16_t g_bridgePort = 0;
bridge::PBServer* g_bridgeServer = nullptr;

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

// Times one echo request per iteration against the bridge server on `port`.
void timeEchoRequests(benchmark::State& state, std::uint16_t port) {
  const bridge::PBClient client("127.0.0.1", port);
  for (auto _ : state) {
    auto result = client.request("echo", kPayload);
    if (!result) {
      state.SkipWithError(result.error().text().c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
}

void BM_Bridge(benchmark::State& state) {
  timeEchoRequests(state, g_bridgePort);
  state.SetItemsProcessed(state.iterations());
}

// The process's resident memory in MiB, from /proc.
double residentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

int threadCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

std::size_t descriptorLimit() {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  return files.rlim_cur;
}

void BM_BridgeBesideIdlePeers(benchmark::State& state) {
  const bool holdAll = state.range(0) != 0;
  // Two descriptors per held peer (ours and the server's), and some to spare.
  const std::size_t peers = holdAll ? std::min<std::size_t>(10000, (descriptorLimit() - 256) / 2) : 10000;
  std::unique_ptr<bridge::PBServer> own;
  const bridge::PBServer* server = g_bridgeServer;
  std::uint16_t port = g_bridgePort;
  if (holdAll) {
    own = std::make_unique<bridge::PBServer>(
        0, [](const std::string&, const Json& payload) -> std::expected<Json, std::string> { return payload; },
        "127.0.0.1", bridge::ServerLimits{.maxConnections = peers}, g_pool);
    if (!own->start()) {
      state.SkipWithError("second server did not start");
      return;
    }
    server = own.get();
    port = own->localPort().value();
  }
  const double before = residentMiB();
  std::vector<int> idle;
  idle.reserve(peers);
  const sockaddr_in addr = loopback(port);
  for (std::size_t i = 0; i < peers; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      if (fd >= 0) ::close(fd);
      state.SkipWithError("idle peer could not connect");
      break;
    }
    idle.push_back(fd);
  }
  // Let the server take in every connection before timing.
  const std::size_t expected = holdAll ? idle.size() : std::min<std::size_t>(idle.size(), 512);
  for (int i = 0; i < 10000 && server->sessionCount() < expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  timeEchoRequests(state, port);
  const double after = residentMiB();
  state.counters["peers"] = static_cast<double>(idle.size());
  state.counters["held"] = static_cast<double>(server->sessionCount());
  state.counters["rss_MiB"] = after;
  state.counters["rss_idle_MiB"] = after - before;
  state.counters["threads"] = threadCount();
  state.SetLabel(holdAll ? "every peer held" : "default limits");
  state.SetItemsProcessed(state.iterations());
  // The server writes a line for each peer that closes without sending; keep them
  // out of the report.
  std::fflush(stdout);
  const int savedOut = ::dup(STDOUT_FILENO);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  if (own) own->stop();
  for (const int fd : idle) ::close(fd);
  // Wait for the server to close what it held, so that the next run starts clean.
  for (int i = 0; i < 10000 && server->sessionCount() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::fflush(stdout);
  ::dup2(savedOut, STDOUT_FILENO);
  ::close(savedOut);
  ::close(devNull);
}

void BM_BridgeBesideUnfinishedBodies(benchmark::State& state) {
  constexpr std::size_t kPeers = 64;
  constexpr std::size_t kSent = std::size_t{15} << 20;
  bridge::PBServer server(
      0, [](const std::string&, const Json& payload) -> std::expected<Json, std::string> { return payload; },
      "127.0.0.1", {}, g_pool);
  if (!server.start()) {
    state.SkipWithError("server did not start");
    return;
  }
  const std::uint16_t port = server.localPort().value();
  Data attack = bridge::Protocol::writeRequest("m", 1);
  attack.resize(bridge::Protocol::HEADER_LENGTH);
  const std::uint32_t announced = bridge::Protocol::MAX_BODY_LENGTH;
  for (std::size_t i = 0; i < 4; ++i) attack[7 + i] = static_cast<std::uint8_t>(announced >> (8 * i));
  attack.resize(bridge::Protocol::HEADER_LENGTH + kSent, 'x');
  // The server writes a line for each peer it refuses; keep them out of the report.
  std::fflush(stdout);
  const int savedOut = ::dup(STDOUT_FILENO);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  const double before = residentMiB();
  std::vector<int> peers(kPeers, -1);
  std::vector<std::thread> senders;
  senders.reserve(kPeers);
  const sockaddr_in addr = loopback(port);
  for (std::size_t i = 0; i < kPeers; ++i) {
    senders.emplace_back([&, i] {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        writeAll(fd, attack);  // stops where the server closes the connection
      }
      peers[i] = fd;
    });
  }
  for (auto& t : senders) t.join();
  // Let the server take in what the kept peers sent.
  for (int i = 0; i < 10000 && server.bytesHeld() < server.sessionCount() * (kSent / 2); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  timeEchoRequests(state, port);
  const double after = residentMiB();
  state.counters["peers"] = static_cast<double>(kPeers);
  state.counters["held"] = static_cast<double>(server.sessionCount());
  state.counters["held_MiB"] = static_cast<double>(server.bytesHeld()) / (1024.0 * 1024.0);
  state.counters["rss_MiB"] = after;
  state.counters["rss_bodies_MiB"] = after - before;
  state.SetItemsProcessed(state.iterations());
  server.stop();
  for (const int fd : peers) {
    if (fd >= 0) ::close(fd);
  }
  std::fflush(stdout);
  ::dup2(savedOut, STDOUT_FILENO);
  ::close(savedOut);
  ::close(devNull);
}

// Interleaved so that both see the same machine conditions.
BENCHMARK(BM_PlainSocket)->Threads(1)->UseRealTime();
BENCHMARK(BM_Bridge)->Threads(1)->UseRealTime();
BENCHMARK(BM_PlainSocket)->Threads(8)->UseRealTime();
BENCHMARK(BM_Bridge)->Threads(8)->UseRealTime();
BENCHMARK(BM_BridgeBesideIdlePeers)->Arg(0)->Arg(1)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_BridgeBesideUnfinishedBodies)->UseRealTime()->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
  // Room for 10,000 idle peers and the server's side of them.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  static PlainServer plain;
  g_plainPort = plain.port();
  g_pool = std::make_shared<bridge::IoPool>();
  static bridge::PBServer server(
      0, [](const std::string&, const Json& payload) -> std::expected<Json, std::string> { return payload; },
      "127.0.0.1", {}, g_pool);
  if (auto started = server.start(); !started) {
    std::fprintf(stderr, "bridge server: %s\n", started.error().text().c_str());
    return 1;
  }
  g_bridgePort = server.localPort().value();
  g_bridgeServer = &server;

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The servers' threads run until the process ends.
  std::_Exit(0);
}
