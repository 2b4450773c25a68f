// Asio/Beast implementation of the I/O loop and the WebSocket connection.
#include "socketio/transport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <deque>
#include <future>
#include <map>
#include <optional>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace sio {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

constexpr std::size_t kReadMessageMax = std::size_t{64} * 1024 * 1024;

bool sameHost(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

bool isIpLiteral(const std::string& host) {
  boost::system::error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

std::string describe(const std::string& stage, const boost::system::error_code& ec) {
  return stage + ": " + ec.message();
}

// The layer under the WebSocket that lets a run of frames go out in one write:
// while corked, written bytes are held and the write completes at once; the
// first write after uncork() sends the held bytes and its own together. Reads
// and everything else pass through.
template <class Next>
class CorkedStream {
 public:
  using next_layer_type = Next;
  using executor_type = typename Next::executor_type;

  template <class... Args>
  explicit CorkedStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

  executor_type get_executor() noexcept { return next_.get_executor(); }
  Next& next_layer() noexcept { return next_; }
  const Next& next_layer() const noexcept { return next_; }

  void cork() { corked_ = true; }
  void uncork() { corked_ = false; }
  // Bytes taken from the WebSocket and not yet written to the next layer.
  std::size_t heldBytes() const { return held_.size() + sending_.size(); }

  template <class MutableBuffers, class Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    return next_.async_read_some(buffers, std::forward<Handler>(handler));
  }

  template <class ConstBuffers, class Handler>
  auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    return asio::async_initiate<Handler, void(beast::error_code, std::size_t)>(
        [this](auto completion, const ConstBuffers& data) {
          std::size_t size = asio::buffer_size(data);
          if (!corked_ && held_.empty()) {
            next_.async_write_some(data, std::move(completion));
            return;
          }
          std::size_t old = held_.size();
          held_.resize(old + size);
          asio::buffer_copy(asio::buffer(held_.data() + old, size), data);
          if (corked_) {
            asio::post(get_executor(), beast::bind_front_handler(std::move(completion), beast::error_code{}, size));
            return;
          }
          sending_ = std::move(held_);
          held_.clear();
          asio::async_write(
              next_, asio::buffer(sending_),
              [this, size, completion = std::move(completion)](beast::error_code ec, std::size_t) mutable {
                sending_.clear();
                std::move(completion)(ec, ec ? 0 : size);
              });
        },
        handler, buffers);
  }

 private:
  Next next_;
  std::string held_;
  std::string sending_;
  bool corked_ = false;
};

template <class Next, class Handler>
void async_teardown(beast::role_type role, CorkedStream<Next>& stream, Handler&& handler) {
  using beast::websocket::async_teardown;
  async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

template <class Next>
void teardown(beast::role_type role, CorkedStream<Next>& stream, beast::error_code& ec) {
  using beast::websocket::teardown;
  teardown(role, stream.next_layer(), ec);
}

// Everything a session needs from its loop.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  virtual void sendText(std::string text) = 0;
  virtual void sendBinary(Bytes bytes) = 0;
  virtual void close() = 0;
  virtual void abort() = 0;  // drop the connection at once (loop shutdown)
  virtual void whenWritten(std::function<void(bool written)> done) = 0;
  virtual void setStallTimeout(std::chrono::milliseconds timeout) = 0;
  virtual bool stalled() const = 0;
};

template <bool Secure>
class Session final : public SessionBase, public std::enable_shared_from_this<Session<Secure>> {
  using Lowest = beast::tcp_stream;
  using Tls = std::conditional_t<Secure, beast::ssl_stream<Lowest>, Lowest>;
  using Next = CorkedStream<Tls>;

 public:
  Session(asio::io_context& ioc, std::optional<ssl::context> ctx, WebSocketRequest request,
          WebSocketCallbacks callbacks)
      : ctx_(std::move(ctx)),
        ws_(makeStream(ioc, ctx_)),
        resolver_(ioc),
        deadline_(ioc),
        request_(std::move(request)),
        callbacks_(std::move(callbacks)),
        stallTimeout_(request_.timeout) {}

