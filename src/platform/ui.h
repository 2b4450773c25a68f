#pragma once
// A headless user-interface object model: objects, views, controls and images that
// keep whatever state the agent gives them, so that tests (and a machine without a
// display) can look at it. Nothing is drawn. Windows, controllers, the application and
// alerts are in ui_window.h; menus and the status bar in ui_menu.h; NIB and storyboard
// loading in ui_nib.h.
//
// Threads: like the platform it stands in for, the model is used on the main thread
// only. Back references (a view's superview and window, a control's target, delegates)
// are non-owning and safe: they read as absent once the object they name is gone.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::ui {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;
};

class Object;
using ObjectPtr = std::shared_ptr<Object>;
// An action as a control or menu item sends it; the argument is the sender.
using Action = std::function<void(Object& sender)>;

// The base of every object that NIBs and storyboards make and connect.
class Object {
 public:
  Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object();

  // The class name under which NIBs and storyboards make it.
  virtual std::string className() const { return "Object"; }
  // The identifier a NIB or storyboard gave it ("id"), empty when none.
  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }

  // Connects the outlet `name` to `value`, as a NIB does; false when the object has no
  // outlet of that name. Outlets are weak: keep them as std::weak_ptr.
  virtual bool setOutlet(const std::string& name, const ObjectPtr& value);
  // The action the object performs for `selector` (e.g. "showPreferences:"), empty
  // when it answers to none.
  virtual Action action(const std::string& selector);
  // Sent to every object that a NIB or storyboard made, and to the NIB's owner, once
  // all outlets and actions of the load are connected.
  virtual void awakeFromNib() {}

  // A non-owning reference that reads as absent once this object is destroyed. Unlike
  // a weak_ptr it can be taken inside a constructor.
  class Ref {
   public:
    Ref() = default;
    Object* get() const { return alive_.expired() ? nullptr : object_; }
    explicit operator bool() const { return get() != nullptr; }

   private:
    friend class Object;
    Ref(Object* object, std::weak_ptr<char> alive) : object_(object), alive_(std::move(alive)) {}
    Object* object_ = nullptr;
    std::weak_ptr<char> alive_;
  };
  Ref ref() { return Ref(this, alive_); }

 private:
  std::string identifier_;
  std::shared_ptr<char> alive_;
};

// Where a control or menu item sends its action: either a block, or a selector sent
// to a target held by a non-owning reference (nothing happens once the target is
// gone, as with a nil target).
class TargetAction {
 public:
  void set(Action block);
  void set(Object& target, std::string selector);
  void clear();

  const std::string& selector() const { return selector_; }
  Object* target() const { return target_.get(); }
  bool hasAction() const { return block_ != nullptr || !selector_.empty(); }
  // Runs the action with `sender`; false when nothing ran.
  bool send(Object& sender) const;

 private:
  Action block_;
  Object::Ref target_;
  std::string selector_;
};

// Classes that NIBs and storyboards make by name. A registered name is tried before the
// built-in classes, so the agent can give its own subclass of a built-in class (for
// example "ViewController") and get it wherever a NIB or storyboard names that class.
// Built-in names: Object, View, Label, TextField, Button, PopUpButton, Menu, MenuItem,
// ViewController.
class ClassRegistry {
 public:
  using Factory = std::function<ObjectPtr()>;
  static void add(const std::string& className, Factory factory);
  static void remove(const std::string& className);
  // A new object of the class, or nullptr when the name is unknown.
  static ObjectPtr make(const std::string& className);
};

class Window;

// The edges and dimensions a layout constraint can tie.
enum class Anchor { leading, trailing, top, bottom, width, height, centerX, centerY };

class View;

// "first.firstAnchor == second.secondAnchor * multiplier + constant", kept as data.
// The views are held by non-owning references.
struct LayoutConstraint {
  Object::Ref firstItem;
  Anchor firstAnchor = Anchor::leading;
  Object::Ref secondItem;
  Anchor secondAnchor = Anchor::leading;
  double constant = 0;
  double multiplier = 1;

  View* first() const;
  View* second() const;
  // first.anchor == second.anchor + constant.
  static LayoutConstraint equal(View& first, Anchor anchor, View& second, double constant = 0);
};

class View : public Object {
 public:
  View() = default;
  explicit View(Rect frame) : frame_(frame) {}
  ~View() override;
  std::string className() const override { return "View"; }

