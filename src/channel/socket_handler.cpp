#include "channel/socket_handler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <utility>

#include "networks/child_end_point.h"
#include "networks/print_line.h"
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

// ---- the commands' steps, each typed by what its event carries ----

CommandStep nothing(const Unread<>&) { return {}; }

CommandStep instantBlockStep(const rules::InstantBlock& block) {
  // An absent flag asks for nothing, as false does.
  if (!block.isInstantBlockActivated.value_or(false)) return {};
  return {CommandStep::Kind::walkRunningApplications};
}

CommandStep safeSearchStep(const Unread<>&) { return {CommandStep::Kind::safeSearchPass}; }

template <class T>
CommandStep wipeStep(const Unread<T>&) {
  return {CommandStep::Kind::wipeAndExit};
}

CommandStep liveLocationStep(const LiveLocationRule& rule) { return {CommandStep::Kind::liveLocation, rule}; }

// A command is one row here.
constexpr Command kCommands[] = {
    Command::row<&instantBlockStep>("instant_block_activation", Registration::onConnect, AckPolicy::always),
    Command::row<&safeSearchStep>("safe_search_rule", Registration::onConnect, AckPolicy::always),
    Command::row<&nothing>("web_content_rule", Registration::onConnect, AckPolicy::always),
    Command::row<&nothing>("app_blocker_rule", Registration::onConnect, AckPolicy::always),
    Command::row<&wipeStep<ExpirationModel>>("child_restriction", Registration::onConnect, AckPolicy::never),
    Command::row<&wipeStep<AppDeletion>>("session_termination", Registration::onConnect, AckPolicy::never),
    Command::row<&liveLocationStep>("live_location", Registration::perListener, AckPolicy::onDecodedPayload),
};

// Every payload of Payloads is carried by a row.
constexpr bool everyPayloadHasARow() {
  for (std::size_t payload = 0; payload < kNoPayload; ++payload) {
    if (std::none_of(std::begin(kCommands), std::end(kCommands),
                     [&](const Command& command) { return command.payload == payload; })) {
      return false;
    }
  }
  return true;
}
static_assert(everyPayloadHasARow(), "a payload of Payloads has no row in kCommands");

}  // namespace

std::span<const Command> commandTable() { return kCommands; }

const Command* findCommand(std::string_view event) {
  const auto* row = std::find_if(std::begin(kCommands), std::end(kCommands),
                                 [&](const Command& command) { return command.event == event; });
  return row == std::end(kCommands) ? nullptr : row;
}

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
    : ownFiles_(options.fileManager ? nullptr : std::make_unique<platform::FileManager>(platform::Settings::current())),
      ownContentBlocker_(options.contentBlocker ? nullptr
                                                : std::make_unique<platform::LinuxContentBlockerManager>(
                                                      options.fileManager ? *options.fileManager : *ownFiles_)),
      SafeSearchManager(options.session ? *options.session : platform::URLSession::shared(),
                        options.contentBlocker ? *options.contentBlocker : *ownContentBlocker_,
                        options.fileManager ? *options.fileManager : *ownFiles_),
      jsonDecoder(makePayloadDecoder()),
      options_(std::move(options)),
      workspace_(options_.workspace ? *options_.workspace : platform::Workspace::shared()) {
  if (!options_.handleQueue) {
    options_.handleQueue = [](std::function<void()> block) { platform::DispatchQueue::main().async(std::move(block)); };
  }
  std::string url = serviceURL();
  if (options_.socketURL) url = *options_.socketURL;
  manager_ = std::make_unique<sio::SocketManager>(
      std::move(url), adjusted({.log = true, .compress = true, .forceWebsockets = true}), environmentFor(options_));
}

SocketHandler::~SocketHandler() {
  life_.end();
  {
    std::lock_guard lock(connectionMutex_);
    wanted_ = false;
  }
  if (manager_) manager_->defaultSocket().disconnect();
}

std::function<void()> SocketHandler::guarded(std::function<void()> block) const {
  return [life = life_.weak(), block = std::move(block)] { life.withOwner([&](SocketHandler&) { block(); }); };
}

void SocketHandler::onHandleQueue(std::function<void()> block) { options_.handleQueue(guarded(std::move(block))); }

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

void SocketHandler::setSocketEvents() {
  for (const auto& command : commandTable()) {
    if (command.registration == Registration::onConnect) registerCommand(command);
  }
}

void SocketHandler::registerCommand(const Command& command) {
  {
    std::lock_guard lock(registrationMutex_);
    if (!registered_.insert(command.event).second) return;
  }
  onCommandEvent(command, 0);
}

void SocketHandler::onCommandEvent(const Command& command, std::size_t liveLocationListener) {
  socket().on(std::string(command.event), [this, &command, liveLocationListener](
                                              const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack) {
    dispatch(
        command, data, [ack](const Acknowledge& item) mutable { ack.with(item); }, liveLocationListener);
  });
}

