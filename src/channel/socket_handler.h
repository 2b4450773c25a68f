#pragma once
// The agent's end of the command channel: a Socket.IO connection over which the
// service pushes commands (instant block, changed rules, child restriction, session
// termination, live location); each is carried out and acknowledged with
// {"status": "ok"} where the command calls for it.
//
// The commands are the rows of one table (commandTable()): event name, how it is
// registered, acknowledgement policy and one step typed by its payload. The socket
// registers each row once for the channel's life ("live_location" once per listener),
// so reconnecting never makes a command run twice, and every registered handler goes
// through dispatch(), which a test can call without a socket.
//
// Every handler runs on the handle queue (the main queue in the agent), one at a
// time, and the commands take effect and are acknowledged in the order they came.
// The work a command asks for (walking the running applications, a safe-search pass,
// handing a live-location rule over) waits for the events already queued; a command
// that asks for the same work meanwhile joins it, so a flood of commands costs one
// walk or one pass, not one per command. A wipe and exit waits for the work asked for
// before it, and for their acknowledgements to be written (up to 2 s), before the
// process ends.
//
// A connection is opened only when a child token is stored, and then kept: the
// channel connects again after an end the Socket.IO client takes as final, and moves
// to a new stored token at once.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "channel/command_payloads.h"
#include "channel/safe_search_manager.h"
#include "coding/codable.h"
#include "platform/content_blocker.h"
#include "platform/file_manager.h"
#include "platform/lifeline.h"
#include "platform/url_session.h"
#include "platform/user_defaults.h"
#include "platform/workspace.h"
#include "socketio/client.h"

namespace channel {

// The reason given to the Socket.IO client when the channel starts over.
inline constexpr const char* kReconnectingReason = "Socket Disconnected, Reconnecting...";

// How a command whose event carries data is acknowledged (an event without data never
// is): always, only when its payload decoded, or never (the command ends the process).
enum class AckPolicy { always, onDecodedPayload, never };

// What a command asks of the channel once its payload is read.
struct CommandStep {
  enum class Kind {
    nothing,
    walkRunningApplications,  // coalesced
    safeSearchPass,           // coalesced; the channel's own engine
    liveLocation,             // coalesced per listener, which gets the latest rule
    wipeAndExit,              // removes the agent's own defaults, ends the process
  };
  Kind kind = Kind::nothing;
  std::optional<LiveLocationRule> rule{};  // liveLocation's
};

// How a command's handler is put on the socket: by setSocketEvents() (on connecting,
// the first time only), or once per listenToLiveLocation() listener.
enum class Registration { onConnect, perListener };

// The position of a payload in Payloads when no payload is named.
inline constexpr std::size_t kNoPayload = std::tuple_size_v<Payloads>;

namespace detail {
// What a step's payload is read as, and the step typed by it.
template <class P>
struct StepPayload {
  using Type = P;
  static constexpr bool read = true;
};
template <class T>
struct StepPayload<Unread<T>> {
  using Type = T;
  static constexpr bool read = false;
};
template <class Step>
struct StepOf;
template <class P>
struct StepOf<CommandStep (*)(const P&)> : StepPayload<P> {};

// The position of `T` in Payloads; none for NothingNamed. A type that is not there does
// not compile.
template <class T, std::size_t I = 0>
constexpr std::size_t payloadIndex() {
  if constexpr (std::is_same_v<T, NothingNamed>) {
    return kNoPayload;
  } else {
    static_assert(I < std::tuple_size_v<Payloads>, "a command's payload must be one of Payloads");
    if constexpr (std::is_same_v<T, std::tuple_element_t<I, Payloads>>) return I;
    else return payloadIndex<T, I + 1>();
  }
}
}  // namespace detail

// One row of the command table, made by row<step>(): the step's parameter is the
// payload (a record the event's data is decoded as, or Unread<T>), so the reading and
// the step cannot disagree and no row is without its step.
class Command {
 public:
  template <auto Step>
  static constexpr Command row(std::string_view event, Registration registration, AckPolicy ack) {
    using Traits = detail::StepOf<decltype(Step)>;
    return Command(event, registration, ack, detail::payloadIndex<typename Traits::Type>(), Traits::read,
                   &readAndStep<Step, Traits>);
  }

