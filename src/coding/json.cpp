#include "coding/json.h"

namespace coding {
namespace {

struct TooDeep {};

}  // namespace

std::string DecodingError::localizedDescription() const {
  switch (kind) {
    case Kind::keyNotFound:
    case Kind::valueNotFound:
      return "The data couldn’t be read because it is missing.";
    case Kind::typeMismatch:
    case Kind::dataCorrupted:
      break;
  }
  return "The data couldn’t be read because it isn’t in the correct format.";
}

std::string DecodingError::description() const {
  const char* name = "dataCorrupted";
  switch (kind) {
    case Kind::keyNotFound:
      name = "keyNotFound";
      break;
    case Kind::valueNotFound:
      name = "valueNotFound";
      break;
    case Kind::typeMismatch:
      name = "typeMismatch";
      break;
    case Kind::dataCorrupted:
      break;
  }
  std::string text = name;
  text += "(codingPath: \"";
  text += codingPath;
  text += "\", debugDescription: \"";
  text += debugDescription;
  text += "\")";
  return text;
}

std::string EncodingError::description() const {
  return "invalidValue(codingPath: \"" + codingPath + "\", debugDescription: \"" + debugDescription + "\")";
}

std::expected<Json, DecodingError> parse(std::string_view text) {
  auto depthGuard = [](int depth, Json::parse_event_t, Json&) {
    if (depth > kMaxDepth) throw TooDeep{};
    return true;
  };
  try {
    return Json::parse(text.begin(), text.end(), depthGuard, /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
  } catch (const TooDeep&) {
    return std::unexpected(DecodingError{
        DecodingError::Kind::dataCorrupted, "",
        "The given data was not valid JSON: nesting deeper than " + std::to_string(kMaxDepth) + " levels."});
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(DecodingError{DecodingError::Kind::dataCorrupted, "",
                                         std::string("The given data was not valid JSON: ") + e.what()});
  }
}

std::expected<Json, DecodingError> parse(const Bytes& bytes) {
  return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string serialize(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string serializePretty(const Json& value) { return value.dump(2, ' ', false, Json::error_handler_t::replace); }

std::string describeJsonType(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "a dictionary";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "a number";
    case Json::value_t::binary:
      return "binary data";
    case Json::value_t::discarded:
      break;
  }
  return "an invalid value";
}

}  // namespace coding
