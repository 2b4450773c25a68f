#pragma once
// The application delegate: the one object that holds the agent's state for the life
// of the process. It builds the status item and its menu, runs start-up, owns the two
// repeating 5-second timers (the enforcement tick and the usage report) and answers
// the menu's actions. The inventory, the content-filter configuration and the
// preferences window live in their own files but are members of this class.
//
// Every platform facility the delegate touches comes in through one `Platform` bundle
// of references, so that main.cpp wires the Linux implementations and tests wire fakes.
//
// Threads: everything runs on the main thread (the thread that runs the main run loop),
// except the REST reply handlers (on the URL session's callback queue), the inventory
// (on the global queue) and the privileged runner's output handler (a background
// thread). `g_input` and `blockingAppsArrayString` are the state those handlers share
// with the main thread; each sits behind its own lock (see `Locked`).
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "networks/child_user_default_manager.h"
#include "networks/network_manager.h"
#include "platform/content_blocker.h"
#include "platform/content_filter.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/run_loop.h"
#include "platform/settings.h"
#include "platform/ui.h"
#include "platform/ui_menu.h"
#include "platform/ui_window.h"
#include "platform/url_session.h"
#include "platform/window_list.h"
#include "platform/workspace.h"

namespace channel {
class CSafeSearchManager;
}

namespace agent {

class DateTimeView;  // the status menu's first item (date_time_view.h)

// The service's public web site (the user guide, the about-us page).
inline constexpr const char* kPublicWebHost = "www.mopet.velmorhome.so";
// The tick's DNS flush, run as root: the cache of whichever resolver runs here
// (systemd-resolved, nscd) is flushed; where none runs it succeeds and says nothing.
// A resolver that runs and refuses the flush says why.
inline constexpr const char* kFlushDnsCacheCommand =
    "if resolvectl status >/dev/null 2>&1; then resolvectl flush-caches; fi; "
    "if nscd --statistics >/dev/null 2>&1; then nscd --invalidate=hosts; fi";
// The main application that the menu launches.
inline constexpr const char* kMainApplicationName = "Mopet.app";

// One hosts-file entry: (host name, address). Written to the file the other way round.
using HostEntry = std::pair<std::string, std::string>;
using HostEntries = std::vector<HostEntry>;

// What start-up does with the location reporter, in this order: take the process-wide
// reporter and call its listenToLiveLocationSocket(), then take it again and call its
// startSendLocations(). Empty functions do nothing.
struct LocationReporterHooks {
  std::function<void()> listenToLiveLocationSocket;
  std::function<void()> startSendLocations;
};

// The hooks that drive the process-wide location reporter (LocationSenderManager).
// Defined in location_sender_manager.cpp.
LocationReporterHooks defaultLocationReporterHooks();

// Connects the command channel (SocketHandler::shared().connectToWebsocket()).
std::function<void()> defaultChannelConnector();

// The platform facilities the delegate uses. References are not owned: they must
// outlive the delegate (the system ones live for the process).
struct Platform {
  platform::Workspace& workspace;
  // The session of the delegate's own requests (app rules, web rules, usage report),
  // of its request runner `networkManger` and of its safe-search engine.
  platform::URLSession& urlSession;
  platform::FileManager& fileManager;
  // The run loop that the two 5-second timers are scheduled on.
  platform::RunLoop& runLoop;
  platform::DispatchQueue& mainQueue;
  // The queue that start-up submits the inventory to.
  platform::DispatchQueue& globalQueue;
  platform::ui::StatusBar& statusBar;
  platform::ContentBlockerManager& contentBlocker;
  platform::ContentFilterManager& contentFilter;
  platform::WindowList& windowList;
  networks::ChildUser& childUser;
  // The settings the delegate reads (the hosts file the tick replaces).
  platform::Settings settings = platform::Settings::current();
  // The current time (report day, weekday).
  std::function<std::chrono::system_clock::time_point()> now = [] { return std::chrono::system_clock::now(); };
  LocationReporterHooks locationReporter;
  // Connects the command channel; called once a child token is stored.
  std::function<void()> connectChannel;

