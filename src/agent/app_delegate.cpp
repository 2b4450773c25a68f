#include "agent/app_delegate.h"

#include <chrono>
#include <utility>

#include "channel/safe_search_manager.h"
#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "platform/bundle.h"
#include "platform/user_defaults.h"

namespace agent {
namespace {

// The autostart entry that makes the desktop start the agent at every login.
constexpr const char* kAutostartEntryName = "so.velmorhome.mopet.agent";

// Puts the agent's autostart entry (from its resources) into the user's autostart folder
// when a child token is stored. The folder is the user's own, so the agent writes it
// itself, as the user: the privileged runner would leave root-owned files there, or
// write into root's home. An entry with the same bytes is left alone; any other file of
// that name (an edited or disabled entry) is replaced, atomically.
void installAutostartEntry(const platform::FileManager& files) {
  if (!networks::storedChildToken()) return;
  auto fail = [](const std::string& why) { networks::printLine("Could not install the autostart entry: " + why); };
  const auto source = platform::Bundle::main().path(kAutostartEntryName, "desktop");
  if (!source) return fail("it is not among the agent's resources");
  auto entry = files.contents(*source);
  if (!entry) return fail(entry.error().localizedDescription());
  const std::string folder = files.autostartDirectory();
  const std::string target = folder + "/" + kAutostartEntryName + ".desktop";
  if (auto present = files.contents(target); present && *present == *entry) return;
  if (auto made = files.createDirectory(folder, true); !made) return fail(made.error().localizedDescription());
  if (auto written = files.write(target, *entry, true); !written) fail(written.error().localizedDescription());
}

constexpr auto kTickInterval = std::chrono::seconds(5);
// How far into a tick's period the main thread's waits may go: the rest of the period
// is kept for the work itself, so that the next tick starts on time.
constexpr auto kMainThreadWaitWindow = std::chrono::seconds(4);

}  // namespace

// Each job gets exactly the platform pieces it uses.
AppDelegate::AppDelegate(Platform platform)
    : platform_(std::move(platform)),
      networkManger(platform_.urlSession),
      hostsFilter_(platform_.fileManager, networkManger),
      applicationBlocker_(platform_.workspace, networkManger, platform_.now),
      privilegedRunner_(platform_.settings.childPath, platform_.settings.privilegedCommandDeadline),
      usageReporter_(platform_.workspace, platform_.windowList, platform_.childUser, networkManger, platform_.now),
      inventory_(
          platform_.fileManager, networkManger,
          [childPath = platform_.settings.childPath](const std::string& command) {
            return shellOutput(command, childPath);
          },
          platform_.settings.childPath, platform_.settings.inheritedPath),
      g_input(hostsFilter_.hostList()),
      g_input_org(hostsFilter_.defaults()),
      safariTime(usageReporter_.safariTime()),
      SafeSearchManager(std::make_shared<channel::CSafeSearchManager>(platform_.urlSession, platform_.contentBlocker,
                                                                      platform_.fileManager)),
      childUser(platform_.childUser),
      appList(inventory_.appList()),
      blockingAppsArrayString(applicationBlocker_.blocked()),
      currentDeviceWeekDay(applicationBlocker_.weekDay()),
      mainThreadBudget_(std::make_shared<platform::MainThreadBudget>(kTickInterval, kMainThreadWaitWindow)) {
  // The main thread's waits for replies are bounded by the settings' budget.
  networkManger.setReplyWaitLimit(platform_.settings.replyWaitBudget);
  usageReporter_.setReplyWaitLimit(platform_.settings.replyWaitBudget / 2);
}

AppDelegate::~AppDelegate() {
  // The timers hold the delegate only weakly; stop them so they do not outlive it.
  if (liveTimer) liveTimer->invalidate();
  if (liveTimerActivityReport) liveTimerActivityReport->invalidate();
  // The budget goes with the ticks that renew it.
  if (platform::MainThreadBudget::installed() == mainThreadBudget_) platform::MainThreadBudget::install(nullptr);
}

bool AppDelegate::setOutlet(const std::string& name, const platform::ui::ObjectPtr& value) {
  if (name == "menu") {
    menu = std::dynamic_pointer_cast<platform::ui::Menu>(value);
    return true;
  }
  if (name == "firstMenuItem") {
    firstMenuItem = std::dynamic_pointer_cast<platform::ui::MenuItem>(value);
    return true;
  }
  if (name == "UninstallMenuItem") {
    UninstallMenuItem = std::dynamic_pointer_cast<platform::ui::MenuItem>(value);
    return true;
  }
  return Object::setOutlet(name, value);
}

platform::ui::Action AppDelegate::action(const std::string& selector) {
  using Member = void (AppDelegate::*)(platform::ui::Object&);
  static const std::pair<const char*, Member> actions[] = {{"ManageButton:", &AppDelegate::ManageButton},
                                                           {"helpItem:", &AppDelegate::helpItem},
                                                           {"uninstallItem:", &AppDelegate::uninstallItem},
                                                           {"showPreferences:", &AppDelegate::showPreferences}};
  for (const auto& [name, member] : actions) {
    if (selector == name) {
      Object::Ref self = ref();
      return [self, member](platform::ui::Object& sender) {
        if (auto* target = dynamic_cast<AppDelegate*>(self.get())) (target->*member)(sender);
      };
    }
  }
  if (selector == "fireTimer") {
    Object::Ref self = ref();
    return [self](platform::ui::Object&) {
      if (auto* target = dynamic_cast<AppDelegate*>(self.get())) target->fireTimer();
    };
  }
  if (selector == "fireTimerForActivityReport") {
    Object::Ref self = ref();
    return [self](platform::ui::Object&) {
      if (auto* target = dynamic_cast<AppDelegate*>(self.get())) target->fireTimerForActivityReport();
    };
  }
  return Object::action(selector);
}

void AppDelegate::applicationDidFinishLaunching() {
  // Every wait of the main thread from here on draws on the budget that the ticks renew.
  mainThreadBudget_->beginPeriod();
  platform::MainThreadBudget::install(mainThreadBudget_);

  // The location reporter first: it listens for live-location commands, then sends fixes.
  if (platform_.locationReporter.listenToLiveLocationSocket) platform_.locationReporter.listenToLiveLocationSocket();
  if (platform_.locationReporter.startSendLocations) platform_.locationReporter.startSendLocations();
  // The command channel, now that the reporter listens on it, when a child is paired.
  connectChannelIfTokenStored();

  // Start at every login: the autostart entry into the user's autostart folder.
  installAutostartEntry(platform_.fileManager);

  // The inventory, off the main thread; the work item keeps the delegate alive.
  platform_.globalQueue.async([self = shared_from_this()] { self->getAllApplications(); });

  // The enforcement and usage-report timers, each fired once at once. The enforcement
  // tick ends before the usage-report timer exists.
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  liveTimer = platform_.runLoop.scheduledTimer(
      kTickInterval, true,
      [weak](platform::Timer&) {
        if (auto self = weak.lock()) self->fireTimer();
      },
      platform::RunLoopMode::defaultMode);
  liveTimer->fire();

  liveTimerActivityReport = platform_.runLoop.scheduledTimer(
      kTickInterval, true,
      [weak](platform::Timer&) {
        if (auto self = weak.lock()) self->fireTimerForActivityReport();
      },
      platform::RunLoopMode::defaultMode);
  liveTimerActivityReport->fire();
}

void AppDelegate::applicationWillTerminate() {}

// ---- the operations that forward to a job ----

std::string AppDelegate::shell(const std::string& command) {
  return shellOutput(command, platform_.settings.childPath);
}

std::string AppDelegate::syncApps() { return inventory_.syncApps(); }

void AppDelegate::blockAnApp(const std::string& bundleId) { applicationBlocker_.blockOne(bundleId); }

void AppDelegate::setCurrentDeviceDay() { applicationBlocker_.storeWeekDay(); }

std::string AppDelegate::getDocumentsDirectory() { return hostsFilter_.documentsDirectoryURL(); }

bool AppDelegate::trackSingleApplicationUsage(const std::string&) { return usageReporter_.safariIsInUse(); }

void AppDelegate::mockSendReport(const std::string&) { usageReporter_.sendReport(); }

void AppDelegate::fireTimerForActivityReport() { usageReporter_.tick(); }

void AppDelegate::removeFile(const std::string& atPath) { hostsFilter_.removeFile(atPath); }

std::string AppDelegate::getWebfilterRule() {
  hostsFilter_.requestWebRules();
  return "";
}

std::string AppDelegate::getAppRule() {
  applicationBlocker_.requestRules();
  return "";
}

void AppDelegate::blockAppsByRule() { applicationBlocker_.blockByRule(); }

void AppDelegate::write(const std::string& text, const std::string& to, const std::string& folder) {
  inventory_.write(text, to, folder);
}

std::vector<MetadataItem> AppDelegate::getAllApplications() { return inventory_.collect(); }

std::expected<std::string, platform::FileError> AppDelegate::createHostsFile(const HostEntries& with,
                                                                             const std::string& at) {
  return hostsFilter_.writeHostsFile(with, at);
}

std::string AppDelegate::runScriptThatNeedsSudo(const std::string& input) {
  privilegedRunner_.run(input);
  return "";
}

std::optional<std::string> AppDelegate::getIPAddress(const std::string& from) {
  return hostLookupAnswer(from, platform_.settings.childPath);
}

std::string AppDelegate::stagingPath() { return hostsFilter_.stagingPath(); }

bool AppDelegate::openApp(const std::string& name) { return platform_.workspace.launchApplication(name); }

void AppDelegate::connectChannelIfTokenStored() {
  if (channelConnectRequested_) return;
  if (!networks::storedChildToken()) return;
  channelConnectRequested_ = true;
  if (platform_.connectChannel) platform_.connectChannel();
}

}  // namespace agent
