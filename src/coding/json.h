#pragma once
// JSON values, parsing and serialisation shared by every record of the agent.
//
// Objects keep their members in insertion order, so an encoded record lists its
// fields in declaration order.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace coding {

using Json = nlohmann::ordered_json;
using Bytes = std::vector<std::uint8_t>;

// Why a value could not be decoded. The kinds follow the usual decoding errors:
// a required key missing, a null where a value is required, a value of another JSON
// type, or input that is not JSON (or not a valid value of an enumeration).
struct DecodingError {
  enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

  Kind kind = Kind::dataCorrupted;
  std::string codingPath;        // e.g. "categoryRules[0].rule.isBlocked"; empty at the top
  std::string debugDescription;  // what was expected and found

  // The short, user-facing text ("The data couldn’t be read because it is missing.").
  std::string localizedDescription() const;
  // The full text: kind, path and detail.
  std::string description() const;
};

struct EncodingError {
  std::string codingPath;
  std::string debugDescription;
  std::string description() const;
};

// Deepest nesting accepted from outside; deeper input is rejected as corrupted
// rather than risking the stack in later recursive walks.
inline constexpr int kMaxDepth = 256;

// Parses one JSON text. A top-level fragment (a bare string, number, true, false or
// null) is accepted; invalid UTF-8, trailing garbage and over-deep nesting are not.
std::expected<Json, DecodingError> parse(std::string_view text);
std::expected<Json, DecodingError> parse(const Bytes& bytes);

// Compact JSON text. Never fails for values this module produces: non-finite numbers
// cannot be stored in a Json made by the encoder, and strings are valid UTF-8.
// Invalid UTF-8 in a string (from a hand-built value) is replaced, not thrown.
std::string serialize(const Json& value);
// Pretty-printed text (two-space indent), for files meant to be read by people.
std::string serializePretty(const Json& value);

// The name of a JSON value's type as decoding errors report it ("a string", "a number", ...).
std::string describeJsonType(const Json& value);

}  // namespace coding
