#include "platform/ui.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/bundle.h"
#include "platform/ui_menu.h"
#include "platform/ui_window.h"

namespace platform::ui {

// ---- Object -------------------------------------------------------------------

Object::Object() : alive_(std::make_shared<char>()) {}
Object::~Object() = default;

bool Object::setOutlet(const std::string&, const ObjectPtr&) { return false; }
Action Object::action(const std::string&) { return {}; }

// ---- TargetAction -------------------------------------------------------------

void TargetAction::set(Action block) {
  block_ = std::move(block);
  target_ = {};
  selector_.clear();
}

void TargetAction::set(Object& target, std::string selector) {
  block_ = nullptr;
  target_ = target.ref();
  selector_ = std::move(selector);
}

void TargetAction::clear() {
  block_ = nullptr;
  target_ = {};
  selector_.clear();
}

bool TargetAction::send(Object& sender) const {
  if (block_) {
    auto block = block_;  // the action may replace this one
    block(sender);
    return true;
  }
  Object* target = target_.get();
  if (target == nullptr || selector_.empty()) return false;
  Action action = target->action(selector_);
  if (!action) return false;
  action(sender);
  return true;
}

// ---- ClassRegistry ------------------------------------------------------------

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, ClassRegistry::Factory> classes;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

ObjectPtr makeBuiltIn(const std::string& name) {
  if (name == "Object") return std::make_shared<Object>();
  if (name == "View") return std::make_shared<View>();
  if (name == "Label") {
    auto label = std::make_shared<TextField>();
    label->setEditable(false);
    return label;
  }
  if (name == "TextField") return std::make_shared<TextField>();
  if (name == "Button") return std::make_shared<Button>();
  if (name == "PopUpButton") return std::make_shared<PopUpButton>();
  if (name == "Menu") return std::make_shared<Menu>();
  if (name == "MenuItem") return std::make_shared<MenuItem>();
  if (name == "ViewController") return std::make_shared<ViewController>();
  return nullptr;
}

}  // namespace

void ClassRegistry::add(const std::string& className, Factory factory) {
  std::lock_guard lock(registry().mutex);
  registry().classes[className] = std::move(factory);
}

void ClassRegistry::remove(const std::string& className) {
  std::lock_guard lock(registry().mutex);
  registry().classes.erase(className);
}

ObjectPtr ClassRegistry::make(const std::string& className) {
  Factory factory;
  {
    std::lock_guard lock(registry().mutex);
    auto found = registry().classes.find(className);
    if (found != registry().classes.end()) factory = found->second;
  }
  if (factory) return factory();
  return makeBuiltIn(className);
}

// ---- View ---------------------------------------------------------------------

View::~View() {
  // Subviews that someone else keeps must not point back at a destroyed view; the
  // references read as absent anyway, this only drops them early.
  for (auto& subview : subviews_) subview->superview_ = {};
}

View* View::superview() const { return static_cast<View*>(superview_.get()); }

bool View::addSubview(std::shared_ptr<View> view) {
  if (!view) return false;
  for (const View* ancestor = this; ancestor != nullptr; ancestor = ancestor->superview()) {
    if (ancestor == view.get()) return false;
  }
  view->removeFromSuperview();
  view->superview_ = ref();
  subviews_.push_back(std::move(view));
  return true;
}

void View::removeFromSuperview() {
  View* parent = superview();
  superview_ = {};
  if (parent == nullptr) return;
  auto& list = parent->subviews_;
  auto found = std::find_if(list.begin(), list.end(), [this](const auto& v) { return v.get() == this; });
  if (found != list.end()) list.erase(found);  // may destroy this view: nothing after
}

std::shared_ptr<View> View::viewWithIdentifier(const std::string& identifier) const {
  for (const auto& subview : subviews_) {
    if (subview->identifier() == identifier) return subview;
    if (auto found = subview->viewWithIdentifier(identifier)) return found;
  }
  return nullptr;
}

Window* View::window() const {
  const View* root = this;
  while (root->superview() != nullptr) root = root->superview();
  return static_cast<Window*>(root->window_.get());
}

namespace {

std::vector<const View*> ancestry(const View* view) {
  std::vector<const View*> chain;
  for (; view != nullptr; view = view->superview()) chain.push_back(view);
  return chain;
}

bool isEdge(Anchor anchor) {
  return anchor == Anchor::leading || anchor == Anchor::trailing || anchor == Anchor::top || anchor == Anchor::bottom;
}

}  // namespace

