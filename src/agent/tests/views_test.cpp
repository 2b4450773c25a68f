// The status menu's date/time view, the preferences window and the NIB loading both
// views share.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "agent/date_time_view.h"
#include "agent/preferences.h"
#include "agent/tests/fixtures/delegate_platform.h"
#include "agent/tests/support/printed.h"
#include "networks/shared_settings.h"
#include "platform/bundle.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/run_loop.h"
#include "platform/ui_menu.h"
#include "platform/user_defaults.h"
#include "support/scoped_user_defaults.h"

namespace agent {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace ui = platform::ui;

const std::string kFixtureNibs = std::string(MOPET_SOURCE_DIR) + "/src/agent/tests/fixtures/nibs";

void setToken(const std::optional<std::string>& token) {
  auto suite = networks::openSharedSuite();
  if (token) suite->set(std::string(networks::kSharedChildToken), *token);
  else suite->removeObject(std::string(networks::kSharedChildToken));
}

std::string labelText(const std::weak_ptr<ui::TextField>& label) {
  auto field = label.lock();
  return field ? field->stringValue() : "<no label>";
}

// Every test starts and ends with the shipped resources, the default mode and no
// windows left open.
class ViewsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::Bundle::main().setResourcePath("");
    platform::RunLoop::main().setCurrentMode(platform::RunLoopMode::defaultMode);
    PreferencesView::setWorkspace(nullptr);
    ui::Application::shared().reset();
  }

  testsupport::ScopedUserDefaults userDefaults_;
  // The user defaults a date/time view is handed.
  platform::UserDefaults* defaults_ = &userDefaults_.standard();
};

// ---- NIB loading ----------------------------------------------------------------

class ProbeView final : public ui::View,
                        public LoadableView<ProbeView>,
                        public std::enable_shared_from_this<ProbeView> {
 public:
  using ui::View::View;
};

TEST_F(ViewsTest, LoadInstallsOnlyTheFirstTopLevelViewPinnedToTheOwner) {
  platform::Bundle::main().setResourcePath(kFixtureNibs);
  auto owner = std::make_shared<ProbeView>(ui::Rect{{0, 0}, {200, 100}});
  ASSERT_TRUE(owner->load("SeveralViews"));
  ASSERT_EQ(owner->subviews().size(), 1u);
  const auto& installed = owner->subviews().front();
  EXPECT_EQ(installed->identifier(), "firstView");
  EXPECT_FALSE(installed->translatesAutoresizingMaskIntoConstraints());
  EXPECT_TRUE(ui::isPinnedToEdges(*installed, *owner));
  // The view keeps its own subviews; the later top-level views go nowhere.
  ASSERT_EQ(installed->subviews().size(), 1u);
  EXPECT_EQ(installed->subviews().front()->identifier(), "inner");
  EXPECT_EQ(owner->viewWithIdentifier("secondView"), nullptr);
  EXPECT_EQ(owner->viewWithIdentifier("thirdView"), nullptr);
}

TEST_F(ViewsTest, LoadFailsAndInstallsNothingWithoutATopLevelView) {
  platform::Bundle::main().setResourcePath(kFixtureNibs);
  for (const std::string name : {"NoViews", "Broken", "Missing"}) {
    SCOPED_TRACE(name);
    auto owner = std::make_shared<ProbeView>(ui::Rect{{0, 0}, {200, 100}});
    ::testing::internal::CaptureStderr();  // the loader explains a broken or missing file
    EXPECT_FALSE(owner->load(name));
    ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(owner->subviews(), IsEmpty());
  }
}

TEST_F(ViewsTest, AddPinsTheViewAsTheParentsLastSubview) {
  auto parent = std::make_shared<ui::View>(ui::Rect{{0, 0}, {300, 200}});
  parent->addSubview(std::make_shared<ui::View>());
  auto child = std::make_shared<ProbeView>(ui::Rect{{5, 5}, {10, 10}});
  child->add(*parent);
  ASSERT_EQ(parent->subviews().size(), 2u);
  EXPECT_EQ(parent->subviews().back().get(), child.get());
  EXPECT_FALSE(child->translatesAutoresizingMaskIntoConstraints());
  EXPECT_TRUE(ui::isPinnedToEdges(*child, *parent));
  parent->layoutSubtree();
  EXPECT_EQ(child->frame(), (ui::Rect{{0, 0}, {300, 200}}));
}

