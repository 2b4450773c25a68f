#pragma once
// The view inside the status menu's first item. Its content comes from the NIB
// "DateTimeView"; while the menu is open and the shared settings hold a child token, a
// 1-second timer (registered for the common modes, so it runs while the menu is
// tracked) writes the agent's name into the area label. The date, time and time-zone
// labels keep what the NIB gives them.
//
// Main thread only.
#include <memory>
#include <optional>
#include <string>

#include "agent/preferences.h"
#include "platform/run_loop.h"
#include "platform/ui.h"
#include "platform/user_defaults.h"

namespace agent {

class DateTimeView final : public platform::ui::View,
                           public LoadableView<DateTimeView>,
                           public std::enable_shared_from_this<DateTimeView> {
 public:
  static constexpr const char* kNibName = "DateTimeView";
  // What every tick writes into the area label.
  static constexpr const char* kAreaText = "Velmor Mopet Agent";
  // The key of the user defaults handed in, read at each start of the timer.
  static constexpr const char* kTimezoneKey = "timezoneID";

  // Loads the NIB "DateTimeView" (the result is not used: a view whose NIB did not
  // load is still a view, empty); the preferred time zone is read from `defaults` (the
  // agent's standard user defaults).
  DateTimeView(platform::ui::Rect frame, platform::UserDefaults& defaults);
  // Loads no NIB; with no user defaults handed in, it reads no preferred time zone.
  explicit DateTimeView(ArchiveCoder);
  ~DateTimeView() override;
  std::string className() const override { return "DateTimeView"; }

  // ---- state, in declaration order ----
  std::weak_ptr<platform::ui::TextField> areaLabel;      // outlet
  std::weak_ptr<platform::ui::TextField> dateLabel;      // outlet; not written
  std::weak_ptr<platform::ui::TextField> timeLabel;      // outlet; not written
  std::weak_ptr<platform::ui::TextField> timezoneLabel;  // outlet; not written
  std::shared_ptr<platform::Timer> timer;                // running while the menu is open
  std::optional<std::string> preferredTimezoneID;

  // When the shared suite holds a child token: prints "result:  " and the token masked
  // (networks::maskedToken), reads the preferred time zone, starts the 1-second timer,
  // runs one tick at once and adds the timer to the common modes. Without a token it does nothing.
  void startTimer();
  // Invalidates the timer, if any, and forgets it.
  void stopTimer();

  bool setOutlet(const std::string& name, const platform::ui::ObjectPtr& value) override;
  // "showDateAndTimeInfo": one tick.
  platform::ui::Action action(const std::string& selector) override;

 private:
  void getPreferredTimezoneID();
  void showDateAndTimeInfo();

  platform::UserDefaults* defaults_ = nullptr;
};

}  // namespace agent
