#pragma once
// Whether two JSON values are the same reading: the same types down to signed and
// unsigned integers (which the library compares equal), the same numbers down to the
// sign of a zero, members in the same order. Shared by the protocol tests and the
// protocol fuzz target, which compare the bridge's body parser with the library's.
#include <algorithm>
#include <cmath>

#include "bridge/protocol.h"

namespace bridge::testsupport {

inline bool sameValue(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_number_float()) {
    const double x = a.get<double>();
    const double y = b.get<double>();
    return x == y && std::signbit(x) == std::signbit(y);
  }
  if (a.is_array()) return std::equal(a.begin(), a.end(), b.begin(), b.end(), sameValue);
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(), other = b.begin(); it != a.end(); ++it, ++other) {
      if (it.key() != other.key() || !sameValue(*it, *other)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace bridge::testsupport