// ---- date/time view ---------------------------------------------------------------

TEST_F(ViewsTest, DateTimeViewFillsItselfFromItsNib) {
  auto view = std::make_shared<DateTimeView>(ui::Rect{{0, 0}, {250, 170}}, *defaults_);
  EXPECT_EQ(view->frame(), (ui::Rect{{0, 0}, {250, 170}}));
  ASSERT_EQ(view->subviews().size(), 1u);
  EXPECT_TRUE(ui::isPinnedToEdges(*view->subviews().front(), *view));
  for (const auto* label : {&view->areaLabel, &view->dateLabel, &view->timeLabel, &view->timezoneLabel}) {
    EXPECT_NE(label->lock(), nullptr);
  }
  EXPECT_EQ(labelText(view->areaLabel), "Mopet");  // the NIB's text until the first tick
  EXPECT_EQ(view->timer, nullptr);
  EXPECT_EQ(view->preferredTimezoneID, std::nullopt);

  auto archived = std::make_shared<DateTimeView>(ArchiveCoder{});
  EXPECT_THAT(archived->subviews(), IsEmpty());
  EXPECT_EQ(archived->areaLabel.lock(), nullptr);
}

TEST_F(ViewsTest, ClockDoesNothingWithoutAToken) {
  defaults_->set(DateTimeView::kTimezoneKey, "Europe/Berlin");
  setToken(std::nullopt);
  auto view = std::make_shared<DateTimeView>(ui::Rect{{0, 0}, {250, 170}}, *defaults_);
  platform::CapturedOutput captured;
  view->startTimer();
  EXPECT_THAT(captured.take(), IsEmpty());
  EXPECT_EQ(view->timer, nullptr);
  EXPECT_EQ(view->preferredTimezoneID, std::nullopt);  // not even read
  EXPECT_EQ(labelText(view->areaLabel), "Mopet");
}

TEST_F(ViewsTest, ClockPrintsTheTokenAndWritesTheLabelAtOnce) {
  defaults_->set(DateTimeView::kTimezoneKey, "Europe/Berlin");
  struct Case {
    std::string token;
    std::string printed;
  };
  for (const auto& [token, printed] : {Case{"tok-42", "result:  tok-…\n"}, Case{"", "result:  \n"}}) {
    SCOPED_TRACE(token);
    setToken(token);
    auto view = std::make_shared<DateTimeView>(ui::Rect{{0, 0}, {250, 170}}, *defaults_);
    platform::CapturedOutput captured;
    view->startTimer();
    EXPECT_EQ(agenttest::printedText(captured.take()), printed);
    EXPECT_EQ(labelText(view->areaLabel), "Velmor Mopet Agent");
    EXPECT_EQ(labelText(view->dateLabel), "Today");  // the other labels keep the NIB's text
    EXPECT_EQ(labelText(view->timeLabel), "--:--");
    ASSERT_NE(view->timer, nullptr);
    EXPECT_TRUE(view->timer->isValid());
    EXPECT_EQ(view->timer->interval(), 1s);
    EXPECT_EQ(view->preferredTimezoneID, "Europe/Berlin");
    view->stopTimer();
  }
}

TEST_F(ViewsTest, ClockTicksWhileTheMenuIsTrackedAndStopsWhenClosed) {
  setToken("tok");
  auto view = std::make_shared<DateTimeView>(ui::Rect{{0, 0}, {250, 170}}, *defaults_);
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  view->startTimer();
  auto label = view->areaLabel.lock();
  ASSERT_NE(label, nullptr);

  // The menu is open: the loop runs in the event-tracking mode, and the clock still ticks.
  auto& loop = platform::RunLoop::main();
  loop.setCurrentMode(platform::RunLoopMode::eventTracking);
  label->setStringValue("cleared");
  EXPECT_TRUE(loop.runUntil([&] { return label->stringValue() == DateTimeView::kAreaText; }, 3s));

  auto running = view->timer;
  view->stopTimer();
  EXPECT_EQ(view->timer, nullptr);
  EXPECT_FALSE(running->isValid());
  label->setStringValue("after close");
  loop.runUntil(std::chrono::steady_clock::now() + 1200ms);
  EXPECT_EQ(label->stringValue(), "after close");
  view->stopTimer();  // with no timer it only clears the property
  EXPECT_EQ(view->timer, nullptr);
}

