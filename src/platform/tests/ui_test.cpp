// The headless user-interface model: views and constraints, menus with the run loop's
// tracking mode, the status bar, windows and controllers, alerts and the application.
#include "platform/ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/fakes/fake_alert_responder.h"
#include "platform/run_loop.h"
#include "platform/ui_menu.h"
#include "platform/ui_window.h"

namespace platform::ui {
namespace {

using namespace std::chrono_literals;

// Each test leaves the main loop in the default mode and the application empty.
class UiTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& timer : timers_) timer->invalidate();
    RunLoop::main().setCurrentMode(RunLoopMode::defaultMode);
    Application::shared().reset();
  }
  std::shared_ptr<Timer> schedule(std::chrono::milliseconds interval, RunLoopMode mode, std::atomic<int>& count) {
    auto timer = RunLoop::main().scheduledTimer(
        interval, true, [&count](Timer&) { ++count; }, mode);
    timers_.push_back(timer);
    return timer;
  }

 private:
  std::vector<std::shared_ptr<Timer>> timers_;
};

// ---- views and constraints ----------------------------------------------------

TEST_F(UiTest, SubviewsMoveBetweenParentsAndRefuseCycles) {
  auto a = std::make_shared<View>();
  auto b = std::make_shared<View>();
  auto child = std::make_shared<View>();
  ASSERT_TRUE(a->addSubview(child));
  ASSERT_TRUE(b->addSubview(child));
  EXPECT_TRUE(a->subviews().empty());
  ASSERT_EQ(b->subviews().size(), 1u);
  EXPECT_EQ(child->superview(), b.get());

  EXPECT_FALSE(child->addSubview(b));      // b is child's ancestor
  EXPECT_FALSE(child->addSubview(child));  // itself
  EXPECT_FALSE(b->addSubview(nullptr));
  EXPECT_EQ(child->superview(), b.get());

  child->removeFromSuperview();
  EXPECT_EQ(child->superview(), nullptr);
  EXPECT_TRUE(b->subviews().empty());
}

TEST_F(UiTest, ASubviewKeptElsewhereForgetsADestroyedParent) {
  auto child = std::make_shared<View>();
  {
    auto parent = std::make_shared<View>();
    parent->addSubview(child);
    EXPECT_EQ(child->superview(), parent.get());
  }
  EXPECT_EQ(child->superview(), nullptr);
  EXPECT_EQ(child->window(), nullptr);
}

TEST_F(UiTest, PinningAddsFourEdgeConstraintsToTheParentAndLayoutFillsIt) {
  auto parent = std::make_shared<View>(Rect{{0, 0}, {250, 170}});
  auto content = std::make_shared<View>(Rect{{5, 5}, {10, 10}});
  addPinned(content, *parent);

  EXPECT_FALSE(content->translatesAutoresizingMaskIntoConstraints());
  ASSERT_EQ(parent->constraints().size(), 4u);
  const Anchor order[] = {Anchor::leading, Anchor::trailing, Anchor::top, Anchor::bottom};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto& c = parent->constraints()[i];
    EXPECT_EQ(c.first(), content.get());
    EXPECT_EQ(c.second(), parent.get());
    EXPECT_EQ(c.firstAnchor, order[i]);
    EXPECT_EQ(c.secondAnchor, order[i]);
    EXPECT_EQ(c.constant, 0);
  }
  EXPECT_TRUE(isPinnedToEdges(*content, *parent));
  EXPECT_FALSE(isPinnedToEdges(*parent, *content));

  parent->layoutSubtree();
  EXPECT_EQ(content->frame(), parent->bounds());
}

TEST_F(UiTest, ConstraintsNeedBothViewsInOneTree) {
  auto a = std::make_shared<View>();
  auto b = std::make_shared<View>();
  EXPECT_FALSE(activateEqual(*a, Anchor::top, *b));
  EXPECT_TRUE(a->constraints().empty());

  auto root = std::make_shared<View>();
  root->addSubview(a);
  root->addSubview(b);
  EXPECT_TRUE(activateEqual(*a, Anchor::top, *b, 8));
  ASSERT_EQ(root->constraints().size(), 1u);  // their nearest common ancestor holds it
  EXPECT_EQ(root->constraints()[0].constant, 8);

  // Three edges are not a pin.
  auto parent = std::make_shared<View>();
  auto partial = std::make_shared<View>();
  parent->addSubview(partial);
  for (Anchor anchor : {Anchor::leading, Anchor::trailing, Anchor::top}) activateEqual(*partial, anchor, *parent);
  EXPECT_FALSE(isPinnedToEdges(*partial, *parent));
}

