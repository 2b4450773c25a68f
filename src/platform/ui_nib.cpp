#include "platform/ui_nib.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/bundle.h"
#include "platform/ui_menu.h"
#include "platform/ui_window.h"

namespace platform::ui {

using nlohmann::json;

namespace {

std::optional<json> readJson(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  json parsed = json::parse(text.str(), nullptr, false);
  if (parsed.is_discarded()) {
    error = "not valid JSON: " + path;
    return std::nullopt;
  }
  return parsed;
}

// Builds the objects of one load, then connects them.
class Loader {
 public:
  explicit Loader(Object* owner) : owner_(owner) {}

  void setOwner(Object* owner) { owner_ = owner; }
  const std::string& error() const { return error_; }
  const std::map<std::string, ObjectPtr>& objectsById() const { return byId_; }

  ObjectPtr build(const json& spec, const char* defaultClass = nullptr) {
    if (!spec.is_object()) return fail("an object description is not a JSON object");
    std::string className;
    if (spec.contains("class")) {
      if (!spec["class"].is_string()) return fail("\"class\" is not a text");
      className = spec["class"].get<std::string>();
    } else if (defaultClass != nullptr) {
      className = defaultClass;
    } else {
      return fail("an object description has no \"class\"");
    }

    ObjectPtr object;
    if (className == "MenuItem" && spec.value("separator", false)) {
      object = MenuItem::separatorItem();
    } else {
      object = ClassRegistry::make(className);
    }
    if (!object) return fail("unknown class \"" + className + "\"");

    if (spec.contains("id")) {
      if (!spec["id"].is_string()) return fail("\"id\" is not a text");
      auto id = spec["id"].get<std::string>();
      if (id.empty() || id == "owner") return fail("\"" + id + "\" cannot be an id");
      if (!byId_.emplace(id, object).second) return fail("duplicate id \"" + id + "\"");
      object->setIdentifier(id);
    }
    made_.push_back(object);
    pending_.push_back({object, &spec});

    if (!configure(*object, spec)) return nullptr;
    return object;
  }

  // Connects outlets and actions of every object built so far.
  bool connect() {
    for (const auto& [object, spec] : pending_) {
      if (spec->contains("outlet")) {
        const auto& name = (*spec)["outlet"];
        if (!name.is_string()) return failed("\"outlet\" is not a text");
        if (owner_ == nullptr || !owner_->setOutlet(name.get<std::string>(), object)) {
          return failed("the owner (" + (owner_ ? owner_->className() : std::string("none")) + ") has no outlet \"" +
                        name.get<std::string>() + "\"");
        }
      }
      if (spec->contains("outlets")) {
        const auto& outlets = (*spec)["outlets"];
        if (!outlets.is_object()) return failed("\"outlets\" is not a JSON object");
        for (const auto& [name, id] : outlets.items()) {
          if (!id.is_string()) return failed("outlet \"" + name + "\" does not name an id");
          auto found = byId_.find(id.get<std::string>());
          if (found == byId_.end())
            return failed("outlet \"" + name + "\" names unknown id \"" + id.get<std::string>() + "\"");
          if (!object->setOutlet(name, found->second)) {
            return failed(object->className() + " has no outlet \"" + name + "\"");
          }
        }
      }
      if (spec->contains("action")) {
        const auto& selector = (*spec)["action"];
        if (!selector.is_string()) return failed("\"action\" is not a text");
        Object* target = owner_;
        if (spec->contains("target")) {
          const auto& id = (*spec)["target"];
          if (!id.is_string()) return failed("\"target\" is not a text");
          if (id.get<std::string>() != "owner") {
            auto found = byId_.find(id.get<std::string>());
            if (found == byId_.end()) return failed("target names unknown id \"" + id.get<std::string>() + "\"");
            target = found->second.get();
          }
        }
        TargetAction* slot = nullptr;
        if (auto* control = dynamic_cast<Control*>(object.get())) slot = &control->targetAction();
        if (auto* item = dynamic_cast<MenuItem*>(object.get())) slot = &item->targetAction();
        if (slot == nullptr) return failed(object->className() + " cannot send an action");
        if (target == nullptr) return failed("an action has no target");
        slot->set(*target, selector.get<std::string>());
      }
    }
    pending_.clear();
    return true;
  }