  std::string_view event;
  Registration registration;
  AckPolicy ack;
  std::size_t payload;  // what the event carries: its position in Payloads, or kNoPayload
  bool readsPayload;    // false: the data must be present and is not read

  // What the command asks for, from the event's first data element; why not when the
  // payload does not decode.
  std::expected<CommandStep, PayloadError> step(const nlohmann::json& element,
                                                const coding::JSONDecoder& decoder) const {
    return step_(element, decoder);
  }

 private:
  using StepFunction = std::expected<CommandStep, PayloadError> (*)(const nlohmann::json&, const coding::JSONDecoder&);
  constexpr Command(std::string_view e, Registration r, AckPolicy a, std::size_t p, bool reads, StepFunction s)
      : event(e), registration(r), ack(a), payload(p), readsPayload(reads), step_(s) {}

  template <auto Step, class Traits>
  static std::expected<CommandStep, PayloadError> readAndStep(const nlohmann::json& element,
                                                              const coding::JSONDecoder& decoder) {
    if constexpr (!Traits::read) {
      return Step({});
    } else {
      auto payload = decodePayload<typename Traits::Type>(element, decoder);
      if (!payload) return std::unexpected(std::move(payload.error()));
      return Step(*payload);
    }
  }

  StepFunction step_;
};

// The channel's commands: those that setSocketEvents() registers (Registration::onConnect,
// in this order), and "live_location", which each listenToLiveLocation() registers.
std::span<const Command> commandTable();
// The row of an event; null for a name not in the table.
const Command* findCommand(std::string_view event);

// Where a command's acknowledgement goes: the event's Socket.IO handle on the channel,
// a recorder in tests.
using Acknowledger = std::function<void(const Acknowledge&)>;

// What the agent's channel uses of its surroundings. Every field left empty takes the
// agent's own: the service URL ("https://" and the API host chosen by
// "SCHOOL_FAMILYAPI_AGENT"), the main queue, the shared URL session, the shared
// workspace, the platform's TLS settings, and ending the process. Main hands in its file
// manager and content blocker; left empty, the channel makes its own, over the folders
// of Settings::current() when it is made.
struct SocketHandlerOptions {
  std::optional<std::string> socketURL{};
  std::function<void(std::function<void()>)> handleQueue{};
  platform::URLSession* session = nullptr;                  // the channel's safe-search engine's
  platform::ContentBlockerManager* contentBlocker = nullptr;
  const platform::FileManager* fileManager = nullptr;       // the safe-search engine's files
  platform::Workspace* workspace = nullptr;
  platform::UserDefaults* ownDefaults = nullptr;            // the wipe's store; default: the standard one
  std::optional<std::string> caFile{};                      // default: Settings::current()'s
  std::optional<std::vector<std::string>> connectTo{};      // default: Settings::current()'s
  std::function<void(int status)> exitProcess{};            // default: end the process
  // Overrides applied to the option sets the channel gives the Socket.IO manager
  // (e.g. shorter reconnection waits in tests); empty: none.
  std::function<void(sio::SocketManagerConfig&)> adjustConfig{};
  // After the server refused the connect or ended the connection from its side (ends
  // the client does not retry on its own), the channel connects again after
  // `retryWait`, doubled per attempt up to `retryWaitMax`, each wait varied by up to a
  // quarter; a connection resets the waits. It looks at the stored token every
  // `tokenWatchInterval` and starts over with a new one at once. Tests make these short.
  std::chrono::milliseconds retryWait = std::chrono::seconds(5);
  std::chrono::milliseconds retryWaitMax = std::chrono::minutes(4);
  std::chrono::milliseconds tokenWatchInterval = std::chrono::seconds(1);
  // Runs a block on the handle queue once the delay has passed. Empty: the main queue's
  // timer, which hands the block to the handle queue.
  std::function<void(std::chrono::milliseconds, std::function<void()>)> handleQueueAfter{};
};

class SocketHandler {
  // What the channel makes for itself when its options leave them empty; before the
  // safe-search engine, which uses them.
  std::unique_ptr<platform::FileManager> ownFiles_;
  std::unique_ptr<platform::LinuxContentBlockerManager> ownContentBlocker_;