TEST_F(UiTest, ControlsSendTheirActionToALiveTargetOnly) {
  struct Target : Object {
    int presses = 0;
    Action action(const std::string& selector) override {
      if (selector == "press:") return [this](Object&) { ++presses; };
      return {};
    }
  };
  auto button = std::make_shared<Button>();
  auto target = std::make_unique<Target>();
  button->targetAction().set(*target, "press:");
  EXPECT_TRUE(button->performClick());
  EXPECT_EQ(target->presses, 1);

  button->targetAction().set(*target, "unknown:");
  EXPECT_FALSE(button->performClick());

  button->targetAction().set(*target, "press:");
  button->setEnabled(false);
  EXPECT_FALSE(button->performClick());
  button->setEnabled(true);

  target.reset();
  EXPECT_FALSE(button->performClick());  // the target is gone: nothing happens
}

TEST_F(UiTest, PopUpButtonSelection) {
  PopUpButton popUp;
  EXPECT_EQ(popUp.indexOfSelectedItem(), -1);
  EXPECT_EQ(popUp.titleOfSelectedItem(), std::nullopt);
  popUp.addItem("UTC");
  popUp.addItem("Europe/Berlin");
  EXPECT_EQ(popUp.titleOfSelectedItem(), "UTC");
  EXPECT_TRUE(popUp.selectItem(1));
  EXPECT_FALSE(popUp.selectItem(2));
  EXPECT_EQ(popUp.titleOfSelectedItem(), "Europe/Berlin");
  popUp.removeAllItems();
  EXPECT_EQ(popUp.indexOfSelectedItem(), -1);
}

// ---- menus --------------------------------------------------------------------

struct RecordingMenuDelegate : MenuDelegate {
  std::vector<std::string> events;
  void menuWillOpen(Menu&) override { events.push_back(mode("open")); }
  void menuDidClose(Menu&) override { events.push_back(mode("close")); }
  static std::string mode(const std::string& event) {
    return event + (RunLoop::main().currentMode() == RunLoopMode::eventTracking ? "/tracking" : "/default");
  }
};

TEST_F(UiTest, OpeningTheMenuTracksEventsAndTellsTheDelegate) {
  Menu menu;
  RecordingMenuDelegate delegate;
  menu.setDelegate(&delegate);

  menu.open();
  EXPECT_TRUE(menu.isOpen());
  EXPECT_EQ(RunLoop::main().currentMode(), RunLoopMode::eventTracking);
  menu.open();  // already open: nothing more
  menu.close();
  EXPECT_FALSE(menu.isOpen());
  EXPECT_EQ(RunLoop::main().currentMode(), RunLoopMode::defaultMode);
  menu.close();  // already closed: nothing more

  EXPECT_EQ(delegate.events, (std::vector<std::string>{"open/tracking", "close/tracking"}));
}

TEST_F(UiTest, WhileTheMenuIsOpenOnlyCommonModeTimersFire) {
  std::atomic<int> defaultFires{0};
  std::atomic<int> commonFires{0};
  schedule(10ms, RunLoopMode::defaultMode, defaultFires);
  schedule(10ms, RunLoopMode::common, commonFires);
  Menu menu;

  menu.open();
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return commonFires >= 3; }, 5s));
  EXPECT_EQ(defaultFires, 0);

  menu.close();
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return defaultFires >= 1; }, 5s));
}

TEST_F(UiTest, AGoneDelegateIsNotCalled) {
  Menu menu;
  {
    RecordingMenuDelegate delegate;
    menu.setDelegate(&delegate);
    EXPECT_EQ(menu.delegate(), &delegate);
  }
  EXPECT_EQ(menu.delegate(), nullptr);
  menu.open();  // must not reach the destroyed delegate
  EXPECT_EQ(RunLoop::main().currentMode(), RunLoopMode::eventTracking);
  menu.close();
}