void SocketHandler::dispatch(const Command& command, const std::vector<nlohmann::json>& data, Acknowledger ack,
                             std::size_t liveLocationListener) {
  if (data.empty()) {
    printNotFound();
    return;
  }
  if (command.ack == AckPolicy::never) ack = nullptr;
  auto step = command.step(data.front(), jsonDecoder);
  if (!step) {
    printFailure(step.error());
    // Nothing to act on; only a command acknowledged whatever came is acknowledged.
    if (command.ack == AckPolicy::always) enqueue({}, std::move(ack), liveLocationListener);
    return;
  }
  enqueue(*step, std::move(ack), liveLocationListener);
}

std::shared_ptr<SocketHandler::Work> SocketHandler::coalesced(std::shared_ptr<Work>& slot,
                                                              std::function<void(const Work&)> run) {
  if (!slot) slot = std::make_shared<Work>(Work{.run = std::move(run)});
  return slot;
}

void SocketHandler::enqueue(const CommandStep& step, Acknowledger ack, std::size_t liveLocationListener) {
  std::shared_ptr<Work> work;
  switch (step.kind) {
    case CommandStep::Kind::nothing:
      break;
    case CommandStep::Kind::walkRunningApplications:
      work = coalesced(pendingWalk_, [this](const Work&) { walkRunningApplications(); });
      break;
    case CommandStep::Kind::safeSearchPass:
      work = coalesced(pendingSafeSearch_, [this](const Work&) { SafeSearchManager.startSafeSearchProcedure(); });
      break;
    case CommandStep::Kind::liveLocation: {
      auto completion = liveLocationCompletion(liveLocationListener);
      if (!completion || !step.rule) break;
      if (pendingLiveLocation_.size() <= liveLocationListener) pendingLiveLocation_.resize(liveLocationListener + 1);
      work = coalesced(pendingLiveLocation_[liveLocationListener], [completion](const Work& self) {
        if (*completion && self.rule) (*completion)(*self.rule);
      });
      work->rule = step.rule;  // the latest rule is the one in force
      break;
    }
    case CommandStep::Kind::wipeAndExit:
      work = std::make_shared<Work>(Work{.run = [this](const Work&) { wipeAndExit(); }, .wipes = true});
      // What comes after the wipe never joins work asked for before it.
      forgetCoalescedWork();
      break;
  }
  if (pending_.empty() && !draining_) {
    // Nothing waits before this command: it takes effect at once, unless its work is
    // of a kind that later events may join.
    if (!work) {
      if (ack) ack(Acknowledge("ok"));
      return;
    }
    if (work->wipes) {
      work->run(*work);
      return;
    }
  }
  pending_.push_back({std::move(work), std::move(ack)});
  if (runPendingQueued_) return;
  runPendingQueued_ = true;
  onHandleQueue([this] { runPending(); });
}

void SocketHandler::forgetCoalescedWork() {
  pendingWalk_.reset();
  pendingSafeSearch_.reset();
  pendingLiveLocation_.clear();
}

void SocketHandler::runPending() {
  runPendingQueued_ = false;
  // Events from here on ask for work of their own: they may carry newer rules.
  auto pending = std::exchange(pending_, {});
  forgetCoalescedWork();
  struct Draining {
    bool& flag;
    explicit Draining(bool& f) : flag(f) { flag = true; }
    ~Draining() { flag = false; }
    Draining(const Draining&) = delete;
    Draining& operator=(const Draining&) = delete;
  } draining(draining_);
  for (auto& item : pending) {
    if (item.work && !item.work->done) {
      item.work->done = true;
      item.work->run(*item.work);
    }
    if (item.ack) item.ack(Acknowledge("ok"));
  }
}

std::size_t SocketHandler::addLiveLocationListener(std::function<void(const LiveLocationRule&)> completion) {
  std::lock_guard lock(listenersMutex_);
  liveLocationListeners_.push_back(
      std::make_shared<const std::function<void(const LiveLocationRule&)>>(std::move(completion)));
  return liveLocationListeners_.size() - 1;
}

std::shared_ptr<const std::function<void(const LiveLocationRule&)>> SocketHandler::liveLocationCompletion(
    std::size_t number) {
  std::lock_guard lock(listenersMutex_);
  return number < liveLocationListeners_.size() ? liveLocationListeners_[number] : nullptr;
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
  // The acknowledgements given before the wipe go out before the process ends.
  manager_->flush(kExitFlushWait);
  if (options_.exitProcess) options_.exitProcess(0);
  else endProcess(0);
}

void SocketHandler::listenToLiveLocation(std::function<void(const LiveLocationRule&)> completion) {
  const std::size_t listener = addLiveLocationListener(std::move(completion));
  const Command& command = *findCommand("live_location");
  // One handler per listener: each hands the rule to its own completion.
  onCommandEvent(command, listener);
}

void SocketHandler::listenToExpiration(const std::function<void(const ExpirationModel&)>& /*completion*/) {
  connectToWebsocket();
  registerCommand(*findCommand("child_restriction"));
}

void SocketHandler::listenToDeletion(const std::function<void(const AppDeletion&)>& /*completion*/) {
  registerCommand(*findCommand("session_termination"));
}

}  // namespace channel
