#include "channel/socket_handler.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <utility>

#include "networks/network_manager.h"
#include "networks/shared_settings.h"
#include "networks/token_mask.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/settings.h"
#include "platform/user_defaults.h"
#include "rules/instant_block.h"

namespace channel {

namespace {

using networks::printLine;

constexpr const char* kAgentBundleIdentifier = "so.velmorhome.mopet.agent";

// "https://" and the API host that "SCHOOL_FAMILYAPI_AGENT" selects.
std::string serviceURL() {
  const bool school = networks::ChildEndPoint::schoolChosen();
  if (school) printLine("USE SCHOOL FOR API");
  return networks::ChildEndPoint::baseURL(school);
}

void printNotFound() { printLine("\"⛔️ result not found\""); }

void printFailure(const PayloadError& failure) {
  printLine("\"⛔️ JSONSerialization failed \" " + failure.debugDescription);
}

// Ends the process at once with the stdio buffers written out. Static destructors are
// not run: the Socket.IO and URL-session threads are still alive and must not see the
// process's shared objects torn down under them.
[[noreturn]] void endProcess(int status) {
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(status);
}

sio::SocketManagerEnvironment environmentFor(const SocketHandlerOptions& options) {
  sio::SocketManagerEnvironment environment;
  environment.handleQueue = options.handleQueue;
  auto log = std::make_shared<platform::LogHandle>(platform::Bundle::main().bundleIdentifier(), "SocketIO");
  environment.logger = [log](const std::string& line) { log->write(platform::LogType::Debug, line); };
  const platform::Settings settings = platform::Settings::current();
  environment.caFile = options.caFile ? *options.caFile : settings.caFile;
  environment.connectTo = options.connectTo ? *options.connectTo : settings.connectTo;
  return environment;
}

}  // namespace

namespace {
std::atomic<SocketHandler*> installedChannel{nullptr};
}  // namespace

SocketHandler& SocketHandler::shared() {
  auto* channel = installedChannel.load();
  if (channel == nullptr) {
    std::fputs("SocketHandler::shared() was asked for before main built the channel\n", stderr);
    std::abort();
  }
  return *channel;
}

void SocketHandler::install(SocketHandler& channel) { installedChannel.store(&channel); }

SocketHandler::SocketHandler(SocketHandlerOptions options)
    : SafeSearchManager(options.session ? *options.session : platform::URLSession::shared(),
                        options.contentBlocker ? *options.contentBlocker : platform::ContentBlockerManager::shared()),
      jsonDecoder(makePayloadDecoder()),
      options_(std::move(options)),
      workspace_(options_.workspace ? *options_.workspace : platform::Workspace::shared()) {
  if (!options_.handleQueue) {
    options_.handleQueue = [](std::function<void()> block) { platform::DispatchQueue::main().async(std::move(block)); };
  }
  life_->self = this;
  std::string url = serviceURL();
  if (options_.socketURL) url = *options_.socketURL;
  manager_ = std::make_unique<sio::SocketManager>(
      std::move(url), adjusted({.log = true, .compress = true, .forceWebsockets = true}), environmentFor(options_));
}

SocketHandler::~SocketHandler() {
  {
    std::lock_guard lock(life_->mutex);
    life_->self = nullptr;
  }
  {
    std::lock_guard lock(connectionMutex_);
    wanted_ = false;
  }
  if (manager_) manager_->defaultSocket().disconnect();
}

std::function<void()> SocketHandler::guarded(std::function<void()> block) const {
  return [life = std::weak_ptr<Life>(life_), block = std::move(block)] {
    auto alive = life.lock();
    if (!alive) return;
    std::lock_guard lock(alive->mutex);
    if (alive->self) block();
  };
}

void SocketHandler::onHandleQueue(std::function<void()> block) { options_.handleQueue(guarded(std::move(block))); }

void SocketHandler::runSafeSearchRefresh() {
  // Events from here on ask for a pass of their own: they may carry newer rules.
  safeSearchRefreshQueued_ = false;
  auto acks = std::exchange(safeSearchAcks_, {});
  SafeSearchManager.startSafeSearchProcedure();
  for (auto& ack : acks) ack.with(Acknowledge("ok"));
}

sio::SocketManagerConfig SocketHandler::adjusted(sio::SocketManagerConfig config) const {
  if (options_.adjustConfig) options_.adjustConfig(config);
  return config;
}

void SocketHandler::connectToWebsocket() {
  const auto token = networks::storedChildToken();
  if (!token) return;
  connectWith(*token);
}

void SocketHandler::connectWith(const std::string& token) {
  printLine("tokeeeen " + networks::maskedToken(token));

  // Replaces the creation-time set whole (compression is no longer offered).
  manager_->setConfig(adjusted({.log = true, .forceWebsockets = true, .connectParams = {{"token", token}}}));

  // Registered once: every registered handler runs, so a second set would make each
  // event run (and be acknowledged) once per connection attempt.
  if (!clientEventsRegistered_.exchange(true)) {
    auto& s = socket();
    s.on(sio::SocketClientEvent::connect, [this](const std::vector<nlohmann::json>&, sio::SocketAckEmitter&) {
      printLine("socket connected");
      isConnected_ = true;
    });
    s.on(sio::SocketClientEvent::disconnect, [this](const std::vector<nlohmann::json>&, sio::SocketAckEmitter&) {
      printLine("socket close");
      isConnected_ = false;
    });
    s.on(sio::SocketClientEvent::error, [this](const std::vector<nlohmann::json>&, sio::SocketAckEmitter&) {
      printLine("socket failed");
      isConnected_ = false;
    });
    // The client gives up for good after a refused connect, a disconnect from the
    // server's side or its own reconnection giving up; the channel then tries again.
    s.on(sio::SocketClientEvent::statusChange, [this](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter&) {
      if (data.empty() || !data.front().is_string()) return;
      const auto& status = data.front().get_ref<const std::string&>();
      if (status == sio::toString(sio::SocketIOStatus::connected)) {
        std::lock_guard lock(connectionMutex_);
        retryAttempt_ = 0;
      } else if (status == sio::toString(sio::SocketIOStatus::disconnected)) {
        connectionEnded();
      }
    });
  }
  setSocketEvents();
  {
    std::lock_guard lock(connectionMutex_);
    tokenInUse_ = token;
    wanted_ = true;
  }
  startTokenWatch();
  socket().connect();
}

void SocketHandler::reconnectToWebsocket() {
  socket().disconnect();
  // Without a token nothing follows the disconnect: the socket stays disconnected
  // rather than marked as reconnecting.
  const auto token = networks::storedChildToken();
  if (!token) return;
  socket().setReconnecting(kReconnectingReason);
  connectWith(*token);
}

std::chrono::milliseconds SocketHandler::retryDelay(int attempt, std::chrono::milliseconds wait,
                                                    std::chrono::milliseconds waitMax, double random01) {
  return sio::reconnectDelay(attempt, wait, waitMax, kRetryRandomization, random01);
}

void SocketHandler::after(std::chrono::milliseconds delay, std::function<void()> block) {
  auto run = guarded(std::move(block));
  if (options_.handleQueueAfter) {
    options_.handleQueueAfter(delay, std::move(run));
  } else {
    platform::DispatchQueue::main().asyncAfter(
        delay, [post = options_.handleQueue, run = std::move(run)]() mutable { post(std::move(run)); });
  }
}

void SocketHandler::connectionEnded() {
  // A disconnect of our own that a new connection already follows is no end.
  if (socket().status() != sio::SocketIOStatus::disconnected) return;
  std::lock_guard lock(connectionMutex_);
  if (!wanted_ || retryScheduled_) return;
  retryScheduled_ = true;
  const auto generation = ++retryGeneration_;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto delay = retryDelay(retryAttempt_, options_.retryWait, options_.retryWaitMax, unit(random_));
  if (retryAttempt_ < kMaxCountedRetries) ++retryAttempt_;
  after(delay, [this, generation] { retry(generation); });
}

void SocketHandler::retry(std::uint64_t generation) {
  {
    std::lock_guard lock(connectionMutex_);
    if (generation != retryGeneration_) return;  // a new token came first
    retryScheduled_ = false;
    if (!wanted_) return;
  }
  // Already on its way again (connect() does nothing then either, but say so here).
  if (socket().status() != sio::SocketIOStatus::disconnected) return;
  // Without a token there is nothing to connect with; the token watch connects once
  // one is stored.
  const auto token = networks::storedChildToken();
  if (!token) return;
  connectWith(*token);
}

void SocketHandler::startTokenWatch() {
  {
    std::lock_guard lock(connectionMutex_);
    if (watching_) return;
    watching_ = true;
  }
  scheduleTokenWatch();
}

void SocketHandler::scheduleTokenWatch() {
  after(options_.tokenWatchInterval, [this] {
    watchToken();
    scheduleTokenWatch();
  });
}

void SocketHandler::watchToken() {
  const auto token = networks::storedChildToken();
  if (!token) return;
  bool changed = false;
  bool idle = false;
  {
    std::lock_guard lock(connectionMutex_);
    changed = tokenInUse_ != *token;
    idle = wanted_ && !retryScheduled_;
    if (changed) {
      // A new token: whatever the channel is doing, it starts over with it at once.
      ++retryGeneration_;
      retryScheduled_ = false;
      retryAttempt_ = 0;
    }
  }
  if (changed) {
    socket().disconnect();
    socket().setReconnecting(kReconnectingReason);
    connectWith(*token);
  } else if (idle) {
    // Ended while no token was stored (or the end went unseen): back to the waits.
    connectionEnded();
  }
}

const nlohmann::json* SocketHandler::firstElement(const std::vector<nlohmann::json>& data) const {
  if (data.empty()) {
    printNotFound();
    return nullptr;
  }
  return &data.front();
}

void SocketHandler::setSocketEvents() {
  if (commandEventsRegistered_.exchange(true)) return;
  auto& s = socket();

  s.on("instant_block_activation",
       [this](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack) { instantBlock(data, ack); });

  // The pass runs from the handle queue after the events already queued there, and
  // acknowledges each event it serves once it has ended.
  s.on("safe_search_rule", [this](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack) {
    if (!firstElement(data)) return;
    safeSearchAcks_.push_back(ack);
    if (safeSearchRefreshQueued_) return;
    safeSearchRefreshQueued_ = true;
    onHandleQueue([this] { runSafeSearchRefresh(); });
  });

  for (const char* event : {"web_content_rule", "app_blocker_rule"}) {
    s.on(event, [this](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack) {
      if (!firstElement(data)) return;
      ack.with(Acknowledge("ok"));
    });
  }

  for (const char* event : {"child_restriction", "session_termination"}) {
    s.on(event, [this](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter&) {
      if (!firstElement(data)) return;
      wipeAndExit();
    });
  }
}

void SocketHandler::instantBlock(const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack) {
  const auto* element = firstElement(data);
  if (!element) return;
  auto payload = decodePayload<rules::InstantBlock>(*element, jsonDecoder);
  if (!payload) {
    printFailure(payload.error());
  } else if (payload->isInstantBlockActivated.value_or(false)) {
    walkRunningApplications();
  }
  // An absent flag asks for nothing; the command is acknowledged all the same.
  ack.with(Acknowledge("ok"));
}

void SocketHandler::walkRunningApplications() {
  for (const auto& application : workspace_.runningApplications()) {
    if (!application) continue;
    const auto& identifier = application->bundleIdentifier();
    if (!identifier || *identifier == kAgentBundleIdentifier) continue;
    // Applications with a regular policy are the candidates; nothing is done to them.
    [[maybe_unused]] const bool regular = application->activationPolicy() == platform::ActivationPolicy::regular;
  }
}

void SocketHandler::removeOwnDefaults() {
  auto& defaults = options_.ownDefaults ? *options_.ownDefaults : platform::UserDefaults::standard();
  defaults.removePersistentDomain(platform::Bundle::main().bundleIdentifier());
  defaults.synchronize();
}

void SocketHandler::wipeAndExit() {
  removeOwnDefaults();
  if (options_.exitProcess) options_.exitProcess(0);
  else endProcess(0);
}

void SocketHandler::listenToLiveLocation(std::function<void(const LiveLocationRule&)> completion) {
  socket().on("live_location", [this, completion = std::move(completion)](const std::vector<nlohmann::json>& data,
                                                                          sio::SocketAckEmitter& ack) {
    const auto* element = firstElement(data);
    if (!element) return;
    auto rule = decodePayload<LiveLocationRule>(*element, jsonDecoder);
    if (!rule) {
      printFailure(rule.error());
      return;
    }
    if (completion) completion(*rule);
    ack.with(Acknowledge("ok"));
  });
}

template <class Model>
void SocketHandler::listenToWipe(const char* event) {
  socket().on(event, [this](const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack) {
    const auto* element = firstElement(data);
    if (!element) return;
    auto model = decodePayload<Model>(*element, jsonDecoder);
    if (!model) {
      printFailure(model.error());
      return;
    }
    removeOwnDefaults();
    ack.with(Acknowledge("ok"));
    {
      // This disconnect is meant: no retry follows it.
      std::lock_guard lock(connectionMutex_);
      wanted_ = false;
    }
    socket().disconnect();
  });
}

void SocketHandler::listenToExpiration(const std::function<void(const ExpirationModel&)>& /*completion*/) {
  connectToWebsocket();
  listenToWipe<ExpirationModel>("child_restriction");
}

void SocketHandler::listenToDeletion(const std::function<void(const AppDeletion&)>& /*completion*/) {
  listenToWipe<AppDeletion>("session_termination");
}

}  // namespace channel
