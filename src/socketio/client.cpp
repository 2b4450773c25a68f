#include "socketio/client.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <variant>

#include "socketio/packet.h"
#include "socketio/transport.h"

namespace sio {

using json = nlohmann::json;

// ---- Pure helpers ----------------------------------------------------------

std::string_view toString(SocketIOStatus status) {
  switch (status) {
    case SocketIOStatus::notConnected:
      return "notConnected";
    case SocketIOStatus::disconnected:
      return "disconnected";
    case SocketIOStatus::connecting:
      return "connecting";
    case SocketIOStatus::connected:
      return "connected";
  }
  return "unknown";
}

std::expected<SocketURL, std::string> parseSocketURL(std::string_view url) {
  auto sep = url.find("://");
  if (sep == std::string_view::npos) {
    return std::unexpected("URL without a scheme: " + std::string(url));
  }
  std::string scheme(url.substr(0, sep));
  std::ranges::transform(scheme, scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  SocketURL out;
  if (scheme == "https" || scheme == "wss") {
    out.secure = true;
  } else if (scheme != "http" && scheme != "ws") {
    return std::unexpected("unsupported URL scheme: " + scheme);
  }
  std::string_view rest = url.substr(sep + 3);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.find('@') != std::string_view::npos) {
    return std::unexpected("URL with user information is not supported");
  }
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) {
      return std::unexpected("unterminated IPv6 address in URL");
    }
    out.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        return std::unexpected("invalid text after IPv6 address in URL");
      }
      portText = after.substr(1);
    }
  } else {
    auto colon = authority.find(':');
    out.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = authority.substr(colon + 1);
    }
  }
  if (out.host.empty()) {
    return std::unexpected("URL without a host");
  }
  if (portText.empty()) {
    out.port = out.secure ? 443 : 80;
  } else {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (ec != std::errc{} || end != portText.data() + portText.size() || value == 0 || value > 65535) {
      return std::unexpected("invalid port in URL: " + std::string(portText));
    }
    out.port = static_cast<std::uint16_t>(value);
  }
  return out;
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string handshakeTarget(std::string_view path, const std::map<std::string, std::string>& params) {
  std::string target(path);
  if (target.empty() || target.front() != '/') {
    target.insert(target.begin(), '/');
  }
  while (target.size() > 1 && target.back() == '/') {
    target.pop_back();
  }
  if (target != "/") {
    target.push_back('/');
  }
  target += "?EIO=4&transport=websocket";
  for (const auto& [key, value] : params) {
    if (key == "EIO" || key == "transport" || key == "sid") {
      continue;  // the protocol's own parameters cannot be overridden
    }
    target.push_back('&');
    target += percentEncode(key);
    target.push_back('=');
    target += percentEncode(value);
  }
  return target;
}

std::chrono::milliseconds reconnectDelay(int attempt, std::chrono::milliseconds wait, std::chrono::milliseconds waitMax,
                                         double factor, double random01) {
  double base = static_cast<double>(std::max<std::int64_t>(wait.count(), 0));
  double max = static_cast<double>(std::max<std::int64_t>(waitMax.count(), 0));
  for (int i = 0; i < attempt && base < max; ++i) {
    base *= 2;
  }
  base = std::min(base, std::max(max, static_cast<double>(wait.count())));
  factor = std::clamp(factor, 0.0, 1.0);
  double delay = base * (1.0 + factor * (2.0 * std::clamp(random01, 0.0, 1.0) - 1.0));
  delay = std::clamp(delay, 0.0, max);
  return std::chrono::milliseconds(static_cast<std::int64_t>(delay));
}

// ---- Internals -------------------------------------------------------------

