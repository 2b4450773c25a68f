#pragma once
// Answers modal alerts in tests: installs itself as the alert handler for its
// lifetime, records every alert shown and answers with the scripted responses in
// order (abort when none is left). A response may first set the text of the alert's
// accessory text field, as a user typing there would.
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui_window.h"

namespace platform::ui {

class FakeAlertResponder {
 public:
  struct Shown {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttonTitles;
    std::optional<std::string> accessoryText;  // an accessory text field's text when shown
  };

  FakeAlertResponder();
  ~FakeAlertResponder();
  FakeAlertResponder(const FakeAlertResponder&) = delete;
  FakeAlertResponder& operator=(const FakeAlertResponder&) = delete;

  // Queues the next answer; `typedText` replaces the accessory field's text first.
  void respond(long response, std::optional<std::string> typedText = std::nullopt);
  std::vector<Shown> shown() const;

 private:
  long answer(Alert& alert);

  mutable std::mutex mutex_;
  std::deque<std::pair<long, std::optional<std::string>>> responses_;
  std::vector<Shown> shown_;
  Alert::ModalHandler previous_;
};

}  // namespace platform::ui
