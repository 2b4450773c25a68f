#include "networks/child_end_point.h"

#include <type_traits>
#include <utility>

#include "networks/shared_settings.h"
#include "platform/text.h"
#include "platform/user_defaults.h"

namespace networks {
namespace {

// The session cookies that the usage report and the application-list sync carry.
constexpr std::string_view kReportSessionCookie =
    "connect.sid=s%3AFh3JkP9sQw2ErT6yUi8oLa4SdG7hZx5c.Mn6BvC2xZl9KjH4gFd8SaP3oIu7YtR1eWq5EzA0Ls6D";
constexpr std::string_view kSyncSessionCookie =
    "connect.sid=s%3AQm7TwLp2Xc9RbN4vHs6KdJ8fYa3GtE5u.Wq4ZrT8nLm2VcX6bHp9KsD3fJy7GtA5eNu1RoYi0Bw8";
constexpr std::string_view kJsonContentType = "application/json";

// ---- the table: one row per case ------------------------------------------------
//
// Every case of both tables has exactly one Row, and the operations read a case's row
// and nothing else: a case without a row, or a row without its route or its body, does
// not compile.

enum class Server {
  api,               // the API base URL (https, no port)
  deviceManagement,  // the device-management host, plain http on its port
};

// The headers of a request, in the order they are sent.
enum class Headers {
  bearerAndJson,    // "Authorization: Bearer <token>", "Content-Type: application/json"
  bearerOnly,       // "Authorization: Bearer <token>"
  usageReport,      // the bearer token, the JSON type, the report's session cookie
  applicationSync,  // the JSON type, the sync's session cookie, the bearer token
};

struct Route {
  HTTPMethod method;
  Server server;
  // The case's path; for a case that carries a uuid, the prefix that the uuid ends.
  std::string_view path;
  Headers headers;
};

template <class T>
RequestBody encodedBody(const coding::JSONEncoder& encoder, const T& value) {
  auto text = encoder.encode(value);
  if (!text) return std::unexpected(text.error());
  return std::optional<platform::Data>(platform::toData(*text));
}

RequestBody textBody(std::string_view text) { return std::optional<platform::Data>(platform::toData(text)); }

// The body of a row whose request has none.
struct NoBody {
  template <class C>
  static RequestBody body(const C&, const coding::JSONEncoder&) {
    return std::optional<platform::Data>();
  }
};

template <class C>
struct Row;  // left undefined: a case without a row does not compile

using EP = ChildEndPoint;
using School = ChildEndPointSchool;
using Encoder = coding::JSONEncoder;
constexpr auto kGet = HTTPMethod::get;
constexpr auto kPost = HTTPMethod::post;

template <>
struct Row<EP::GetParentToken> {
  static constexpr Route route{kPost, Server::api, "/api/v1/children/parent-auth", Headers::bearerAndJson};
  static RequestBody body(const EP::GetParentToken& c, const Encoder& e) { return encodedBody(e, c.model); }
};
template <>
struct Row<School::GetParentToken> {
  static constexpr Route route = Row<EP::GetParentToken>::route;
  static RequestBody body(const School::GetParentToken& c, const Encoder& e) { return encodedBody(e, c.models); }
};
template <>
struct Row<EP::Check> {
  static constexpr Route route{kPost, Server::api, "/api/v1/auth/child/sign-in", Headers::bearerAndJson};
  static RequestBody body(const EP::Check& c, const Encoder& e) { return encodedBody(e, c.model); }
};
template <>
struct Row<EP::Register> : NoBody {
  static constexpr Route route{kGet, Server::deviceManagement, "/mdm/api/v1/register-device/", Headers::bearerAndJson};
};
template <>
struct Row<EP::SetApplicationList> : NoBody {
  static constexpr Route route{kGet, Server::deviceManagement, "/mdm/api/v1/set-application-list/",
                               Headers::bearerAndJson};
};
template <>
struct Row<EP::SendLocation> {
  static constexpr Route route{kPost, Server::api, "/api/v1/children/location", Headers::bearerAndJson};
  static RequestBody body(const EP::SendLocation& c, const Encoder& e) { return encodedBody(e, c.samples); }
};
template <>
struct Row<EP::SendApplicationList> {
  static constexpr Route route{kPost, Server::api, "/api/v1/children/device-apps/sync-apps", Headers::bearerAndJson};
  static RequestBody body(const EP::SendApplicationList& c, const Encoder& e) { return encodedBody(e, c.report); }
};
template <>
struct Row<EP::DeviceEnrolled> : NoBody {
  static constexpr Route route{kGet, Server::deviceManagement, "/mdm/api/v1/device-enrollment", Headers::bearerAndJson};
};
template <>
struct Row<EP::Me> : NoBody {
  static constexpr Route route{kGet, Server::api, "/api/v1/children", Headers::bearerAndJson};
};
template <>
struct Row<EP::ScreentimeRules> : NoBody {
  static constexpr Route route{kGet, Server::api, "/api/v1/children/rules/screen-time", Headers::bearerAndJson};
};
template <>
struct Row<EP::GetAppRules> : NoBody {
  static constexpr Route route{kGet, Server::api, "/api/v1/children/rules/app-rules", Headers::bearerAndJson};
};
template <>
struct Row<EP::GetSafeSearchRules> : NoBody {
  static constexpr Route route{kGet, Server::api, "/api/v1/children/rules/web-rules/safe-search",
                               Headers::bearerAndJson};
};
// The agent's own four: only the bearer token for the two rule requests; a body of
// ready text and a session cookie for the two reports.
template <>
struct Row<EP::SmartAppRules> : NoBody {
  static constexpr Route route{kGet, Server::api, "/api/v1/children/device-apps/smart-app-rules", Headers::bearerOnly};
};
template <>
struct Row<EP::WebContentRules> : NoBody {
  static constexpr Route route{kGet, Server::api, "/api/v1/children/rules/web-rules/web-content", Headers::bearerOnly};
};
template <>
struct Row<EP::UsageReport> {
  static constexpr Route route{kPost, Server::api, "/api/v1/children/reports", Headers::usageReport};
  static RequestBody body(const EP::UsageReport& c, const Encoder&) { return textBody(c.body); }
};
template <>
struct Row<EP::SyncApps> {
  static constexpr Route route{kPost, Server::api, "/api/v1/children/device-apps/sync-apps", Headers::applicationSync};
  static RequestBody body(const EP::SyncApps& c, const Encoder&) { return textBody(c.body); }
};

// ---- what the operations read of a row ------------------------------------------

template <class C>
constexpr const Route& routeOf(const C&) {
  return Row<C>::route;
}

template <class C>
std::string pathOf(const C& c) {
  if constexpr (requires { c.uuid; }) {
    return std::string(Row<C>::route.path) + c.uuid;  // nothing between them, nothing after
  } else {
    return std::string(Row<C>::route.path);
  }
}

std::string httpsBase(std::string_view host) { return "https://" + std::string(host); }

// The case's path on the API base URL, or on the device-management host.
template <class Case>
std::string urlOf(const Case& value, const std::string& apiBase) {
  return std::visit(
      [&](const auto& c) {
        const std::string path = platform::percentEncodedPath(pathOf(c));
        if (routeOf(c).server == Server::api) return apiBase + path;
        return "http://" + std::string(kDeviceManagementHost) + ":" + std::to_string(kDeviceManagementPort) + path;
      },
      value);
}

template <class Case>
HTTPMethod methodOf(const Case& value) {
  return std::visit([](const auto& c) { return routeOf(c).method; }, value);
}

template <class Case>
RequestBody bodyOf(const Case& value, const Encoder& encoder) {
  return std::visit([&](const auto& c) { return Row<std::decay_t<decltype(c)>>::body(c, encoder); }, value);
}

platform::HeaderList headerList(Headers headers, std::string_view token) {
  using Header = platform::HeaderList::value_type;
  const Header authorization{"Authorization", "Bearer " + std::string(token)};
  const Header json{"Content-Type", std::string(kJsonContentType)};
  auto cookie = [](std::string_view value) { return Header{"Cookie", std::string(value)}; };
  switch (headers) {  // no default: a new kind of headers must be handled here
    case Headers::bearerAndJson:
      return {authorization, json};
    case Headers::bearerOnly:
      return {authorization};
    case Headers::usageReport:
      return {authorization, json, cookie(kReportSessionCookie)};
    case Headers::applicationSync:
      return {json, cookie(kSyncSessionCookie), authorization};
  }
  std::unreachable();
}

coding::JSONEncoder snakeCaseEncoder() {
  coding::JSONEncoder encoder;
  encoder.keyEncodingStrategy = coding::KeyEncodingStrategy::convertToSnakeCase;
  return encoder;
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

// ---- ChildEndPoint -------------------------------------------------------------

std::optional<std::string> ChildEndPoint::backendChoice() {
  // A suite that cannot be opened holds no choice: the family host.
  const auto suite = openSharedSuite();
  return suite ? suite->string(std::string(kSchoolFamilyApiAgent)) : std::nullopt;
}

bool ChildEndPoint::schoolChosen() {
  const auto choice = backendChoice();
  return choice && *choice == "school";
}

std::string ChildEndPoint::baseURL() { return baseURL(schoolChosen()); }

std::string ChildEndPoint::baseURL(bool school) { return httpsBase(school ? kSchoolApiHost : kFamilyApiHost); }

platform::HeaderList ChildEndPoint::headers(std::string_view token) const {
  return std::visit([&](const auto& c) { return headerList(routeOf(c).headers, token); }, case_);
}

std::string ChildEndPoint::url() const {
  const std::string base = baseURL();  // determined first, for every case
  return urlOf(case_, base);
}

HTTPMethod ChildEndPoint::httpMethod() const { return methodOf(case_); }

coding::JSONEncoder ChildEndPoint::jsonEncoder() const { return snakeCaseEncoder(); }

RequestBody ChildEndPoint::body() const { return bodyOf(case_, jsonEncoder()); }

std::optional<platform::Data> ChildEndPoint::parameters() const {
  auto encoded = body();
  return encoded ? *encoded : std::nullopt;
}

// ---- ChildEndPointSchool -------------------------------------------------------

std::string ChildEndPointSchool::baseURL() { return httpsBase(kSchoolApiHost); }

std::string ChildEndPointSchool::url() const { return urlOf(case_, baseURL()); }

HTTPMethod ChildEndPointSchool::httpMethod() const { return methodOf(case_); }

coding::JSONEncoder ChildEndPointSchool::jsonEncoder() const { return snakeCaseEncoder(); }

RequestBody ChildEndPointSchool::body() const { return bodyOf(case_, jsonEncoder()); }

std::optional<platform::Data> ChildEndPointSchool::parameters() const {
  auto encoded = body();
  return encoded ? *encoded : std::nullopt;
}

}  // namespace networks