  Rect frame() const { return frame_; }
  void setFrame(Rect frame) { frame_ = frame; }
  // The frame's size at the origin.
  Rect bounds() const { return Rect{{0, 0}, frame_.size}; }
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden) { hidden_ = hidden; }

  // Adds `view` last among the subviews, taking it from its previous superview. False
  // (nothing changes) for a null view, this view itself or one of its ancestors.
  bool addSubview(std::shared_ptr<View> view);
  void removeFromSuperview();
  View* superview() const;
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  // The first descendant (depth first, this view excluded) with the identifier.
  std::shared_ptr<View> viewWithIdentifier(const std::string& identifier) const;
  // The window whose content view is this view or one of its ancestors.
  Window* window() const;

  bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizingMask_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool value) { translatesAutoresizingMask_ = value; }
  // The active constraints this view holds (those whose nearest common ancestor it is),
  // in the order they were activated.
  const std::vector<LayoutConstraint>& constraints() const { return constraints_; }
  // Sets the frames of the subviews whose four edges are tied to this view's edges, and
  // so on down the tree. Other constraints are kept as data only.
  void layoutSubtree();

 private:
  friend class Window;
  friend bool activate(const LayoutConstraint& constraint);
  Rect frame_;
  bool hidden_ = false;
  bool translatesAutoresizingMask_ = true;
  std::vector<std::shared_ptr<View>> subviews_;
  Object::Ref superview_;
  Object::Ref window_;  // set on a window's content view only
  std::vector<LayoutConstraint> constraints_;
};

// Activates a constraint: the nearest common ancestor of its two views keeps it (the
// first view when there is no second). False when either view is gone or the two are
// in different view trees.
bool activate(const LayoutConstraint& constraint);
// first.anchor == second.anchor + constant, activated.
bool activateEqual(View& first, Anchor anchor, View& second, double constant = 0);
// Adds `view` as the last subview of `parent`, switches off its autoresizing
// translation and ties its leading, trailing, top and bottom edges to the parent's,
// with no offset, in that order.
void addPinned(const std::shared_ptr<View>& view, View& parent);
// Whether `parent` holds the four constraints that tie `view`'s edges to its own with
// no offset.
bool isPinnedToEdges(const View& view, const View& parent);

// A view that sends an action.
class Control : public View {
 public:
  using View::View;
  std::string className() const override { return "Control"; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  TargetAction& targetAction() { return targetAction_; }
  const TargetAction& targetAction() const { return targetAction_; }
  // Sends the action with this control as sender, as a click would; false when the
  // control is disabled or nothing ran.
  bool sendAction();

 private:
  bool enabled_ = true;
  TargetAction targetAction_;
};

// A text field; a label is one that is not editable.
class TextField : public Control {
 public:
  using Control::Control;
  static std::shared_ptr<TextField> label(std::string text);
  std::string className() const override { return editable_ ? "TextField" : "Label"; }
  const std::string& stringValue() const { return text_; }
  void setStringValue(std::string text) { text_ = std::move(text); }
  bool isEditable() const { return editable_; }
  void setEditable(bool editable) { editable_ = editable; }

 private:
  std::string text_;
  bool editable_ = true;
};

class Image;

class Button : public Control {
 public:
  using Control::Control;
  std::string className() const override { return "Button"; }
  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  long tag() const { return tag_; }
  void setTag(long tag) { tag_ = tag; }
  const std::shared_ptr<Image>& image() const { return image_; }
  void setImage(std::shared_ptr<Image> image) { image_ = std::move(image); }
  // As a click: sends the action.
  bool performClick() { return sendAction(); }

 private:
  std::string title_;
  long tag_ = 0;
  std::shared_ptr<Image> image_;
};

class PopUpButton : public Control {
 public:
  using Control::Control;
  std::string className() const override { return "PopUpButton"; }
  const std::vector<std::string>& itemTitles() const { return titles_; }
  // The first added item becomes the selection when there is none.
  void addItem(std::string title);
  void removeAllItems();
  // -1 when nothing is selected.
  long indexOfSelectedItem() const { return selected_; }
  std::optional<std::string> titleOfSelectedItem() const;
  // Selects the item (-1 clears the selection); false, nothing changed, out of range.
  bool selectItem(long index);

 private:
  std::vector<std::string> titles_;
  long selected_ = -1;
};

// An image resource. Headless: only its name, file and template flag matter.
class Image {
 public:
  Image(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}
  // The main bundle's image resource `name` (a .png, .svg, .pdf or .tiff file, in that
  // order of preference); nullptr when there is none. Each call gives a new image.
  static std::shared_ptr<Image> named(const std::string& name);
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  // A template image is tinted by the menu bar instead of drawn in its own colours.
  bool isTemplate() const { return template_; }
  void setTemplate(bool value) { template_ = value; }

 private:
  std::string name_;
  std::string path_;
  bool template_ = false;
};

}  // namespace platform::ui