  void start() {
    std::string host = request_.host;
    std::string port = std::to_string(request_.port);
    for (const auto& entry : request_.connectTo) {
      if ((entry.host.empty() || sameHost(entry.host, request_.host)) && (entry.port.empty() || entry.port == port)) {
        if (!entry.address.empty()) {
          host = entry.address;
        }
        if (!entry.addressPort.empty()) {
          port = entry.addressPort;
        }
        break;
      }
    }
    beast::get_lowest_layer(ws_).expires_after(request_.timeout);
    resolver_.async_resolve(host, port, [self = this->shared_from_this()](auto ec, tcp::resolver::results_type r) {
      self->onResolve(ec, std::move(r));
    });
  }

  void sendText(std::string text) override { enqueue(false, std::move(text)); }

  void sendBinary(Bytes bytes) override { enqueue(true, std::string(bytes.begin(), bytes.end())); }

  void close() override {
    if (userClosed_) {
      return;
    }
    userClosed_ = true;
    callbacks_ = {};
    if (done_) {
      return;
    }
    if (!open_ || stalled_) {
      abort();  // a peer that takes nothing could hold the flush for ever
      return;
    }
    armDeadline();  // the flush and the close handshake have the stall timeout
    if (!writing_) {
      startClose();
    }
  }

  // Ends the session with a failure that happened before it started.
  void failNow(const std::string& reason) { fail(reason); }

  void whenWritten(std::function<void(bool written)> done) override {
    if (done_ || (queue_.empty() && !writing_)) {
      done(!done_);
      return;
    }
    written_.push_back(std::move(done));
  }

  void setStallTimeout(std::chrono::milliseconds timeout) override { stallTimeout_ = timeout; }

  bool stalled() const override { return stalled_; }

