// Fuzzes the property-list reader behind the user defaults with what a preferences file
// could hold: the child's account can write any bytes there, XML or binary.
// Properties beyond "no crash, no sanitizer report":
//   - nothing nested deeper than the limit, nor of more nodes than the limit, is ever
//     returned;
//   - a dictionary that reads is written out by the stores' writer, and what they wrote
//     reads back as the same dictionary.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "fuzz_check.h"
#include "platform/user_defaults.h"

namespace {

using platform::PlistValue;

std::size_t depthOf(const PlistValue& value) {
  std::size_t deepest = 0;
  if (const auto* array = value.get<PlistValue::Array>()) {
    for (const auto& item : *array) deepest = std::max(deepest, depthOf(item));
    return deepest + 1;
  }
  if (const auto* dictionary = value.get<PlistValue::Dictionary>()) {
    for (const auto& [key, item] : *dictionary) deepest = std::max(deepest, depthOf(item));
    return deepest + 1;
  }
  return 0;
}

// Values and keys, the root included, as the reader counts them.
std::size_t nodesOf(const PlistValue& value) {
  std::size_t nodes = 1;
  if (const auto* array = value.get<PlistValue::Array>()) {
    for (const auto& item : *array) nodes += nodesOf(item);
  }
  if (const auto* dictionary = value.get<PlistValue::Dictionary>()) {
    for (const auto& [key, item] : *dictionary) nodes += 1 + nodesOf(item);
  }
  return nodes;
}

// Equality in which a NaN equals a NaN, as a second trip keeps it.
bool same(const PlistValue& a, const PlistValue& b) {
  if (a.storage().index() != b.storage().index()) return false;
  if (const auto* x = a.get<double>()) {
    const double y = *b.get<double>();
    return (std::isnan(*x) && std::isnan(y)) || *x == y;
  }
  if (const auto* x = a.get<PlistValue::Array>()) {
    const auto& y = *b.get<PlistValue::Array>();
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if (!same((*x)[i], y[i])) return false;
    }
    return true;
  }
  if (const auto* x = a.get<PlistValue::Dictionary>()) {
    const auto& y = *b.get<PlistValue::Dictionary>();
    if (x->size() != y.size()) return false;
    for (auto i = x->begin(), j = y.begin(); i != x->end(); ++i, ++j) {
      if (i->first != j->first || !same(i->second, j->second)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto read = platform::propertylist::read(bytes);
  if (!read) return 0;
  const PlistValue root(*read);
  FUZZ_CHECK(depthOf(root) <= platform::propertylist::kDeepestNesting);
  FUZZ_CHECK(nodesOf(root) <= platform::propertylist::kMostNodes);

  const auto written = platform::propertylist::writeXML(*read);
  FUZZ_CHECK(written.has_value());
  const auto again = platform::propertylist::read(*written);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(same(root, PlistValue(*again)));
  return 0;
}