TEST_F(UiTest, ChoosingAnItemClosesTheMenuThenSendsTheAction) {
  Menu menu;
  RecordingMenuDelegate delegate;
  menu.setDelegate(&delegate);
  auto item = std::make_shared<MenuItem>("Preferences", ",");
  item->targetAction().set([&](Object& sender) {
    EXPECT_EQ(&sender, item.get());
    delegate.events.push_back(RecordingMenuDelegate::mode("action"));
  });
  ASSERT_TRUE(menu.addItem(MenuItem::separatorItem()));
  ASSERT_TRUE(menu.addItem(item));
  EXPECT_FALSE(menu.addItem(item));  // already in a menu
  EXPECT_EQ(item->menu(), &menu);

  menu.open();
  EXPECT_TRUE(menu.choose(1));
  EXPECT_EQ(delegate.events, (std::vector<std::string>{"open/tracking", "close/tracking", "action/default"}));

  menu.open();
  EXPECT_FALSE(menu.choose(0));  // a separator sends nothing, but the menu closes
  EXPECT_FALSE(menu.isOpen());
  EXPECT_FALSE(menu.choose(7));

  EXPECT_EQ(menu.itemWithTitle("Preferences"), item);
  menu.removeItem(item);
  EXPECT_EQ(item->menu(), nullptr);
  EXPECT_EQ(menu.numberOfItems(), 1u);
}

TEST_F(UiTest, StatusItemsHaveAButtonAndLeaveTheBarWithTheirOwner) {
  auto& bar = StatusBar::system();
  const auto before = bar.statusItems().size();
  auto item = bar.statusItem(StatusBar::variableLength);
  EXPECT_EQ(item->length(), -1.0);
  ASSERT_NE(item->button(), nullptr);
  EXPECT_EQ(bar.statusItems().size(), before + 1);

  auto image = Image::named("Layer_x0020_2");
  ASSERT_NE(image, nullptr) << "the status image ships in resources/";
  EXPECT_FALSE(image->isTemplate());
  image->setTemplate(true);
  item->button()->setImage(image);
  EXPECT_TRUE(item->button()->image()->isTemplate());
  EXPECT_EQ(Image::named("no-such-image"), nullptr);

  auto menu = std::make_shared<Menu>();
  item->setMenu(menu);
  std::weak_ptr<Menu> weakMenu = menu;
  menu.reset();
  EXPECT_FALSE(weakMenu.expired());  // the item keeps its menu

  item.reset();
  EXPECT_EQ(bar.statusItems().size(), before);
  EXPECT_TRUE(weakMenu.expired());

  auto removed = bar.statusItem(StatusBar::squareLength);
  bar.removeStatusItem(removed);
  EXPECT_EQ(bar.statusItems().size(), before);
}

// ---- windows and controllers --------------------------------------------------

struct RecordingController : ViewController {
  std::vector<std::string> events;
  void viewDidLoad() override { events.push_back("didLoad"); }
  void viewWillAppear() override {
    events.push_back(view()->window() != nullptr ? "willAppear(in window)" : "willAppear");
  }
  void viewDidAppear() override { events.push_back("didAppear"); }
  void viewWillDisappear() override { events.push_back("willDisappear"); }
  void viewDidDisappear() override { events.push_back("didDisappear"); }
};

TEST_F(UiTest, AWindowForAControllerShowsItsViewAndTheApplicationKeepsItWhileOpen) {
  auto controller = std::make_shared<RecordingController>();
  controller->setTitle("Preferences");
  controller->setPreferredContentSize({480, 270});
  std::weak_ptr<Window> weakWindow;
  {
    auto window = Window::withContentViewController(controller);
    weakWindow = window;
    EXPECT_EQ(window->title(), "Preferences");
    EXPECT_EQ(window->frame().size, (Size{480, 270}));
    EXPECT_EQ(window->styleMask(), WindowStyle::standard);
    EXPECT_EQ(controller->view()->window(), window.get());
    EXPECT_FALSE(window->isVisible());

    window->makeKeyAndOrderFront();
    window->makeKeyAndOrderFront();  // already visible: no second appearance
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isKeyWindow());
    window->center();
    EXPECT_EQ(window->frame().origin, (Point{480, 315}));
  }
  ASSERT_FALSE(weakWindow.expired());  // open: the application holds it
  ASSERT_EQ(Application::shared().windows().size(), 1u);

  Object sender;
  weakWindow.lock()->setStyleMask(WindowStyle::titled);
  EXPECT_FALSE(weakWindow.lock()->performClose(sender));  // no close button
  EXPECT_TRUE(weakWindow.lock()->isVisible());
  weakWindow.lock()->setStyleMask(WindowStyle::titled | WindowStyle::closable);
  EXPECT_TRUE(weakWindow.lock()->performClose(sender));

  EXPECT_TRUE(weakWindow.expired());
  EXPECT_TRUE(Application::shared().windows().empty());
  EXPECT_EQ(Application::shared().keyWindow(), nullptr);
  EXPECT_EQ(controller->events, (std::vector<std::string>{"didLoad", "willAppear(in window)", "didAppear",
                                                          "willDisappear", "didDisappear"}));
}

