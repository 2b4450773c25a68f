#include "coding/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace coding {

std::string doubleDescription(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form: d[.ddd]e±X.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);
  const bool negative = sci[0] == '-';
  if (negative) sci.erase(0, 1);
  const auto e = sci.find('e');
  std::string mantissa = sci.substr(0, e);
  const int exponent = std::atoi(sci.c_str() + e + 1);
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits += c;

  std::string out = negative ? "-" : "";
  const double magnitude = std::fabs(value);
  if (magnitude < 1e-4 || magnitude >= 9007199254740992.0) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int absExp = exponent < 0 ? -exponent : exponent;
    out += exponent < 0 ? "e-" : "e+";
    if (absExp < 10) out += '0';
    out += std::to_string(absExp);
    return out;
  }
  if (exponent < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const auto intDigits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= intDigits) {
      out += digits + std::string(intDigits - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, intDigits) + "." + digits.substr(intDigits);
    }
  }
  return out;
}

}  // namespace coding
