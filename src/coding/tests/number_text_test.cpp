#include "coding/number_text.h"

#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

namespace coding {
namespace {

TEST(NumberTextTest, DoubleDescriptionTable) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {12.0, "12.0"},
      {-0.5, "-0.5"},
      {1e-05, "1e-05"},
      {-1.5e-07, "-1.5e-07"},
      {0.0001, "0.0001"},
      {0.0, "0.0"},
      {52.520008, "52.520008"},
      {13.404954, "13.404954"},
      {-122.4194155, "-122.4194155"},
      {0.1, "0.1"},
      {123456789.0, "123456789.0"},
      {9007199254740991.0, "9007199254740991.0"},
      {9007199254740992.0, "9.007199254740992e+15"},
      {1e16, "1e+16"},
      {1e300, "1e+300"},
      {1700000000123.456, "1700000000123.456"},
  };
  for (const auto& c : cases) EXPECT_EQ(doubleDescription(c.value), c.text) << c.text;
}

TEST(NumberTextTest, TextReadsBackToTheSameDouble) {
  const double values[] = {0.1 + 0.2, 1.0 / 3.0, -2.5e-300, 4.9e-324, 1.7976931348623157e308, 77.777777777777};
  for (double v : values) EXPECT_EQ(std::strtod(doubleDescription(v).c_str(), nullptr), v) << doubleDescription(v);
}

TEST(NumberTextTest, NonFinite) {
  EXPECT_EQ(doubleDescription(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(doubleDescription(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(doubleDescription(std::numeric_limits<double>::quiet_NaN()), "nan");
}

}  // namespace
}  // namespace coding
