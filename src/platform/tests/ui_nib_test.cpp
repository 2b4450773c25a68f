// NIB and storyboard loading: the shipped descriptions, and the loading rules over
// small fixture files.
#include "platform/ui_nib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/ui_menu.h"
#include "platform/ui_window.h"
#include "support/temp_folder.h"

namespace platform::ui {
namespace {

namespace fs = std::filesystem;

// A NIB owner with a label outlet and one action; records what reached it.
class OwnerView : public View {
 public:
  OwnerView() = default;
  // Loads from its own constructor, as a view that fills itself from its NIB does.
  explicit OwnerView(const std::string& nib) { loaded = installFirstTopLevelView(*this, nib); }

  bool setOutlet(const std::string& name, const ObjectPtr& value) override {
    if (name != "label") return false;
    label = std::dynamic_pointer_cast<TextField>(value);
    return true;
  }
  Action action(const std::string& selector) override {
    if (selector != "press:") return {};
    return [this](Object& sender) { presses.push_back(sender.identifier()); };
  }
  void awakeFromNib() override {
    ++awakes;
    labelConnectedAtAwake = !label.expired();
  }

  bool loaded = false;
  std::weak_ptr<TextField> label;
  std::vector<std::string> presses;
  int awakes = 0;
  bool labelConnectedAtAwake = false;
};

// Points the main bundle at a folder of fixture resources for one test.
class NibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    original_ = Bundle::main().resourcePath();
    folder_ = testsupport::makeTemporaryFolder("mopet-nib");
    Bundle::main().setResourcePath(folder_.string());
  }
  void TearDown() override {
    Bundle::main().setResourcePath(original_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    Application::shared().reset();
  }
  void write(const std::string& file, const std::string& text) { std::ofstream(folder_ / file) << text; }

  fs::path folder_;

 private:
  std::string original_;
};

TEST_F(NibTest, OnlyTheFirstTopLevelViewIsInstalledPinnedToTheOwner) {
  write("Several.nib.json", R"({"objects": [
      {"class": "Object", "id": "helper"},
      {"class": "View", "id": "first", "subviews": [
        {"class": "Label", "id": "text", "outlet": "label", "text": "Mopet"},
        {"class": "Button", "id": "go", "action": "press:"}]},
      {"class": "View", "id": "second"}]})");
  OwnerView owner;
  ASSERT_TRUE(installFirstTopLevelView(owner, "Several"));

  ASSERT_EQ(owner.subviews().size(), 1u);
  auto content = owner.subviews()[0];
  EXPECT_EQ(content->identifier(), "first");
  EXPECT_FALSE(content->translatesAutoresizingMaskIntoConstraints());
  EXPECT_TRUE(isPinnedToEdges(*content, owner));

  auto label = owner.label.lock();
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->stringValue(), "Mopet");
  EXPECT_FALSE(label->isEditable());
  EXPECT_EQ(owner.awakes, 1);
  EXPECT_TRUE(owner.labelConnectedAtAwake);  // outlets are connected before awakeFromNib

  auto button = std::dynamic_pointer_cast<Button>(content->viewWithIdentifier("go"));
  ASSERT_NE(button, nullptr);
  EXPECT_TRUE(button->performClick());
  EXPECT_EQ(owner.presses, (std::vector<std::string>{"go"}));
}

TEST_F(NibTest, LoadingRulesForNibsThatInstallNothing) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file at all
  };
  const Case cases[] = {
      {"missing NIB", nullptr},
      {"no top-level view", R"({"objects": [{"class": "Object"}, {"class": "Menu"}]})"},
      {"no objects", R"({"objects": []})"},
      {"not JSON", R"({"objects": [)"},
      {"no objects array", R"({"views": []})"},
      {"unknown class", R"({"objects": [{"class": "Gizmo"}]})"},
      {"owner lacks the outlet", R"({"objects": [{"class": "View", "outlet": "nope"}]})"},
      {"duplicate id", R"({"objects": [{"class": "View", "id": "a"}, {"class": "View", "id": "a"}]})"},
      {"subview not a view", R"({"objects": [{"class": "View", "subviews": [{"class": "Object"}]}]})"},
      {"bad frame", R"({"objects": [{"class": "View", "frame": [1, 2, 3]}]})"},
      {"action on a plain view", R"({"objects": [{"class": "View", "action": "press:"}]})"},
      {"unknown target", R"({"objects": [{"class": "Button", "action": "press:", "target": "x"}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.text != nullptr) write("Case.nib.json", c.text);
    else fs::remove(folder_ / "Case.nib.json");
    OwnerView owner;
    EXPECT_FALSE(installFirstTopLevelView(owner, "Case"));
    EXPECT_TRUE(owner.subviews().empty());
    EXPECT_TRUE(owner.constraints().empty());
  }
}