  // awakeFromNib to every object made, in order, then to the owner unless it is one
  // of them.
  void awake() {
    bool ownerMade = false;
    for (const auto& object : made_) {
      object->awakeFromNib();
      ownerMade = ownerMade || object.get() == owner_;
    }
    if (owner_ != nullptr && !ownerMade) owner_->awakeFromNib();
  }

 private:
  struct Pending {
    ObjectPtr object;
    const json* spec;
  };

  std::nullptr_t fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return nullptr;
  }
  bool failed(std::string message) {
    fail(std::move(message));
    return false;
  }

  template <class T>
  bool read(const json& spec, const char* key, T& out, bool (json::*is)() const noexcept) {
    if (!spec.contains(key)) return true;
    const auto& value = spec[key];
    if (!(value.*is)()) return failed(std::string("\"") + key + "\" has the wrong type");
    out = value.get<T>();
    return true;
  }

  // A view's frame, hidden flag and subviews.
  bool configureView(View& view, const json& spec) {
    if (spec.contains("frame")) {
      const auto& f = spec["frame"];
      if (!f.is_array() || f.size() != 4 || !f[0].is_number() || !f[1].is_number() || !f[2].is_number() ||
          !f[3].is_number()) {
        return failed("\"frame\" is not [x, y, width, height]");
      }
      view.setFrame(Rect{{f[0].get<double>(), f[1].get<double>()}, {f[2].get<double>(), f[3].get<double>()}});
    }
    bool hidden = view.isHidden();
    if (!read(spec, "hidden", hidden, &json::is_boolean)) return false;
    view.setHidden(hidden);
    if (spec.contains("subviews")) {
      const auto& subviews = spec["subviews"];
      if (!subviews.is_array()) return failed("\"subviews\" is not an array");
      for (const auto& sub : subviews) {
        auto child = std::dynamic_pointer_cast<View>(build(sub));
        if (!child) return error_.empty() ? failed("a subview is not a view") : false;
        view.addSubview(child);
      }
    }
    return true;
  }

  bool configure(Object& object, const json& spec) {
    if (auto* view = dynamic_cast<View*>(&object)) {
      if (!configureView(*view, spec)) return false;
    } else if (spec.contains("subviews") || spec.contains("frame")) {
      return failed(object.className() + " is not a view");
    }

    if (auto* field = dynamic_cast<TextField*>(&object)) {
      std::string text = field->stringValue();
      if (!read(spec, "text", text, &json::is_string)) return false;
      field->setStringValue(text);
    }
    if (auto* button = dynamic_cast<Button*>(&object)) {
      std::string title = button->title();
      long tag = button->tag();
      if (!read(spec, "title", title, &json::is_string) || !read(spec, "tag", tag, &json::is_number_integer)) {
        return false;
      }
      button->setTitle(title);
      button->setTag(tag);
    }
    if (auto* popUp = dynamic_cast<PopUpButton*>(&object)) {
      if (spec.contains("items")) {
        const auto& items = spec["items"];
        if (!items.is_array()) return failed("\"items\" is not an array");
        for (const auto& title : items) {
          if (!title.is_string()) return failed("a pop-up item is not a text");
          popUp->addItem(title.get<std::string>());
        }
      }
      long selected = popUp->indexOfSelectedItem();
      if (!read(spec, "selected", selected, &json::is_number_integer)) return false;
      if (!popUp->selectItem(selected)) return failed("\"selected\" is out of range");
    }
    if (auto* menu = dynamic_cast<Menu*>(&object)) {
      std::string title = menu->title();
      if (!read(spec, "title", title, &json::is_string)) return false;
      menu->setTitle(title);
      if (spec.contains("items")) {
        const auto& items = spec["items"];
        if (!items.is_array()) return failed("\"items\" is not an array");
        for (const auto& sub : items) {
          auto item = std::dynamic_pointer_cast<MenuItem>(build(sub, "MenuItem"));
          if (!item) return error_.empty() ? failed("a menu item is not a MenuItem") : false;
          menu->addItem(item);
        }
      }
    }
    if (auto* item = dynamic_cast<MenuItem*>(&object)) {
      std::string title = item->title();
      std::string key = item->keyEquivalent();
      long tag = item->tag();
      bool enabled = item->isEnabled();
      if (!read(spec, "title", title, &json::is_string) || !read(spec, "key", key, &json::is_string) ||
          !read(spec, "tag", tag, &json::is_number_integer) || !read(spec, "enabled", enabled, &json::is_boolean)) {
        return false;
      }
      item->setTitle(title);
      item->setKeyEquivalent(key);
      item->setTag(tag);
      item->setEnabled(enabled);
    }
    return true;
  }

