#pragma once
// The endpoint table of the service's REST API. Each case names one request and
// carries its data; it answers the request's URL, method, optional body and its
// authorised headers. The school/family host choice and the session cookies live here
// and only here.
#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "coding/codable.h"
#include "networks/app_list_report.h"
#include "networks/location_report.h"
#include "networks/me_model.h"
#include "networks/replies.h"
#include "platform/data.h"
#include "platform/url_session.h"
#include "rules/safe_search_rules.h"

namespace networks {

class HTTPMethod {
 public:
  enum Value { get, post, put, patch };
  constexpr HTTPMethod(Value value) : value_(value) {}
  // Exactly "GET", "POST", "PUT" or "PATCH" (case-sensitive); anything else: none.
  static std::optional<HTTPMethod> fromRawValue(std::string_view text);
  std::string_view rawValue() const;
  constexpr Value value() const { return value_; }
  friend constexpr bool operator==(HTTPMethod a, HTTPMethod b) { return a.value_ == b.value_; }

 private:
  Value value_;
};

// The sign-in request body.
struct PairCodeCheckModel {
  std::string pairCode;
  std::string deviceName;
  std::string platform;
  std::string agentId;

  static constexpr const char* typeName = "PairCodeCheckModel";
  static constexpr auto codingKeys() {
    using T = PairCodeCheckModel;
    return std::tuple{coding::field("pairCode", &T::pairCode), coding::field("deviceName", &T::deviceName),
                      coding::field("platform", &T::platform), coding::field("agentId", &T::agentId)};
  }
};

// The parent-authentication payload.
struct ParentTokenModel {
  std::optional<std::string> pin_code;
  std::optional<std::string> child_id;

  static constexpr const char* typeName = "ParentTokenModel";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("pin_code", &ParentTokenModel::pin_code),
                      coding::field("child_id", &ParentTokenModel::child_id)};
  }
};

// The request body, or why it could not be encoded.
using RequestBody = std::expected<std::optional<platform::Data>, coding::EncodingError>;

// The reply of a case whose reply no record is known for: it is sent only through
// NetworkManager::send(), which hands the raw reply to the caller.
struct RawReply {};

// Each case names one request and carries its data; its `Reply` is what a successful
// reply decodes to (NetworkManager::request() hands that type to the completion), or
// RawReply. Its route and body are its row in child_end_point.cpp.
class ChildEndPoint {
 public:
  struct GetParentToken {
    using Reply = ParentAuthAcceptanceModel;
    ParentTokenModel model;
  };
  struct Check {
    using Reply = RawReply;
    PairCodeCheckModel model;
  };
  struct Register {
    using Reply = RegisterDeviceModel;
    std::string uuid;
  };
  struct SetApplicationList {
    using Reply = RawReply;
    std::string uuid;
  };
  struct SendLocation {
    using Reply = AcceptanceModel;
    std::vector<LocationModel> samples;
  };
  struct SendApplicationList {
    using Reply = AcceptanceModel;
    SendAppListModel report;
  };
  struct DeviceEnrolled {
    using Reply = DeviceEnrolledModel;
  };
  struct Me {
    using Reply = MeModel;
  };
  struct ScreentimeRules {
    using Reply = RawReply;
  };
  struct GetAppRules {
    using Reply = RawReply;
  };
  struct GetSafeSearchRules {
    using Reply = rules::SafeSearchRulesBase;
  };
  // The agent's own requests, sent as built here but with their replies read by their
  // callers: the tick's app and web-content rules (GET, only the token), the usage
  // report and the application-list sync (POST, a body of ready text and a cookie).
  struct SmartAppRules {
    using Reply = RawReply;
  };
  struct WebContentRules {
    using Reply = RawReply;
  };
  struct UsageReport {
    using Reply = RawReply;
    std::string body;
  };
  struct SyncApps {
    using Reply = RawReply;
    std::string body;
  };
  using Case = std::variant<GetParentToken, Check, Register, SetApplicationList, SendLocation, SendApplicationList,
                            DeviceEnrolled, Me, ScreentimeRules, GetAppRules, GetSafeSearchRules, SmartAppRules,
                            WebContentRules, UsageReport, SyncApps>;

  // Any one case.
  ChildEndPoint(Case c) : case_(std::move(c)) {}