  void abort() override {
    done_ = true;
    releaseWritten(false);
    callbacks_ = {};
    resolver_.cancel();
    deadline_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  static websocket::stream<Next> makeStream(asio::io_context& ioc, [[maybe_unused]] std::optional<ssl::context>& ctx) {
    if constexpr (Secure) {
      return websocket::stream<Next>(ioc, *ctx);
    } else {
      return websocket::stream<Next>(ioc);
    }
  }

  void onResolve(beast::error_code ec, tcp::resolver::results_type results) {
    if (ec) {
      return fail(describe("resolve", ec));
    }
    beast::get_lowest_layer(ws_).async_connect(
        results, [self = this->shared_from_this()](beast::error_code e, const tcp::endpoint&) { self->onConnect(e); });
  }

  void onConnect(beast::error_code ec) {
    if (ec) {
      return fail(describe("connect", ec));
    }
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    if constexpr (Secure) {
      SSL* handle = ws_.next_layer().next_layer().native_handle();
      if (isIpLiteral(request_.host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(handle), request_.host.c_str());
      } else {
        // SSL_set_tlsext_host_name without its C cast.
        SSL_ctrl(handle, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(request_.host.c_str()));
        SSL_set1_host(handle, request_.host.c_str());
      }
      ws_.next_layer().next_layer().async_handshake(
          ssl::stream_base::client, [self = this->shared_from_this()](beast::error_code e) { self->onTls(e); });
    } else {
      onTls({});
    }
  }

  void onTls(beast::error_code ec) {
    if (ec) {
      return fail(describe("TLS handshake", ec));
    }
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = request_.timeout;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    websocket::permessage_deflate deflate;
    deflate.client_enable = request_.compress;
    // Lets the server compress each message on its own, so that it may send
    // small ones (every event and acknowledgement here) uncompressed: per-message
    // deflate on the server side bounded the rate with many acknowledgements in flight.
    deflate.server_no_context_takeover = true;
    ws_.set_option(deflate);
    ws_.read_message_max(kReadMessageMax);
    ws_.auto_fragment(false);
    auto headers = request_.headers;
    ws_.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
      req.set(http::field::user_agent, "mopet-socketio");
      for (const auto& [name, value] : headers) {
        req.set(name, value);
      }
    }));
    std::string hostHeader = request_.host.find(':') != std::string::npos ? "[" + request_.host + "]" : request_.host;
    bool defaultPort = request_.port == (request_.secure ? 443 : 80);
    if (!defaultPort) {
      hostHeader += ":" + std::to_string(request_.port);
    }
    ws_.async_handshake(response_, hostHeader, request_.target,
                        [self = this->shared_from_this()](beast::error_code e) { self->onHandshake(e); });
  }

  void onHandshake(beast::error_code ec) {
    if (ec) {
      std::string reason = describe("WebSocket upgrade", ec);
      if (response_.result_int() != 0 && response_.result() != http::status::switching_protocols) {
        reason += " (HTTP " + std::to_string(response_.result_int()) + ")";
      }
      return fail(reason);
    }
    open_ = true;
    if (callbacks_.onOpen) {
      callbacks_.onOpen(std::string(response_[http::field::sec_websocket_extensions]));
    }
    read();
    if (!writing_) {
      if (!queue_.empty()) {
        writeNext();
      } else if (userClosed_) {
        startClose();
      }
    }
  }

  // One read at a time, none while the send queue is over its limit (watchQueue
  // starts it again).
  void read() {
    if (done_ || !open_ || reading_ || stalled_) {
      return;
    }
    reading_ = true;
    ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    reading_ = false;
    if (ec) {
      if (ec == websocket::error::closed) {
        std::string reason = "connection closed by the server";
        if (!ws_.reason().reason.empty()) {
          reason += ": " + std::string(ws_.reason().reason.c_str());
        }
        return fail(reason);
      }
      return fail(describe("read", ec));
    }
    auto data = buffer_.cdata();
    const char* begin = static_cast<const char*>(data.data());
    if (ws_.got_text()) {
      std::string text(begin, data.size());
      buffer_.consume(buffer_.size());
      if (callbacks_.onText) {
        callbacks_.onText(std::move(text));
      }
    } else {
      Bytes bytes(begin, begin + data.size());
      buffer_.consume(buffer_.size());
      if (callbacks_.onBinary) {
        callbacks_.onBinary(std::move(bytes));
      }
    }
    read();
  }

  void enqueue(bool binary, std::string payload) {
    if (done_ || userClosed_) {
      return;
    }
    queuedBytes_ += payload.size();
    queue_.emplace_back(binary, std::move(payload));
    if (open_ && !writing_) {
      writeNext();
    }
    watchQueue();
  }

  // Bytes given and not yet written to the socket: the queue and what the
  // corking layer holds.
  std::size_t queuedBytes() const { return queuedBytes_ + ws_.next_layer().heldBytes(); }

  // Over the limit, reading stops and the stall timeout runs; back under it,
  // reading goes on.
  void watchQueue() {
    if (request_.sendQueueMax == 0 || done_) {
      return;
    }
    bool over = queuedBytes() > request_.sendQueueMax;
    if (over && !stalled_) {
      stalled_ = true;
      armDeadline();
    } else if (!over && stalled_) {
      stalled_ = false;
      deadline_.cancel();
      read();
    }
  }

  void armDeadline() {
    deadline_.expires_after(stallTimeout_);
    deadline_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
      if (!ec) {
        self->onDeadline();
      }
    });
  }

  void onDeadline() {
    if (done_) {
      return;
    }
    if (userClosed_) {
      abort();  // the queue did not go out in time: the peer is gone or not reading
    } else if (stalled_) {
      fail("send queue not drained in " + std::to_string(stallTimeout_.count()) + " ms");
    }
  }

  // Frames queued behind this one are held (corked) and go out with the last.
  void writeNext() {
    writing_ = true;
    if (queue_.size() > 1) {
      ws_.next_layer().cork();
    } else {
      ws_.next_layer().uncork();
    }
    ws_.text(!queue_.front().first);
    ws_.async_write(asio::buffer(queue_.front().second),
                    [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->onWrite(ec); });
  }

  void onWrite(beast::error_code ec) {
    writing_ = false;
    if (ec) {
      return fail(describe("write", ec));
    }
    queuedBytes_ -= queue_.front().second.size();
    queue_.pop_front();
    if (done_) {
      return;
    }
    watchQueue();
    if (!queue_.empty()) {
      writeNext();
      return;
    }
    releaseWritten(true);
    if (userClosed_) {
      startClose();
    }
  }

  void releaseWritten(bool written) {
    for (auto& done : std::exchange(written_, {})) {
      done(written);
    }
  }

  void startClose() {
    if (closeStarted_ || done_) {
      return;
    }
    closeStarted_ = true;
    ws_.async_close(websocket::close_code::normal, [self = this->shared_from_this()](beast::error_code) {
      self->done_ = true;
      self->deadline_.cancel();
      beast::error_code ignored;
      beast::get_lowest_layer(self->ws_).socket().close(ignored);
    });
  }

  void fail(const std::string& reason) {
    if (done_) {
      return;
    }
    done_ = true;
    releaseWritten(false);
    deadline_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
    auto onClose = std::move(callbacks_.onClose);
    callbacks_ = {};
    if (onClose && !userClosed_) {
      onClose(reason);
    }
  }

  std::optional<ssl::context> ctx_;
  websocket::stream<Next> ws_;
  tcp::resolver resolver_;
  asio::steady_timer deadline_;  // the stall timeout, or the bound of a close
  WebSocketRequest request_;
  WebSocketCallbacks callbacks_;
  std::chrono::milliseconds stallTimeout_;
  websocket::response_type response_;
  beast::flat_buffer buffer_;
  std::deque<std::pair<bool, std::string>> queue_;
  std::size_t queuedBytes_ = 0;  // of the payloads in queue_
  std::vector<std::function<void(bool)>> written_;  // whenWritten() callbacks, until the queue is empty
  bool open_ = false;
  bool writing_ = false;
  bool reading_ = false;
  bool stalled_ = false;  // the send queue is over request_.sendQueueMax
  bool userClosed_ = false;
  bool closeStarted_ = false;
  bool done_ = false;
};

