// The endpoint table: host choice, URLs, methods and bodies.
#include <gtest/gtest.h>

#include <set>
#include <unordered_map>
#include <variant>

#include "networks/child_end_point.h"
#include "networks/shared_settings.h"
#include "platform/user_defaults.h"
#include "support/scoped_shared_suite.h"

namespace networks {
namespace {

const std::string kFamily = "https://" + std::string(kFamilyApiHost);
const std::string kSchool = "https://" + std::string(kSchoolApiHost);
const std::string kDeviceManagement =
    "http://" + std::string(kDeviceManagementHost) + ":" + std::to_string(kDeviceManagementPort);

class ChildEndPointTest : public ::testing::Test {
 protected:
  void setChoice(std::optional<std::string> value) {
    if (value) shared_.suite().set(std::string(kSchoolFamilyApiAgent), *value);
    else shared_.suite().removeObject(std::string(kSchoolFamilyApiAgent));
  }
  // The request body as text, "<none>" when there is none (or it cannot be encoded).
  template <class EndPoint>
  static std::string body(const EndPoint& e) {
    auto data = e.parameters();
    return data ? platform::toString(*data) : "<none>";
  }

  testsupport::ScopedSharedSuite shared_;
};

TEST_F(ChildEndPointTest, HostChoiceIsExactlySchoolAndReadAtEachRequest) {
  const struct {
    std::optional<std::string> value;
    const std::string& base;
  } cases[] = {{std::nullopt, kFamily}, {"school", kSchool}, {"School", kFamily},
               {"school ", kFamily},    {"", kFamily},       {"family", kFamily}};
  for (const auto& c : cases) {
    setChoice(c.value);
    EXPECT_EQ(ChildEndPoint::baseURL(), c.base) << c.value.value_or("<absent>");
    EXPECT_EQ(ChildEndPoint::me().url(), c.base + "/api/v1/children") << c.value.value_or("<absent>");
  }
  // The school twin never reads the choice.
  setChoice("family");
  EXPECT_EQ(ChildEndPointSchool(ChildEndPoint::Me{}).url(), kSchool + "/api/v1/children");
}

using Header = platform::HeaderList::value_type;
const Header kBearer{"Authorization", "Bearer tok"};
const Header kJson{"Content-Type", "application/json"};
const Header kReportCookie{
    "Cookie", "connect.sid=s%3AFh3JkP9sQw2ErT6yUi8oLa4SdG7hZx5c.Mn6BvC2xZl9KjH4gFd8SaP3oIu7YtR1eWq5EzA0Ls6D"};
const Header kSyncCookie{
    "Cookie", "connect.sid=s%3AQm7TwLp2Xc9RbN4vHs6KdJ8fYa3GtE5u.Wq4ZrT8nLm2VcX6bHp9KsD3fJy7GtA5eNu1RoYi0Bw8"};

TEST_F(ChildEndPointTest, EveryCaseHasItsUrlMethodHeadersAndBody) {
  setChoice(std::nullopt);
  const PairCodeCheckModel check{"123456", "Kid's Mac", "macos", "agent-1"};
  const platform::HeaderList standard{kBearer, kJson};
  const struct {
    ChildEndPoint endPoint;
    std::string url;
    const char* method;
    platform::HeaderList headers;
    std::string body;
  } cases[] = {
      {ChildEndPoint::getParentToken({"1234", "c1"}), kFamily + "/api/v1/children/parent-auth", "POST", standard,
       R"({"pin_code":"1234","child_id":"c1"})"},
      {ChildEndPoint::check(check), kFamily + "/api/v1/auth/child/sign-in", "POST", standard,
       R"({"pair_code":"123456","device_name":"Kid's Mac","platform":"macos","agent_id":"agent-1"})"},
      {ChildEndPoint::register_("AB-12"), kDeviceManagement + "/mdm/api/v1/register-device/AB-12", "GET", standard,
       "<none>"},
      {ChildEndPoint::setApplicationList("AB-12"), kDeviceManagement + "/mdm/api/v1/set-application-list/AB-12", "GET",
       standard, "<none>"},
      {ChildEndPoint::sendLocation({}), kFamily + "/api/v1/children/location", "POST", standard, "[]"},
      {ChildEndPoint::sendApplicationList({}), kFamily + "/api/v1/children/device-apps/sync-apps", "POST", standard,
       "{}"},
      {ChildEndPoint::deviceEnrolled(), kDeviceManagement + "/mdm/api/v1/device-enrollment", "GET", standard, "<none>"},
      {ChildEndPoint::me(), kFamily + "/api/v1/children", "GET", standard, "<none>"},
      {ChildEndPoint::screentimeRules(), kFamily + "/api/v1/children/rules/screen-time", "GET", standard, "<none>"},
      {ChildEndPoint::getAppRules(), kFamily + "/api/v1/children/rules/app-rules", "GET", standard, "<none>"},
      {ChildEndPoint::getSafeSearchRules(), kFamily + "/api/v1/children/rules/web-rules/safe-search", "GET", standard,
       "<none>"},
      // The agent's own four.
      {ChildEndPoint::smartAppRules(),
       kFamily + "/api/v1/children/device-apps/smart-app-rules",
       "GET",
       {kBearer},
       "<none>"},
      {ChildEndPoint::webContentRules(),
       kFamily + "/api/v1/children/rules/web-rules/web-content",
       "GET",
       {kBearer},
       "<none>"},
      {ChildEndPoint::usageReport("[\n  {}\n]"),
       kFamily + "/api/v1/children/reports",
       "POST",
       {kBearer, kJson, kReportCookie},
       "[\n  {}\n]"},
      {ChildEndPoint::syncApps("[]"),
       kFamily + "/api/v1/children/device-apps/sync-apps",
       "POST",
       {kJson, kSyncCookie, kBearer},
       "[]"},
  };
  std::set<std::size_t> covered;
  for (const auto& c : cases) {
    covered.insert(c.endPoint.value().index());
    EXPECT_EQ(c.endPoint.url(), c.url);
    EXPECT_EQ(c.endPoint.httpMethod().rawValue(), c.method) << c.url;
    EXPECT_EQ(c.endPoint.headers("tok"), c.headers) << c.url;
    EXPECT_EQ(body(c.endPoint), c.body) << c.url;
    EXPECT_TRUE(c.endPoint.body()) << c.url;
  }
  EXPECT_EQ(covered.size(), std::variant_size_v<ChildEndPoint::Case>) << "a case of the table is missing here";
}

TEST_F(ChildEndPointTest, EveryCaseOfTheSchoolTwinHasItsUrlMethodAndBody) {
  setChoice("family");  // never read by the twin
  const PairCodeCheckModel check{"9", "Mac", "macos", "a"};
  using School = ChildEndPointSchool;
  const struct {
    ChildEndPointSchool endPoint;
    std::string url;
    const char* method;
    std::string body;
  } cases[] = {
      {School(School::GetParentToken{{{"1", std::nullopt}, {}}}), kSchool + "/api/v1/children/parent-auth", "POST",
       R"([{"pin_code":"1"},{}])"},
      {School(ChildEndPoint::Check{check}), kSchool + "/api/v1/auth/child/sign-in", "POST",
       R"({"pair_code":"9","device_name":"Mac","platform":"macos","agent_id":"a"})"},
      {School(ChildEndPoint::Register{"u 1"}), kDeviceManagement + "/mdm/api/v1/register-device/u%201", "GET",
       "<none>"},
      {School(ChildEndPoint::SetApplicationList{"u"}), kDeviceManagement + "/mdm/api/v1/set-application-list/u", "GET",
       "<none>"},
      {School(ChildEndPoint::SendLocation{}), kSchool + "/api/v1/children/location", "POST", "[]"},
      {School(ChildEndPoint::DeviceEnrolled{}), kDeviceManagement + "/mdm/api/v1/device-enrollment", "GET", "<none>"},
      {School(ChildEndPoint::Me{}), kSchool + "/api/v1/children", "GET", "<none>"},
      {School(ChildEndPoint::ScreentimeRules{}), kSchool + "/api/v1/children/rules/screen-time", "GET", "<none>"},
      {School(ChildEndPoint::GetSafeSearchRules{}), kSchool + "/api/v1/children/rules/web-rules/safe-search", "GET",
       "<none>"},
  };
  std::set<std::size_t> covered;
  for (const auto& c : cases) {
    covered.insert(c.endPoint.value().index());
    EXPECT_EQ(c.endPoint.url(), c.url);
    EXPECT_EQ(c.endPoint.httpMethod().rawValue(), c.method) << c.url;
    EXPECT_EQ(body(c.endPoint), c.body) << c.url;
  }
  EXPECT_EQ(covered.size(), std::variant_size_v<ChildEndPointSchool::Case>) << "a case of the twin is missing here";
}

TEST_F(ChildEndPointTest, DeviceManagementCasesIgnoreTheHostChoice) {
  for (const char* choice : {"school", "family"}) {
    setChoice(std::string(choice));
    EXPECT_EQ(ChildEndPoint::deviceEnrolled().url(), kDeviceManagement + "/mdm/api/v1/device-enrollment");
    EXPECT_EQ(ChildEndPointSchool(ChildEndPoint::DeviceEnrolled{}).url(),
              kDeviceManagement + "/mdm/api/v1/device-enrollment");
  }
}

TEST_F(ChildEndPointTest, UuidsArePercentEncodedAndNeverStartAQuery) {
  const struct {
    const char* uuid;
    const char* path;
  } cases[] = {
      {"", "/mdm/api/v1/register-device/"},           {"a b?c=d#e", "/mdm/api/v1/register-device/a%20b%3Fc=d%23e"},
      {"100%", "/mdm/api/v1/register-device/100%25"}, {"x/y", "/mdm/api/v1/register-device/x/y"},
      {"ü", "/mdm/api/v1/register-device/%C3%BC"},
  };
  for (const auto& c : cases) {
    const std::string url = ChildEndPoint::register_(c.uuid).url();
    EXPECT_EQ(url, kDeviceManagement + c.path) << c.uuid;
    EXPECT_EQ(url.find('?'), std::string::npos) << c.uuid;
  }
}

TEST_F(ChildEndPointTest, BodiesOfEdgePayloads) {
  EXPECT_EQ(body(ChildEndPoint::getParentToken({})), "{}");

  // A body the encoder refuses is reported, not silently replaced by nothing.
  auto bad = ChildEndPoint::sendLocation({LocationModel{"0.0", "0.0", 0.0 / 0.0, {}}});
  EXPECT_FALSE(bad.body());
  EXPECT_FALSE(bad.parameters());
}

TEST(HTTPMethodTest, RawValuesAreExact) {
  EXPECT_EQ(HTTPMethod::fromRawValue("PATCH"), HTTPMethod(HTTPMethod::patch));
  EXPECT_EQ(HTTPMethod::fromRawValue("PUT"), HTTPMethod(HTTPMethod::put));
  EXPECT_FALSE(HTTPMethod::fromRawValue("get"));
  EXPECT_FALSE(HTTPMethod::fromRawValue("GET "));
  EXPECT_FALSE(HTTPMethod::fromRawValue(""));
  EXPECT_EQ(HTTPMethod(HTTPMethod::post).rawValue(), "POST");
}

TEST(HTTPMethodTest, MethodsKeyAHashedMap) {
  std::unordered_map<HTTPMethod, std::string> names;
  for (const auto method : {HTTPMethod::get, HTTPMethod::post, HTTPMethod::put, HTTPMethod::patch}) {
    names.emplace(method, std::string(HTTPMethod(method).rawValue()));
  }
  names.emplace(*HTTPMethod::fromRawValue("GET"), "again");  // equal to a key already there
  ASSERT_EQ(names.size(), 4u);
  for (const char* raw : {"GET", "POST", "PUT", "PATCH"}) {
    const auto method = HTTPMethod::fromRawValue(raw);
    ASSERT_TRUE(method) << raw;
    EXPECT_EQ(std::hash<HTTPMethod>{}(*method), std::hash<HTTPMethod>{}(HTTPMethod(method->value()))) << raw;
    ASSERT_TRUE(names.contains(*method)) << raw;
    EXPECT_EQ(names.at(*method), raw);
  }
}

}  // namespace
}  // namespace networks
