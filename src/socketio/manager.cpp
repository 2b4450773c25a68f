// The manager's core: connection state, reconnection, the ping watch, handler
// dispatch and the sends given from any thread (see manager.h).
#include "socketio/manager.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <shared_mutex>
#include <thread>

namespace sio {

using json = nlohmann::json;

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

namespace detail {

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

ManagerCore::ManagerCore(const std::string& url, SocketManagerConfig config, SocketManagerEnvironment environment)
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

ManagerCore::~ManagerCore() { shutdown(); }

void ManagerCore::log(const std::string& line) const { shared_->write(line); }

void ManagerCore::sendPacket(const Packet& packet) { sendEncoded(encodePacket(packet)); }

// Once owned by a shared pointer.
void ManagerCore::start() {
  loop_->setIdleHook([weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->flushBatch();
    }
  });
}

// Stops the I/O thread and releases the environment's hooks on the calling
// thread, which may be any: the loop's, the handle queue's, a handler's. The
// object itself may live on afterwards (an acknowledgement handle that is
// sending holds it) and then ends on whatever thread drops it last, with
// nothing left that joins a thread or runs user code. The loop object stays
// (stopped) so that late posts from other threads are harmless.
void ManagerCore::shutdown() {
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

HandlerId ManagerCore::on(EventKey key, NormalCallback callback) {
  std::lock_guard lock(shared_->mutex);
  HandlerId id = shared_->nextId++;
  shared_->handlers.push_back({id, std::move(key), std::make_shared<NormalCallback>(std::move(callback))});
  return id;
}

void ManagerCore::off(HandlerId id) {
  std::lock_guard lock(shared_->mutex);
  std::erase_if(shared_->handlers, [id](const Shared::Entry& e) { return e.id == id; });
}

void ManagerCore::off(const EventKey& key) {
  std::lock_guard lock(shared_->mutex);
  std::erase_if(shared_->handlers, [&](const Shared::Entry& e) { return e.key == key; });
}

void ManagerCore::connect(json payload) {
  post([this, payload = std::move(payload)]() mutable { doConnect(std::move(payload)); });
}

void ManagerCore::disconnect() {
  post([this] { doDisconnect(); });
}

void ManagerCore::setReconnecting(std::string reason) {
  post([this, reason = std::move(reason)] { doSetReconnecting(reason); });
}

void ManagerCore::emit(std::string event, std::vector<json> items) {
  EncodedPacket packet = encodePacket(makeEvent(event, std::move(items)));
  queueSend({std::nullopt, 0, std::move(event), std::move(packet)});
}

SocketManagerConfig ManagerCore::config() const {
  std::lock_guard lock(configMutex_);
  return config_;
}

void ManagerCore::setConfig(SocketManagerConfig config) {
  std::lock_guard lock(configMutex_);
  config_ = std::move(config);
  shared_->log = config_.log;
}

std::string ManagerCore::extensions() const {
  std::lock_guard lock(configMutex_);
  return extensions_;
}

// From an acknowledgement handle, any thread. The packet is encoded here;
// what is given while earlier packets wait for the loop goes with them in
// one loop task (emits and acknowledgements in the order given).
void ManagerCore::sendAck(const std::shared_ptr<AckState>& ack, std::vector<json> items) {
  queueSend({ack->generation, *ack->id, {}, encodePacket(makeAck(*ack->id, std::move(items), ack->nsp))});
}

// Waits until what was emitted or acknowledged before the call has been written to
// the connection, or dropped, for at most `timeout`. Not from the loop thread.
bool ManagerCore::flush(std::chrono::milliseconds timeout) {
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

void ManagerCore::post(std::function<void()> task) {
  if (!shutDown_) {
    loop_->post(guarded(std::move(task)));
  }
}

// Wraps a loop task so that it holds the core while it runs: a handler run
// at once by the handle queue may destroy the manager in the middle of it.
std::function<void()> ManagerCore::guarded(std::function<void()> task) {
  return [weak = weak_from_this(), task = std::move(task)] {
    if (auto self = weak.lock()) {
      task();
    }
  };
}

IoLoop::TimerId ManagerCore::schedule(std::chrono::milliseconds delay, std::function<void()> task) {
  return loop_->schedule(delay, guarded(std::move(task)));
}

void ManagerCore::setStatus(SocketIOStatus status) {
  if (status_.exchange(status) != status) {
    emitClient(SocketClientEvent::statusChange, {json(std::string(toString(status)))});
  }
}

void ManagerCore::doConnect(json payload) {
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

void ManagerCore::doDisconnect() {
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

void ManagerCore::doSetReconnecting(const std::string& reason) {
  setStatus(SocketIOStatus::connecting);
  emitClient(SocketClientEvent::reconnect, {json(reason)});
}

void ManagerCore::openEngine() {
  {
    std::lock_guard lock(configMutex_);
    active_ = config_;
  }
  for (const auto& error : connectToErrors_) {
    log("ignoring connect-to entry " + error);
  }
  WebSocketRequest request = upgradeRequest();
  std::uint64_t generation = ++generation_;
  setStatus(SocketIOStatus::connecting);
  // The query is left out of the log: it carries the connect parameters (a token).
  log(std::string("connecting to ") + (request.secure ? "wss://" : "ws://") + request.host + ":" +
      std::to_string(request.port) + request.target.substr(0, request.target.find('?')) +
      (request.compress ? " (compression offered)" : ""));
  ws_ = loop_->open(request, callbacksFor(generation));
  connectTimer_ = schedule(active_.connectTimeout, [this, generation] {
    connectTimer_.reset();
    if (generation == generation_) {
      engineFailed("connect timeout");
    }
  });
}

// The upgrade request of the next connection, from the options now active.
WebSocketRequest ManagerCore::upgradeRequest() const {
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
  request.sendQueueMax = active_.sendQueueMax;
  return request;
}

// The WebSocket's callbacks for connection `generation`: each holds the core
// while it runs (see guarded) and does nothing once a later connection began.
WebSocketCallbacks ManagerCore::callbacksFor(std::uint64_t generation) {
  WebSocketCallbacks callbacks;
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
  return callbacks;
}

void ManagerCore::onWebSocketOpen(const std::string& extensions) {
  log("WebSocket open" + (extensions.empty() ? std::string() : ", extensions: " + extensions));
  std::lock_guard lock(configMutex_);
  extensions_ = extensions;
}

void ManagerCore::onText(const std::string& text) {
  auto packet = decodeEnginePacket(text);
  if (!packet) {
    log("dropped frame: " + packet.error().message);
    return;
  }
  switch (packet->type) {
    case EnginePacketType::open:
      onEngineOpen(packet->data);
      return;
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

// The Engine.IO handshake: the server's ping settings, then the namespace connect.
void ManagerCore::onEngineOpen(const std::string& data) {
  if (engineOpen_) {
    log("dropped a second open packet");
    return;
  }
  auto info = decodeOpen(data);
  if (!info) {
    engineFailed("invalid open packet: " + info.error().message);
    return;
  }
  engineOpen_ = true;
  open_ = *info;
  // A server that does not take what is queued within its own ping timeout is dropped.
  ws_->setStallTimeout(std::chrono::milliseconds(open_.pingTimeout));
  log("engine open, sid " + info->sid);
  armPingTimer();
  if (wantConnected_) {
    sendConnect();
  }
}

void ManagerCore::onBinary(Bytes bytes) {
  if (!engineOpen_) {
    log("dropped a binary frame before the open packet");
    return;
  }
  deliver(decoder_.feedBinary(std::move(bytes)));
}

void ManagerCore::deliver(std::expected<std::optional<Packet>, CodecError> decoded) {
  if (!decoded) {
    log("dropped packet: " + decoded.error().message);
    return;
  }
  if (*decoded) {
    handlePacket(std::move(**decoded));
  }
}

void ManagerCore::handlePacket(Packet packet) {
  if (packet.nsp != "/") {
    log("dropped packet for namespace " + packet.nsp);
    return;
  }
  switch (packet.type) {
    case PacketType::connect:
      onNamespaceConnect();
      return;
    case PacketType::connectError:
      onConnectError(packet.data);
      return;
    case PacketType::disconnect:
      onServerDisconnect();
      return;
    case PacketType::event:
    case PacketType::binaryEvent:
      onEvent(std::move(packet));
      return;
    case PacketType::ack:
    case PacketType::binaryAck:
      log("dropped ack " + std::to_string(packet.id.value_or(0)) + ": no emit asked for it");
      return;
  }
}

void ManagerCore::onNamespaceConnect() {
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
}

// A refused namespace connect is final: no reconnection follows.
void ManagerCore::onConnectError(const json& data) {
  if (nspConnected_) {
    log("dropped a connect error on a connected namespace");
    return;
  }
  log("connect refused by the server: " + data.dump(-1, ' ', false, json::error_handler_t::replace));
  wantConnected_ = false;
  dropEngine();
  setStatus(SocketIOStatus::disconnected);
  emitClient(SocketClientEvent::error, {data});
}

// The server left the namespace: final, as the client's own disconnect().
void ManagerCore::onServerDisconnect() {
  bool wasConnected = nspConnected_;
  wantConnected_ = false;
  dropEngine();
  setStatus(SocketIOStatus::disconnected);
  log("disconnected by the server");
  if (wasConnected) {
    emitClient(SocketClientEvent::disconnect, {json("io server disconnect")});
  }
}

void ManagerCore::onEvent(Packet packet) {
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
}

void ManagerCore::sendConnect() {
  connectSent_ = true;
  json payload = connectPayload_.is_object() ? connectPayload_ : json(nullptr);
  sendPacket(makeConnect("/", std::move(payload)));
}

void ManagerCore::sendEncoded(EncodedPacket encoded) {
  encoded.text.insert(encoded.text.begin(), '4');
  ws_->sendText(std::move(encoded.text));
  for (auto& attachment : encoded.attachments) {
    ws_->sendBinary(std::move(attachment));
  }
}

void ManagerCore::armPingTimer() {
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
void ManagerCore::dropEngine() {
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

void ManagerCore::engineFailed(const std::string& reason) {
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

void ManagerCore::scheduleReconnect(const std::string& reason) {
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

void ManagerCore::queueSend(PendingSend send) {
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

void ManagerCore::flushSends() {
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
    if (!send.generation && ws_->stalled()) {
      log("emit of \"" + send.event + "\" dropped: the send queue is full");
      continue;
    }
    sendEncoded(std::move(send.packet));
  }
}

void ManagerCore::emitClient(SocketClientEvent event, std::vector<json> data) {
  dispatch(EventKey(event), std::move(data), std::make_shared<AckState>());
}

// Events wait in `batch_` until the loop has run what was ready (the idle
// hook): one task on the handle queue then runs the handlers of them all,
// in order.
void ManagerCore::dispatch(EventKey key, std::vector<json> data, std::shared_ptr<AckState> ack) {
  batch_.push_back({std::move(key), std::move(data), std::move(ack)});
  if (batch_.size() >= kBatchMax) {
    flushBatch();
  }
}

void ManagerCore::flushBatch() {
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

}  // namespace detail
}  // namespace sio