  Object* owner_;
  std::map<std::string, ObjectPtr> byId_;
  std::vector<ObjectPtr> made_;
  std::vector<Pending> pending_;
  std::string error_;
};

void report(const std::string& what, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), message.c_str());
}

}  // namespace

// ---- NIBs ---------------------------------------------------------------------

bool loadNibFile(const std::string& path, Object& owner, std::vector<ObjectPtr>* topLevelObjects) {
  const std::string what = "NIB " + path;
  std::string error;
  auto nib = readJson(path, error);
  if (!nib) {
    report(what, error);
    return false;
  }
  if (!nib->is_object() || !nib->contains("objects") || !(*nib)["objects"].is_array()) {
    report(what, "no \"objects\" array");
    return false;
  }
  Loader loader(&owner);
  std::vector<ObjectPtr> top;
  for (const auto& spec : (*nib)["objects"]) {
    auto object = loader.build(spec);
    if (!object) {
      report(what, loader.error());
      return false;
    }
    top.push_back(std::move(object));
  }
  if (!loader.connect()) {
    report(what, loader.error());
    return false;
  }
  loader.awake();
  if (topLevelObjects != nullptr) *topLevelObjects = std::move(top);
  return true;
}

bool loadNibNamed(const std::string& name, Object& owner, std::vector<ObjectPtr>* topLevelObjects) {
  auto path = Bundle::main().path(name, "nib.json");
  if (!path) {
    report("NIB \"" + name + "\"", "not found in " + Bundle::main().resourcePath());
    return false;
  }
  return loadNibFile(*path, owner, topLevelObjects);
}

bool installFirstTopLevelView(View& owner, const std::string& nibName) {
  std::vector<ObjectPtr> objects;
  if (!loadNibNamed(nibName, owner, &objects)) return false;
  for (const auto& object : objects) {
    if (auto view = std::dynamic_pointer_cast<View>(object)) {
      addPinned(view, owner);
      return true;
    }
  }
  return false;
}

// ---- storyboards --------------------------------------------------------------

// NOLINTNEXTLINE(bugprone-exception-escape): its only member is a json, whose move does not throw.
struct Storyboard::Content {
  json description;
};

std::shared_ptr<Storyboard> Storyboard::fromFile(const std::string& path) {
  const std::string what = "Storyboard " + path;
  std::string error;
  auto description = readJson(path, error);
  if (!description) {
    report(what, error);
    return nullptr;
  }
  if (!description->is_object()) {
    report(what, "not a JSON object");
    return nullptr;
  }
  if (description->contains("application") && !(*description)["application"].is_object()) {
    report(what, "\"application\" is not a JSON object");
    return nullptr;
  }
  if (description->contains("scenes")) {
    const auto& scenes = (*description)["scenes"];
    if (!scenes.is_object()) {
      report(what, "\"scenes\" is not a JSON object");
      return nullptr;
    }
    for (const auto& [id, scene] : scenes.items()) {
      if (!scene.is_object() || !scene.contains("class") || !scene["class"].is_string()) {
        report(what, "scene \"" + id + "\" has no \"class\"");
        return nullptr;
      }
    }
  }
  auto content = std::make_shared<Content>();
  content->description = std::move(*description);
  return std::shared_ptr<Storyboard>(new Storyboard(std::move(content), path));
}

std::shared_ptr<Storyboard> Storyboard::named(const std::string& name) {
  auto path = Bundle::main().path(name, "storyboard.json");
  if (!path) {
    report("Storyboard \"" + name + "\"", "not found in " + Bundle::main().resourcePath());
    return nullptr;
  }
  return fromFile(*path);
}

std::vector<std::string> Storyboard::controllerIdentifiers() const {
  std::vector<std::string> ids;
  const auto& d = content_->description;
  if (d.contains("scenes")) {
    for (const auto& [id, scene] : d["scenes"].items()) ids.push_back(id);
  }
  return ids;
}