TEST_F(NibTest, TopLevelObjectsComeBackInOrderAndAViewCanLoadInItsConstructor) {
  write("Top.nib.json", R"({"objects": [
      {"class": "Object", "id": "a"},
      {"class": "Menu", "id": "b", "items": [{"title": "One", "tag": 3}, {"separator": true}]},
      {"class": "View", "id": "c", "subviews": [
        {"class": "Label", "outlet": "label", "text": "x"},
        {"class": "PopUpButton", "id": "p", "items": ["UTC", "Asia/Tokyo"], "selected": 1}]}]})");
  OwnerView owner;
  std::vector<ObjectPtr> top;
  ASSERT_TRUE(loadNibNamed("Top", owner, &top));
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0]->identifier(), "a");
  auto menu = std::dynamic_pointer_cast<Menu>(top[1]);
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->numberOfItems(), 2u);
  EXPECT_EQ(menu->item(0)->tag(), 3);
  EXPECT_TRUE(menu->item(1)->isSeparator());
  auto popUp = std::dynamic_pointer_cast<PopUpButton>(std::dynamic_pointer_cast<View>(top[2])->viewWithIdentifier("p"));
  ASSERT_NE(popUp, nullptr);
  EXPECT_EQ(popUp->titleOfSelectedItem(), "Asia/Tokyo");
  EXPECT_TRUE(owner.subviews().empty());  // loading alone installs nothing

  auto built = std::make_shared<OwnerView>("Top");
  EXPECT_TRUE(built->loaded);
  ASSERT_EQ(built->subviews().size(), 1u);
  EXPECT_EQ(built->subviews()[0]->identifier(), "c");
  EXPECT_EQ(built->subviews()[0]->superview(), built.get());
  EXPECT_FALSE(built->label.expired());
}

TEST_F(NibTest, AnActionWhoseOwnerIsGoneDoesNothing) {
  write("Press.nib.json", R"({"objects": [{"class": "Button", "action": "press:"}]})");
  std::vector<ObjectPtr> top;
  {
    OwnerView owner;
    ASSERT_TRUE(loadNibNamed("Press", owner, &top));
  }
  auto button = std::dynamic_pointer_cast<Button>(top.at(0));
  ASSERT_NE(button, nullptr);
  EXPECT_FALSE(button->performClick());
}

// ---- the shipped resources ----------------------------------------------------

class ShippedResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    original_ = Bundle::main().resourcePath();
    Bundle::main().setResourcePath(std::string(MOPET_SOURCE_DIR) + "/resources");
  }
  void TearDown() override {
    Bundle::main().setResourcePath(original_);
    ClassRegistry::remove("AppDelegate");
    ClassRegistry::remove("ViewController");
    Application::shared().reset();
  }

 private:
  std::string original_;
};

// Stands in for the agent's delegate: three outlets, four actions.
class TestAppDelegate : public Object, public ApplicationDelegate {
 public:
  std::string className() const override { return "AppDelegate"; }
  bool setOutlet(const std::string& name, const ObjectPtr& value) override {
    if (name == "menu") menu = std::dynamic_pointer_cast<Menu>(value);
    else if (name == "firstMenuItem") firstMenuItem = std::dynamic_pointer_cast<MenuItem>(value);
    else if (name == "UninstallMenuItem") uninstallMenuItem = std::dynamic_pointer_cast<MenuItem>(value);
    else return false;
    return true;
  }
  Action action(const std::string& selector) override {
    for (const char* known : {"ManageButton:", "helpItem:", "uninstallItem:", "showPreferences:"}) {
      if (selector == known) return [this, selector](Object&) { actions.push_back(selector); };
    }
    return {};
  }
  void awakeFromNib() override { menuAtAwake = !menu.expired(); }

  std::weak_ptr<Menu> menu;
  std::weak_ptr<MenuItem> firstMenuItem;
  std::weak_ptr<MenuItem> uninstallMenuItem;
  std::vector<std::string> actions;
  bool menuAtAwake = false;
};

class TestViewController : public ViewController {};

TEST_F(ShippedResourcesTest, MainStoryboardMakesTheDelegateWithItsMenuAndActions) {
  ClassRegistry::add("AppDelegate", [] { return std::make_shared<TestAppDelegate>(); });
  auto& app = Application::shared();
  ASSERT_TRUE(app.loadMainStoryboard("Main"));
  auto delegate = std::dynamic_pointer_cast<TestAppDelegate>(app.delegate());
  ASSERT_NE(delegate, nullptr);
  EXPECT_TRUE(delegate->menuAtAwake);

  auto menu = delegate->menu.lock();  // the application keeps the scene alive
  ASSERT_NE(menu, nullptr);
  ASSERT_FALSE(delegate->firstMenuItem.expired());
  ASSERT_FALSE(delegate->uninstallMenuItem.expired());
  EXPECT_EQ(menu->item(0), delegate->firstMenuItem.lock());

  std::vector<std::string> sent;
  for (std::size_t i = 0; i < menu->numberOfItems(); ++i) {
    if (menu->choose(i)) sent.push_back(delegate->actions.back());
  }
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"ManageButton:", "helpItem:", "showPreferences:", "uninstallItem:"}));
  EXPECT_EQ(delegate->uninstallMenuItem.lock()->targetAction().selector(), "uninstallItem:");
}