namespace detail {

using EventKey = std::variant<SocketClientEvent, std::string>;

// A serial queue on a thread of its own: the default handle queue.
class SerialQueue {
 public:
  SerialQueue() : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_] { run(*state); });
  }

  ~SerialQueue() {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
      state_->tasks.clear();
    }
    state_->wake.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // destroyed from one of its own tasks; the state outlives us
    } else {
      thread_.join();
    }
  }

  void post(std::function<void()> task) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->stopping) {
        return;
      }
      state_->tasks.push_back(std::move(task));
    }
    state_->wake.notify_one();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
  };

  static void run(State& state) {
    std::unique_lock lock(state.mutex);
    while (true) {
      state.wake.wait(lock, [&] { return state.stopping || !state.tasks.empty(); });
      if (state.stopping) {
        return;
      }
      auto task = std::move(state.tasks.front());
      state.tasks.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::shared_ptr<State> state_;
  std::thread thread_;
};

// Handlers and what the handle queue needs, shared with posted tasks so that a
// task outliving the manager finds `alive` false and does nothing.
struct Shared {
  struct Entry {
    HandlerId id;
    EventKey key;
    std::shared_ptr<NormalCallback> callback;
  };

  std::mutex mutex;
  std::vector<Entry> handlers;
  HandlerId nextId = 1;
  std::atomic<bool> alive{true};
  std::atomic<bool> log{false};
  // Held while an event's handlers run; the manager's destruction takes it to
  // wait for them (recursive: a handler may destroy the manager itself).
  std::recursive_mutex running;
  mutable std::shared_mutex loggerMutex;
  std::function<void(const std::string&)> logger;  // guarded by loggerMutex; empty once released

  std::vector<std::shared_ptr<NormalCallback>> snapshot(const EventKey& key) {
    std::lock_guard lock(mutex);
    std::vector<std::shared_ptr<NormalCallback>> out;
    for (const auto& entry : handlers) {
      if (entry.key == key) {
        out.push_back(entry.callback);
      }
    }
    return out;
  }

  void write(const std::string& line) const {
    if (!log.load()) {
      return;
    }
    std::shared_lock lock(loggerMutex);
    if (logger) {
      logger("SocketIO: " + line);
    }
  }

  // Lets the caller's thread release the logger: no line is written afterwards.
  std::function<void(const std::string&)> takeLogger() {
    std::unique_lock lock(loggerMutex);
    return std::exchange(logger, nullptr);
  }
};

struct AckState {
  std::weak_ptr<ManagerCore> core;
  std::uint64_t generation = 0;
  std::optional<std::uint64_t> id;
  std::string nsp = "/";
  std::atomic<bool> used{false};
};

class ManagerCore : public std::enable_shared_from_this<ManagerCore> {
  using HandleQueue = std::function<void(std::function<void()>)>;
  struct PendingEvent {
    EventKey key;
    std::vector<json> data;
    std::shared_ptr<AckState> ack;
  };
  // An emit (no generation: for whatever connection is up) or an acknowledgement.
  struct PendingSend {
    std::optional<std::uint64_t> generation;
    std::uint64_t ackId = 0;
    std::string event;
    EncodedPacket packet;
  };

 public:
  ManagerCore(const std::string& url, SocketManagerConfig config, SocketManagerEnvironment environment)
      : url_(parseSocketURL(url)), config_(std::move(config)), shared_(std::make_shared<Shared>()) {
    shared_->log = config_.log;
    shared_->logger =
        environment.logger ? std::move(environment.logger) : [](const std::string& line) { std::cerr << line << '\n'; };
    if (environment.handleQueue) {
      handleQueue_ = std::make_shared<const HandleQueue>(std::move(environment.handleQueue));
    } else {
      ownQueue_ = std::make_unique<SerialQueue>();
      handleQueue_ = std::make_shared<const HandleQueue>(
          [queue = ownQueue_.get()](std::function<void()> task) { queue->post(std::move(task)); });
    }
    caFile_ = std::move(environment.caFile);
    for (const auto& entry : environment.connectTo) {
      if (auto parsed = parseConnectTo(entry)) {
        connectTo_.push_back(*parsed);
      } else {
        connectToErrors_.push_back(entry + ": " + parsed.error().message);
      }
    }
    loop_ = makeIoLoop();
  }

  // Once owned by a shared pointer.
  void start() {
    loop_->setIdleHook([weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        self->flushBatch();
      }
    });
  }

  ~ManagerCore() { shutdown(); }

  // Stops the I/O thread and releases the environment's hooks on the calling
  // thread, which may be any: the loop's, the handle queue's, a handler's. The
  // object itself may live on afterwards (an acknowledgement handle that is
  // sending holds it) and then ends on whatever thread drops it last, with
  // nothing left that joins a thread or runs user code. The loop object stays
  // (stopped) so that late posts from other threads are harmless.
  void shutdown() {
    if (shutDown_.exchange(true)) {
      return;
    }
    shared_->alive = false;
    // A handler running on another thread finishes first; none starts afterwards.
    { std::lock_guard wait(shared_->running); }
    auto leave = [this] {
      // Leave the namespace when the connection is up (best effort: the
      // loop stops right after, which may cut the frame off).
      if (ws_ && nspConnected_) {
        sendPacket(Packet{PacketType::disconnect, "/", std::nullopt, nullptr});
      }
      dropEngine();
    };
    if (loop_->onLoopThread()) {
      leave();  // from a task of the loop (a handle queue that runs handlers at once)
    } else {
      loop_->post(leave);
    }
    loop_->stop();
    ws_.reset();
    // Nothing posts to the handle queue any more. A call of it in progress on
    // this thread keeps its own reference.
    handleQueue_.reset();
    ownQueue_.reset();  // detaches its thread when that is this one
    shared_->takeLogger();
  }

  // ---- API entry points (any thread) ----

  HandlerId on(EventKey key, NormalCallback callback) {
    std::lock_guard lock(shared_->mutex);
    HandlerId id = shared_->nextId++;
    shared_->handlers.push_back({id, std::move(key), std::make_shared<NormalCallback>(std::move(callback))});
    return id;
  }

  void off(HandlerId id) {
    std::lock_guard lock(shared_->mutex);
    std::erase_if(shared_->handlers, [id](const Shared::Entry& e) { return e.id == id; });
  }

  void off(const EventKey& key) {
    std::lock_guard lock(shared_->mutex);
    std::erase_if(shared_->handlers, [&](const Shared::Entry& e) { return e.key == key; });
  }

  void connect(json payload) {
    post([this, payload = std::move(payload)]() mutable { doConnect(std::move(payload)); });
  }
  void disconnect() {
    post([this] { doDisconnect(); });
  }
  void setReconnecting(std::string reason) {
    post([this, reason = std::move(reason)] { doSetReconnecting(reason); });
  }
  void emit(std::string event, std::vector<json> items) {
    EncodedPacket packet = encodePacket(makeEvent(event, std::move(items)));
    queueSend({std::nullopt, 0, std::move(event), std::move(packet)});
  }

  SocketManagerConfig config() const {
    std::lock_guard lock(configMutex_);
    return config_;
  }

  void setConfig(SocketManagerConfig config) {
    std::lock_guard lock(configMutex_);
    config_ = std::move(config);
    shared_->log = config_.log;
  }

  SocketIOStatus status() const { return status_.load(); }

  std::string extensions() const {
    std::lock_guard lock(configMutex_);
    return extensions_;
  }

  // From an acknowledgement handle, any thread. The packet is encoded here;
  // what is given while earlier packets wait for the loop goes with them in
  // one loop task (emits and acknowledgements in the order given).
  void sendAck(const std::shared_ptr<AckState>& ack, std::vector<json> items) {
    queueSend({ack->generation, *ack->id, {}, encodePacket(makeAck(*ack->id, std::move(items), ack->nsp))});
  }

  void log(const std::string& line) const { shared_->write(line); }

  // Waits until what was emitted or acknowledged before the call has been written to
  // the connection, or dropped, for at most `timeout`. Not from the loop thread.
  bool flush(std::chrono::milliseconds timeout) {
    if (shutDown_ || loop_->onLoopThread()) {
      return false;
    }
    struct Wait {
      std::mutex mutex;
      std::condition_variable ended;
      bool over = false;
      void end() {
        std::lock_guard lock(mutex);
        over = true;
        ended.notify_all();
      }
    };
    auto wait = std::make_shared<Wait>();
    post([this, wait] {
      flushSends();
      if (!ws_) {
        wait->end();  // nothing to write to: what was given is dropped
        return;
      }
      ws_->whenWritten([wait](bool) { wait->end(); });
    });
    std::unique_lock lock(wait->mutex);
    return wait->ended.wait_for(lock, timeout, [&] { return wait->over; });
  }

 private:
  void post(std::function<void()> task) {
    if (!shutDown_) {
      loop_->post(guarded(std::move(task)));
    }
  }

  // Wraps a loop task so that it holds the core while it runs: a handler run
  // at once by the handle queue may destroy the manager in the middle of it.
  std::function<void()> guarded(std::function<void()> task) {
    return [weak = weak_from_this(), task = std::move(task)] {
      if (auto self = weak.lock()) {
        task();
      }
    };
  }

  IoLoop::TimerId schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    return loop_->schedule(delay, guarded(std::move(task)));
  }

  // ---- Loop thread ----

  void setStatus(SocketIOStatus status) {
    if (status_.exchange(status) != status) {
      emitClient(SocketClientEvent::statusChange, {json(std::string(toString(status)))});
    }
  }

  void doConnect(json payload) {
    if (!url_) {
      log("cannot connect: " + url_.error());
      emitClient(SocketClientEvent::error, {json(url_.error())});
      return;
    }
    wantConnected_ = true;
    connectPayload_ = std::move(payload);
    if (reconnectTimer_) {
      loop_->cancel(*reconnectTimer_);
      reconnectTimer_.reset();
    }
    if (nspConnected_) {
      log("connect ignored: already connected");
      return;
    }
    if (ws_) {
      if (engineOpen_ && !connectSent_) {
        sendConnect();
      }
      return;  // the namespace connect follows the engine's open
    }
    openEngine();
  }

  void doDisconnect() {
    wantConnected_ = false;
    if (reconnectTimer_) {
      loop_->cancel(*reconnectTimer_);
      reconnectTimer_.reset();
    }
    bool wasConnected = nspConnected_;
    if (ws_ && nspConnected_) {
      sendPacket(Packet{PacketType::disconnect, "/", std::nullopt, nullptr});
    }
    dropEngine();
    setStatus(SocketIOStatus::disconnected);
    if (wasConnected) {
      log("disconnected by the client");
      emitClient(SocketClientEvent::disconnect, {json("io client disconnect")});
    }
  }

  void doSetReconnecting(const std::string& reason) {
    setStatus(SocketIOStatus::connecting);
    emitClient(SocketClientEvent::reconnect, {json(reason)});
  }

  void openEngine() {
    {
      std::lock_guard lock(configMutex_);
      active_ = config_;
    }
    for (const auto& error : connectToErrors_) {
      log("ignoring connect-to entry " + error);
    }
    WebSocketRequest request;
    request.host = url_->host;
    request.port = url_->port;
    request.secure = active_.secure.value_or(url_->secure);
    request.target = handshakeTarget(active_.path, active_.connectParams);
    request.compress = active_.compress;
    request.caFile = caFile_;
    request.connectTo = connectTo_;
    request.headers.assign(active_.extraHeaders.begin(), active_.extraHeaders.end());
    request.timeout = active_.connectTimeout;

    std::uint64_t generation = ++generation_;
    setStatus(SocketIOStatus::connecting);
    // The query is left out of the log: it carries the connect parameters (a token).
    log(std::string("connecting to ") + (request.secure ? "wss://" : "ws://") + request.host + ":" +
        std::to_string(request.port) + request.target.substr(0, request.target.find('?')) +
        (request.compress ? " (compression offered)" : ""));
    WebSocketCallbacks callbacks;
    // Each callback holds the core while it runs (see guarded).
    std::weak_ptr<ManagerCore> weak = weak_from_this();
    callbacks.onOpen = [weak, generation](const std::string& extensions) {
      auto self = weak.lock();
      if (self && generation == self->generation_) {
        self->onWebSocketOpen(extensions);
      }
    };
    callbacks.onText = [weak, generation](const std::string& text) {
      auto self = weak.lock();
      if (self && generation == self->generation_) {
        self->onText(text);
      }
    };
    callbacks.onBinary = [weak, generation](Bytes bytes) {
      auto self = weak.lock();
      if (self && generation == self->generation_) {
        self->onBinary(std::move(bytes));
      }
    };
    callbacks.onClose = [weak, generation](const std::string& reason) {
      auto self = weak.lock();
      if (self && generation == self->generation_) {
        self->engineFailed(reason);
      }
    };
    ws_ = loop_->open(request, std::move(callbacks));
    connectTimer_ = schedule(active_.connectTimeout, [this, generation] {
      connectTimer_.reset();
      if (generation == generation_) {
        engineFailed("connect timeout");
      }
    });
  }

  void onWebSocketOpen(const std::string& extensions) {
    log("WebSocket open" + (extensions.empty() ? std::string() : ", extensions: " + extensions));
    std::lock_guard lock(configMutex_);
    extensions_ = extensions;
  }

  void onText(const std::string& text) {
    auto packet = decodeEnginePacket(text);
    if (!packet) {
      log("dropped frame: " + packet.error().message);
      return;
    }
    switch (packet->type) {
      case EnginePacketType::open: {
        if (engineOpen_) {
          log("dropped a second open packet");
          return;
        }
        auto info = decodeOpen(packet->data);
        if (!info) {
          engineFailed("invalid open packet: " + info.error().message);
          return;
        }
        engineOpen_ = true;
        open_ = *info;
        log("engine open, sid " + info->sid);
        armPingTimer();
        if (wantConnected_) {
          sendConnect();
        }
        return;
      }
      case EnginePacketType::ping:
        ws_->sendText(encodeEnginePacket({EnginePacketType::pong, packet->data}));
        armPingTimer();
        return;
      case EnginePacketType::close:
        engineFailed("transport closed by the server");
        return;
      case EnginePacketType::message:
        if (!engineOpen_) {
          log("dropped a message before the open packet");
          return;
        }
        if (decoder_.awaitingAttachments()) {
          log("dropped a binary packet whose attachments did not all arrive");
        }
        deliver(decoder_.feedText(packet->data));
        return;
      case EnginePacketType::pong:
      case EnginePacketType::upgrade:
      case EnginePacketType::noop:
        return;
    }
  }

  void onBinary(Bytes bytes) {
    if (!engineOpen_) {
      log("dropped a binary frame before the open packet");
      return;
    }
    deliver(decoder_.feedBinary(std::move(bytes)));
  }

  void deliver(std::expected<std::optional<Packet>, CodecError> decoded) {
    if (!decoded) {
      log("dropped packet: " + decoded.error().message);
      return;
    }
    if (*decoded) {
      handlePacket(std::move(**decoded));
    }
  }

  void handlePacket(Packet packet) {
    if (packet.nsp != "/") {
      log("dropped packet for namespace " + packet.nsp);
      return;
    }
    switch (packet.type) {
      case PacketType::connect: {
        if (nspConnected_) {
          log("dropped a repeated namespace connect");
          return;
        }
        nspConnected_ = true;
        reconnectAttempt_ = 0;
        if (connectTimer_) {
          loop_->cancel(*connectTimer_);
          connectTimer_.reset();
        }
        log("connected");
        setStatus(SocketIOStatus::connected);
        emitClient(SocketClientEvent::connect, {json("/")});
        return;
      }
      case PacketType::connectError: {
        if (nspConnected_) {
          log("dropped a connect error on a connected namespace");
          return;
        }
        log("connect refused by the server: " + packet.data.dump(-1, ' ', false, json::error_handler_t::replace));
        wantConnected_ = false;
        dropEngine();
        setStatus(SocketIOStatus::disconnected);
        emitClient(SocketClientEvent::error, {packet.data});
        return;
      }
      case PacketType::disconnect: {
        bool wasConnected = nspConnected_;
        wantConnected_ = false;
        dropEngine();
        setStatus(SocketIOStatus::disconnected);
        log("disconnected by the server");
        if (wasConnected) {
          emitClient(SocketClientEvent::disconnect, {json("io server disconnect")});
        }
        return;
      }
      case PacketType::event:
      case PacketType::binaryEvent: {
        if (!nspConnected_) {
          log("dropped an event before the namespace connect");
          return;
        }
        auto& array = packet.data.get_ref<json::array_t&>();
        std::string name = array.front().get<std::string>();
        std::vector<json> args(std::make_move_iterator(array.begin() + 1), std::make_move_iterator(array.end()));
        auto ack = std::make_shared<AckState>();
        ack->core = weak_from_this();
        ack->generation = generation_;
        ack->id = packet.id;
        if (active_.log) {
          log("event \"" + name + "\"" + (packet.id ? " asking for ack " + std::to_string(*packet.id) : ""));
        }
        dispatch(EventKey(std::move(name)), std::move(args), std::move(ack));
        return;
      }
      case PacketType::ack:
      case PacketType::binaryAck:
        log("dropped ack " + std::to_string(packet.id.value_or(0)) + ": no emit asked for it");
        return;
    }
  }

  void sendConnect() {
    connectSent_ = true;
    json payload = connectPayload_.is_object() ? connectPayload_ : json(nullptr);
    sendPacket(makeConnect("/", std::move(payload)));
  }

  void sendPacket(const Packet& packet) { sendEncoded(encodePacket(packet)); }

  void sendEncoded(EncodedPacket encoded) {
    encoded.text.insert(encoded.text.begin(), '4');
    ws_->sendText(std::move(encoded.text));
    for (auto& attachment : encoded.attachments) {
      ws_->sendBinary(std::move(attachment));
    }
  }

  void armPingTimer() {
    if (pingTimer_) {
      loop_->cancel(*pingTimer_);
    }
    auto wait = pingWatchDelay(open_);
    std::uint64_t generation = generation_;
    pingTimer_ = schedule(wait, [this, generation] {
      pingTimer_.reset();
      if (generation == generation_) {
        engineFailed("ping timeout");
      }
    });
  }

  // Closes the current connection (if any) and forgets its state.
  void dropEngine() {
    ++generation_;
    for (auto* timer : {&pingTimer_, &connectTimer_}) {
      if (*timer) {
        loop_->cancel(**timer);
        timer->reset();
      }
    }
    if (ws_) {
      ws_->close();
      ws_.reset();
    }
    decoder_.reset();
    engineOpen_ = false;
    nspConnected_ = false;
    connectSent_ = false;
  }

  void engineFailed(const std::string& reason) {
    bool wasConnected = nspConnected_;
    dropEngine();
    log((wasConnected ? "connection lost: " : "connection failed: ") + reason);
    bool retry = wantConnected_ && active_.reconnects;
    if (!retry) {
      wantConnected_ = false;
    }
    // The status is current by the time the handlers hear of the failure.
    setStatus(retry ? SocketIOStatus::connecting : SocketIOStatus::disconnected);
    emitClient(wasConnected ? SocketClientEvent::disconnect : SocketClientEvent::error, {json(reason)});
    if (retry) {
      scheduleReconnect(reason);
    }
  }

  void scheduleReconnect(const std::string& reason) {
    if (active_.reconnectAttempts >= 0 && reconnectAttempt_ >= active_.reconnectAttempts) {
      log("reconnection given up after " + std::to_string(reconnectAttempt_) + " attempts");
      wantConnected_ = false;
      reconnectAttempt_ = 0;
      setStatus(SocketIOStatus::disconnected);
      emitClient(SocketClientEvent::disconnect, {json("Reconnect Failed")});
      return;
    }
    // The options of the next connection decide how it is retried.
    {
      std::lock_guard lock(configMutex_);
      active_ = config_;
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto delay = reconnectDelay(reconnectAttempt_, active_.reconnectWait, active_.reconnectWaitMax,
                                active_.randomizationFactor, unit(random_));
    if (reconnectAttempt_ == 0) {
      emitClient(SocketClientEvent::reconnect, {json(reason)});
    }
    ++reconnectAttempt_;
    int left = active_.reconnectAttempts < 0 ? -1 : active_.reconnectAttempts - reconnectAttempt_;
    setStatus(SocketIOStatus::connecting);
    emitClient(SocketClientEvent::reconnectAttempt, {json(left)});
    log("reconnecting in " + std::to_string(delay.count()) + " ms");
    reconnectTimer_ = schedule(delay, [this] {
      reconnectTimer_.reset();
      if (wantConnected_ && !ws_) {
        openEngine();
      }
    });
  }

  void queueSend(PendingSend send) {
    bool first = false;
    {
      std::lock_guard lock(sendMutex_);
      pendingSends_.push_back(std::move(send));
      first = !sendFlushPosted_;
      sendFlushPosted_ = true;
    }
    if (first) {
      post([this] { flushSends(); });
    }
  }

  void flushSends() {
    std::vector<PendingSend> sends;
    {
      std::lock_guard lock(sendMutex_);
      sends.swap(pendingSends_);
      sendFlushPosted_ = false;
    }
    for (auto& send : sends) {
      if (!ws_ || !nspConnected_ || (send.generation && *send.generation != generation_)) {
        log(send.generation ? "acknowledgement " + std::to_string(send.ackId) + " dropped: its connection has ended"
                            : "emit of \"" + send.event + "\" dropped: not connected");
        continue;
      }
      sendEncoded(std::move(send.packet));
    }
  }

  void emitClient(SocketClientEvent event, std::vector<json> data) {
    dispatch(EventKey(event), std::move(data), std::make_shared<AckState>());
  }

  // Events wait in `batch_` until the loop has run what was ready (the idle
  // hook): one task on the handle queue then runs the handlers of them all,
  // in order.
  void dispatch(EventKey key, std::vector<json> data, std::shared_ptr<AckState> ack) {
    batch_.push_back({std::move(key), std::move(data), std::move(ack)});
    if (batch_.size() >= kBatchMax) {
      flushBatch();
    }
  }

  // A long burst goes on in parts of this many events, so that the handlers
  // (and the server, with their acknowledgements) work while the rest is read.
  static constexpr std::size_t kBatchMax = 32;

  void flushBatch() {
    if (batch_.empty()) {
      return;
    }
    auto queue = handleQueue_;  // the call may destroy the manager (a queue that runs at once)
    if (!queue) {
      batch_.clear();
      return;
    }
    std::vector<PendingEvent> events;
    events.swap(batch_);
    (*queue)([shared = shared_, events = std::move(events)] {
      std::lock_guard running(shared->running);
      for (const auto& event : events) {
        if (!shared->alive) {
          return;
        }
        SocketAckEmitter emitter = ManagerCore::makeEmitter(event.ack);
        for (const auto& callback : shared->snapshot(event.key)) {
          if (!shared->alive) {
            return;
          }
          try {
            (*callback)(event.data, emitter);
          } catch (const std::exception& e) {
            shared->write(std::string("handler threw: ") + e.what());
          } catch (...) {
            shared->write("handler threw");
          }
        }
      }
    });
  }

 public:
  static SocketAckEmitter makeEmitter(std::shared_ptr<AckState> state) { return SocketAckEmitter(std::move(state)); }

 private:
  std::expected<SocketURL, std::string> url_;
  mutable std::mutex configMutex_;
  SocketManagerConfig config_;  // guarded by configMutex_
  std::string extensions_;      // guarded by configMutex_
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<const HandleQueue> handleQueue_;  // loop thread, then shutdown
  std::unique_ptr<SerialQueue> ownQueue_;
  std::string caFile_;
  std::vector<ConnectTo> connectTo_;
  std::vector<std::string> connectToErrors_;
  std::atomic<SocketIOStatus> status_{SocketIOStatus::notConnected};

  // Loop thread only.
  SocketManagerConfig active_;
  std::unique_ptr<WebSocket> ws_;
  std::uint64_t generation_ = 0;
  bool engineOpen_ = false;
  bool nspConnected_ = false;
  bool connectSent_ = false;
  bool wantConnected_ = false;
  json connectPayload_;
  OpenInfo open_;
  PacketDecoder decoder_;
  std::optional<IoLoop::TimerId> pingTimer_;
  std::optional<IoLoop::TimerId> connectTimer_;
  std::optional<IoLoop::TimerId> reconnectTimer_;
  int reconnectAttempt_ = 0;
  std::mt19937 random_{std::random_device{}()};

  std::vector<PendingEvent> batch_;  // loop thread
  std::mutex sendMutex_;
  std::vector<PendingSend> pendingSends_;  // guarded by sendMutex_
  bool sendFlushPosted_ = false;           // guarded by sendMutex_
  std::atomic<bool> shutDown_{false};
  std::unique_ptr<IoLoop> loop_;  // last: destroyed first
};

}  // namespace detail

