#pragma once
// The agent's end of the command channel: a Socket.IO connection over which the
// service pushes commands (instant block, changed rules, child restriction, session
// termination, live location); each is carried out and acknowledged with
// {"status": "ok"} where the command calls for it.
//
// Every handler runs on the handle queue (the main queue in the agent), one at a
// time. A connection is opened only when a child token is stored, and then kept: the
// channel connects again after an end the Socket.IO client takes as final, and moves
// to a new stored token at once. The command and client-event handlers are registered
// once for the channel's life, so reconnecting never makes a command run twice.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "channel/command_payloads.h"
#include "channel/safe_search_manager.h"
#include "coding/codable.h"
#include "platform/content_blocker.h"
#include "platform/url_session.h"
#include "platform/user_defaults.h"
#include "platform/workspace.h"
#include "socketio/client.h"

namespace channel {

// The reason given to the Socket.IO client when the channel starts over.
inline constexpr const char* kReconnectingReason = "Socket Disconnected, Reconnecting...";

// What the agent's channel uses of its surroundings. Every field left empty takes the
// agent's own: the service URL ("https://" and the API host chosen by
// "SCHOOL_FAMILYAPI_AGENT"), the main queue, the shared URL session and content-blocker
// manager, the shared workspace, the platform's TLS settings, and ending the process.
struct SocketHandlerOptions {
  std::optional<std::string> socketURL{};
  std::function<void(std::function<void()>)> handleQueue{};
  platform::URLSession* session = nullptr;                  // the channel's safe-search engine's
  platform::ContentBlockerManager* contentBlocker = nullptr;
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
  // Registers the six command handlers (the first time only).
  virtual void setSocketEvents();
  // A "live_location" handler: decodes the rule, hands it to `completion`, then
  // acknowledges. Does not connect.
  virtual void listenToLiveLocation(std::function<void(const LiveLocationRule&)> completion);
  // Runs connectToWebsocket(), then registers a "child_restriction" handler that wipes
  // the agent's own defaults, acknowledges and disconnects (the process goes on).
  // `completion` is kept and not called.
  virtual void listenToExpiration(const std::function<void(const ExpirationModel&)>& completion);
  // A "session_termination" handler that does the same. Does not connect.
  virtual void listenToDeletion(const std::function<void(const AppDeletion&)>& completion);

  // The channel's own safe-search engine, run by "safe_search_rule".
  CSafeSearchManager SafeSearchManager;
  // The decoder of command payloads (keys converted from snake case).
  const coding::JSONDecoder jsonDecoder;

 private:
  // The first data element of an event, or nothing (after saying so) when it has none.
  const nlohmann::json* firstElement(const std::vector<nlohmann::json>& data) const;
  void instantBlock(const std::vector<nlohmann::json>& data, sio::SocketAckEmitter& ack);
  void walkRunningApplications();
  // Removes the agent's own defaults domain and writes it out.
  void removeOwnDefaults();
  // The listener of a wiping command: decodes `Model`, wipes the own defaults,
  // acknowledges, then disconnects.
  template <class Model>
  void listenToWipe(const char* event);
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
  // The safe-search refresh that "safe_search_rule" events ask for: one pass, then the
  // acknowledgement of every event it serves.
  void runSafeSearchRefresh();

  static constexpr double kRetryRandomization = 0.25;
  // The attempt count stops growing here (the waits reached their cap long before).
  static constexpr int kMaxCountedRetries = 64;

  // Outlives the channel in blocks still queued: `self` is cleared (under the lock) by
  // the destructor, and a block runs only while it holds the lock and finds it set.
  struct Life {
    std::mutex mutex;
    SocketHandler* self = nullptr;
  };
  std::shared_ptr<Life> life_ = std::make_shared<Life>();

  SocketHandlerOptions options_;
  platform::Workspace& workspace_;
  std::atomic<bool> isConnected_{false};
  std::atomic<bool> clientEventsRegistered_{false};
  std::atomic<bool> commandEventsRegistered_{false};
  // Handle queue only. While a refresh is queued, a further "safe_search_rule" event
  // only adds its acknowledgement to the ones that refresh will send, so a flood of
  // events costs one fetch and one rewrite, not one per event.
  bool safeSearchRefreshQueued_ = false;
  std::vector<sio::SocketAckEmitter> safeSearchAcks_;
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
