#include "platform/ui_window.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "platform/ui_nib.h"

namespace platform::ui {

Rect mainScreenFrame() { return Rect{{0, 0}, {1440, 900}}; }

// ---- Window -------------------------------------------------------------------

Window::Window(Rect contentRect, unsigned styleMask) : styleMask_(styleMask), frame_(contentRect) {}

Window::~Window() {
  if (contentView_) contentView_->window_ = {};
}

std::shared_ptr<Window> Window::withContentViewController(std::shared_ptr<ViewController> controller) {
  auto window = std::make_shared<Window>();
  if (controller) {
    window->setTitle(controller->title());
    window->setContentViewController(std::move(controller));
  }
  return window;
}

void Window::center() {
  Rect screen = mainScreenFrame();
  frame_.origin = {screen.origin.x + (screen.size.width - frame_.size.width) / 2,
                   screen.origin.y + (screen.size.height - frame_.size.height) / 2};
}

void Window::setContentView(std::shared_ptr<View> view) {
  if (contentView_) contentView_->window_ = {};
  contentView_ = std::move(view);
  if (contentView_) {
    contentView_->removeFromSuperview();
    contentView_->window_ = ref();
    frame_.size = contentView_->frame().size;
    contentView_->setFrame(Rect{{0, 0}, frame_.size});
  }
}

void Window::setContentViewController(std::shared_ptr<ViewController> controller) {
  contentViewController_ = std::move(controller);
  setContentView(contentViewController_ ? contentViewController_->view() : nullptr);
}

WindowController* Window::windowController() const { return static_cast<WindowController*>(windowController_.get()); }

void Window::makeKeyAndOrderFront() {
  bool appearing = !visible_;
  if (appearing && contentViewController_) contentViewController_->viewWillAppear();
  visible_ = true;
  if (contentView_) contentView_->layoutSubtree();
  Application::shared().windowShown(*this);
  if (appearing && contentViewController_) contentViewController_->viewDidAppear();
}

void Window::orderOut() { visible_ = false; }

bool Window::isKeyWindow() const { return Application::shared().keyWindow() == this; }

void Window::close() {
  auto keep = weak_from_this().lock();  // the application may hold the last reference
  if (visible_ && contentViewController_) contentViewController_->viewWillDisappear();
  bool wasVisible = visible_;
  visible_ = false;
  if (wasVisible && contentViewController_) contentViewController_->viewDidDisappear();
  Application::shared().windowClosed(*this);
}

bool Window::performClose(Object&) {
  if ((styleMask_ & WindowStyle::closable) == 0) return false;
  close();
  return true;
}

// ---- controllers --------------------------------------------------------------

std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) view_ = std::make_shared<View>(Rect{{0, 0}, preferredContentSize_});
    viewDidLoad();
  }
  return view_;
}

void ViewController::loadView() {
  if (viewFactory_) view_ = viewFactory_();
  if (!view_) view_ = std::make_shared<View>(Rect{{0, 0}, preferredContentSize_});
}

WindowController::WindowController(std::shared_ptr<Window> window) { setWindow(std::move(window)); }

void WindowController::setWindow(std::shared_ptr<Window> window) {
  if (window_) window_->windowController_ = {};
  window_ = std::move(window);
  if (window_) window_->windowController_ = ref();
}

std::shared_ptr<ViewController> WindowController::contentViewController() const {
  return window_ ? window_->contentViewController() : nullptr;
}

void WindowController::showWindow() {
  if (window_) window_->makeKeyAndOrderFront();
}

void WindowController::close() {
  if (window_) window_->close();
}

// ---- Application --------------------------------------------------------------

Application& Application::shared() {
  static Application* instance = new Application();  // lives as long as the process
  return *instance;
}

bool Application::loadMainStoryboard(const std::string& name) {
  auto storyboard = Storyboard::named(name);
  if (!storyboard) return false;
  auto scene = storyboard->instantiateApplicationScene();
  if (!scene) {
    std::fprintf(stderr, "Storyboard \"%s\": its application scene did not load\n", name.c_str());
    return false;
  }
  auto delegate = std::dynamic_pointer_cast<ApplicationDelegate>(scene->delegate);
  if (!delegate) {
    std::fprintf(stderr, "Storyboard \"%s\": the application delegate is not an application delegate\n", name.c_str());
    return false;
  }
  sceneObjects_ = std::move(scene->objects);
  delegate_ = std::move(delegate);
  return true;
}

void Application::finishLaunching() {
  if (launched_) return;
  launched_ = true;
  if (delegate_) delegate_->applicationDidFinishLaunching();
}

void Application::run() {
  finishLaunching();
  if (terminated_) return;
  running_ = true;
  RunLoop::main().run();
  running_ = false;
  terminated_ = true;
  if (delegate_) delegate_->applicationWillTerminate();
}

void Application::terminate() {
  if (!DispatchQueue::main().isCurrent()) {
    DispatchQueue::main().async([this] { terminate(); });
    return;
  }
  if (running_) {
    RunLoop::main().stop();
  } else if (!terminated_) {
    terminated_ = true;  // a run() that follows returns at once
    if (delegate_) delegate_->applicationWillTerminate();
  }
}

Window* Application::keyWindow() const { return static_cast<Window*>(keyWindow_.get()); }

void Application::reset() {
  delegate_.reset();
  sceneObjects_.clear();
  windows_.clear();
  keyWindow_ = {};
  launched_ = false;
  running_ = false;
  terminated_ = false;
}

void Application::windowShown(Window& window) {
  keyWindow_ = window.ref();
  auto found = std::find_if(windows_.begin(), windows_.end(), [&](const auto& w) { return w.get() == &window; });
  if (found != windows_.end()) return;
  if (auto strong = window.weak_from_this().lock()) windows_.push_back(std::move(strong));
}

void Application::windowClosed(Window& window) {
  if (keyWindow_.get() == &window) keyWindow_ = {};
  auto found = std::find_if(windows_.begin(), windows_.end(), [&](const auto& w) { return w.get() == &window; });
  if (found != windows_.end()) windows_.erase(found);
}

int applicationMain(int, char**) {
  // An agent's output often goes to a pipe or a log reader that may go away; writing
  // there then fails with EPIPE instead of ending the process. Children get the default
  // disposition back when they are spawned (platform/process.h).
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);

  auto& app = Application::shared();
  if (!app.loadMainStoryboard("Main")) return 1;
  app.run();
  return 0;
}

// ---- Alert --------------------------------------------------------------------

namespace {

std::mutex g_handlerMutex;
Alert::ModalHandler g_handler;

}  // namespace

std::shared_ptr<Button> Alert::addButton(std::string title) {
  auto button = std::make_shared<Button>();
  button->setTitle(std::move(title));
  button->setTag(ModalResponse::alertFirstButtonReturn + static_cast<long>(buttons_.size()));
  buttons_.push_back(button);
  return button;
}

long Alert::runModal() {
  ModalHandler handler;
  {
    std::lock_guard lock(g_handlerMutex);
    handler = g_handler;
  }
  if (!handler) {
    std::fprintf(stderr, "Alert \"%s\": no one to answer it, so it is aborted\n", messageText_.c_str());
    return ModalResponse::abort;
  }
  return handler(*this);
}

Alert::ModalHandler Alert::setModalHandler(ModalHandler handler) {
  std::lock_guard lock(g_handlerMutex);
  std::swap(handler, g_handler);
  return handler;
}

}  // namespace platform::ui
