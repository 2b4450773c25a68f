// The server where the process runs short: accept() errors that pass are retried, a
// listener that has failed for good ends the process, memory that runs out closes
// only the connection that wanted it. Each case runs in a child process of its own
// (a death test), since it ends the process or limits what it may take.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bridge/server.h"
#include "test_support.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;
using test::Fd;

std::expected<Json, std::string> echo(const std::string&, const Json& payload) { return payload; }

// The descriptor of the socket listening on the port, found among the process's own.
int listeningDescriptor(std::uint16_t port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int listening = 0;
    socklen_t optionLength = sizeof listening;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 && addr.sin_family == AF_INET &&
        ntohs(addr.sin_port) == port && ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionLength) == 0 &&
        listening == 1) {
      return fd;
    }
  }
  return -1;
}

// Ends the child with the status a check gave, without running the test's teardown.
[[noreturn]] void endChild(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

// Sends a request in two parts, so that the pool's threads serve it; ends the child
// with 11 when the answer is not the echo.
void serveOneFromThePool(std::uint16_t port) {
  const Data request = Protocol::writeRequest("m", "first");
  Fd first = test::connectTo(port);
  first.sendAll(std::span(request.data(), 5));
  std::this_thread::sleep_for(20ms);
  first.sendAll(std::span(request).subspan(5));
  if (first.readToEnd() != Protocol::writeGoodResponse("first")) endChild(11);
}

class ServerListener : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Takes the server's socket out of listening, so that every accept() fails from now
// on, while a delegate call that never returns is in progress or none is. Ends the
// child with 12 when the process outlives the listener by 10 s.
[[noreturn]] void failTheListener(bool delegateInProgress) {
  // The death test reads the server's line from stderr.
  std::fflush(stdout);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::atomic<bool> called{false};
  PBServer server(
      0,
      [&](const std::string&, const Json&) -> std::expected<Json, std::string> {
        called = true;
        std::promise<void> never;
        never.get_future().wait();
        return nullptr;
      },
      "127.0.0.1");
  if (!server.start()) endChild(10);
  Fd peer;
  if (delegateInProgress) {
    peer = test::connectTo(server.localPort().value());
    peer.sendAll(Protocol::writeRequest("m", 1));
    if (!test::waitFor([&] { return called.load(); })) endChild(13);
  }
  const int fd = listeningDescriptor(server.localPort().value());
  if (fd < 0) endChild(11);
  ::shutdown(fd, SHUT_RD);
  std::this_thread::sleep_for(10s);
  endChild(12);
}

TEST_F(ServerListener, ListenerThatStopsListeningEndsTheProcessAtOnce) {
  // The exit does not wait for delegate calls: their connections are closed already.
  for (const bool delegateInProgress : {false, true}) {
    SCOPED_TRACE(delegateInProgress ? "a delegate call that never returns" : "no delegate call");
    EXPECT_EXIT(failTheListener(delegateInProgress), testing::ExitedWithCode(1), "Server error: Invalid argument\n");
  }
}

TEST_F(ServerListener, FullDescriptorTableIsWaitedOut) {
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        PBServer server(0, echo, "127.0.0.1");
        if (!server.start()) endChild(10);
        const sockaddr_in addr = test::loopback(server.localPort().value());
        // A request served from the pool first, so that the pool has its descriptors.
        serveOneFromThePool(server.localPort().value());
        // Each accepting thread holds a descriptor for the connection it waits for
        // while it waits; more idle peers than there are threads make them call
        // accept() again on a full table.
        constexpr int kIdlePeers = 40;
        std::vector<Fd> clients;
        for (int i = 0; i <= kIdlePeers; ++i) clients.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::min<rlim_t>(files.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &files);
        std::vector<Fd> fillers;
        fillers.reserve(1024);
        for (int fd = ::dup(STDIN_FILENO); fd >= 0; fd = ::dup(STDIN_FILENO)) fillers.emplace_back(fd);
        if (errno != EMFILE) endChild(12);
        for (const Fd& client : clients) {
          if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) endChild(13);
        }
        const Fd& last = clients.back();
        last.sendAll(Protocol::writeRequest("m", "after the wait"));
        // Long enough for the accepting threads to meet the full table more than once.
        std::this_thread::sleep_for(250ms);
        if (!server.isStarted()) endChild(14);
        fillers.clear();
        const auto response = last.readToEnd(10000ms);
        endChild(response == Protocol::writeGoodResponse("after the wait") ? 0 : 15);
      },
      testing::ExitedWithCode(0), "");
}

// The process's address space in bytes, from /proc.
std::size_t addressSpace() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Peers send far more than the process may map; ends the process with 0 when a
// normal request is still answered afterwards.
[[noreturn]] void attackUnderAMemoryLimit() {
  std::fflush(stdout);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  // A budget far above the memory, so that the memory runs out first.
  PBServer server(0, echo, "127.0.0.1",
                  ServerLimits{.requestDeadline = 60000ms, .requestBudget = std::size_t{1} << 30});
  if (!server.start()) endChild(10);
  const std::uint16_t port = server.localPort().value();
  // Served from the pool, so that the pool's threads are there before the limit.
  serveOneFromThePool(port);
  Data attack = Protocol::writeRequest("m", 1);
  attack.resize(Protocol::HEADER_LENGTH);
  const std::uint32_t announced = Protocol::MAX_BODY_LENGTH;
  for (std::size_t i = 0; i < 4; ++i) attack[7 + i] = static_cast<std::uint8_t>(announced >> (8 * i));
  attack.resize(Protocol::HEADER_LENGTH + (std::size_t{15} << 20), 'x');
  std::vector<Fd> peers;
  peers.reserve(8);
  // Room for 48 MiB more than the process has now; the peers send 120 MiB.
  const rlimit limit{addressSpace() + (std::size_t{48} << 20), RLIM_INFINITY};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) endChild(12);
  for (int i = 0; i < 8; ++i) {
    peers.push_back(test::connectTo(port));
    try {
      peers.back().sendAll(attack);
    } catch (const std::runtime_error&) {
      // Closed by the server.
    }
  }
  // The server goes on.
  Fd normal = test::connectTo(port);
  normal.sendAll(Protocol::writeRequest("m", "still here"));
  endChild(normal.readToEnd() == Protocol::writeGoodResponse("still here") ? 0 : 13);
}

TEST_F(ServerListener, MemoryThatRunsOutClosesOnlyTheConnectionThatWantedIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space limit";
#endif
  EXPECT_EXIT(attackUnderAMemoryLimit(), testing::ExitedWithCode(0), "Server error: Warning: Message too large\n");
}

}  // namespace
}  // namespace bridge
