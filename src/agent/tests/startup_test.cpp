// Start-up order, the status item and its menu from the main storyboard, the menu's
// actions, the modal prompt; and the real executable in a sandbox home.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "agent/app_delegate.h"
#include "agent/date_time_view.h"
#include "agent/preferences.h"
#include "agent/tests/support/agent_fixture.h"
#include "agent/tests/support/printed.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/fakes/fake_alert_responder.h"
#include "platform/process.h"
#include "platform/ui_nib.h"

namespace {

using agenttest::AgentFixture;
using agenttest::kAppRulesPath;
using agenttest::kReportsPath;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

constexpr const char* kAutostartName = "so.velmorhome.mopet.agent.desktop";

// The autostart entry the agent ships.
std::string shippedAutostartEntry() {
  return agenttest::readFile(std::string(MOPET_SOURCE_DIR) + "/resources/" + kAutostartName);
}

class Startup : public AgentFixture {
 protected:
  // Starts the delegate with hooks that write what happened, and when, into `events`.
  void launch() {
    auto platform = makePlatform();
    platform.locationReporter.listenToLiveLocationSocket = [this] { events.push_back("listen"); };
    platform.locationReporter.startSendLocations = [this] { events.push_back("start sending"); };
    platform.connectChannel = [this] { events.push_back("connect"); };
    globalQueue_.onAsync = [this] {
      events.push_back("inventory after " + progress() + (fs::exists(autostartEntry()) ? ", autostart entry" : ""));
    };
    runLoop_.onSchedule = [this] { events.push_back("timer after " + progress()); };
    delegate_ = std::make_shared<agent::AppDelegate>(std::move(platform));
    delegate_->applicationDidFinishLaunching();
    events.push_back("returned after " + progress());
  }
  // What the stub sudo and the service have seen so far.
  std::string progress() {
    return std::to_string(tools_.calls().size()) + " sudo, " + std::to_string(service().requests(kReportsPath).size()) +
           " reports";
  }
  fs::path autostartEntry() const { return home_.path() / ".config/autostart" / kAutostartName; }
  std::vector<std::string> events;
};

TEST_F(Startup, RunsItsStepsInOrderEachToItsEnd) {
  storeToken();
  storePassword("pw");
  launch();
  // The autostart entry was in place (without sudo) before the inventory was
  // submitted; the first tick (its move and flush) ended before the usage-report timer
  // was made; the first report's reply was in before start-up returned.
  EXPECT_THAT(events, ElementsAre("listen", "start sending", "connect",
                                  "inventory after 0 sudo, 0 reports, autostart entry", "timer after 0 sudo, 0 reports",
                                  "timer after 2 sudo, 0 reports", "returned after 2 sudo, 1 reports"));
  EXPECT_EQ(service().requests(kAppRulesPath).size(), 1u);

  auto& d = *delegate_;
  ASSERT_EQ(runLoop_.scheduled.size(), 2u);
  for (const auto& timer : runLoop_.scheduled) {
    EXPECT_EQ(timer.interval, std::chrono::seconds(5));
    EXPECT_TRUE(timer.repeats);
    EXPECT_EQ(timer.mode, platform::RunLoopMode::defaultMode);
    EXPECT_TRUE(timer.timer->isValid());
  }
  EXPECT_EQ(d.liveTimer, runLoop_.scheduled[0].timer);
  EXPECT_EQ(d.liveTimerActivityReport, runLoop_.scheduled[1].timer);

  // The inventory's work item keeps the delegate alive until it has run.
  EXPECT_EQ(globalQueue_.pending(), 1u);
  std::weak_ptr<agent::AppDelegate> weak = delegate_;
  delegate_.reset();
  EXPECT_FALSE(weak.expired());
  globalQueue_.discardAll();
  EXPECT_TRUE(weak.expired());
}

TEST_F(Startup, WithoutATokenNothingLeavesTheMachineAndNoCommandRuns) {
  launch();
  EXPECT_THAT(events, ElementsAre("listen", "start sending", "inventory after 0 sudo, 0 reports",
                                  "timer after 0 sudo, 0 reports", "timer after 0 sudo, 0 reports",
                                  "returned after 0 sudo, 0 reports"));
  EXPECT_THAT(service().requests(), IsEmpty());
  EXPECT_EQ(sharedSuite()->integer("device_usage"), 5);
  globalQueue_.discardAll();
}

TEST_F(Startup, APairedAgentPutsItsAutostartEntryInTheUsersOwnFolder) {
  const std::string shipped = shippedAutostartEntry();
  ASSERT_THAT(shipped, ::testing::HasSubstr("Exec=VelmorMopetAgent"));
  struct Case {
    std::string what;
    bool token;
    std::function<void()> arrange;
    std::optional<std::string> configHome;  // XDG_CONFIG_HOME, below the sandbox HOME
    bool installed;
  };
  const std::vector<Case> cases = {
      {"no token: nothing", false, [] {}, std::nullopt, false},
      {"a fresh account: the folders are made", true, [] {}, std::nullopt, true},
      {"already in place: left alone", true,
       [&] {
         fs::create_directories(autostartEntry().parent_path());
         agenttest::writeFile(autostartEntry(), shipped);
       },
       std::nullopt, true},
      {"an edited entry: replaced", true,
       [&] {
         fs::create_directories(autostartEntry().parent_path());
         agenttest::writeFile(autostartEntry(), shipped + "Hidden=true\n");
       },
       std::nullopt, true},
      {"a configuration folder of the user's choice", true, [] {}, "elsewhere/config", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(home_.path() / ".config");
    fs::remove_all(home_.path() / "elsewhere");
    if (c.token) storeToken();
    else sharedSuite()->removeObject(std::string(networks::kSharedChildToken));
    // Start-up finds the autostart folder through its file manager's configuration
    // folder (XDG_CONFIG_HOME).
    useFolders([&](platform::Settings& settings) {
      settings.xdgConfigHome = c.configHome ? (home_.path() / *c.configHome).string() : std::string();
    });
    c.arrange();
    const fs::path entry =
        c.configHome ? home_.path() / *c.configHome / "autostart" / kAutostartName : autostartEntry();
    struct stat before {};
    const bool existed = ::stat(entry.c_str(), &before) == 0;
    const std::string previous = existed ? agenttest::readFile(entry) : "";

    platform::CapturedOutput captured;
    launch();
    const std::string printed = agenttest::printedText(captured.take());
    globalQueue_.discardAll();
    for (const auto& timer : runLoop_.scheduled) timer.timer->invalidate();
    runLoop_.scheduled.clear();
    events.clear();

    EXPECT_THAT(printed, ::testing::Not(::testing::HasSubstr("autostart")));
    if (!c.installed) {
      EXPECT_FALSE(fs::exists(home_.path() / ".config"));
      continue;
    }
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_EQ(agenttest::readFile(entry), shipped);
    struct stat after {};
    ASSERT_EQ(::stat(entry.c_str(), &after), 0);
    // The user's own file, not writable by others; no privileged command made it.
    EXPECT_EQ(after.st_uid, ::getuid());
    EXPECT_EQ(after.st_mode & 0022, 0u);
    if (existed && previous == shipped) {
      EXPECT_EQ(after.st_ino, before.st_ino);  // untouched
    }
    for (const auto& line : tools_.sudoCommandLines())
      EXPECT_THAT(line, ::testing::Not(::testing::HasSubstr("autostart")));
  }
}

TEST_F(Startup, AnAutostartEntryThatCannotBeWrittenIsReportedAndStartUpGoesOn) {
  storeToken();
  // A folder where the entry should be.
  fs::create_directories(autostartEntry() / "in-the-way");
  platform::CapturedOutput captured;
  launch();
  const std::string printed = agenttest::printedText(captured.take());
  EXPECT_THAT(printed, ::testing::HasSubstr("Could not install the autostart entry: "));
  EXPECT_EQ(runLoop_.scheduled.size(), 2u);
  EXPECT_TRUE(fs::is_directory(autostartEntry() / "in-the-way"));
  globalQueue_.discardAll();
}

TEST_F(Startup, TheTimersTickFromTheRunLoopButNotWhileTheMenuIsOpen) {
  // The timers still ask for five seconds; the loop fires them every few milliseconds.
  runLoop_.realInterval = std::chrono::milliseconds(10);
  launch();
  globalQueue_.discardAll();
  auto& d = *delegate_;
  ASSERT_EQ(runLoop_.scheduled.size(), 2u);
  const int& ticks = *runLoop_.scheduled[0].fired;
  const int& reports = *runLoop_.scheduled[1].fired;
  EXPECT_EQ(ticks, 1);  // each fired once at start-up
  EXPECT_EQ(reports, 1);
  auto& loop = platform::RunLoop::main();

  // The loop fires both, on this (the main) thread; each usage tick adds five seconds.
  const auto testThread = std::this_thread::get_id();
  std::vector<std::thread::id> threads;
  platform::DispatchQueue::main().async([&] { threads.push_back(std::this_thread::get_id()); });
  ASSERT_TRUE(loop.runUntil([&] { return ticks >= 3 && reports >= 3; }, std::chrono::seconds(30)));
  EXPECT_THAT(threads, ElementsAre(testThread));
  EXPECT_EQ(sharedSuite()->integer("device_usage"), 5 * reports);

  // While the menu is open (event tracking) neither fires; once it closes they go on.
  platform::ui::Menu menu("status");
  menu.open();
  ASSERT_EQ(loop.currentMode(), platform::RunLoopMode::eventTracking);
  const int ticksBefore = ticks;
  const int reportsBefore = reports;
  loop.runUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
  EXPECT_EQ(ticks, ticksBefore);
  EXPECT_EQ(reports, reportsBefore);
  menu.close();
  EXPECT_TRUE(loop.runUntil([&] { return ticks > ticksBefore && reports > reportsBefore; }, std::chrono::seconds(30)));
  EXPECT_EQ(sharedSuite()->integer("device_usage"), 5 * reports);

  d.liveTimer->invalidate();
  d.liveTimerActivityReport->invalidate();
}

class StatusMenu : public AgentFixture {
 protected:
  void SetUp() override {
    agent::registerInterfaceClasses();
    platform::ui::ClassRegistry::add("AppDelegate", [this] {
      auto made = std::make_shared<agent::AppDelegate>(makePlatform());
      delegate_ = made;
      return made;
    });
    auto storyboard = platform::ui::Storyboard::named("Main");
    ASSERT_TRUE(storyboard);
    scene_ = storyboard->instantiateApplicationScene();
    ASSERT_TRUE(scene_);
    ASSERT_TRUE(delegate_);
  }
  void TearDown() override {
    platform::ui::ClassRegistry::remove("AppDelegate");
    platform::ui::Application::shared().reset();
    scene_.reset();
  }
  platform::ui::Menu& menu() { return *delegate_->statusItem->menu(); }
  std::optional<platform::ui::Storyboard::ApplicationScene> scene_;
};

TEST_F(StatusMenu, TheStoryboardConnectsTheMenuAndTheDateTimeView) {
  auto& d = *delegate_;
  ASSERT_TRUE(d.statusItem);
  EXPECT_EQ(d.statusItem->length(), platform::ui::StatusBar::variableLength);
  auto image = d.statusItem->button()->image();
  ASSERT_TRUE(image);
  EXPECT_EQ(image->name(), "Layer_x0020_2");
  EXPECT_TRUE(image->isTemplate());
  ASSERT_TRUE(d.statusItem->menu());
  EXPECT_EQ(d.statusItem->menu(), d.menu.lock());
  EXPECT_EQ(menu().delegate(), static_cast<platform::ui::MenuDelegate*>(&d));

  ASSERT_TRUE(d.dateTimeView);
  EXPECT_EQ(d.dateTimeView->frame(), (platform::ui::Rect{{0, 0}, {250, 170}}));
  EXPECT_EQ(d.firstMenuItem.lock()->view(), d.dateTimeView);
  EXPECT_TRUE(d.UninstallMenuItem.lock());

  // The clock runs while the menu is open (with a paired child), not after.
  storeToken();
  menu().open();
  EXPECT_TRUE(d.dateTimeView->timer);
  menu().close();
  EXPECT_FALSE(d.dateTimeView->timer);
}

TEST_F(StatusMenu, ActionsLaunchTheMainApplicationOpenTheGuideAndPreferences) {
  auto choose = [&](const std::string& title) {
    auto& items = menu().items();
    for (std::size_t i = 0; i < items.size(); ++i)
      if (items[i]->title() == title) return menu().choose(i);
    ADD_FAILURE() << "no item " << title;
    return false;
  };
  EXPECT_TRUE(choose("Open Mopet"));
  EXPECT_TRUE(choose("Uninstall\u2026"));
  EXPECT_THAT(workspace_.launchCalls(), ElementsAre("Mopet.app", "Mopet.app"));
  EXPECT_TRUE(choose("User Guide"));
  EXPECT_THAT(workspace_.openCalls(), ElementsAre("https://www.mopet.velmorhome.so/user-guide/documents"));

  auto& application = platform::ui::Application::shared();
  const auto before = application.windows().size();
  EXPECT_TRUE(choose("Preferences\u2026"));
  EXPECT_TRUE(choose("Preferences\u2026"));
  ASSERT_EQ(application.windows().size(), before + 2);
  auto& window = *application.windows().back();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isKeyWindow());
  EXPECT_TRUE(std::dynamic_pointer_cast<agent::ViewController>(window.contentViewController()));
}

TEST_F(AgentFixture, WithoutOutletsThereIsNoMenuAndNoClock) {
  auto& d = delegate();
  d.awakeFromNib();
  ASSERT_TRUE(d.statusItem);
  EXPECT_FALSE(d.statusItem->menu());
  EXPECT_FALSE(d.dateTimeView);
  platform::ui::Menu detached;
  d.menuWillOpen(detached);
  d.menuDidClose(detached);

  workspace_.setLaunchResult(false);
  EXPECT_FALSE(d.openApp("Missing.app"));
  workspace_.setLaunchResult(true);
  EXPECT_TRUE(d.openApp("Other.app"));
  EXPECT_THAT(workspace_.launchCalls(), ElementsAre("Missing.app", "Other.app"));
}

TEST_F(AgentFixture, PromptReturnsTheFieldForOkAndNothingOtherwise) {
  platform::ui::FakeAlertResponder responder;
  responder.respond(platform::ui::ModalResponse::alertFirstButtonReturn, "typed");
  responder.respond(platform::ui::ModalResponse::alertFirstButtonReturn, "");
  responder.respond(platform::ui::ModalResponse::alertFirstButtonReturn);
  responder.respond(platform::ui::ModalResponse::alertSecondButtonReturn);
  auto& d = delegate();
  EXPECT_EQ(d.getString("Title", "Question?", "default"), "typed");
  EXPECT_EQ(d.getString("Title", "Question?", "default"), "");
  EXPECT_EQ(d.getString("Title", "Question?", "default"), "default");
  EXPECT_EQ(d.getString("Title", "Question?", "default"), "");
  auto shown = responder.shown();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[0].messageText, "Title");
  EXPECT_EQ(shown[0].informativeText, "Question?");
  EXPECT_THAT(shown[0].buttonTitles, ElementsAre("OK", "Cancel"));
  EXPECT_EQ(shown[0].accessoryText, "default");
}

