#pragma once
// Small text helpers of the agent: UTF-8 checks, file-URL escaping.
#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"

namespace agent {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values
// beyond U+10FFFF).
bool isValidUTF8(std::string_view bytes);
bool isValidUTF8(const platform::Data& bytes);
// The bytes as text, or "<UTF8 conversion failed>" when they are not UTF-8.
std::string printableText(const platform::Data& bytes);
// A path as a file URL's text holds it: unreserved characters, "/" and the
// sub-delimiters stay, everything else is percent-encoded.
std::string percentEncodedPath(std::string_view path);

}  // namespace agent