namespace {

// Builds a view controller's view from its scene description, the controller owning it.
std::shared_ptr<View> buildSceneView(const json& spec, ViewController& controller, const std::string& what) {
  Loader loader(&controller);
  auto view = std::dynamic_pointer_cast<View>(loader.build(spec));
  if (!view) {
    report(what, loader.error().empty() ? std::string("the scene's view is not a view") : loader.error());
    return nullptr;
  }
  if (view->frame().size == Size{}) view->setFrame(Rect{{0, 0}, controller.preferredContentSize()});
  if (!loader.connect()) {
    report(what, loader.error());
    return nullptr;
  }
  loader.awake();
  return view;
}

// A view controller whose view comes from a scene description.
void setSceneViewFactory(ViewController& controller, json spec, std::string what);

}  // namespace

ObjectPtr Storyboard::instantiateController(const std::string& identifier) const {
  const auto& d = content_->description;
  if (!d.contains("scenes") || !d["scenes"].contains(identifier)) return nullptr;
  const json& scene = d["scenes"][identifier];
  const std::string what = "Storyboard " + name_ + ", scene \"" + identifier + "\"";
  const std::string className = scene["class"].get<std::string>();

  if (className == "WindowController") {
    if (!scene.contains("content") || !scene["content"].is_string()) {
      report(what, "a window controller needs \"content\"");
      return nullptr;
    }
    const auto contentId = scene["content"].get<std::string>();
    if (d["scenes"].contains(contentId) && d["scenes"][contentId]["class"] == "WindowController") {
      report(what, "the content of a window controller must be a view controller");
      return nullptr;
    }
    auto content = std::dynamic_pointer_cast<ViewController>(instantiateController(contentId));
    if (!content) {
      report(what, "its content \"" + contentId + "\" is not a view controller");
      return nullptr;
    }
    auto window = Window::withContentViewController(content);
    if (scene.contains("title") && scene["title"].is_string()) window->setTitle(scene["title"].get<std::string>());
    if (scene.contains("style") && scene["style"].is_number_unsigned()) {
      window->setStyleMask(scene["style"].get<unsigned>());
    }
    auto controller = std::make_shared<WindowController>(window);
    controller->setIdentifier(identifier);
    controller->awakeFromNib();
    return controller;
  }

  auto controller = std::dynamic_pointer_cast<ViewController>(ClassRegistry::make(className));
  if (!controller) {
    report(what, "\"" + className + "\" is not a view controller class");
    return nullptr;
  }
  controller->setIdentifier(identifier);
  if (scene.contains("title") && scene["title"].is_string()) controller->setTitle(scene["title"].get<std::string>());
  if (scene.contains("size")) {
    const auto& s = scene["size"];
    if (!s.is_array() || s.size() != 2 || !s[0].is_number() || !s[1].is_number()) {
      report(what, "\"size\" is not [width, height]");
      return nullptr;
    }
    controller->setPreferredContentSize(Size{s[0].get<double>(), s[1].get<double>()});
  }
  if (scene.contains("view")) setSceneViewFactory(*controller, scene["view"], what);
  controller->awakeFromNib();
  return controller;
}

std::optional<Storyboard::ApplicationScene> Storyboard::instantiateApplicationScene() const {
  const auto& d = content_->description;
  if (!d.contains("application")) return std::nullopt;
  const json& app = d["application"];
  const std::string what = "Storyboard " + name_ + ", application scene";
  if (!app.contains("delegate") || !app["delegate"].is_string()) {
    report(what, "no \"delegate\" id");
    return std::nullopt;
  }
  if (!app.contains("objects") || !app["objects"].is_array()) {
    report(what, "no \"objects\" array");
    return std::nullopt;
  }
  Loader loader(nullptr);
  ApplicationScene scene;
  for (const auto& spec : app["objects"]) {
    auto object = loader.build(spec);
    if (!object) {
      report(what, loader.error());
      return std::nullopt;
    }
    scene.objects.push_back(std::move(object));
  }
  auto found = loader.objectsById().find(app["delegate"].get<std::string>());
  if (found == loader.objectsById().end()) {
    report(what, "the delegate id names no object");
    return std::nullopt;
  }
  scene.delegate = found->second;
  loader.setOwner(scene.delegate.get());
  if (!loader.connect()) {
    report(what, loader.error());
    return std::nullopt;
  }
  loader.awake();
  return scene;
}

// The factory lives in the controller; it needs the controller's private hook.
namespace {
void setSceneViewFactory(ViewController& controller, json spec, std::string what) {
  ViewController* self = &controller;
  controller.setViewFactory(
      [self, spec = std::move(spec), what = std::move(what)] { return buildSceneView(spec, *self, what); });
}
}  // namespace

}  // namespace platform::ui
