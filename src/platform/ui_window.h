#pragma once
// Windows, view and window controllers, the application object and alerts of the
// headless user-interface model (see ui.h). Main thread only.
#include <any>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace platform::ui {

// Style-mask flags of a window.
namespace WindowStyle {
inline constexpr unsigned borderless = 0;
inline constexpr unsigned titled = 1;
inline constexpr unsigned closable = 2;
inline constexpr unsigned miniaturizable = 4;
inline constexpr unsigned resizable = 8;
inline constexpr unsigned standard = titled | closable | miniaturizable | resizable;
}  // namespace WindowStyle

// The screen a window is centred on: 1440 x 900 points.
Rect mainScreenFrame();

class ViewController;
class WindowController;

class Window : public Object, public std::enable_shared_from_this<Window> {
 public:
  explicit Window(Rect contentRect = {}, unsigned styleMask = WindowStyle::standard);
  // A standard window sized to the controller's view, titled with its title, with the
  // controller as content view controller.
  static std::shared_ptr<Window> withContentViewController(std::shared_ptr<ViewController> controller);
  ~Window() override;
  std::string className() const override { return "Window"; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  unsigned styleMask() const { return styleMask_; }
  void setStyleMask(unsigned mask) { styleMask_ = mask; }
  Rect frame() const { return frame_; }
  void setFrame(Rect frame) { frame_ = frame; }
  // Moves the window to the middle of the main screen.
  void center();

  const std::shared_ptr<View>& contentView() const { return contentView_; }
  // The view fills the window's content area; the previous content view leaves it.
  void setContentView(std::shared_ptr<View> view);
  const std::shared_ptr<ViewController>& contentViewController() const { return contentViewController_; }
  // Makes the controller's view the content view (loading it first).
  void setContentViewController(std::shared_ptr<ViewController> controller);
  WindowController* windowController() const;

  // Shows the window in front and makes it the key window. The first time it becomes
  // visible its content controller gets viewWillAppear, the content is laid out, then
  // viewDidAppear. The application keeps an open window alive until it closes.
  void makeKeyAndOrderFront();
  // Hides the window without closing it.
  void orderOut();
  bool isVisible() const { return visible_; }
  bool isKeyWindow() const;
  // Hides the window for good: the content controller gets viewWillDisappear and
  // viewDidDisappear and the application lets the window go.
  void close();
  // As a press of the close button: closes the window when it has one (closable
  // style); false, and nothing happens, otherwise.
  bool performClose(Object& sender);

 private:
  friend class WindowController;
  std::string title_;
  unsigned styleMask_;
  Rect frame_;
  bool visible_ = false;
  std::shared_ptr<View> contentView_;
  std::shared_ptr<ViewController> contentViewController_;
  Object::Ref windowController_;
};

class ViewController : public Object {
 public:
  ViewController() = default;
  std::string className() const override { return "ViewController"; }

  // The controller's view, loaded on first use: loadView(), then viewDidLoad().
  std::shared_ptr<View> view();
  void setView(std::shared_ptr<View> view) { view_ = std::move(view); }
  bool isViewLoaded() const { return view_ != nullptr; }

  // Makes the view: by default the view factory's view, else an empty view of
  // preferredContentSize.
  virtual void loadView();
  // Where loadView() takes the view from (storyboards set it for scenes that describe
  // their view).
  void setViewFactory(std::function<std::shared_ptr<View>()> factory) { viewFactory_ = std::move(factory); }
  virtual void viewDidLoad() {}
  virtual void viewWillAppear() {}
  virtual void viewDidAppear() {}
  virtual void viewWillDisappear() {}
  virtual void viewDidDisappear() {}

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  Size preferredContentSize() const { return preferredContentSize_; }
  void setPreferredContentSize(Size size) { preferredContentSize_ = size; }
  // Any value the controller represents; nothing reads it.
  virtual const std::any& representedObject() const { return representedObject_; }
  virtual void setRepresentedObject(std::any value) { representedObject_ = std::move(value); }

 private:
  std::shared_ptr<View> view_;
  std::function<std::shared_ptr<View>()> viewFactory_;
  std::string title_;
  Size preferredContentSize_{480, 270};
  std::any representedObject_;
};

class WindowController : public Object {
 public:
  explicit WindowController(std::shared_ptr<Window> window = nullptr);
  std::string className() const override { return "WindowController"; }
  const std::shared_ptr<Window>& window() const { return window_; }
  void setWindow(std::shared_ptr<Window> window);
  std::shared_ptr<ViewController> contentViewController() const;
  // Shows the window in front (makeKeyAndOrderFront).
  void showWindow();
  void close();

