#pragma once
// One location sample of the location report; the report is a JSON array of them.
#include <cstdint>
#include <string>
#include <tuple>

#include "coding/codable.h"

namespace networks {

struct LocationMetaData {
  float accuracy = 0;
  bool batteryIsCharging = false;
  std::int64_t batteryPercentage = 0;

  static constexpr const char* typeName = "LocationMetaData";
  static constexpr auto codingKeys() {
    using T = LocationMetaData;
    return std::tuple{coding::field("accuracy", &T::accuracy),
                      coding::field("batteryIsCharging", &T::batteryIsCharging),
                      coding::field("batteryPercentage", &T::batteryPercentage)};
  }
};

struct LocationModel {
  std::string long_;  // "long": longitude in degrees as decimal text ("long" is a C++ keyword)
  std::string lat;    // latitude in degrees as decimal text
  double time = 0;    // milliseconds since 1970-01-01 00:00:00 UTC
  LocationMetaData metaData;

  static constexpr const char* typeName = "LocationModel";
  static constexpr auto codingKeys() {
    using T = LocationModel;
    return std::tuple{coding::field("long", &T::long_), coding::field("lat", &T::lat), coding::field("time", &T::time),
                      coding::field("metaData", &T::metaData)};
  }
};

}  // namespace networks
