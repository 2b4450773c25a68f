#include "platform/fakes/fake_alert_responder.h"

namespace platform::ui {

FakeAlertResponder::FakeAlertResponder() {
  previous_ = Alert::setModalHandler([this](Alert& alert) { return answer(alert); });
}

FakeAlertResponder::~FakeAlertResponder() { Alert::setModalHandler(std::move(previous_)); }

void FakeAlertResponder::respond(long response, std::optional<std::string> typedText) {
  std::lock_guard lock(mutex_);
  responses_.emplace_back(response, std::move(typedText));
}

std::vector<FakeAlertResponder::Shown> FakeAlertResponder::shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

long FakeAlertResponder::answer(Alert& alert) {
  auto* field = dynamic_cast<TextField*>(alert.accessoryView().get());
  Shown record{alert.messageText(), alert.informativeText(), {}, std::nullopt};
  for (const auto& button : alert.buttons()) record.buttonTitles.push_back(button->title());
  if (field != nullptr) record.accessoryText = field->stringValue();

  std::optional<std::pair<long, std::optional<std::string>>> next;
  {
    std::lock_guard lock(mutex_);
    shown_.push_back(std::move(record));
    if (!responses_.empty()) {
      next = std::move(responses_.front());
      responses_.pop_front();
    }
  }
  if (!next) return ModalResponse::abort;
  if (next->second && field != nullptr) field->setStringValue(*next->second);
  return next->first;
}

}  // namespace platform::ui
