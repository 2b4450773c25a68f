#include "agent/text.h"

#include "platform/text.h"

namespace agent {

std::string printableText(const platform::Data& bytes) {
  return platform::isValidUTF8(bytes) ? platform::toString(bytes) : "<UTF8 conversion failed>";
}

}  // namespace agent
