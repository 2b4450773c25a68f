#pragma once
// The application delegate: the one object that holds the agent for the life of the
// process. It builds the status item and its menu, runs start-up, owns the two
// repeating 5-second timers (the enforcement tick and the usage report) and answers
// the menu's actions.
//
// The delegate is a thin shell over the agent's jobs, each a small class that owns its
// state and is built with only the platform pieces it uses: the application blocker
// (application_blocker.h), the hosts filter (hosts_filter.h), the privileged runner
// (privileged_runner.h), the usage reporter (usage_reporter.h) and the inventory
// (inventory.h). Its properties and operations keep their names for the callers; each
// forwards to the job that owns it. The enforcement tick (enforcement_tick.cpp) is the
// one operation that puts several jobs together.
//
// Every platform facility comes in through one `Platform` bundle of references, so that
// main.cpp wires the Linux implementations (agent/services.h) and tests wire fakes.
//
// The main thread's waits share one budget per 5-second period (platform::MainThreadBudget):
// each tick begins a period, and every wait of the main thread in it (the tick's replies
// and root's commands, the usage report, a location upload, a safe-search pass of the
// command channel) ends within its first 4 seconds, so the next tick comes on time.
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
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/application_blocker.h"
#include "agent/hosts_filter.h"
#include "agent/inventory.h"
#include "agent/locked.h"
#include "agent/privileged_runner.h"
#include "agent/usage_reporter.h"
#include "networks/child_user_default_manager.h"
#include "networks/network_manager.h"
#include "platform/content_blocker.h"
#include "platform/content_filter.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/main_thread_budget.h"
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
// The main application that the menu launches.
inline constexpr const char* kMainApplicationName = "Mopet.app";

// What start-up does with the location reporter, in this order: take the agent's
// reporter and call its listenToLiveLocationSocket(), then take it again and call its
// startSendLocations(). Empty functions do nothing.
struct LocationReporterHooks {
  std::function<void()> listenToLiveLocationSocket;
  std::function<void()> startSendLocations;
};

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
  // The settings the delegate reads (the hosts file the tick replaces, the folders put
  // first in its child processes' PATH, the PATH it inherited).
  platform::Settings settings = platform::Settings::current();
  // The current time (report day, weekday).
  std::function<std::chrono::system_clock::time_point()> now = [] { return std::chrono::system_clock::now(); };
  LocationReporterHooks locationReporter;
  // Connects the command channel; called once a child token is stored.
  std::function<void()> connectChannel;
};