// ---- SocketAckEmitter --------------------------------------------------------

SocketAckEmitter::SocketAckEmitter() : state_(std::make_shared<detail::AckState>()) {}

SocketAckEmitter::SocketAckEmitter(std::shared_ptr<detail::AckState> state) : state_(std::move(state)) {}

bool SocketAckEmitter::expected() const { return state_->id.has_value(); }

std::optional<std::uint64_t> SocketAckEmitter::ackNum() const { return state_->id; }

void SocketAckEmitter::with(std::vector<nlohmann::json> items) {
  if (!state_->id) {
    return;  // the server did not ask for an acknowledgement
  }
  if (state_->used.exchange(true)) {
    if (auto core = state_->core.lock()) {
      core->log("second acknowledgement of " + std::to_string(*state_->id) + " dropped");
    }
    return;
  }
  if (auto core = state_->core.lock()) {
    core->sendAck(state_, std::move(items));
  }
}

// ---- SocketIOClient ------------------------------------------------------------

SocketIOClient::SocketIOClient(std::shared_ptr<detail::ManagerCore> core, std::string nsp)
    : core_(std::move(core)), nsp_(std::move(nsp)) {}

HandlerId SocketIOClient::on(SocketClientEvent event, NormalCallback callback) {
  return core_->on(event, std::move(callback));
}

