#include "coding/json.h"

namespace coding {
namespace {

struct TooDeep {};

// Builds the value as the library's own parser does, refusing any key, value or nested
// structure inside more than kMaxDepth open structures. The library's callback parser
// would say the same, but it looks through the whole enclosing array after every
// object it ends, which makes a long list of objects cost its length squared.
class DepthGuardedBuilder {
 public:
  explicit DepthGuardedBuilder(Json& result) : builder_(result, /*allow_exceptions=*/true) {}

  bool null() { return inside() && builder_.null(); }
  bool boolean(bool value) { return inside() && builder_.boolean(value); }
  bool number_integer(Json::number_integer_t value) { return inside() && builder_.number_integer(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return inside() && builder_.number_unsigned(value); }
  bool number_float(Json::number_float_t value, const Json::string_t& text) {
    return inside() && builder_.number_float(value, text);
  }
  bool string(Json::string_t& value) { return inside() && builder_.string(value); }
  bool binary(Json::binary_t& value) { return inside() && builder_.binary(value); }
  bool key(Json::string_t& value) { return inside() && builder_.key(value); }
  bool start_object(std::size_t elements) { return open() && builder_.start_object(elements); }
  bool start_array(std::size_t elements) { return open() && builder_.start_array(elements); }
  bool end_object() { return close() && builder_.end_object(); }
  bool end_array() { return close() && builder_.end_array(); }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& error) {
    return builder_.parse_error(position, token, error);
  }

 private:
  bool inside() const {
    if (depth_ > kMaxDepth) throw TooDeep{};
    return true;
  }
  bool open() {
    inside();
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  nlohmann::detail::json_sax_dom_parser<Json> builder_;
  int depth_ = 0;  // structures open around the next event
};

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
  try {
    Json result;
    DepthGuardedBuilder builder(result);
    Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json, /*strict=*/true,
                    /*ignore_comments=*/false);
    return result;
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