class AppDelegate : public platform::ui::Object,
                    public platform::ui::ApplicationDelegate,
                    public platform::SystemExtensionRequestDelegate,
                    public platform::ui::MenuDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 private:
  // The platform pieces, then the request runner, then the jobs built from them: these
  // come first, as the properties below name their state.
  Platform platform_;

 public:
  using ApplicationListElement = agent::ApplicationListElement;

  explicit AppDelegate(Platform platform);
  ~AppDelegate() override;
  std::string className() const override { return "AppDelegate"; }

  // The request runner of the inventory's upload and of every request of the jobs below
  // (its name, misspelt, is the one the callers know).
  networks::NetworkManager networkManger;

 private:
  HostsFilter hostsFilter_;
  ApplicationBlocker applicationBlocker_;
  PrivilegedRunner privilegedRunner_;
  UsageReporter usageReporter_;
  Inventory inventory_;

 public:
  // ---- stored properties ----
  // The hosts filter's host list (HostsFilter::hostList): the list the next hosts file
  // is written from, the defaults and the blocked domains of the last web-rule reply
  // that arrived whole (replaced only by such a reply). The name is the one its callers
  // know: the hosts file's input list, not a global.
  Locked<HostEntries>& g_input;
  const HostEntries& g_input_org;  // the six default entries (HostsFilter::defaults)
  std::weak_ptr<platform::ui::Menu> menu;                   // outlet "menu"
  std::weak_ptr<platform::ui::MenuItem> firstMenuItem;      // outlet "firstMenuItem"
  std::weak_ptr<platform::ui::MenuItem> UninstallMenuItem;  // outlet "UninstallMenuItem"
  std::int64_t& safariTime;  // the usage reporter's Safari count (UsageReporter::safariTime)
  const std::shared_ptr<channel::CSafeSearchManager> SafeSearchManager;
  std::shared_ptr<platform::ui::StatusItem> statusItem;
  std::shared_ptr<DateTimeView> dateTimeView;
  std::shared_ptr<platform::Timer> liveTimer;
  std::shared_ptr<platform::Timer> liveTimerActivityReport;
  networks::ChildUser& childUser;
  std::vector<ApplicationListElement>& appList;  // the inventory's list (Inventory::appList), never filled
  // The application blocker's set (ApplicationBlocker::blocked): the identifiers of the
  // applications to terminate, as strings; a set, not an array, and only ever added to.
  Locked<std::set<std::string>>& blockingAppsArrayString;
  std::int64_t& currentDeviceWeekDay;  // the blocker's weekday (ApplicationBlocker::weekDay)

  // ---- system-extension request delegate (content_filter.cpp) ----
  platform::ExtensionReplacementAction actionForReplacingExtension(
      platform::SystemExtensionRequest& request, const platform::ExtensionProperties& existing,
      const platform::ExtensionProperties& extension) override;
  void requestNeedsUserApproval(platform::SystemExtensionRequest& request) override;
  void didFinishWithResult(platform::SystemExtensionRequest& request,
                           platform::SystemExtensionRequestResult result) override;
  void didFailWithError(platform::SystemExtensionRequest& request, const platform::Error& error) override;

  // ---- operations, in table order ----
  // Runs the command line with "/bin/zsh -c" and returns its output and error output
  // (shellOutput).
  std::string shell(const std::string& command);
  // Posts appList as text (Inventory::syncApps). Always the empty text: the reply is
  // only printed.
  std::string syncApps();
  // Terminates the running application with exactly this bundle identifier, every
  // process of it (ApplicationBlocker::blockOne).
  void blockAnApp(const std::string& bundleId);
  // Stores the current weekday (1 Sunday ... 7 Saturday) in currentDeviceWeekDay; only
  // the weekday, whatever the name says (ApplicationBlocker::storeWeekDay).
  void setCurrentDeviceDay();
  // The file URL of the user's Documents folder, ending with "/" (HostsFilter).
  std::string getDocumentsDirectory();
  // One enforcement tick.
  void fireTimer();
  // Whether Safari is frontmost with a window on screen (raises safariTime); the
  // argument is not consulted (UsageReporter::safariIsInUse).
  bool trackSingleApplicationUsage(const std::string& bundleId);
  // Sends one real usage report to the service and returns once its reply was handled;
  // nothing in it is a mock, and the argument is not consulted: the report always names
  // Safari (UsageReporter::sendReport).
  void mockSendReport(const std::string& bundleId);
  // One usage-report tick (UsageReporter::tick).
  void fireTimerForActivityReport();
  // Removes the item at the path; prints the outcome (HostsFilter).
  void removeFile(const std::string& atPath);
  // Sends the web-content rule request; a reply with a 2xx status that decodes makes
  // g_input the defaults plus its blocked domains, if any
  // (HostsFilter::requestWebRules). Always the empty text: the reply is read by its
  // handler, later.
  std::string getWebfilterRule();
  // Sends the app-rule request, then terminates what earlier replies blocked
  // (ApplicationBlocker::requestRules). Always the empty text: the reply is read by its
  // handler, later.
  std::string getAppRule();
  // Terminates, for every identifier of blockingAppsArrayString, the running
  // application with it, as blockAnApp does, over one list of the running applications
  // (ApplicationBlocker::blockByRule).
  void blockAppsByRule();
  // Writes a text file "<to>.txt" under Documents/<folder> (Inventory::write).
  void write(const std::string& text, const std::string& to, const std::string& folder = "SavedFiles");
  // The installed-application inventory (Inventory::collect).
  std::vector<MetadataItem> getAllApplications();
  // Writes the hosts file: one "address<TAB>name<LF>" line per entry, atomically.
  // Entries whose name is not a valid host name are printed and left out. The result
  // is the text written (HostsFilter::writeHostsFile).
  std::expected<std::string, platform::FileError> createHostsFile(const HostEntries& with, const std::string& at);
  // Runs the command line as root ("sudo -S /bin/bash -c <line>") with the stored
  // password on standard input and waits for it. Starts nothing without a stored
  // child token (PrivilegedRunner::run). Always the empty text: what the command
  // writes is printed, not returned.
  std::string runScriptThatNeedsSudo(const std::string& input);
  // The token after the first "has" in the host-lookup tool's answer (hostLookupAnswer).
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
  // How long root's commands may run within the tick: what leaves the main thread's
  // budget of the period to the next tick, at most the settings' deadline.
  std::chrono::milliseconds rootDeadlineWithinTick() const;

  bool channelConnectRequested_ = false;
  // The main thread's wait budget; installed for the process at start-up.
  const std::shared_ptr<platform::MainThreadBudget> mainThreadBudget_;
};

}  // namespace agent