 public:
  // The agent's channel: the one main built and handed to install(). Asking before
  // that ends the process. Creating a channel opens no connection.
  static SocketHandler& shared();
  // Makes `channel` the one shared() returns; it must live for the rest of the process.
  static void install(SocketHandler& channel);

  // A channel of its own (tests, other composition roots).
  explicit SocketHandler(SocketHandlerOptions options);
  // Disconnects first.
  virtual ~SocketHandler();
  SocketHandler(const SocketHandler&) = delete;
  SocketHandler& operator=(const SocketHandler&) = delete;

  // True after the client reported a connection, false after a disconnection or an
  // error, false before any connection.
  bool isConnected() const { return isConnected_.load(); }
  // The manager's default socket.
  sio::SocketIOClient& socket() { return manager_->defaultSocket(); }
  // The URL the manager connects to.
  const std::string& socketURL() const { return manager_->socketURL(); }
  sio::SocketManager& manager() { return *manager_; }

  // With a stored child token: sets the token as the connect parameter "token",
  // registers the handlers (the first time only) and connects. Without one: nothing.
  // Returns at once. From then on the channel keeps itself connected: it tries again
  // after an end the client does not retry, and follows a change of the stored token
  // (see SocketHandlerOptions).
  virtual void connectToWebsocket();
  // Disconnects; with a stored token, marks the socket as reconnecting and connects as
  // connectToWebsocket() does. Without one the socket stays disconnected.
  virtual void reconnectToWebsocket();

  // The wait before retry `attempt` (0-based): `wait` doubled per attempt, never above
  // `waitMax`, varied by up to a quarter either way (random01 in [0, 1)).
  static std::chrono::milliseconds retryDelay(int attempt, std::chrono::milliseconds wait,
                                              std::chrono::milliseconds waitMax, double random01);
  // Registers the handlers of the commands registered on connecting (Registration::onConnect),
  // each the first time only.
  virtual void setSocketEvents();
  // A "live_location" handler: decodes the rule, hands it to `completion`, then
  // acknowledges. Does not connect.
  virtual void listenToLiveLocation(std::function<void(const LiveLocationRule&)> completion);
  // Runs connectToWebsocket(), then registers the "child_restriction" handler (the
  // wipe and exit) if it is not yet: there is one for the channel's life. `completion`
  // is not called.
  virtual void listenToExpiration(const std::function<void(const ExpirationModel&)>& completion);
  // Registers the one "session_termination" handler (the wipe and exit) if it is not
  // yet. Does not connect. `completion` is not called.
  virtual void listenToDeletion(const std::function<void(const AppDeletion&)>& completion);

  // Handles one event of `command` as its registered handler does. Handle queue only.
  // An event without data is reported and dropped; the payload is read at once (and a
  // failure reported); the work and the acknowledgement follow in the order the events
  // came: at once when nothing waits before them, else after the handle queue's
  // current block. `liveLocationListener` is the listener a "live_location" event is
  // for (the number addLiveLocationListener() returned).
  void dispatch(const Command& command, const std::vector<nlohmann::json>& data, Acknowledger ack,
                std::size_t liveLocationListener = 0);
  // Adds a live-location listener that dispatch() can hand rules to, without
  // registering a handler; returns its number. listenToLiveLocation() uses it too.
  std::size_t addLiveLocationListener(std::function<void(const LiveLocationRule&)> completion);

  // The channel's own safe-search engine, run by "safe_search_rule".
  CSafeSearchManager SafeSearchManager;
  // The decoder of command payloads (keys converted from snake case).
  const coding::JSONDecoder jsonDecoder;

