#include "networks/child_end_point.h"

#include <type_traits>

#include "networks/shared_settings.h"

namespace networks {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
// Spelled out for compilers without deduction for aggregates (Clang before 17).
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

constexpr std::string_view kParentAuthPath = "/api/v1/children/parent-auth";
constexpr std::string_view kSignInPath = "/api/v1/auth/child/sign-in";
constexpr std::string_view kRegisterDevicePath = "/mdm/api/v1/register-device/";
constexpr std::string_view kSetApplicationListPath = "/mdm/api/v1/set-application-list/";
constexpr std::string_view kLocationPath = "/api/v1/children/location";
constexpr std::string_view kSyncAppsPath = "/api/v1/children/device-apps/sync-apps";
constexpr std::string_view kDeviceEnrollmentPath = "/mdm/api/v1/device-enrollment";
constexpr std::string_view kMePath = "/api/v1/children";
constexpr std::string_view kScreenTimePath = "/api/v1/children/rules/screen-time";
constexpr std::string_view kAppRulesPath = "/api/v1/children/rules/app-rules";
constexpr std::string_view kSafeSearchPath = "/api/v1/children/rules/web-rules/safe-search";
constexpr std::string_view kSmartAppRulesPath = "/api/v1/children/device-apps/smart-app-rules";
constexpr std::string_view kWebContentRulesPath = "/api/v1/children/rules/web-rules/web-content";
constexpr std::string_view kReportsPath = "/api/v1/children/reports";
// The session cookies that the usage report and the application-list sync carry.
constexpr std::string_view kReportSessionCookie =
    "connect.sid=s%3AFh3JkP9sQw2ErT6yUi8oLa4SdG7hZx5c.Mn6BvC2xZl9KjH4gFd8SaP3oIu7YtR1eWq5EzA0Ls6D";
constexpr std::string_view kSyncSessionCookie =
    "connect.sid=s%3AQm7TwLp2Xc9RbN4vHs6KdJ8fYa3GtE5u.Wq4ZrT8nLm2VcX6bHp9KsD3fJy7GtA5eNu1RoYi0Bw8";
constexpr std::string_view kJsonContentType = "application/json";

std::string httpsBase(std::string_view host) { return "https://" + std::string(host); }

std::string deviceManagementURL(std::string_view path) {
  return "http://" + std::string(kDeviceManagementHost) + ":" + std::to_string(kDeviceManagementPort) +
         percentEncodePath(path);
}

// The path of a request on the device-management host, or none for an API case.
template <class C>
std::optional<std::string> deviceManagementPath(const C& c) {
  return std::visit(Overloaded{[](const ChildEndPoint::Register& r) -> std::optional<std::string> {
                                 return std::string(kRegisterDevicePath) + r.uuid;
                               },
                               [](const ChildEndPoint::SetApplicationList& r) -> std::optional<std::string> {
                                 return std::string(kSetApplicationListPath) + r.uuid;
                               },
                               [](const ChildEndPoint::DeviceEnrolled&) -> std::optional<std::string> {
                                 return std::string(kDeviceEnrollmentPath);
                               },
                               [](const auto&) -> std::optional<std::string> { return std::nullopt; }},
                    c);
}

std::string_view apiPath(const ChildEndPoint::Case& c) {
  return std::visit(Overloaded{[](const ChildEndPoint::GetParentToken&) { return kParentAuthPath; },
                               [](const ChildEndPoint::Check&) { return kSignInPath; },
                               [](const ChildEndPoint::SendLocation&) { return kLocationPath; },
                               [](const ChildEndPoint::SendApplicationList&) { return kSyncAppsPath; },
                               [](const ChildEndPoint::Me&) { return kMePath; },
                               [](const ChildEndPoint::ScreentimeRules&) { return kScreenTimePath; },
                               [](const ChildEndPoint::GetAppRules&) { return kAppRulesPath; },
                               [](const ChildEndPoint::GetSafeSearchRules&) { return kSafeSearchPath; },
                               [](const ChildEndPoint::SmartAppRules&) { return kSmartAppRulesPath; },
                               [](const ChildEndPoint::WebContentRules&) { return kWebContentRulesPath; },
                               [](const ChildEndPoint::UsageReport&) { return kReportsPath; },
                               [](const ChildEndPoint::SyncApps&) { return kSyncAppsPath; },
                               [](const auto&) { return std::string_view(); }},
                    c);
}

std::string_view apiPath(const ChildEndPointSchool::Case& c) {
  return std::visit(Overloaded{[](const ChildEndPointSchool::GetParentToken&) { return kParentAuthPath; },
                               [](const ChildEndPoint::Check&) { return kSignInPath; },
                               [](const ChildEndPoint::SendLocation&) { return kLocationPath; },
                               [](const ChildEndPoint::Me&) { return kMePath; },
                               [](const ChildEndPoint::ScreentimeRules&) { return kScreenTimePath; },
                               [](const ChildEndPoint::GetSafeSearchRules&) { return kSafeSearchPath; },
                               [](const auto&) { return std::string_view(); }},
                    c);
}

template <class T>
RequestBody encodeBody(const coding::JSONEncoder& encoder, const T& value) {
  auto text = encoder.encode(value);
  if (!text) return std::unexpected(text.error());
  return std::optional<platform::Data>(platform::toData(*text));
}

coding::JSONEncoder snakeCaseEncoder() {
  coding::JSONEncoder encoder;
  encoder.keyEncodingStrategy = coding::KeyEncodingStrategy::convertToSnakeCase;
  return encoder;
}

bool isPathCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '/':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<HTTPMethod> HTTPMethod::fromRawValue(std::string_view text) {
  if (text == "GET") return HTTPMethod(get);
  if (text == "POST") return HTTPMethod(post);
  if (text == "PUT") return HTTPMethod(put);
  if (text == "PATCH") return HTTPMethod(patch);
  return std::nullopt;
}

std::string_view HTTPMethod::rawValue() const {
  switch (value_) {
    case get:
      return "GET";
    case post:
      return "POST";
    case put:
      return "PUT";
    case patch:
      return "PATCH";
  }
  return "GET";
}

std::string percentEncodePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (isPathCharacter(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

platform::UserDefaults& userDefault() {
  static platform::UserDefaults& store = platform::UserDefaults::standard();
  return store;
}

// ---- ChildEndPoint -------------------------------------------------------------

std::optional<std::string> ChildEndPoint::backendChoice() {
  // A suite that cannot be opened holds no choice: the family host.
  const auto suite = platform::UserDefaults::suite(std::string(kAppGroup));
  return suite ? suite->string(std::string(kSchoolFamilyApiAgent)) : std::nullopt;
}

bool ChildEndPoint::schoolChosen() {
  const auto choice = backendChoice();
  return choice && *choice == "school";
}

std::string ChildEndPoint::baseURL() { return httpsBase(schoolChosen() ? kSchoolApiHost : kFamilyApiHost); }

platform::HeaderList ChildEndPoint::headers(std::string_view token) const {
  using Header = platform::HeaderList::value_type;
  const Header authorization{"Authorization", "Bearer " + std::string(token)};
  const Header json{"Content-Type", std::string(kJsonContentType)};
  auto cookie = [](std::string_view value) { return Header{"Cookie", std::string(value)}; };
  return std::visit(Overloaded{[&](const SmartAppRules&) { return platform::HeaderList{authorization}; },
                               [&](const WebContentRules&) { return platform::HeaderList{authorization}; },
                               [&](const UsageReport&) {
                                 return platform::HeaderList{authorization, json, cookie(kReportSessionCookie)};
                               },
                               [&](const SyncApps&) {
                                 return platform::HeaderList{json, cookie(kSyncSessionCookie), authorization};
                               },
                               [&](const auto&) {
                                 return platform::HeaderList{authorization, json};
                               }},
                    case_);
}

std::string ChildEndPoint::url() const {
  const std::string base = baseURL();  // determined first, for every case
  if (auto path = deviceManagementPath(case_)) return deviceManagementURL(*path);
  return base + percentEncodePath(apiPath(case_));
}

HTTPMethod ChildEndPoint::httpMethod() const {
  return std::visit(Overloaded{[](const GetParentToken&) { return HTTPMethod(HTTPMethod::post); },
                               [](const Check&) { return HTTPMethod(HTTPMethod::post); },
                               [](const SendLocation&) { return HTTPMethod(HTTPMethod::post); },
                               [](const SendApplicationList&) { return HTTPMethod(HTTPMethod::post); },
                               [](const UsageReport&) { return HTTPMethod(HTTPMethod::post); },
                               [](const SyncApps&) { return HTTPMethod(HTTPMethod::post); },
                               [](const auto&) { return HTTPMethod(HTTPMethod::get); }},
                    case_);
}

coding::JSONEncoder ChildEndPoint::jsonEncoder() const { return snakeCaseEncoder(); }

RequestBody ChildEndPoint::body() const {
  return std::visit(Overloaded{[this](const GetParentToken& c) { return encodeBody(jsonEncoder(), c.model); },
                               [this](const Check& c) { return encodeBody(jsonEncoder(), c.model); },
                               [this](const SendLocation& c) { return encodeBody(jsonEncoder(), c.samples); },
                               [this](const SendApplicationList& c) { return encodeBody(jsonEncoder(), c.report); },
                               [](const UsageReport& c) { return RequestBody(platform::toData(c.body)); },
                               [](const SyncApps& c) { return RequestBody(platform::toData(c.body)); },
                               [](const auto&) { return RequestBody(std::nullopt); }},
                    case_);
}

std::optional<platform::Data> ChildEndPoint::parameters() const {
  auto encoded = body();
  return encoded ? *encoded : std::nullopt;
}

// ---- ChildEndPointSchool -------------------------------------------------------

std::string ChildEndPointSchool::baseURL() { return httpsBase(kSchoolApiHost); }

std::string ChildEndPointSchool::url() const {
  if (auto path = deviceManagementPath(case_)) return deviceManagementURL(*path);
  return baseURL() + percentEncodePath(apiPath(case_));
}

HTTPMethod ChildEndPointSchool::httpMethod() const {
  return std::visit(Overloaded{[](const GetParentToken&) { return HTTPMethod(HTTPMethod::post); },
                               [](const Check&) { return HTTPMethod(HTTPMethod::post); },
                               [](const SendLocation&) { return HTTPMethod(HTTPMethod::post); },
                               [](const auto&) { return HTTPMethod(HTTPMethod::get); }},
                    case_);
}

coding::JSONEncoder ChildEndPointSchool::jsonEncoder() const { return snakeCaseEncoder(); }

RequestBody ChildEndPointSchool::body() const {
  return std::visit(Overloaded{[this](const GetParentToken& c) { return encodeBody(jsonEncoder(), c.models); },
                               [this](const Check& c) { return encodeBody(jsonEncoder(), c.model); },
                               [this](const SendLocation& c) { return encodeBody(jsonEncoder(), c.samples); },
                               [](const auto&) { return RequestBody(std::nullopt); }},
                    case_);
}

std::optional<platform::Data> ChildEndPointSchool::parameters() const {
  auto encoded = body();
  return encoded ? *encoded : std::nullopt;
}

}  // namespace networks
