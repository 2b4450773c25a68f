#include "channel/command_payloads.h"

namespace channel {

namespace {

bool holdsBinary(const nlohmann::json& value) {
  if (value.is_binary()) return true;
  if (value.is_array() || value.is_object()) {
    for (const auto& element : value) {
      if (holdsBinary(element)) return true;
    }
  }
  return false;
}

}  // namespace

coding::JSONDecoder makePayloadDecoder() {
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::convertFromSnakeCase();
  return decoder;
}

std::expected<std::string, PayloadError> serializeFragment(const nlohmann::json& element) {
  if (holdsBinary(element)) {
    return std::unexpected(PayloadError{PayloadError::Kind::serialization, "Invalid type in JSON write (Data)"});
  }
  try {
    return element.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception& failure) {
    return std::unexpected(PayloadError{PayloadError::Kind::serialization, failure.what()});
  }
}

}  // namespace channel