TEST_F(ViewsTest, StartingTheClockAgainEndsThePreviousTimer) {
  setToken("tok");
  auto view = std::make_shared<DateTimeView>(ui::Rect{{0, 0}, {250, 170}}, *defaults_);
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  view->startTimer();
  auto first = view->timer;
  view->startTimer();
  EXPECT_FALSE(first->isValid());
  EXPECT_TRUE(view->timer->isValid());
  view->stopTimer();
}

TEST_F(ViewsTest, ClockWithoutItsNibStillRunsAndWritesNothing) {
  platform::Bundle::main().setResourcePath(kFixtureNibs);  // no "DateTimeView" there
  setToken("tok");
  ::testing::internal::CaptureStderr();
  auto view = std::make_shared<DateTimeView>(ui::Rect{{0, 0}, {250, 170}}, *defaults_);
  ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(view->subviews(), IsEmpty());
  EXPECT_EQ(view->areaLabel.lock(), nullptr);
  platform::CapturedOutput quiet;  // keeps the printed lines off the test output
  view->startTimer();
  EXPECT_NE(view->timer, nullptr);
  view->stopTimer();
}

// The delegate's menu: the clock runs between opening and closing, and only when a
// token is stored at the opening.
TEST_F(ViewsTest, StatusMenuRunsTheClockOnlyWhileOpenWithAToken) {
  testing::DelegatePlatform fakes;
  auto delegate = fakes.makeDelegate();
  auto menu = std::make_shared<ui::Menu>();
  auto first = std::make_shared<ui::MenuItem>();
  menu->addItem(first);
  ASSERT_TRUE(delegate->setOutlet("menu", menu));
  ASSERT_TRUE(delegate->setOutlet("firstMenuItem", first));
  delegate->awakeFromNib();
  ASSERT_NE(delegate->dateTimeView, nullptr);
  EXPECT_EQ(delegate->dateTimeView->frame(), (ui::Rect{{0, 0}, {250, 170}}));
  auto& view = *delegate->dateTimeView;

  platform::CapturedOutput captured;
  setToken(std::nullopt);
  delegate->menuWillOpen(*menu);
  EXPECT_EQ(view.timer, nullptr);
  delegate->menuDidClose(*menu);

  setToken("tok");
  delegate->menuWillOpen(*menu);
  ASSERT_NE(view.timer, nullptr);
  EXPECT_EQ(labelText(view.areaLabel), "Velmor Mopet Agent");
  auto running = view.timer;
  delegate->menuDidClose(*menu);
  EXPECT_THAT(captured.take(), ElementsAre("result:  …"));
  EXPECT_EQ(view.timer, nullptr);
  EXPECT_FALSE(running->isValid());
}

// ---- preferences window -----------------------------------------------------------

TEST_F(ViewsTest, PreferencesViewLoadsItsNibAndArchivedOneDoesNot) {
  auto view = std::make_shared<PreferencesView>(ui::Rect{{0, 0}, {480, 270}});
  ASSERT_EQ(view->subviews().size(), 1u);
  auto popup = view->timezoneIDsPopup.lock();
  ASSERT_NE(popup, nullptr);
  EXPECT_FALSE(popup->itemTitles().empty());  // the NIB's items, untouched

  auto archived = std::make_shared<PreferencesView>(ArchiveCoder{});
  EXPECT_THAT(archived->subviews(), IsEmpty());
  EXPECT_EQ(archived->timezoneIDsPopup.lock(), nullptr);
}

std::shared_ptr<ui::Button> buttonTitled(const ui::View& root, const std::string& title) {
  for (const auto& subview : root.subviews()) {
    if (auto button = std::dynamic_pointer_cast<ui::Button>(subview); button && button->title() == title) return button;
    if (auto found = buttonTitled(*subview, title)) return found;
  }
  return nullptr;
}