#ifdef MOPET_AGENT_EXECUTABLE
// The executable in a sandbox home without a paired child: it starts as a status-bar
// agent, runs its first tick (the staging file appears, nothing is moved) and its first
// usage tick, and keeps running until told to stop.
TEST_F(AgentFixture, TheExecutableStartsAndTicks) {
  platform::Process agentProcess;
  agentProcess.executablePath = MOPET_AGENT_EXECUTABLE;
  agentProcess.environment["HOME"] = home_.path().string();
  // Its autostart entry and desktop data go inside the sandbox home, whatever the
  // test's own environment names.
  agentProcess.environment["XDG_CONFIG_HOME"] = (home_.path() / ".config").string();
  agentProcess.environment["XDG_DATA_HOME"] = (home_.path() / ".local/share").string();
  // The executable reads its settings from its environment, as on a real machine.
  agentProcess.environment["MOPET_HOSTS_FILE"] = settings_.hostsFile;
  agentProcess.environment["MOPET_CHILD_PATH"] = settings_.childPath;
  agentProcess.standardOutput = platform::NullDevice{};
  agentProcess.standardError = platform::NullDevice{};
  ASSERT_TRUE(agentProcess.run());
  EXPECT_TRUE(agenttest::waitFor([&] { return std::filesystem::exists(stagingPath()); }));
  // The executable's app-group suite is the one in its home.
  const auto homeSuite = platform::UserDefaults::suite(home_.files(), std::string(networks::kAppGroup));
  EXPECT_TRUE(agenttest::waitFor([&] { return homeSuite->integer("device_usage") == 5; }));
  EXPECT_TRUE(agentProcess.isRunning());
  agentProcess.terminate();
  ASSERT_TRUE(agentProcess.waitUntilExit(std::chrono::milliseconds(5000)));
  EXPECT_EQ(agenttest::readFile(stagingPath()), agent::hostsFileText(agent::defaultHostEntries()));
  EXPECT_EQ(agenttest::readFile(hostsTarget()), "# the machine's hosts file\n");
  EXPECT_THAT(tools_.calls(), IsEmpty());
}
#endif

}  // namespace
