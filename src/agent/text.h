#pragma once
// How the agent prints bytes it received.
#include <string>

#include "platform/data.h"

namespace agent {

// The bytes as text, or "<UTF8 conversion failed>" when they are not UTF-8.
std::string printableText(const platform::Data& bytes);

}  // namespace agent
