#pragma once
// The settings the companion application shares with the agent through its app group,
// and the service's hosts. The agent only reads the shared suite (the usage counter
// aside).
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class UserDefaults;
}

namespace networks {

inline constexpr std::string_view kAppGroup = "group.so.velmorhome.mopet";
inline constexpr std::string_view kSharedChildToken = "sharedChildToken";
inline constexpr std::string_view kSchoolFamilyApiAgent = "SCHOOL_FAMILYAPI_AGENT";
inline constexpr std::string_view kMacosPassword = "MACOS_PASSWORD";
inline constexpr std::string_view kDeviceUsage = "device_usage";

// The two hosts of the service's REST API and Socket.IO endpoint, and the
// device-management host (plain http on port 5050). Kept here, and only here.
inline constexpr std::string_view kFamilyApiHost = "api.family.mopet.velmorhome.so";
inline constexpr std::string_view kSchoolApiHost = "api.school.mopet.velmorhome.so";
inline constexpr std::string_view kDeviceManagementHost = "192.0.2.10";
inline constexpr int kDeviceManagementPort = 5050;

// Opens the app-group suite; none when it cannot be opened.
using SharedSuiteOpener = std::function<std::shared_ptr<platform::UserDefaults>()>;

// The app-group suite, opened anew at every call by the opener main installed (over
// the file manager it built); until one is installed, none. Every read of the shared
// settings goes through here.
std::shared_ptr<platform::UserDefaults> openSharedSuite();
// Makes `open` the opener of openSharedSuite() and returns the one before (empty: none),
// so that a test can put it back. Safe from any thread.
SharedSuiteOpener installSharedSuite(SharedSuiteOpener open);

// The child's bearer token under "sharedChildToken"; none when absent or when the
// suite cannot be opened. Read anew on every call; every use of the token reads it here.
std::optional<std::string> storedChildToken();
// The same from a suite the caller has already opened, so that it is read once.
std::optional<std::string> storedChildToken(const platform::UserDefaults& suite);

}  // namespace networks
