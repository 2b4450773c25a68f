#include "coding/json.h"

namespace coding {
namespace {

// Whether the text's brackets, outside strings, nest deeper than kMaxDepth. Looked at
// before parsing, so that the parser needs no callback: nlohmann's callback parser looks
// through the enclosing container at the end of every object and array in it, which
// makes an array of many objects cost the square of its length.
bool nestsTooDeep(std::string_view text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

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
  if (nestsTooDeep(text)) {
    return std::unexpected(DecodingError{
        DecodingError::Kind::dataCorrupted, "",
        "The given data was not valid JSON: nesting deeper than " + std::to_string(kMaxDepth) + " levels."});
  }
  try {
    return Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
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
