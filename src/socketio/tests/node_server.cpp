#include "node_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace sio::test {

using json = nlohmann::json;

namespace {

void run(const std::string& command) {
  // Only while a fixture is set up, before the client's threads run.
  if (std::system(command.c_str()) != 0) {  // NOLINT(concurrency-mt-unsafe)
    throw std::runtime_error("command failed: " + command);
  }
}

}  // namespace

const TestCertificates& TestCertificates::get() {
  static const TestCertificates certs = [] {
    std::string base = std::filesystem::temp_directory_path() / "sio-certs-XXXXXX";
    std::vector<char> buffer(base.begin(), base.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
      throw std::runtime_error("test set-up: cannot make a temporary folder " + base + ": " +
                               std::generic_category().message(errno));
    }
    TestCertificates c;
    c.dir = buffer.data();
    c.caFile = c.dir + "/ca.pem";
    c.certFile = c.dir + "/server.pem";
    c.keyFile = c.dir + "/server.key";
    std::ofstream(c.dir + "/ext.cnf") << "subjectAltName=DNS:localhost,DNS:sio.mopet.test,IP:127.0.0.1\n"
                                         "basicConstraints=CA:FALSE\n"
                                         "extendedKeyUsage=serverAuth\n";
    const std::string d = c.dir;
    const std::string quiet = " >>" + d + "/openssl.log 2>&1";
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d + "/ca.key -out " +
        c.caFile + " -days 2 -subj '/CN=Mopet Test CA'" +
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign" + quiet);
    run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + c.keyFile + " -out " + d +
        "/server.csr -subj '/CN=localhost'" + quiet);
    run("openssl x509 -req -in " + d + "/server.csr -CA " + c.caFile + " -CAkey " + d +
        "/ca.key -CAcreateserial -out " + c.certFile + " -days 2 -extfile " + d + "/ext.cnf" + quiet);
    static const std::string* const toRemove = new std::string(c.dir);  // outlives the static below
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*toRemove, ignored);
    });
    return c;
  }();
  return certs;
}

Match eventIs(const std::string& event) {
  return [event](const json& r) { return r.value("event", "") == event; };
}

Match eventAndTag(const std::string& event, const std::string& tag) {
  return [event, tag](const json& r) { return r.value("event", "") == event && r.value("tag", "") == tag; };
}

NodeServer::NodeServer(std::vector<std::string> extraArgs) {
  const auto& certs = TestCertificates::get();
  const std::string source = MOPET_SOURCE_DIR;
  const std::string script = source + "/src/socketio/tests/server.js";
  const std::string modules = source + "/tests/service/node_modules";
  if (!std::filesystem::exists(modules + "/socket.io")) {
    throw std::runtime_error("npm packages missing in " + modules + ": run scripts/install-deps");
  }
  std::vector<std::string> args = {"node", script, "--key", certs.keyFile, "--cert", certs.certFile};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());

  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  int rc = posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    throw std::runtime_error("cannot start node");
  }
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  reader_ = std::thread([this] { readLoop(); });
  auto listening = waitFor(eventIs("listening"));
  if (!listening) {
    throw std::runtime_error("the Socket.IO server did not start");
  }
  port_ = (*listening)["port"].get<int>();
}

NodeServer::~NodeServer() {
  if (stdinFd_ >= 0) {
    close(stdinFd_);  // the script exits when its input ends
  }
  int status = 0;
  bool exited = false;
  for (int i = 0; i < 300 && !exited; ++i) {
    exited = waitpid(pid_, &status, WNOHANG) == pid_;
    if (!exited) {
      usleep(10000);
    }
  }
  if (!exited) {
    kill(pid_, SIGKILL);  // our own child only
    waitpid(pid_, &status, 0);
  }
  if (reader_.joinable()) {
    reader_.join();
  }
  close(stdoutFd_);
}

void NodeServer::send(const json& command) {
  std::string line = command.dump() + "\n";
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(stdinFd_, p, left);
    if (n <= 0) {
      throw std::runtime_error("cannot write to the Socket.IO server");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void NodeServer::readLoop() {
  std::string pending;
  char buffer[65536];
  while (true) {
    ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      json record = json::parse(pending.substr(0, newline), nullptr, false);
      pending.erase(0, newline + 1);
      if (!record.is_discarded()) {
        std::lock_guard lock(mutex_);
        records_.push_back(std::move(record));
      }
      changed_.notify_all();
    }
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

std::optional<json> NodeServer::waitFor(const Match& match, std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<json> found;
  changed_.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& r : records_) {
      if (match(r) && ++seen == n) {
        found = r;
        return true;
      }
    }
    return ended_;
  });
  return found;
}

std::vector<json> NodeServer::matching(const Match& match) const {
  std::lock_guard lock(mutex_);
  std::vector<json> out;
  for (const auto& r : records_) {
    if (match(r)) {
      out.push_back(r);
    }
  }
  return out;
}

void Waiter::add(std::string name, json data) {
  {
    std::lock_guard lock(mutex_);
    entries_.emplace_back(std::move(name), std::move(data));
  }
  changed_.notify_all();
}

std::optional<json> Waiter::waitFor(const std::string& name, std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<json> found;
  changed_.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& [entry, data] : entries_) {
      if (entry == name && ++seen == n) {
        found = data;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::size_t Waiter::count(const std::string& name) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& entry : entries_) {
    n += entry.first == name ? 1 : 0;
  }
  return n;
}

std::vector<std::string> Waiter::names() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& entry : entries_) {
    out.push_back(entry.first);
  }
  return out;
}

int unusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    throw std::runtime_error("no free loopback port");
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace sio::test