class Handle final : public WebSocket {
 public:
  explicit Handle(std::shared_ptr<SessionBase> session) : session_(std::move(session)) {}
  ~Handle() override { session_->close(); }
  void sendText(std::string text) override { session_->sendText(std::move(text)); }
  void sendBinary(Bytes bytes) override { session_->sendBinary(std::move(bytes)); }
  void close() override { session_->close(); }
  void whenWritten(std::function<void(bool written)> done) override { session_->whenWritten(std::move(done)); }
  void setStallTimeout(std::chrono::milliseconds timeout) override { session_->setStallTimeout(timeout); }
  bool stalled() const override { return session_->stalled(); }

 private:
  std::shared_ptr<SessionBase> session_;
};

// The loop's state is shared with its thread: a loop stopped (and destroyed)
// from one of its own tasks detaches the thread, which then finishes the task,
// leaves run() and frees the state itself.
struct LoopState {
  asio::io_context ioc;
  asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(ioc)};
  std::promise<void> finished;
  std::map<IoLoop::TimerId, std::shared_ptr<asio::steady_timer>> timers;
  IoLoop::TimerId nextTimer = 1;
  std::vector<std::weak_ptr<SessionBase>> sessions;
  std::function<void()> idle;

  // Runs the handlers as they become ready; after each burst (everything that
  // was ready, a non-blocking poll included) the idle hook.
  void run() {
    while (ioc.run_one() != 0) {
      ioc.poll();
      if (idle && !ioc.stopped()) {
        idle();
      }
    }
  }

  // Loop thread only: ends every timer and connection.
  void abortAll() {
    for (auto& [id, timer] : timers) {
      timer->cancel();
    }
    timers.clear();
    for (auto& weak : sessions) {
      if (auto session = weak.lock()) {
        session->abort();
      }
    }
    sessions.clear();
  }
};

class AsioLoop final : public IoLoop {
 public:
  AsioLoop() : state_(std::make_shared<LoopState>()) {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([state = state_, &started, this] {
      threadId_ = std::this_thread::get_id();
      started.set_value();
      state->run();
      state->finished.set_value();
    });
    ready.wait();
  }

  // Stopping throws only when the system fails (a lock, a join); ending the program then is right.
  ~AsioLoop() override { stop(); }  // NOLINT(bugprone-exception-escape)

  void post(std::function<void()> task) override { asio::post(state_->ioc, std::move(task)); }

  TimerId schedule(std::chrono::milliseconds delay, std::function<void()> task) override {
    LoopState& state = *state_;
    TimerId id = state.nextTimer++;
    auto timer = std::make_shared<asio::steady_timer>(state.ioc, delay);
    state.timers.emplace(id, timer);
    timer->async_wait([&state, id, timer, task = std::move(task)](beast::error_code ec) {
      auto it = state.timers.find(id);
      if (ec || it == state.timers.end()) {
        return;
      }
      state.timers.erase(it);
      task();
    });
    return id;
  }

  void cancel(TimerId id) override {
    auto it = state_->timers.find(id);
    if (it != state_->timers.end()) {
      it->second->cancel();
      state_->timers.erase(it);
    }
  }

