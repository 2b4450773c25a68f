// Test support: the npm Socket.IO server (server.js) as a child process on
// loopback with TLS, and a certificate authority made for it at test time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace sio::test {

// A CA and a server certificate for "localhost", "sio.mopet.test" and 127.0.0.1,
// made once per test process with the openssl tool in a temporary folder.
struct TestCertificates {
  std::string dir;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  static const TestCertificates& get();
};

// A predicate over the JSON records the server prints.
using Match = std::function<bool(const nlohmann::json&)>;
Match eventIs(const std::string& event);
Match eventAndTag(const std::string& event, const std::string& tag);

class NodeServer {
 public:
  explicit NodeServer(std::vector<std::string> extraArgs = {});
  ~NodeServer();
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  int port() const { return port_; }
  void send(const nlohmann::json& command);

  // The n-th (1-based) record matching, waiting up to `timeout` for it.
  std::optional<nlohmann::json> waitFor(const Match& match, std::size_t n = 1,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<nlohmann::json> matching(const Match& match) const;
  std::size_t count(const Match& match) const { return matching(match).size(); }

 private:
  void readLoop();

  int pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int port_ = 0;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<nlohmann::json> records_;
  bool ended_ = false;
};

// Collects what a test needs to wait for, with a condition variable.
class Waiter {
 public:
  void add(std::string name, nlohmann::json data);
  // Waits until at least `n` entries named `name` exist; returns the n-th one's data.
  std::optional<nlohmann::json> waitFor(const std::string& name, std::size_t n = 1,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::size_t count(const std::string& name) const;
  std::vector<std::string> names() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, nlohmann::json>> entries_;
};

// A port on 127.0.0.1 that nothing listens on (bound, then released).
int unusedPort();

}  // namespace sio::test