View* LayoutConstraint::first() const { return static_cast<View*>(firstItem.get()); }
View* LayoutConstraint::second() const { return static_cast<View*>(secondItem.get()); }

LayoutConstraint LayoutConstraint::equal(View& first, Anchor anchor, View& second, double constant) {
  LayoutConstraint c;
  c.firstItem = first.ref();
  c.firstAnchor = anchor;
  c.secondItem = second.ref();
  c.secondAnchor = anchor;
  c.constant = constant;
  return c;
}

bool activate(const LayoutConstraint& constraint) {
  View* first = constraint.first();
  if (first == nullptr) return false;
  View* holder = first;
  if (constraint.secondItem) {
    View* second = constraint.second();
    if (second == nullptr) return false;
    auto firstChain = ancestry(first);
    holder = nullptr;
    for (const View* candidate : ancestry(second)) {
      if (std::find(firstChain.begin(), firstChain.end(), candidate) != firstChain.end()) {
        holder = const_cast<View*>(candidate);
        break;
      }
    }
    if (holder == nullptr) return false;
  }
  holder->constraints_.push_back(constraint);
  return true;
}

bool activateEqual(View& first, Anchor anchor, View& second, double constant) {
  return activate(LayoutConstraint::equal(first, anchor, second, constant));
}

void addPinned(const std::shared_ptr<View>& view, View& parent) {
  if (!view || !parent.addSubview(view)) return;
  view->setTranslatesAutoresizingMaskIntoConstraints(false);
  for (Anchor anchor : {Anchor::leading, Anchor::trailing, Anchor::top, Anchor::bottom}) {
    activateEqual(*view, anchor, parent);
  }
}

bool isPinnedToEdges(const View& view, const View& parent) {
  unsigned found = 0;
  for (const auto& c : parent.constraints()) {
    if (c.first() != &view || c.second() != &parent) continue;
    if (c.firstAnchor != c.secondAnchor || !isEdge(c.firstAnchor)) continue;
    if (c.constant != 0 || c.multiplier != 1) continue;
    found |= 1u << static_cast<unsigned>(c.firstAnchor);
  }
  return found == 0xFu;  // leading, trailing, top, bottom are the first four anchors
}

void View::layoutSubtree() {
  for (auto& subview : subviews_) {
    double inset[4] = {0, 0, 0, 0};
    unsigned tied = 0;
    for (const auto& c : constraints_) {
      if (c.first() != subview.get() || c.second() != this || c.firstAnchor != c.secondAnchor) continue;
      if (!isEdge(c.firstAnchor) || c.multiplier != 1) continue;
      auto index = static_cast<unsigned>(c.firstAnchor);
      inset[index] = c.constant;
      tied |= 1u << index;
    }
    if (tied == 0xFu) {
      // leading/top offsets move inwards with positive constants, trailing/bottom with negative.
      Rect frame;
      frame.origin = {inset[0], inset[2]};
      frame.size = {frame_.size.width - inset[0] + inset[1], frame_.size.height - inset[2] + inset[3]};
      subview->setFrame(frame);
    }
    subview->layoutSubtree();
  }
}

// ---- controls -----------------------------------------------------------------

bool Control::sendAction() {
  if (!enabled_) return false;
  return targetAction_.send(*this);
}

std::shared_ptr<TextField> TextField::label(std::string text) {
  auto field = std::make_shared<TextField>();
  field->setEditable(false);
  field->setStringValue(std::move(text));
  return field;
}

void PopUpButton::addItem(std::string title) {
  titles_.push_back(std::move(title));
  if (selected_ < 0) selected_ = 0;
}

void PopUpButton::removeAllItems() {
  titles_.clear();
  selected_ = -1;
}

std::optional<std::string> PopUpButton::titleOfSelectedItem() const {
  if (selected_ < 0 || static_cast<std::size_t>(selected_) >= titles_.size()) return std::nullopt;
  return titles_[static_cast<std::size_t>(selected_)];
}

bool PopUpButton::selectItem(long index) {
  if (index < -1 || (index >= 0 && static_cast<std::size_t>(index) >= titles_.size())) return false;
  selected_ = index;
  return true;
}

// ---- Image --------------------------------------------------------------------

std::shared_ptr<Image> Image::named(const std::string& name) {
  if (name.empty()) return nullptr;
  for (const char* type : {"png", "svg", "pdf", "tiff"}) {
    if (auto path = Bundle::main().path(name, type)) return std::make_shared<Image>(name, *path);
  }
  return nullptr;
}

}  // namespace platform::ui
