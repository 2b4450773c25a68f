// Coding of the report bodies and replies exchanged with the service.
#include <gtest/gtest.h>

#include "coding/codable.h"
#include "networks/app_list_report.h"
#include "networks/location_report.h"
#include "networks/me_model.h"
#include "networks/replies.h"

namespace networks {
namespace {

coding::JSONEncoder snakeEncoder() {
  coding::JSONEncoder encoder;
  encoder.keyEncodingStrategy = coding::KeyEncodingStrategy::convertToSnakeCase;
  return encoder;
}

coding::JSONDecoder snakeDecoder() {
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::convertFromSnakeCase();
  return decoder;
}

TEST(RecordsTest, AcceptanceModelStatusIsOptionalButTyped) {
  coding::JSONDecoder decoder;
  const struct {
    const char* json;
    bool ok;
    std::optional<std::int64_t> status;
  } cases[] = {
      {R"({"message":"ok"})", true, std::nullopt},
      {R"({"message":"ok","status":null})", true, std::nullopt},
      {R"({"message":"ok","status":201,"extra":[1]})", true, 201},
      {R"({"status":200})", false, std::nullopt},
      {R"({"message":"ok","status":"200"})", false, std::nullopt},
      {R"({"message":7})", false, std::nullopt},
  };
  for (const auto& c : cases) {
    auto result = decoder.decode<AcceptanceModel>(std::string_view(c.json));
    ASSERT_EQ(result.has_value(), c.ok) << c.json;
    if (c.ok) {
      EXPECT_EQ(result->status, c.status) << c.json;
    }
  }
  EXPECT_EQ(coding::JSONEncoder().encode(AcceptanceModel{"m", std::nullopt}).value(), R"({"message":"m"})");
}

TEST(RecordsTest, DeviceLoginModelKeysAreTheFieldNames) {
  const DeviceLoginModel login{"t", "p", "c", "child", "d"};
  const std::string text = coding::JSONEncoder().encode(login).value();
  EXPECT_EQ(text, R"({"token":"t","parentId":"p","childId":"c","role":"child","deviceId":"d"})");
  coding::JSONDecoder decoder;
  EXPECT_EQ(decoder.decode<DeviceLoginModel>(std::string_view(text)).value(), login);
  EXPECT_FALSE(
      decoder.decode<DeviceLoginModel>(std::string_view(R"({"token":"t","parentId":"p","childId":"c","role":"r"})")));
  EXPECT_FALSE(decoder.decode<DeviceLoginModel>(
      std::string_view(R"({"token":"t","parent_id":"p","childId":"c","role":"r","deviceId":"d"})")));
  EXPECT_NE(login, (DeviceLoginModel{"t", "p", "c", "parent", "d"}));
}

TEST(RecordsTest, AppListReportWireForm) {
  const auto encoder = snakeEncoder();
  EXPECT_EQ(encoder.encode(SendAppListModel{}).value(), "{}");
  EXPECT_EQ(encoder.encode(SendAppListModel{std::vector<Norule>{}, std::nullopt, std::nullopt}).value(),
            R"({"norules":[]})");
  EXPECT_EQ(encoder.encode(Allowed{std::nullopt, 0, std::nullopt, std::nullopt, std::nullopt}).value(),
            R"({"first_installed_time":0})");
  EXPECT_EQ(encoder.encode(Allowed{}).value(), "{}");

  const SendAppListModel report{std::vector<Norule>{{"Text Editor", "org.example.TextEditor"}},
                                std::vector<Allowed>{{"System", 0, "com.apple.placeholder", "22222", "empty"}},
                                std::vector<Blocked>{{"System Extentions", "com.apple.placeholder", "empty"}}};
  const std::string text = encoder.encode(report).value();
  EXPECT_EQ(
      text,
      R"({"norules":[{"name":"Text Editor","pk":"org.example.TextEditor"}],)"
      R"("allowed":[{"name":"System","first_installed_time":0,"pk":"com.apple.placeholder","current_version":"22222","icon":"empty"}],)"
      R"("blocked":[{"name":"System Extentions","pk":"com.apple.placeholder","icon":"empty"}]})");

  // Snake-case decoding reads back what was written; a plain decoder misses the two
  // converted keys.
  auto back = snakeDecoder().decode<SendAppListModel>(std::string_view(text));
  ASSERT_TRUE(back);
  EXPECT_EQ(coding::JSONEncoder().encode(*back).value(), coding::JSONEncoder().encode(report).value());
  auto plain = coding::JSONDecoder().decode<SendAppListModel>(std::string_view(text));
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->allowed->at(0).firstInstalledTime);

