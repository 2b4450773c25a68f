// The endpoint table: host choice, URLs, methods and bodies.
#include <gtest/gtest.h>

#include <unordered_map>

#include "networks/child_end_point.h"
#include "networks/shared_settings.h"
#include "platform/user_defaults.h"
#include "support/temp_home.h"

namespace networks {
namespace {

const std::string kFamily = "https://" + std::string(kFamilyApiHost);
const std::string kSchool = "https://" + std::string(kSchoolApiHost);
const std::string kDeviceManagement =
    "http://" + std::string(kDeviceManagementHost) + ":" + std::to_string(kDeviceManagementPort);

class ChildEndPointTest : public ::testing::Test {
 protected:
  void setChoice(std::optional<std::string> value) {
    auto suite = platform::UserDefaults::suite(std::string(kAppGroup));
    ASSERT_TRUE(suite);
    if (value) suite->set(std::string(kSchoolFamilyApiAgent), *value);
    else suite->removeObject(std::string(kSchoolFamilyApiAgent));
  }
  static std::string body(const ChildEndPoint& e) {
    auto data = e.parameters();
    return data ? platform::toString(*data) : "<none>";
  }

  testsupport::TempHome home_;
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

TEST_F(ChildEndPointTest, EveryCaseHasItsUrlMethodAndBody) {
  setChoice(std::nullopt);
  const PairCodeCheckModel check{"123456", "Kid's Mac", "macos", "agent-1"};
  const struct {
    ChildEndPoint endPoint;
    std::string url;
    const char* method;
    std::string body;
  } cases[] = {
      {ChildEndPoint::getParentToken({"1234", "c1"}), kFamily + "/api/v1/children/parent-auth", "POST",
       R"({"pin_code":"1234","child_id":"c1"})"},
      {ChildEndPoint::check(check), kFamily + "/api/v1/auth/child/sign-in", "POST",
       R"({"pair_code":"123456","device_name":"Kid's Mac","platform":"macos","agent_id":"agent-1"})"},
      {ChildEndPoint::register_("AB-12"), kDeviceManagement + "/mdm/api/v1/register-device/AB-12", "GET", "<none>"},
      {ChildEndPoint::setApplicationList("AB-12"), kDeviceManagement + "/mdm/api/v1/set-application-list/AB-12", "GET",
       "<none>"},
      {ChildEndPoint::sendLocation({}), kFamily + "/api/v1/children/location", "POST", "[]"},
      {ChildEndPoint::sendApplicationList({}), kFamily + "/api/v1/children/device-apps/sync-apps", "POST", "{}"},
      {ChildEndPoint::deviceEnrolled(), kDeviceManagement + "/mdm/api/v1/device-enrollment", "GET", "<none>"},
      {ChildEndPoint::me(), kFamily + "/api/v1/children", "GET", "<none>"},
      {ChildEndPoint::screentimeRules(), kFamily + "/api/v1/children/rules/screen-time", "GET", "<none>"},
      {ChildEndPoint::getAppRules(), kFamily + "/api/v1/children/rules/app-rules", "GET", "<none>"},
      {ChildEndPoint::getSafeSearchRules(), kFamily + "/api/v1/children/rules/web-rules/safe-search", "GET", "<none>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.endPoint.url(), c.url);
    EXPECT_EQ(c.endPoint.httpMethod().rawValue(), c.method) << c.url;
    EXPECT_EQ(body(c.endPoint), c.body) << c.url;
  }
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

TEST_F(ChildEndPointTest, BodiesOfTheSchoolTwinAndEdgePayloads) {
  EXPECT_EQ(body(ChildEndPoint::getParentToken({})), "{}");
  ChildEndPointSchool parentTokens(ChildEndPointSchool::GetParentToken{{{"1", std::nullopt}, {}}});
  EXPECT_EQ(parentTokens.url(), kSchool + "/api/v1/children/parent-auth");
  EXPECT_EQ(parentTokens.httpMethod().rawValue(), "POST");
  EXPECT_EQ(platform::toString(*parentTokens.parameters()), R"([{"pin_code":"1"},{}])");
  EXPECT_FALSE(ChildEndPointSchool(ChildEndPoint::Me{}).parameters());

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
