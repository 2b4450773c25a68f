#pragma once
// A real HTTPS peer on 127.0.0.1 for integration tests: a certificate authority and a
// server certificate made for the run with the openssl command, and the Node.js script
// src/platform/tests/https_server.js serving with them.
//
// Point a URL session at it with
//   URLSessionConfiguration configuration;
//   configuration.connectTo = {server->connectTo("api.family.test")};
//   configuration.caFile = server->caFile();
// and request https://api.family.test/<route>. Built-in routes: /echo (the request as
// text, see parseEcho), /status/<n>, /empty, /bytes/<n>, /chunked/<n>, /invalid-utf8,
// /headers, /redirect, /trickle/<count>/<ms>, /silent (never answers), /hangup (closes
// the connection); any other path answers what setReply scripted, else 404.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/data.h"
#include "platform/url_session.h"

namespace platform::fakes {

// A request as the server received it.
struct RecordedRequest {
  std::string method;
  std::string target;   // path and query
  std::string version;  // "1.1"
  HeaderList headers;   // as received, in order
  Data body;

  std::optional<std::string> header(const std::string& name) const;  // case-insensitive
};

// Parses the server's echo text; nullopt when it is not one.
std::optional<RecordedRequest> parseEcho(const Data& echo);

class HttpsTestServer {
 public:
  // Makes the certificates (for `hostNames`, 127.0.0.1 and localhost) in a fresh
  // temporary folder and starts the server. nullptr, with `error` set, when that fails.
  static std::unique_ptr<HttpsTestServer> start(const std::vector<std::string>& hostNames, std::string& error);
  ~HttpsTestServer();  // ends the server and removes the folder
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  int port() const { return port_; }
  // A TCP port that accepts connections and never sends a byte (not even a TLS handshake).
  int silentPort() const { return silentPort_; }
  // The authority that signed the server's certificate.
  const std::string& caFile() const { return caFile_; }
  // An authority that did not sign it.
  const std::string& otherCaFile() const { return otherCaFile_; }
  const std::string& directory() const { return directory_; }
  // The connect-to entry that sends `host`:`urlPort` to this server.
  std::string connectTo(const std::string& host, int urlPort = 443) const;

  // From now on `path` answers `status` with `body`; returns once the server has it.
  // A non-zero `byteInterval` sends the body one byte at a time, that far apart.
  bool setReply(const std::string& path, int status, const Data& body,
                const std::string& contentType = "application/json",
                std::chrono::milliseconds byteInterval = std::chrono::milliseconds(0));

  // Every request received so far, in order of arrival.
  std::vector<RecordedRequest> requests() const;
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  // The first request received with this target (path and query), waiting for it.
  std::optional<RecordedRequest> waitForRequest(const std::string& target, std::chrono::milliseconds timeout) const;

 private:
  HttpsTestServer() = default;
  void readOutput();

  std::string directory_;
  std::string caFile_;
  std::string otherCaFile_;
  int port_ = 0;
  int silentPort_ = 0;
  int pid_ = -1;
  int toServer_ = -1;
  int fromServer_ = -1;
  std::thread reader_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<RecordedRequest> requests_;
  std::size_t acknowledgements_ = 0;
  bool ended_ = false;
};

}  // namespace platform::fakes
