#pragma once
// Text checks and escapes that more than one layer needs: whether bytes are UTF-8, and
// a path as a URL holds it.
#include <string>
#include <string_view>

#include "platform/data.h"

namespace platform {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values
// beyond U+10FFFF).
bool isValidUTF8(std::string_view bytes);
bool isValidUTF8(const Data& bytes);

// A path as a URL's path holds it: letters, digits, "-._~", "/" and the characters
// "!$&'()*+,;=:@" stay, every other byte is percent-encoded with upper-case hex.
std::string percentEncodedPath(std::string_view path);

// The text of the file URL of an absolute path: "file://" and the encoded path.
std::string fileURLText(std::string_view path);

}  // namespace platform
