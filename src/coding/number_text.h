#pragma once
// Text forms of numbers.
#include <string>

namespace coding {

// The standard text of a double: the shortest decimal that reads back to the same
// value; whole numbers keep ".0" ("12.0"); values whose magnitude is below 1e-4 (zero
// excepted) or at least 2^53 use exponent form with a signed, two-digit-minimum
// exponent ("1e-05", "1.5e+16"); "inf", "-inf" and "nan" for the non-finite.
std::string doubleDescription(double value);

}  // namespace coding