// Opens the preferences window the way the menu action does and returns it.
std::shared_ptr<ui::Window> openPreferences(AppDelegate& delegate) {
  const auto before = ui::Application::shared().windows().size();
  ui::Object sender;
  delegate.showPreferences(sender);
  const auto& windows = ui::Application::shared().windows();
  return windows.size() > before ? windows.back() : nullptr;
}

TEST_F(ViewsTest, EachPreferencesActionOpensANewFixedCentredWindow) {
  testing::DelegatePlatform fakes;
  auto delegate = fakes.makeDelegate();
  auto first = openPreferences(*delegate);
  auto second = openPreferences(*delegate);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(ui::Application::shared().windows().size(), 2u);
  EXPECT_TRUE(second->isKeyWindow());

  for (const auto& window : {first, second}) {
    EXPECT_NE(std::dynamic_pointer_cast<ViewController>(window->contentViewController()), nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->styleMask() & ui::WindowStyle::resizable, 0u);
    EXPECT_EQ(window->styleMask() & ui::WindowStyle::miniaturizable, 0u);
    EXPECT_NE(window->styleMask() & ui::WindowStyle::closable, 0u);
    const auto screen = ui::mainScreenFrame();
    const auto frame = window->frame();
    EXPECT_DOUBLE_EQ(frame.origin.x, (screen.size.width - frame.size.width) / 2);
    EXPECT_DOUBLE_EQ(frame.origin.y, (screen.size.height - frame.size.height) / 2);
    // The controller's view holds one preferences view on all four edges.
    const auto& content = *window->contentView();
    ASSERT_EQ(content.subviews().size(), 1u);
    auto preferences = std::dynamic_pointer_cast<PreferencesView>(content.subviews().front());
    ASSERT_NE(preferences, nullptr);
    EXPECT_TRUE(ui::isPinnedToEdges(*preferences, content));
    EXPECT_EQ(preferences->frame().size, content.frame().size);
  }
}

TEST_F(ViewsTest, PreferencesControlsCloseTheWindowOrOpenTheAboutPage) {
  testing::DelegatePlatform fakes;
  PreferencesView::setWorkspace(&fakes.workspace);
  auto delegate = fakes.makeDelegate();
  auto window = openPreferences(*delegate);
  ASSERT_NE(window, nullptr);
  auto preferences = std::dynamic_pointer_cast<PreferencesView>(window->contentView()->subviews().front());
  auto popup = preferences->timezoneIDsPopup.lock();
  ASSERT_NE(popup, nullptr);
  ASSERT_TRUE(popup->selectItem(2));

  auto about = buttonTitled(*preferences, "About Us");
  ASSERT_NE(about, nullptr);
  EXPECT_TRUE(about->performClick());
  EXPECT_THAT(fakes.workspace.openCalls(), ElementsAre("https://www.mopet.velmorhome.so/about-us"));
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(popup->indexOfSelectedItem(), 2);

  auto done = buttonTitled(*preferences, "Done");
  ASSERT_NE(done, nullptr);
  EXPECT_TRUE(done->performClick());
  EXPECT_FALSE(window->isVisible());
  EXPECT_THAT(ui::Application::shared().windows(), IsEmpty());
  EXPECT_EQ(fakes.workspace.openCalls().size(), 1u);

  // Outside a window the closing control has nothing to close: the open (key)
  // preferences window stays open and nothing else happens.
  auto open = openPreferences(*delegate);
  ASSERT_NE(open, nullptr);
  ASSERT_TRUE(open->isKeyWindow());
  auto loose = std::make_shared<PreferencesView>(ui::Rect{{0, 0}, {480, 270}});
  ui::Object sender;
  loose->applySelection(sender);
  EXPECT_TRUE(open->isVisible());
  EXPECT_THAT(ui::Application::shared().windows(), ElementsAre(open));
  EXPECT_EQ(fakes.workspace.openCalls().size(), 1u);
  open->performClose(sender);
  EXPECT_THAT(ui::Application::shared().windows(), IsEmpty());
}

}  // namespace
}  // namespace agent
