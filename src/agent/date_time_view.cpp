#include "agent/date_time_view.h"

#include <chrono>

#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "networks/token_mask.h"
#include "platform/user_defaults.h"

namespace agent {

namespace {

// Connects a weak outlet of type T; false when the value is of another type.
template <class T>
bool connect(std::weak_ptr<T>& outlet, const platform::ui::ObjectPtr& value) {
  auto typed = std::dynamic_pointer_cast<T>(value);
  if (value && !typed) return false;
  outlet = typed;
  return true;
}

}  // namespace

DateTimeView::DateTimeView(platform::ui::Rect frame, platform::UserDefaults& defaults)
    : platform::ui::View(frame), defaults_(&defaults) {
  load(kNibName);
}

DateTimeView::DateTimeView(ArchiveCoder) {}

DateTimeView::~DateTimeView() {
  if (timer) timer->invalidate();
}

bool DateTimeView::setOutlet(const std::string& name, const platform::ui::ObjectPtr& value) {
  if (name == "areaLabel") return connect(areaLabel, value);
  if (name == "dateLabel") return connect(dateLabel, value);
  if (name == "timeLabel") return connect(timeLabel, value);
  if (name == "timezoneLabel") return connect(timezoneLabel, value);
  return platform::ui::View::setOutlet(name, value);
}

platform::ui::Action DateTimeView::action(const std::string& selector) {
  if (selector == "showDateAndTimeInfo") {
    return [self = ref()](platform::ui::Object&) {
      if (auto* view = static_cast<DateTimeView*>(self.get())) view->showDateAndTimeInfo();
    };
  }
  return platform::ui::View::action(selector);
}

void DateTimeView::startTimer() {
  const auto token = networks::storedChildToken();
  if (!token) return;
  networks::printLine("result:  " + networks::maskedToken(*token));
  getPreferredTimezoneID();

  // A timer still running from an earlier start would never be stopped once replaced.
  if (timer) timer->invalidate();
  auto& runLoop = platform::RunLoop::main();
  timer = runLoop.scheduledTimer(
      std::chrono::seconds(1), true,
      [self = ref()](platform::Timer&) {
        if (auto* view = static_cast<DateTimeView*>(self.get())) view->showDateAndTimeInfo();
      },
      platform::RunLoopMode::defaultMode);
  timer->fire();
  runLoop.add(timer, platform::RunLoopMode::common);
}

void DateTimeView::stopTimer() {
  if (timer) timer->invalidate();
  timer = nullptr;
}

void DateTimeView::getPreferredTimezoneID() {
  preferredTimezoneID = defaults_ ? defaults_->string(kTimezoneKey) : std::nullopt;
}

void DateTimeView::showDateAndTimeInfo() {
  // The NIB connects the area label; without it the tick has nothing to write.
  if (auto label = areaLabel.lock()) label->setStringValue(kAreaText);
}

}  // namespace agent
