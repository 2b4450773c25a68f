#pragma once
// The bridge client: one request, one new TCP connection, one response.
//
//   bridge::PBClient client("127.0.0.1", port);
//   auto result = client.request("sum", {1, 2});   // blocks until the response is in
//   if (result) use(*result); else log(result.error().text());
//
// Every failure (cannot connect, connection error, cut-short or malformed response,
// the server's bad response) comes back as PBError::clientError with a text.
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/protocol.h"

namespace bridge {

// Texts of the client's own failures.
inline constexpr std::string_view kClientIncomplete = "Incomplete message received despite Complete flag";
inline constexpr std::string_view kClientEmpty = "Warning: no errors but receive is empty";
inline constexpr std::string_view kClientMalformed = "Malformed message received";
inline constexpr std::string_view kClientTooLarge = "Message too large";
inline constexpr std::string_view kClientUnexpected = "Unexpected error";
inline constexpr std::string_view kClientTimedOut = "Request timed out";

class PBClient {
 public:
  // With a timeout, a request that has not completed in that time fails with
  // kClientTimedOut; without one (the default) a request waits as long as the server
  // keeps the connection open.
  PBClient(std::string host, std::uint16_t port, std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  virtual ~PBClient() = default;

  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }

  // Blocks the calling thread until the exchange completes. Safe to call from many
  // threads at once; each call has its own connection.
  virtual std::expected<Json, PBError> request(std::string_view method, const Json& payload) const;

 private:
  std::uint16_t port_;
  std::string host_;
  std::optional<std::chrono::milliseconds> timeout_;
};

// One exchange over one connection: connect, send the request bytes and end the
// sending side, read one response, close.
class ClientConn {
 public:
  ClientConn(std::string host, std::uint16_t port, Data request,
             std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  ~ClientConn();
  ClientConn(const ClientConn&) = delete;
  ClientConn& operator=(const ClientConn&) = delete;

  // Connects and waits for the exchange to complete; the exchange runs on the
  // calling thread while it waits. An exchange runs once; a second call fails
  // with kClientUnexpected.
  std::expected<Json, PBError> run();

 private:
  struct Exchange;
  std::string host_;
  std::uint16_t port_;
  Data request_;
  std::optional<std::chrono::milliseconds> timeout_;
  bool ran_ = false;
};

}  // namespace bridge