HandlerId SocketIOClient::on(const std::string& event, NormalCallback callback) {
  return core_->on(event, std::move(callback));
}

void SocketIOClient::off(HandlerId id) { core_->off(id); }

void SocketIOClient::off(const std::string& event) { core_->off(detail::EventKey(event)); }

void SocketIOClient::connect(nlohmann::json payload) { core_->connect(std::move(payload)); }

void SocketIOClient::disconnect() { core_->disconnect(); }

void SocketIOClient::setReconnecting(const std::string& reason) { core_->setReconnecting(reason); }

void SocketIOClient::emit(const std::string& event, std::vector<nlohmann::json> items) {
  core_->emit(event, std::move(items));
}

SocketIOStatus SocketIOClient::status() const { return core_->status(); }

// ---- SocketManager -------------------------------------------------------------

SocketManager::SocketManager(std::string socketURL, SocketManagerConfig config, SocketManagerEnvironment environment)
    : socketURL_(std::move(socketURL)),
      core_(std::make_shared<detail::ManagerCore>(socketURL_, std::move(config), std::move(environment))),
      defaultSocket_(new SocketIOClient(core_, "/")) {
  core_->start();
}

SocketManager::~SocketManager() {
  core_->shutdown();
  defaultSocket_.reset();
}

SocketManagerConfig SocketManager::config() const { return core_->config(); }

void SocketManager::setConfig(SocketManagerConfig config) { core_->setConfig(std::move(config)); }

std::string SocketManager::negotiatedExtensions() const { return core_->extensions(); }

bool SocketManager::flush(std::chrono::milliseconds timeout) { return core_->flush(timeout); }

}  // namespace sio