TEST_F(UiTest, EachWindowIsItsOwnAndAWindowControllerShowsIt) {
  auto first = Window::withContentViewController(std::make_shared<ViewController>());
  auto second = Window::withContentViewController(std::make_shared<ViewController>());
  first->makeKeyAndOrderFront();
  second->makeKeyAndOrderFront();
  ASSERT_EQ(Application::shared().windows().size(), 2u);
  EXPECT_EQ(Application::shared().keyWindow(), second.get());

  WindowController controller(std::make_shared<Window>(Rect{{0, 0}, {100, 50}}));
  EXPECT_EQ(controller.window()->windowController(), &controller);
  controller.showWindow();
  EXPECT_TRUE(controller.window()->isVisible());
  EXPECT_EQ(Application::shared().windows().size(), 3u);
  controller.close();
  first->close();
  EXPECT_EQ(Application::shared().windows().size(), 1u);
}

// ---- alerts -------------------------------------------------------------------

TEST_F(UiTest, AnUnansweredAlertAbortsAtOnce) {
  Alert alert;
  alert.setMessageText("Name");
  alert.addButton("OK");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(alert.runModal(), ModalResponse::abort);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(UiTest, ScriptedAnswersComeInOrderAndMayTypeIntoTheAccessoryField) {
  FakeAlertResponder responder;
  responder.respond(ModalResponse::alertFirstButtonReturn, "");
  responder.respond(ModalResponse::alertSecondButtonReturn);

  Alert alert;
  alert.setMessageText("Title");
  alert.setInformativeText("Question?");
  EXPECT_EQ(alert.addButton("OK")->tag(), ModalResponse::alertFirstButtonReturn);
  EXPECT_EQ(alert.addButton("Cancel")->tag(), ModalResponse::alertSecondButtonReturn);
  auto field = std::make_shared<TextField>(Rect{{0, 0}, {200, 24}});
  field->setStringValue("default");
  alert.setAccessoryView(field);

  EXPECT_EQ(alert.runModal(), ModalResponse::alertFirstButtonReturn);
  EXPECT_EQ(field->stringValue(), "");  // the user emptied the field
  field->setStringValue("again");
  EXPECT_EQ(alert.runModal(), ModalResponse::alertSecondButtonReturn);
  EXPECT_EQ(field->stringValue(), "again");
  EXPECT_EQ(alert.runModal(), ModalResponse::abort);  // nothing scripted is left

  auto shown = responder.shown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].messageText, "Title");
  EXPECT_EQ(shown[0].informativeText, "Question?");
  EXPECT_EQ(shown[0].buttonTitles, (std::vector<std::string>{"OK", "Cancel"}));
  EXPECT_EQ(shown[0].accessoryText, "default");
}

// ---- the application ----------------------------------------------------------

struct RecordingAppDelegate : ApplicationDelegate {
  std::vector<std::string> events;
  void applicationDidFinishLaunching() override { events.push_back("didFinishLaunching"); }
  void applicationWillTerminate() override { events.push_back("willTerminate"); }
};

TEST_F(UiTest, RunFinishesLaunchingRunsTheMainLoopAndEndsOnTerminate) {
  auto delegate = std::make_shared<RecordingAppDelegate>();
  auto& app = Application::shared();
  app.setDelegate(delegate);

  bool ranInLoop = false;
  DispatchQueue::main().async([&] {
    ranInLoop = app.isRunning();
    // terminate from another thread, as a signal handler or the command channel would
    std::thread([&] { app.terminate(); }).join();
  });
  app.run();

  EXPECT_TRUE(ranInLoop);
  EXPECT_FALSE(app.isRunning());
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"didFinishLaunching", "willTerminate"}));
  app.terminate();  // once only
  EXPECT_EQ(delegate->events.size(), 2u);
}

TEST_F(UiTest, TerminateBeforeRunMakesRunReturnAtOnce) {
  auto delegate = std::make_shared<RecordingAppDelegate>();
  auto& app = Application::shared();
  app.setDelegate(delegate);
  app.finishLaunching();
  app.finishLaunching();
  app.terminate();
  app.run();
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"didFinishLaunching", "willTerminate"}));
}

}  // namespace
}  // namespace platform::ui
