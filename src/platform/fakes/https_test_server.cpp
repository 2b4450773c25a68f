#include "platform/fakes/https_test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

extern char** environ;

namespace platform::fakes {

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string base64Encode(const Data& data) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    unsigned v = (data[i] << 16u) | (data[i + 1] << 8u) | data[i + 2];
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (i + 1 == data.size()) {
    unsigned v = data[i] << 16u;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == data.size()) {
    unsigned v = (data[i] << 16u) | (data[i + 1] << 8u);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

Data base64Decode(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  Data out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) continue;
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((buffer >> bits) & 0xffu));
    }
  }
  return out;
}

// Runs a command to its end with its output in `log`; true on exit status 0.
bool runTool(const std::vector<std::string>& argv, const std::string& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Reads one line from `fd` within `timeout`; false on end of file or time-out.
bool readLine(int fd, std::string& pending, std::string& line, int timeoutMs) {
  for (;;) {
    if (auto newline = pending.find('\n'); newline != std::string::npos) {
      line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      return true;
    }
    if (timeoutMs >= 0) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return false;
    }
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [field, value] : headers) {
    if (equalsIgnoringCase(field, name)) return value;
  }
  return std::nullopt;
}

std::optional<RecordedRequest> parseEcho(const Data& echo) {
  const std::string text(echo.begin(), echo.end());
  auto end = text.find("\n\n");
  if (end == std::string::npos) return std::nullopt;
  RecordedRequest request;
  std::size_t position = 0;
  bool first = true;
  while (position < end) {
    auto newline = text.find('\n', position);
    std::string line = text.substr(position, newline - position);
    position = newline + 1;
    if (first) {
      auto space = line.find(' ');
      auto last = line.rfind(" HTTP/");
      if (space == std::string::npos || last == std::string::npos || last < space) return std::nullopt;
      request.method = line.substr(0, space);
      request.target = line.substr(space + 1, last - space - 1);
      request.version = line.substr(last + 6);
      first = false;
      continue;
    }
    auto colon = line.find(": ");
    if (colon == std::string::npos) return std::nullopt;
    request.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  if (first) return std::nullopt;
  request.body.assign(echo.begin() + static_cast<std::ptrdiff_t>(end + 2), echo.end());
  return request;
}

namespace {

// A certificate authority, a second one that signed nothing, and a server certificate
// for localhost, 127.0.0.1 and `hostNames`, made by openssl in `dir` (ending in "/").
bool makeCertificates(const std::string& dir, const std::vector<std::string>& hostNames, std::string& error) {
  const std::string log = dir + "openssl.log";
  std::string names = "DNS:localhost,IP:127.0.0.1";
  for (const auto& host : hostNames) names += ",DNS:" + host;
  {
    std::ofstream ext(dir + "server.ext");
    ext << "subjectAltName=" << names << "\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
        << "extendedKeyUsage=serverAuth\n";
  }
  auto makeCa = [&](const std::string& name, const std::string& subject) {
    return runTool({"openssl",
                    "req",
                    "-x509",
                    "-newkey",
                    "ec",
                    "-pkeyopt",
                    "ec_paramgen_curve:prime256v1",
                    "-nodes",
                    "-keyout",
                    dir + name + ".key",
                    "-out",
                    dir + name + ".pem",
                    "-days",
                    "2",
                    "-subj",
                    subject,
                    "-addext",
                    "basicConstraints=critical,CA:TRUE",
                    "-addext",
                    "keyUsage=critical,keyCertSign,cRLSign"},
                   log);
  };
  bool made =
      makeCa("ca", "/CN=Mopet Test Authority") && makeCa("other-ca", "/CN=Mopet Other Authority") &&
      runTool({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
               dir + "server.key", "-out", dir + "server.csr", "-subj",
               "/CN=" + (hostNames.empty() ? std::string("localhost") : hostNames.front())},
              log) &&
      runTool({"openssl", "x509", "-req", "-in", dir + "server.csr", "-CA", dir + "ca.pem", "-CAkey", dir + "ca.key",
               "-CAcreateserial", "-out", dir + "server.pem", "-days", "2", "-extfile", dir + "server.ext"},
              log);
  if (!made) error = "openssl failed: " + readAll(log);
  return made;
}

// Starts the node script over the certificates in `dir`, its output read through
// `fromServer`, its input written through `toServer`.
bool spawnServer(const std::string& dir, pid_t& pid, int& toServer, int& fromServer, std::string& error) {
  int toChild[2];
  int fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    error = "pipe failed";
    return false;
  }
  const std::string script =
      (std::filesystem::path(__FILE__).parent_path().parent_path() / "tests" / "https_server.js").string();
  const std::string serverLog = dir + "server.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, serverLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> argv = {"node", script, dir + "server.key", dir + "server.pem"};
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  int rc = posix_spawnp(&pid, "node", &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  toServer = toChild[1];
  fromServer = fromChild[0];
  if (rc != 0) {
    error = "cannot start node";
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<HttpsTestServer> HttpsTestServer::start(const std::vector<std::string>& hostNames, std::string& error) {
  std::unique_ptr<HttpsTestServer> server(new HttpsTestServer);
  std::string base = (std::filesystem::temp_directory_path() / "mopet-https-XXXXXX").string();
  if (mkdtemp(base.data()) == nullptr) {
    error = "cannot make a temporary folder " + base + ": " + std::generic_category().message(errno);
    return nullptr;
  }
  server->directory_ = base;
  const std::string dir = base + "/";
  if (!makeCertificates(dir, hostNames, error)) return nullptr;
  server->caFile_ = dir + "ca.pem";
  server->otherCaFile_ = dir + "other-ca.pem";

  const std::string serverLog = dir + "server.log";
  pid_t pid = -1;
  const bool started = spawnServer(dir, pid, server->toServer_, server->fromServer_, error);
  if (!started) return nullptr;
  server->pid_ = pid;

  std::string pending;
  std::string line;
  if (!readLine(server->fromServer_, pending, line, 15000) ||
      std::sscanf(line.c_str(), "PORTS %d %d", &server->port_, &server->silentPort_) != 2) {
    error = "the server did not start: " + readAll(serverLog);
    return nullptr;
  }
  server->reader_ = std::thread([raw = server.get(), pending]() mutable {
    std::string text;
    while (readLine(raw->fromServer_, pending, text, -1)) {
      std::lock_guard lock(raw->mutex_);
      if (text.rfind("REQUEST ", 0) == 0) {
        if (auto request = parseEcho(base64Decode(text.substr(8)))) raw->requests_.push_back(std::move(*request));
      } else if (text == "OK") {
        ++raw->acknowledgements_;
      }
      raw->changed_.notify_all();
    }
    std::lock_guard lock(raw->mutex_);
    raw->ended_ = true;
    raw->changed_.notify_all();
  });
  return server;
}

HttpsTestServer::~HttpsTestServer() {
  if (toServer_ >= 0) close(toServer_);  // the script ends when its input ends
  if (pid_ > 0) {
    // Give it a moment to leave by itself, then end it (it is our own child).
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 100 && !exited; ++i) {
      exited = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!exited) usleep(10000);
    }
    if (!exited) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  if (reader_.joinable()) reader_.join();
  if (fromServer_ >= 0) close(fromServer_);
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

std::string HttpsTestServer::connectTo(const std::string& host, int urlPort) const {
  return host + ":" + std::to_string(urlPort) + ":127.0.0.1:" + std::to_string(port_);
}

bool HttpsTestServer::setReply(const std::string& path, int status, const Data& body, const std::string& contentType,
                               std::chrono::milliseconds byteInterval) {
  std::size_t expected = 0;
  {
    std::lock_guard lock(mutex_);
    expected = acknowledgements_ + 1;
  }
  std::string encoded = body.empty() ? std::string("-") : base64Encode(body);
  std::string command = "REPLY " + path + " " + std::to_string(status) + " " + encoded + " " + contentType + " " +
                        std::to_string(byteInterval.count()) + "\n";
  std::size_t written = 0;
  while (written < command.size()) {
    ssize_t n = write(toServer_, command.data() + written, command.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return acknowledgements_ >= expected || ended_; }) &&
         acknowledgements_ >= expected;
}

std::vector<RecordedRequest> HttpsTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool HttpsTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count || ended_; }) &&
         requests_.size() >= count;
}

std::optional<RecordedRequest> HttpsTestServer::waitForRequest(const std::string& target,
                                                               std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  std::optional<RecordedRequest> found;
  changed_.wait_for(lock, timeout, [&] {
    for (const auto& request : requests_) {
      if (request.target == target) {
        found = request;
        return true;
      }
    }
    return ended_;
  });
  return found;
}

}  // namespace platform::fakes