  static ChildEndPoint getParentToken(ParentTokenModel model) { return {GetParentToken{std::move(model)}}; }
  static ChildEndPoint check(PairCodeCheckModel model) { return {Check{std::move(model)}}; }
  // register(uuid:) ("register" is reserved in C++).
  static ChildEndPoint register_(std::string uuid) { return {Register{std::move(uuid)}}; }
  static ChildEndPoint setApplicationList(std::string uuid) { return {SetApplicationList{std::move(uuid)}}; }
  static ChildEndPoint sendLocation(std::vector<LocationModel> samples) { return {SendLocation{std::move(samples)}}; }
  static ChildEndPoint sendApplicationList(SendAppListModel report) { return {SendApplicationList{std::move(report)}}; }
  static ChildEndPoint deviceEnrolled() { return {DeviceEnrolled{}}; }
  static ChildEndPoint me() { return {Me{}}; }
  static ChildEndPoint screentimeRules() { return {ScreentimeRules{}}; }
  static ChildEndPoint getAppRules() { return {GetAppRules{}}; }
  static ChildEndPoint getSafeSearchRules() { return {GetSafeSearchRules{}}; }
  static ChildEndPoint smartAppRules() { return {SmartAppRules{}}; }
  static ChildEndPoint webContentRules() { return {WebContentRules{}}; }
  static ChildEndPoint usageReport(std::string body) { return {UsageReport{std::move(body)}}; }
  static ChildEndPoint syncApps(std::string body) { return {SyncApps{std::move(body)}}; }

  // "https://" and the school API host when "SCHOOL_FAMILYAPI_AGENT" in the shared
  // suite is exactly "school", else the family API host; read anew on every call.
  static std::string baseURL();
  // "https://" and the school API host when `school`, else the family API host.
  static std::string baseURL(bool school);
  // The stored "SCHOOL_FAMILYAPI_AGENT" text (none when absent or the suite cannot be
  // opened), and whether it chooses the school host: exactly "school".
  static std::optional<std::string> backendChoice();
  static bool schoolChosen();

  std::string url() const;
  HTTPMethod httpMethod() const;
  // The body: UTF-8 JSON with snake-case keys, or none for a request without one.
  // A body the encoder refuses (a non-finite number) yields none here; see body().
  std::optional<platform::Data> parameters() const;
  // The same body, with an encoder refusal reported instead of dropped.
  RequestBody body() const;
  // A new encoder with the snake-case key conversion.
  coding::JSONEncoder jsonEncoder() const;
  // The headers of the request authorised by `token`, in the order they are sent: the
  // bearer token, then "Content-Type: application/json", for the cases of the request
  // runner; for the agent's own cases as each has always sent them.
  platform::HeaderList headers(std::string_view token) const;

  const Case& value() const { return case_; }

 private:
  Case case_;
};

// The school-only twin of the table: always the school API host; the parent-token
// request carries a list of payloads.
class ChildEndPointSchool {
 public:
  struct GetParentToken {
    using Reply = ParentAuthAcceptanceModel;
    std::vector<ParentTokenModel> models;
  };
  using Check = ChildEndPoint::Check;
  using Register = ChildEndPoint::Register;
  using SetApplicationList = ChildEndPoint::SetApplicationList;
  using SendLocation = ChildEndPoint::SendLocation;
  using DeviceEnrolled = ChildEndPoint::DeviceEnrolled;
  using Me = ChildEndPoint::Me;
  using ScreentimeRules = ChildEndPoint::ScreentimeRules;
  using GetSafeSearchRules = ChildEndPoint::GetSafeSearchRules;
  using Case = std::variant<GetParentToken, Check, Register, SetApplicationList, SendLocation, DeviceEnrolled, Me,
                            ScreentimeRules, GetSafeSearchRules>;

  ChildEndPointSchool(Case c) : case_(std::move(c)) {}

  static std::string baseURL();
  std::string url() const;
  HTTPMethod httpMethod() const;
  std::optional<platform::Data> parameters() const;
  RequestBody body() const;
  coding::JSONEncoder jsonEncoder() const;

  const Case& value() const { return case_; }

 private:
  Case case_;
};

// What a successful reply of the case decodes to.
template <class C>
using ReplyOf = typename C::Reply;
// A case of ChildEndPoint whose reply the request runner decodes.
template <class C>
concept DecodedReplyCase = std::is_constructible_v<ChildEndPoint, C> && !std::is_same_v<ReplyOf<C>, RawReply>;

// Every case of both tables says what its reply is.
template <class Variant>
constexpr bool everyCaseHasAReply = false;
template <class... C>
constexpr bool everyCaseHasAReply<std::variant<C...>> = (requires { typename C::Reply; } && ...);
static_assert(everyCaseHasAReply<ChildEndPoint::Case> && everyCaseHasAReply<ChildEndPointSchool::Case>);

}  // namespace networks

// Methods hash by their case, so equal methods hash alike.
template <>
struct std::hash<networks::HTTPMethod> {
  std::size_t operator()(networks::HTTPMethod method) const noexcept {
    return std::hash<int>{}(static_cast<int>(method.value()));
  }
};