  std::unique_ptr<WebSocket> open(const WebSocketRequest& request, WebSocketCallbacks callbacks) override;

  void setIdleHook(std::function<void()> hook) override {
    asio::post(state_->ioc,
               [state = state_.get(), hook = std::move(hook)]() mutable { state->idle = std::move(hook); });
  }

  void stop() override {
    if (stopped_.exchange(true)) {
      return;
    }
    if (onLoopThread()) {
      // From one of the loop's own tasks: nothing to join. The thread ends
      // once the task returns and frees the state (it holds a reference).
      state_->abortAll();
      state_->work.reset();
      state_->ioc.stop();
      thread_.detach();
      return;
    }
    asio::post(state_->ioc, [state = state_.get()] { state->abortAll(); });
    state_->work.reset();
    auto finished = state_->finished.get_future();
    if (finished.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      state_->ioc.stop();
    }
    thread_.join();
  }

  bool onLoopThread() const override { return std::this_thread::get_id() == threadId_; }

 private:
  std::shared_ptr<LoopState> state_;
  std::thread thread_;
  std::thread::id threadId_;
  std::atomic<bool> stopped_{false};
};

std::unique_ptr<WebSocket> AsioLoop::open(const WebSocketRequest& request, WebSocketCallbacks callbacks) {
  LoopState& state = *state_;
  std::erase_if(state.sessions, [](const std::weak_ptr<SessionBase>& s) { return s.expired(); });
  if (request.secure) {
    ssl::context ctx(ssl::context::tls_client);
    ctx.set_verify_mode(ssl::verify_peer);
    beast::error_code ec;
    if (request.caFile.empty()) {
      ctx.set_default_verify_paths(ec);
    } else {
      ctx.load_verify_file(request.caFile, ec);
    }
    auto session = std::make_shared<Session<true>>(state.ioc, std::move(ctx), request, std::move(callbacks));
    state.sessions.push_back(session);
    if (ec) {
      // Report through the usual path, asynchronously like any other failure.
      std::string reason = describe("loading trusted certificates from " + request.caFile, ec);
      asio::post(state.ioc, [session, reason] { session->failNow(reason); });
    } else {
      session->start();
    }
    return std::make_unique<Handle>(session);
  }
  auto session = std::make_shared<Session<false>>(state.ioc, std::nullopt, request, std::move(callbacks));
  state.sessions.push_back(session);
  session->start();
  return std::make_unique<Handle>(session);
}

}  // namespace

std::expected<ConnectTo, CodecError> parseConnectTo(std::string_view entry) {
  std::vector<std::string> fields;
  std::size_t i = 0;
  while (true) {
    std::string field;
    if (i < entry.size() && entry[i] == '[') {
      auto close = entry.find(']', i);
      if (close == std::string_view::npos) {
        return std::unexpected(CodecError{"unterminated '[' in connect-to entry"});
      }
      field = std::string(entry.substr(i + 1, close - i - 1));
      i = close + 1;
      if (i < entry.size() && entry[i] != ':') {
        return std::unexpected(CodecError{"text after ']' in connect-to entry"});
      }
    } else {
      auto colon = entry.find(':', i);
      field = std::string(entry.substr(i, colon == std::string_view::npos ? std::string_view::npos : colon - i));
      i = colon == std::string_view::npos ? entry.size() : colon;
    }
    fields.push_back(std::move(field));
    if (i >= entry.size()) {
      break;
    }
    ++i;  // the ':'
    if (i == entry.size()) {
      fields.emplace_back();
      break;
    }
  }
  if (fields.size() != 4) {
    return std::unexpected(CodecError{"connect-to entry must be HOST:PORT:ADDRESS:PORT"});
  }
  for (const std::string* port : {&fields[1], &fields[3]}) {
    if (port->empty()) {
      continue;
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), value);
    if (ec != std::errc{} || end != port->data() + port->size() || value == 0 || value > 65535) {
      return std::unexpected(CodecError{"invalid port in connect-to entry"});
    }
  }
  return ConnectTo{fields[0], fields[1], fields[2], fields[3]};
}

std::unique_ptr<IoLoop> makeIoLoop() { return std::make_unique<AsioLoop>(); }

}  // namespace sio
