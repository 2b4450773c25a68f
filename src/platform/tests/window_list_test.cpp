// The window list: empty on Linux; the fake's scripted windows and option filtering.
#include "platform/window_list.h"

#include <gtest/gtest.h>

#include "platform/fakes/fake_window_list.h"

namespace platform {
namespace {

TEST(WindowListTest, LinuxListsNoWindowsButAlwaysGivesAList) {
  auto windows =
      WindowList::system().windows(WindowListOption::onScreenOnly | WindowListOption::excludeDesktopElements);
  ASSERT_TRUE(windows.has_value());
  EXPECT_TRUE(windows->empty());
}

TEST(WindowListTest, TheFakeFiltersByTheOnScreenAndDesktopOptionsAndRecordsQueries) {
  FakeWindowList fake;
  WindowInfo front{1, 4242u, "Safari", "Start Page", 0, true, false, {}};
  WindowInfo hidden{2, 4242u, "Safari", std::nullopt, 0, false, false, {}};
  WindowInfo desktop{3, 99u, "Finder", std::nullopt, -2147483603, true, true, {}};
  WindowInfo noOwner{4, std::nullopt, std::nullopt, std::nullopt, 0, true, false, {}};
  fake.setWindows(std::vector<WindowInfo>{front, hidden, desktop, noOwner});

  struct Case {
    unsigned options;
    std::vector<std::uint32_t> numbers;
  };
  const Case cases[] = {
      {WindowListOption::all, {1, 2, 3, 4}},
      {WindowListOption::onScreenOnly, {1, 3, 4}},
      {WindowListOption::excludeDesktopElements, {1, 2, 4}},
      {WindowListOption::onScreenOnly | WindowListOption::excludeDesktopElements, {1, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    auto windows = fake.windows(c.options, kNullWindowID);
    ASSERT_TRUE(windows.has_value());
    std::vector<std::uint32_t> numbers;
    for (const auto& w : *windows) numbers.push_back(w.number);
    EXPECT_EQ(numbers, c.numbers);
  }
  EXPECT_EQ(fake.queries().size(), 4u);
  EXPECT_EQ(fake.queries()[3], (FakeWindowList::Query{17u, kNullWindowID}));

  fake.setWindows(std::nullopt);
  EXPECT_FALSE(fake.windows(WindowListOption::all, kNullWindowID).has_value());
}

}  // namespace
}  // namespace platform
