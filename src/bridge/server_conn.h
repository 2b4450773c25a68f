#pragma once
// Internal: one connection of the server, from its accept to its close. Included by
// server.cpp and server_conn.cpp only (it brings in Asio).
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "bridge/request_buffer.h"
#include "bridge/server_impl.h"

namespace bridge {

// One accepted connection. Its callbacks run on the thread that accepted it or on
// threads of the server's pool, one at a time. It reads one request, calls the
// delegate, writes the response and closes.
class ServerConn : public std::enable_shared_from_this<ServerConn> {
 public:
  using Clock = std::chrono::steady_clock;
  using tcp = boost::asio::ip::tcp;
  using error_code = boost::system::error_code;

  // Where the connection is in its one exchange. Moves forward only; the step out of
  // waiting is taken once, by the request, a deadline or an eviction.
  enum class Phase { waiting, handling, responding, closed };

  ServerConn(int fd, tcp protocol, std::shared_ptr<PBServer::Impl> server, std::uint64_t id, std::uint64_t gen);
  // A timer's cancel throws only when the system fails it; ending the program then is right.
  ~ServerConn();  // NOLINT(bugprone-exception-escape)
  ServerConn(const ServerConn&) = delete;
  ServerConn& operator=(const ServerConn&) = delete;

  // An accepted connection is ready at once: start reading the request. With an
  // inline budget the calling thread waits that long for the request's bytes itself
  // before it leaves the connection to the pool.
  void start(Clock::duration inlineBudget);

  // Writes the line and closes, unless the connection is closed already: one
  // connection ends once, with at most one line.
  void fail(std::string_view text);

  // Closes the connection once, however often and from whichever thread it is
  // called, and drops it from the server's sessions.
  void stop();

  bool waitingForRequest() const { return phase_ == Phase::waiting; }

  // Takes a connection that is still waiting for its request out of its exchange, so
  // that it can be closed to make room; false once the request is in.
  bool claimForEviction() { return advance(Phase::waiting, Phase::closed); }

 private:
  bool advance(Phase from, Phase to) { return phase_.compare_exchange_strong(from, to); }
  void close();
  void closeSocket();
  void releaseResponseLocked();

  std::size_t readSome(std::span<std::uint8_t> into, bool mayWait, error_code& ec);
  std::size_t writeSome(std::span<const std::uint8_t> bytes, error_code& ec);
  template <typename Handler>
  void waitFor(tcp::socket::wait_type what, Phase phase, Clock::time_point deadline, Handler handler);
  bool armInlineWait();

  void receiveRequest();
  bool receiveLoop();
  bool received(const error_code& ec, std::span<const std::uint8_t> chunk);
  void takeRequest(std::span<const std::uint8_t> bytes);
  bool append(std::span<const std::uint8_t> chunk);
  std::size_t nextCapacity(std::size_t needed) const;
  void releaseBuffer();

  void sendResponse(const std::string& method, const Json& payload);
  std::optional<std::expected<Json, std::string>> callDelegate(const std::string& method, const Json& payload);
  std::optional<Data> encodeResponse(const std::expected<Json, std::string>& outcome);
  bool holdResponse(Data response);
  void trimResponseLocked();
  void writeResponse(std::size_t offset);

  // First, so that it goes last: the server holds the pool on whose event loop the
  // socket and the timer below were made.
  std::shared_ptr<PBServer::Impl> server_;
  // One operation of this connection is outstanding at a time, so its callbacks never
  // overlap; the mutex orders them against a stop() from another thread.
  std::mutex socketMutex_;
  int fd_;
  const tcp protocol_;
  std::optional<tcp::socket> socket_;
  std::optional<boost::asio::steady_timer> timer_;  // the deadline of the phase waited in
  Phase timedPhase_ = Phase::closed;  // the phase timer_ was set for; closed: none
  const std::uint64_t id_;
  const std::uint64_t gen_;  // the server's start() that accepted it
  std::atomic<bool> stopped_{false};
  std::atomic<Phase> phase_{Phase::waiting};
  const Clock::time_point acceptedAt_;
  const Clock::time_point requestDeadline_;
  Clock::time_point responseDeadline_{};
  Clock::time_point inlineUntil_{};
  bool inlineWaitArmed_ = false;
  detail::RequestBuffer buffer_;  // the request's bytes so far, once they span chunks
  // The request's bytes charged to the server's budget: buffer_'s capacity, kept
  // through the delegate call (the decoded request stands in for them) until the
  // response takes over.
  std::size_t charged_ = 0;
  Data response_;  // set once, under socketMutex_, before the first write
  std::size_t responseCharged_ = 0;  // response_'s bytes charged to the budget
};

}  // namespace bridge
