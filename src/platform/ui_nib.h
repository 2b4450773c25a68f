#pragma once
// NIB and storyboard loading for the headless user-interface model (see ui.h).
//
// Both are small JSON resources of the main bundle: "<name>.nib.json" and
// "<name>.storyboard.json". An object description is a JSON object:
//
//   "class"     required; a registered or built-in class name (see ClassRegistry)
//   "id"        optional identifier: names the object for "outlets"/"target" and is
//               the object's identifier()
//   "outlet"    optional; connects the owner's outlet of that name to this object
//   "outlets"   optional {"<outlet>": "<id>"}: connects this object's outlets to others
//   views:      "frame": [x, y, width, height], "hidden": bool,
//               "subviews": [object descriptions, all of them views]
//   Label / TextField:  "text"
//   Button:             "title", "tag"
//   PopUpButton:        "items": [titles], "selected": index
//   Button, PopUpButton, MenuItem:  "action": "<selector>", "target": "<id>" | "owner"
//               (default "owner")
//   Menu:       "title", "items": [MenuItem descriptions]
//   MenuItem:   "title", "key", "tag", "enabled", or {"separator": true} alone
//
// A NIB:        {"objects": [object descriptions]}   - its top-level objects, in order.
// A storyboard: {"application": {"delegate": "<id>", "objects": [...]},
//                "scenes": {"<identifier>": scene, ...}}
//   where a scene is a view controller
//                {"class": "ViewController" | registered name, "title": "...",
//                 "size": [width, height], "view": optional view description}
//   (the controller is the owner of its view's outlets and actions) or a window
//   controller
//                {"class": "WindowController", "title": "...", "style": mask,
//                 "content": "<identifier of a view-controller scene>"}.
// In the application scene the owner is the delegate object.
//
// Loading makes every object, then connects the outlets and actions, then sends
// awakeFromNib to each object made (in the order made) and to the owner. A missing
// file, bad JSON, an unknown class, a duplicate or unknown id, or an outlet that its
// object does not have makes the whole load fail with one line on standard error.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace platform::ui {

// Loads the NIB `name` of the main bundle with `owner` as its owner; on success
// `topLevelObjects` (when given) receives the top-level objects in order. The owner's
// actions reach it through a non-owning reference, so it may load from its own
// constructor.
bool loadNibNamed(const std::string& name, Object& owner, std::vector<ObjectPtr>* topLevelObjects);
// The same from a file.
bool loadNibFile(const std::string& path, Object& owner, std::vector<ObjectPtr>* topLevelObjects);

// Fills `owner` from the NIB `nibName` with the owner as the NIB's owner: of the
// top-level objects, in order, the first that is a view becomes the owner's last
// subview, with its autoresizing translation off and its four edges tied to the
// owner's (addPinned). False, with nothing added, when the NIB does not load or has
// no top-level view.
bool installFirstTopLevelView(View& owner, const std::string& nibName);

class ViewController;

class Storyboard {
 public:
  // The main bundle's storyboard `name`; nullptr (and a line on standard error) when
  // it is missing or invalid.
  static std::shared_ptr<Storyboard> named(const std::string& name);
  static std::shared_ptr<Storyboard> fromFile(const std::string& path);

  // A new controller of the scene `identifier`: a ViewController (of the class the
  // scene names) or a WindowController with its window and content controller.
  // nullptr when there is no such scene or it cannot be made.
  ObjectPtr instantiateController(const std::string& identifier) const;
  std::vector<std::string> controllerIdentifiers() const;

  struct ApplicationScene {
    ObjectPtr delegate;
    std::vector<ObjectPtr> objects;  // the scene's top-level objects, delegate included
  };
  // Makes the application scene's objects and connects them. Absent when the
  // storyboard has no application scene or it cannot be made.
  std::optional<ApplicationScene> instantiateApplicationScene() const;

  struct Content;  // the parsed description

 private:
  explicit Storyboard(std::shared_ptr<const Content> content, std::string name)
      : content_(std::move(content)), name_(std::move(name)) {}
  std::shared_ptr<const Content> content_;
  std::string name_;
};

}  // namespace platform::ui