 private:
  // Work that commands wait for; the commands that asked for it while it was pending
  // share it.
  struct Work {
    std::function<void(const Work&)> run;
    std::optional<LiveLocationRule> rule{};  // a live-location hand-over's: the latest rule
    bool wipes = false;                      // the wipe and exit
    bool done = false;
  };
  // A command that came and is yet to take effect or be acknowledged.
  struct Pending {
    std::shared_ptr<Work> work;  // null: none
    Acknowledger ack;            // empty: none
  };
  // Registers `command`'s handler on the socket unless it already is.
  void registerCommand(const Command& command);
  // Puts a handler on the socket that hands `command`'s events to dispatch().
  void onCommandEvent(const Command& command, std::size_t liveLocationListener);
  // Queues what a command asks for behind the commands before it.
  void enqueue(const CommandStep& step, Acknowledger ack, std::size_t liveLocationListener);
  // The pending work of a coalesced kind, made when there is none.
  static std::shared_ptr<Work> coalesced(std::shared_ptr<Work>& slot, std::function<void(const Work&)> run);
  // The listener of that number, null when there is none.
  std::shared_ptr<const std::function<void(const LiveLocationRule&)>> liveLocationCompletion(std::size_t number);
  // Runs the commands queued so far, in order: each work once, before the first
  // acknowledgement that waits for it.
  void runPending();
  // Drops the pending work of the coalesced kinds: later commands ask for their own.
  void forgetCoalescedWork();
  void walkRunningApplications();
  // Removes the agent's own defaults domain and writes it out.
  void removeOwnDefaults();
  void wipeAndExit();
  sio::SocketManagerConfig adjusted(sio::SocketManagerConfig config) const;
  // `block`, made to do nothing once the channel is gone.
  std::function<void()> guarded(std::function<void()> block) const;
  // Queues `block` on the handle queue; it does not run when the channel is gone by then.
  void onHandleQueue(std::function<void()> block);
  // The same, once `delay` has passed.
  void after(std::chrono::milliseconds delay, std::function<void()> block);
  // Connects with this token (connectToWebsocket() after reading it).
  void connectWith(const std::string& token);
  // The socket went disconnected: unless meant, a retry after the next wait.
  void connectionEnded();
  void retry(std::uint64_t generation);
  void startTokenWatch();
  void scheduleTokenWatch();
  void watchToken();

  static constexpr double kRetryRandomization = 0.25;
  // How long the wipe and exit waits for the acknowledgements before it to be written.
  static constexpr std::chrono::seconds kExitFlushWait{2};
  // The attempt count stops growing here (the waits reached their cap long before).
  static constexpr int kMaxCountedRetries = 64;

  // Blocks still queued run only while the channel lives; the destructor ends its life
  // first, waiting for a block that is running.
  platform::Lifeline<SocketHandler> life_{this};

  SocketHandlerOptions options_;
  platform::Workspace& workspace_;
  std::atomic<bool> isConnected_{false};
  std::atomic<bool> clientEventsRegistered_{false};
  // The events whose command handler is registered. Any thread.
  std::mutex registrationMutex_;
  std::set<std::string_view> registered_;
  // The live-location listeners, by number. Any thread.
  std::mutex listenersMutex_;
  std::vector<std::shared_ptr<const std::function<void(const LiveLocationRule&)>>> liveLocationListeners_;
  // Handle queue only. The commands waiting for their turn, in the order they came,
  // and the pending work of each coalesced kind (null when none is pending): a command
  // asking for such work while it is pending joins it.
  std::vector<Pending> pending_;
  bool runPendingQueued_ = false;
  bool draining_ = false;  // runPending() is at work
  std::shared_ptr<Work> pendingWalk_;
  std::shared_ptr<Work> pendingSafeSearch_;
  std::vector<std::shared_ptr<Work>> pendingLiveLocation_;  // by listener
  // Whether and with what the channel is to be connected, and its retries. Any thread.
  std::mutex connectionMutex_;
  std::optional<std::string> tokenInUse_;
  bool wanted_ = false;          // cleared by a meant disconnect
  bool retryScheduled_ = false;
  bool watching_ = false;
  int retryAttempt_ = 0;
  std::uint64_t retryGeneration_ = 0;  // a scheduled retry runs only while current
  std::mt19937 random_{std::random_device{}()};
  // Last: it goes first, so that no handler runs while the rest is torn down.
  std::unique_ptr<sio::SocketManager> manager_;
};

}  // namespace channel