  // The Linux implementations, the default location reporter and channel connector.
  static Platform system();
};

// A value behind a lock that is held only for one read (a copy), one replacement or
// one change, never across a network wait, a file write or a child process.
template <class T>
class Locked {
 public:
  Locked() = default;
  explicit Locked(T value) : value_(std::move(value)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  // Runs `change` on the value under the lock.
  template <class F>
  decltype(auto) modify(F&& change) {
    std::lock_guard lock(mutex_);
    return std::forward<F>(change)(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_;
};

// An installed application's metadata item, as the inventory collects it.
struct MetadataItem {
  std::string path;                        // the entry's full path
  std::optional<std::string> displayName;  // absent when it has none
};

class AppDelegate : public platform::ui::Object,
                    public platform::ui::ApplicationDelegate,
                    public platform::SystemExtensionRequestDelegate,
                    public platform::ui::MenuDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  struct ApplicationListElement {
    std::string name;
    std::string pk;  // a bundle identifier
    std::int64_t firstInstalledTime = 0;
    std::string status;
    std::string currentVersion;
  };

  explicit AppDelegate(Platform platform);
  ~AppDelegate() override;
  std::string className() const override { return "AppDelegate"; }

  // ---- stored properties, in declaration order ----
  // The host list the next hosts file is written from: the defaults and the blocked
  // domains of the last web-rule reply that arrived whole (replaced only by such a reply).
  Locked<HostEntries> g_input;
  const HostEntries g_input_org;    // the six default entries
  std::weak_ptr<platform::ui::Menu> menu;                   // outlet "menu"
  std::weak_ptr<platform::ui::MenuItem> firstMenuItem;      // outlet "firstMenuItem"
  std::weak_ptr<platform::ui::MenuItem> UninstallMenuItem;  // outlet "UninstallMenuItem"
  std::int64_t counter_globals = 0;
  std::int64_t counter_globals2 = 0;
  std::int64_t safariTime = 0;
  std::int64_t activityReportManager = 0;
  const std::shared_ptr<channel::CSafeSearchManager> SafeSearchManager;
  std::shared_ptr<platform::ui::StatusItem> statusItem;
  std::shared_ptr<DateTimeView> dateTimeView;
  networks::NetworkManager networkManger;
  std::shared_ptr<platform::Timer> liveTimer;
  std::shared_ptr<platform::Timer> liveTimerActivityReport;
  networks::ChildUser& childUser;
  std::vector<ApplicationListElement> appList;
  Locked<std::set<std::string>> blockingAppsArrayString;  // only ever added to
  std::int64_t currentDeviceDay = 0;
  std::int64_t currentDeviceWeekDay = 0;
  std::int64_t g_global_usage_counter = 0;

  // ---- system-extension request delegate (content_filter.cpp) ----
  platform::ExtensionReplacementAction actionForReplacingExtension(
      platform::SystemExtensionRequest& request, const platform::ExtensionProperties& existing,
      const platform::ExtensionProperties& extension) override;
  void requestNeedsUserApproval(platform::SystemExtensionRequest& request) override;
  void didFinishWithResult(platform::SystemExtensionRequest& request,
                           platform::SystemExtensionRequestResult result) override;
  void didFailWithError(platform::SystemExtensionRequest& request, const platform::Error& error) override;

  // ---- operations, in table order ----
  // Runs the command line with "/bin/zsh -c" and returns its output and error output.
  std::string shell(const std::string& command);
  // Posts appList as text (inventory.cpp). Always the empty text.
  std::string syncApps();
  // Terminates the first running application with exactly this bundle identifier.
  void blockAnApp(const std::string& bundleId);
  // Stores the current weekday (1 Sunday ... 7 Saturday) in currentDeviceWeekDay.
  void setCurrentDeviceDay();
  // The file URL of the user's Documents folder, ending with "/".
  std::string getDocumentsDirectory();
  // One enforcement tick.
  void fireTimer();
  // Whether Safari is frontmost with a window on screen (raises safariTime).
  bool trackSingleApplicationUsage(const std::string& bundleId);
  // Sends one usage report and returns once its reply was handled.
  void mockSendReport(const std::string& bundleId);
  // One usage-report tick.
  void fireTimerForActivityReport();
  // Removes the item at the path; prints the outcome.
  void removeFile(const std::string& atPath);
  // Sends the web-content rule request; a reply with a 2xx status and a list of
  // exceptions makes g_input the defaults plus its blocked domains.
  std::string getWebfilterRule();
  // Sends the app-rule request, then terminates what earlier replies blocked.
  std::string getAppRule();
  // Terminates, for every identifier of (a copy of) blockingAppsArrayString, the first
  // running application with it, as blockAnApp does, over one list of the running
  // applications.
  void blockAppsByRule();
  // Writes a text file "<to>.txt" under Documents/<folder> (inventory.cpp).
  void write(const std::string& text, const std::string& to, const std::string& folder = "SavedFiles");
  // The installed-application inventory (inventory.cpp).
  std::vector<MetadataItem> getAllApplications();
  // Writes the hosts file: one "address<TAB>name<LF>" line per entry, atomically.
  // Entries whose name is not a valid host name are printed and left out. The result
  // is the text written.
  std::expected<std::string, platform::FileError> createHostsFile(const HostEntries& with, const std::string& at);
  // Runs the command line as root ("sudo -S /bin/bash -c <line>") with the stored
  // password on standard input and waits for it. Starts nothing without a stored
  // child token. Always the empty text.
  std::string runScriptThatNeedsSudo(const std::string& input);
  // The token after the first "has" in the host-lookup tool's answer.
  std::optional<std::string> getIPAddress(const std::string& from);
  // Start-up.
  void applicationDidFinishLaunching() override;
  // A modal prompt; the field's text for "OK", the empty text otherwise.
  std::string getString(const std::string& title, const std::string& question, const std::string& defaultValue);
  void applicationWillTerminate() override;
  bool openApp(const std::string& name);
  // Menu actions.
  void ManageButton(platform::ui::Object& sender);
  void helpItem(platform::ui::Object& sender);
  void uninstallItem(platform::ui::Object& sender);
  void showPreferences(platform::ui::Object& sender);

  // ---- reached by the storyboard and the menu ----
  void awakeFromNib() override;
  bool setOutlet(const std::string& name, const platform::ui::ObjectPtr& value) override;
  platform::ui::Action action(const std::string& selector) override;
  void menuWillOpen(platform::ui::Menu& menu) override;
  void menuDidClose(platform::ui::Menu& menu) override;

  // ---- for the other parts of the agent and for tests ----
  const Platform& platformBundle() const { return platform_; }
  // The staging file "hosts" in Documents (the Documents URL text less "file://").
  std::string stagingPath();
  // Whether the command channel has been asked to connect.
  bool channelConnectRequested() const { return channelConnectRequested_; }

 private:
  // Connects the command channel once, as soon as a child token is stored.
  void connectChannelIfTokenStored();
  // Asks the application to quit, then sends its process SIGTERM.
  void terminate(platform::RunningApplication& application);

  Platform platform_;
  bool channelConnectRequested_ = false;
};

// The six default hosts entries.
HostEntries defaultHostEntries();
// The name as a hosts file holds it, or nothing when it cannot go there without changing
// its meaning: letters in either case, digits, hyphens and underscores in dot-separated
// labels of 1 to 63 characters, at most 253 in all; one trailing dot is dropped; an
// internationalised name becomes its ASCII form (IDNA, libidn2). Blanks, control
// characters, "#", empty labels and longer names are refused.
std::optional<std::string> hostsFileName(std::string_view name);
// Whether hostsFileName() accepts the name.
bool isValidHostName(const std::string& name);
// Whether a blocked domain names what is never sunk: the service's own API hosts (family
// and school), "localhost", or an address (IPv4 in any numeric form, IPv6), in any case,
// with or without the trailing dot, also as an internationalised look-alike.
bool isNeverSunk(std::string_view domain);
// The hosts-file text of the entries (no validation).
std::string hostsFileText(const HostEntries& entries);
// The root command line that puts the staging file over the target when, and only when,
// it is still the plain single-link file holding `text` that the agent wrote, in a
// folder owned by `uid`; root's owner, mode 0644, one rename. Anything else leaves the
// target as it was and says why on the error output.
std::string hostsReplacementCommand(const std::string& staging, const std::string& target, std::string_view text,
                                    unsigned long uid);
// Quotes a text as one word for bash (single quotes).
std::string shellQuoted(const std::string& text);
// The body of one usage report.
std::string usageReportBody(const std::string& day, std::int64_t usageCount);

}  // namespace agent
