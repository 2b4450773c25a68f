#pragma once
// Table-driven checks of records that must fail to decode: each case's input, the kind
// of failure and the coding path it names; and a record's encoded text.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "coding/codable.h"

namespace testsupport {

template <class T>
std::string encoded(const T& value) {
  return coding::JSONEncoder{}.encode(value).value();
}

struct FailureCase {
  const char* json;
  coding::DecodingError::Kind kind;
  const char* path;
};

// `decode` takes the text and returns a std::expected of the record or DecodingError.
template <class Decode>
void expectFailures(Decode decode, const std::vector<FailureCase>& cases) {
  for (const auto& c : cases) {
    auto result = decode(std::string_view(c.json));
    ASSERT_FALSE(result) << c.json;
    EXPECT_EQ(result.error().kind, c.kind) << c.json << " -> " << result.error().description();
    EXPECT_EQ(result.error().codingPath, c.path) << c.json;
  }
}

}  // namespace testsupport