 private:
  std::shared_ptr<Window> window_;
};

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() {}
  virtual void applicationWillTerminate() {}
};

// The application object. It keeps the objects of the main storyboard's application
// scene and every open window alive.
class Application {
 public:
  static Application& shared();

  const std::shared_ptr<ApplicationDelegate>& delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

  // Loads the application scene of the storyboard (see ui_nib.h): makes its objects,
  // connects outlets and actions, sends awakeFromNib, and makes the scene's delegate
  // the application's delegate. False, with a message on standard error, when the
  // storyboard is missing or invalid or its delegate is not an ApplicationDelegate.
  bool loadMainStoryboard(const std::string& name = "Main");
  // Tells the delegate that launching has finished; only the first call does.
  void finishLaunching();
  // Finishes launching when that has not happened, runs the main run loop until
  // terminate(), then tells the delegate that the application will terminate.
  void run();
  // Ends run() (from any thread; it then tells the delegate). Without a running run(),
  // tells the delegate at once, and a later run() returns at once. Only once.
  void terminate();
  bool isRunning() const { return running_; }

  // The open windows, in the order they were first shown.
  const std::vector<std::shared_ptr<Window>>& windows() const { return windows_; }
  Window* keyWindow() const;

  // For tests: forget the delegate, the scene objects and the windows.
  void reset();

 private:
  friend class Window;
  Application() = default;
  void windowShown(Window& window);
  void windowClosed(Window& window);

  std::shared_ptr<ApplicationDelegate> delegate_;
  std::vector<ObjectPtr> sceneObjects_;
  std::vector<std::shared_ptr<Window>> windows_;
  Object::Ref keyWindow_;
  bool launched_ = false;
  bool running_ = false;
  bool terminated_ = false;
};

// The process entry's work: ignores SIGPIPE (a closed standard output must not end the
// process), loads the storyboard "Main", finishes launching and runs the application
// until terminate(). Returns 0, or 1 when the storyboard did not load. The arguments
// are not read.
int applicationMain(int argc, char** argv);

// Answers of a modal session.
namespace ModalResponse {
inline constexpr long ok = 1;
inline constexpr long cancel = 0;
inline constexpr long stop = -1000;
inline constexpr long abort = -1001;
inline constexpr long alertFirstButtonReturn = 1000;
inline constexpr long alertSecondButtonReturn = 1001;
inline constexpr long alertThirdButtonReturn = 1002;
}  // namespace ModalResponse

enum class AlertStyle { warning, informational, critical };

class Alert {
 public:
  // Answers a modal alert in place of a user: gets the alert (whose accessory view it
  // may change, as a user typing would) and returns the response.
  using ModalHandler = std::function<long(Alert& alert)>;

  const std::string& messageText() const { return messageText_; }
  void setMessageText(std::string text) { messageText_ = std::move(text); }
  const std::string& informativeText() const { return informativeText_; }
  void setInformativeText(std::string text) { informativeText_ = std::move(text); }
  AlertStyle alertStyle() const { return style_; }
  void setAlertStyle(AlertStyle style) { style_ = style; }
  // Adds a button; the n-th (from 0) answers alertFirstButtonReturn + n.
  std::shared_ptr<Button> addButton(std::string title);
  const std::vector<std::shared_ptr<Button>>& buttons() const { return buttons_; }
  const std::shared_ptr<View>& accessoryView() const { return accessoryView_; }
  void setAccessoryView(std::shared_ptr<View> view) { accessoryView_ = std::move(view); }

  // Runs the alert modally. Headless, nothing ever waits for a person: the installed
  // modal handler answers at once; without one the answer is ModalResponse::abort
  // (no one was there to press a button) and a line goes to standard error.
  long runModal();

  // Installs the process-wide modal handler (empty removes it); returns the previous.
  static ModalHandler setModalHandler(ModalHandler handler);

 private:
  std::string messageText_;
  std::string informativeText_;
  AlertStyle style_ = AlertStyle::warning;
  std::vector<std::shared_ptr<Button>> buttons_;
  std::shared_ptr<View> accessoryView_;
};

}  // namespace platform::ui