TEST_F(ShippedResourcesTest, WithoutARegisteredDelegateClassTheStoryboardDoesNotLoad) {
  EXPECT_FALSE(Application::shared().loadMainStoryboard("Main"));
  EXPECT_EQ(Application::shared().delegate(), nullptr);
  EXPECT_FALSE(Application::shared().loadMainStoryboard("NoSuchStoryboard"));
}

TEST_F(ShippedResourcesTest, PreferencesSceneGivesANewControllerOfTheRegisteredClassEachTime) {
  auto storyboard = Storyboard::named("Main");
  ASSERT_NE(storyboard, nullptr);
  auto plain = std::dynamic_pointer_cast<ViewController>(storyboard->instantiateController("preferencesID"));
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<TestViewController>(plain), nullptr);
  EXPECT_EQ(plain->identifier(), "preferencesID");

  ClassRegistry::add("ViewController", [] { return std::make_shared<TestViewController>(); });
  auto first = std::dynamic_pointer_cast<TestViewController>(storyboard->instantiateController("preferencesID"));
  auto second = std::dynamic_pointer_cast<TestViewController>(storyboard->instantiateController("preferencesID"));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_GT(first->view()->frame().size.width, 0);
  EXPECT_EQ(storyboard->instantiateController("noSuchID"), nullptr);
}

TEST_F(ShippedResourcesTest, DateTimeAndPreferencesNibsConnectTheirOutletsAndActions) {
  struct DateTimeOwner : View {
    std::vector<std::string> outlets;
    bool setOutlet(const std::string& name, const ObjectPtr& value) override {
      if (!std::dynamic_pointer_cast<TextField>(value)) return false;
      outlets.push_back(name);
      return true;
    }
  } dateTime;
  ASSERT_TRUE(installFirstTopLevelView(dateTime, "DateTimeView"));
  std::sort(dateTime.outlets.begin(), dateTime.outlets.end());
  EXPECT_EQ(dateTime.outlets, (std::vector<std::string>{"areaLabel", "dateLabel", "timeLabel", "timezoneLabel"}));

  struct PreferencesOwner : View {
    std::weak_ptr<PopUpButton> popUp;
    std::vector<std::string> actions;
    bool setOutlet(const std::string& name, const ObjectPtr& value) override {
      if (name != "timezoneIDsPopup") return false;
      popUp = std::dynamic_pointer_cast<PopUpButton>(value);
      return true;
    }
    Action action(const std::string& selector) override {
      return [this, selector](Object&) { actions.push_back(selector); };
    }
  } preferences;
  ASSERT_TRUE(installFirstTopLevelView(preferences, "PreferencesView"));
  ASSERT_FALSE(preferences.popUp.expired());
  EXPECT_FALSE(preferences.popUp.lock()->itemTitles().empty());
  std::vector<std::string> sent;
  for (const char* id : {"aboutButton", "doneButton"}) {
    auto button = std::dynamic_pointer_cast<Button>(preferences.subviews().at(0)->viewWithIdentifier(id));
    ASSERT_NE(button, nullptr) << id;
    button->performClick();
  }
  EXPECT_EQ(preferences.actions, (std::vector<std::string>{"dismissPreferences:", "applySelection:"}));
}

TEST_F(NibTest, WindowControllerScenesAndSceneViewsOwnedByTheController) {
  write("Board.storyboard.json", R"({"scenes": {
      "content": {"class": "ViewController", "title": "Inner", "size": [300, 200],
                  "view": {"class": "View", "subviews": [{"class": "Button", "id": "b", "action": "tap:"}]}},
      "window": {"class": "WindowController", "title": "Outer", "content": "content"},
      "loop": {"class": "WindowController", "content": "window"},
      "object": {"class": "Object"}}})");
  struct TapController : ViewController {
    int taps = 0;
    Action action(const std::string& selector) override {
      if (selector == "tap:") return [this](Object&) { ++taps; };
      return {};
    }
  };
  ClassRegistry::add("ViewController", [] { return std::make_shared<TapController>(); });
  auto storyboard = Storyboard::named("Board");
  ASSERT_NE(storyboard, nullptr);

  auto windowController = std::dynamic_pointer_cast<WindowController>(storyboard->instantiateController("window"));
  ASSERT_NE(windowController, nullptr);
  ASSERT_NE(windowController->window(), nullptr);
  EXPECT_EQ(windowController->window()->title(), "Outer");
  auto content = std::dynamic_pointer_cast<TapController>(windowController->contentViewController());
  ASSERT_NE(content, nullptr);
  EXPECT_EQ(content->view()->frame().size, (Size{300, 200}));
  auto button = std::dynamic_pointer_cast<Button>(content->view()->viewWithIdentifier("b"));
  ASSERT_NE(button, nullptr);
  button->performClick();
  EXPECT_EQ(content->taps, 1);

  EXPECT_EQ(storyboard->instantiateController("loop"), nullptr);
  EXPECT_EQ(storyboard->instantiateController("object"), nullptr);
  ClassRegistry::remove("ViewController");
}

}  // namespace
}  // namespace platform::ui