  EXPECT_FALSE(coding::JSONDecoder().decode<SendAppListModel>(std::string_view(R"({"allowed":"x"})")));
  EXPECT_FALSE(coding::JSONDecoder().decode<SendAppListModel>(std::string_view(R"({"allowed":null})"))->allowed);
}

TEST(RecordsTest, LocationReportWireForm) {
  const std::vector<LocationModel> samples{{"13.404954", "-52.5", 1700000000123.456, {10.0f, false, 100}}};
  const std::string text = snakeEncoder().encode(samples).value();
  EXPECT_EQ(text, R"([{"long":"13.404954","lat":"-52.5","time":1700000000123.456,)"
                  R"("meta_data":{"accuracy":10,"battery_is_charging":false,"battery_percentage":100}}])");
  EXPECT_EQ(snakeEncoder().encode(std::vector<LocationModel>{}).value(), "[]");

  auto back = snakeDecoder().decode<std::vector<LocationModel>>(std::string_view(text));
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 1u);
  EXPECT_EQ(back->at(0).long_, "13.404954");
  EXPECT_EQ(back->at(0).time, 1700000000123.456);
  EXPECT_EQ(back->at(0).metaData.batteryPercentage, 100);

  const struct {
    const char* json;
    coding::DecodingError::Kind kind;
  } failures[] = {
      {R"([{"long":"1","lat":"2","time":3}])", coding::DecodingError::Kind::keyNotFound},
      {R"([{"long":1,"lat":"2","time":3,"meta_data":{}}])", coding::DecodingError::Kind::typeMismatch},
      {R"([{"long":"1","lat":"2","time":"3","meta_data":{}}])", coding::DecodingError::Kind::typeMismatch},
      {R"([{"long":"1","lat":null,"time":3,"meta_data":{}}])", coding::DecodingError::Kind::valueNotFound},
      // An accuracy beyond a float's range would read as infinity.
      {R"([{"long":"1","lat":"2","time":3,"meta_data":{"accuracy":1e300,"battery_is_charging":false,"battery_percentage":1}}])",
       coding::DecodingError::Kind::dataCorrupted},
      {R"([{"long":"1","lat":"2","time":3,"meta_data":{"accuracy":-1e39,"battery_is_charging":false,"battery_percentage":1}}])",
       coding::DecodingError::Kind::dataCorrupted},
  };
  for (const auto& f : failures) {
    auto result = snakeDecoder().decode<std::vector<LocationModel>>(std::string_view(f.json));
    ASSERT_FALSE(result) << f.json;
    EXPECT_EQ(result.error().kind, f.kind) << f.json;
  }
  // The non-finite time a broken clock could give is refused, not written as garbage.
  EXPECT_FALSE(snakeEncoder().encode(LocationModel{"0.0", "0.0", 1.0 / 0.0, {}}));
}

TEST(RecordsTest, MeModelDecodesExactKeysAndFailsAsAWhole) {
  coding::JSONDecoder decoder;
  auto empty = decoder.decode<MeModel>(std::string_view("{}"));
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->device);
  EXPECT_EQ(coding::JSONEncoder().encode(*empty).value(), "{}");

  auto withDevice = decoder.decode<MeModel>(std::string_view(
      R"({"parentId":"ignored","parentID":"p","device":{"locationConfigs":{"interval":300},"topics":[]},)"
      R"("profile":{"appBlocker":true},"extra":{"x":1}})"));
  ASSERT_TRUE(withDevice);
  EXPECT_EQ(withDevice->parentID, "p");
  ASSERT_TRUE(withDevice->device);
  EXPECT_EQ(withDevice->device->locationConfigs->interval, 300);
  EXPECT_EQ(withDevice->device->topics, std::vector<std::string>{});
  EXPECT_FALSE(withDevice->profile->AppBlocker);

  auto noTopics = decoder.decode<MeModel>(std::string_view(R"({"device":{}})"));
  ASSERT_TRUE(noTopics);
  EXPECT_FALSE(noTopics->device->topics);  // decoding gives no default

  for (const char* bad :
       {R"({"v":"3"})", R"({"isBlock":1})", R"({"device":{"topics":[1]}})", R"({"profile":{"AppBlocker":"yes"}})",
        R"({"device":{"locationConfigs":{"distance":1.5}}})", R"({"device":[]})"}) {
    EXPECT_FALSE(decoder.decode<MeModel>(std::string_view(bad))) << bad;
  }

  Device built;
  EXPECT_EQ(coding::JSONEncoder().encode(built).value(), R"({"topics":[]})");
}

}  // namespace
}  // namespace networks
