#pragma once
// The bridge's wire format: one message per direction of one TCP connection.
// "PB" in the bridge's type names is its short name, the "pb" (70 62) that opens every message.
//
//   offset size field
//   0      4    70 62 <major> <minor>         (Protocol::HEADER)
//   4      1    status                         (StatusCode)
//   5      2    reserved, written as 0, never checked
//   7      4    body length, little-endian
//   11     n    body: compact UTF-8 JSON object
//
// The codec is stateless; everything is a static member of Protocol. Readers never
// throw: every short, malformed or mismatched input gives std::nullopt.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace bridge {

using Data = std::vector<std::uint8_t>;
using Json = nlohmann::json;

struct Version {
  static constexpr std::uint8_t major = 1;
  static constexpr std::uint8_t minor = 1;
};

enum class StatusCode : std::uint8_t {
  request = 0,
  goodResponse = 1,
  badResponse = 2,
};

// Nothing for every raw value other than 0, 1 and 2.
std::optional<StatusCode> statusCodeFromRawValue(std::uint8_t raw);

// The bridge's error: a kind and a text. The client reports every failure as
// clientError; the server reports a listener it cannot start as serverError.
class PBError {
 public:
  enum class Kind { serverError, clientError };

  static PBError serverError(std::string text) { return PBError(Kind::serverError, std::move(text)); }
  static PBError clientError(std::string text) { return PBError(Kind::clientError, std::move(text)); }

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  bool isClientError() const { return kind_ == Kind::clientError; }
  bool isServerError() const { return kind_ == Kind::serverError; }

  friend bool operator==(const PBError&, const PBError&) = default;

 private:
  PBError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// What a receiver can tell from the bytes it holds so far.
enum class FrameState {
  incomplete,     // more bytes may still make a whole message
  complete,       // header and the announced body length are in
  invalidHeader,  // magic, version or status byte is wrong: no more bytes can help
  tooLarge,       // the announced body length exceeds Protocol::MAX_BODY_LENGTH
};

struct Request {
  std::string method;
  Json payload;
  friend bool operator==(const Request&, const Request&) = default;
};

struct Response {
  StatusCode status;  // goodResponse or badResponse
  Json value;         // the payload, or the message text for a bad response
  friend bool operator==(const Response&, const Response&) = default;
};

class Protocol {
 public:
  static constexpr std::string_view METHOD = "method";
  static constexpr std::string_view PAYLOAD = "payload";
  static constexpr std::string_view MESSAGE = "message";
  static constexpr std::array<std::uint8_t, 4> HEADER = {0x70, 0x62, Version::major, Version::minor};

  static constexpr std::size_t HEADER_LENGTH = 11;
  // Largest body a receiver accepts. A larger announced length is refused as soon as
  // the header is in, so a peer cannot make us buffer without bound.
  static constexpr std::uint32_t MAX_BODY_LENGTH = 16u * 1024u * 1024u;
  // Deepest nesting of arrays and objects a reader accepts; deeper bodies are
  // malformed (they could exhaust the stack of whoever prints or walks them).
  static constexpr std::size_t MAX_NESTING_DEPTH = 512;

  // Writers. JSON is written compactly; text that is not valid UTF-8 is written
  // with U+FFFD in place of the bad bytes, so writing never fails.
  static Data write(StatusCode status, const Json& body);
  static Data writeRequest(std::string_view method, const Json& payload);
  static Data writeGoodResponse(const Json& payload);
  static Data writeBadResponse(std::string_view message);

  // The body length written in a message's header (0 for fewer than 11 bytes).
  static std::uint32_t announcedLength(std::span<const std::uint8_t> bytes);
  static FrameState frameState(std::span<const std::uint8_t> bytes);

  // Readers over the bytes received so far.
  static std::optional<std::pair<StatusCode, Json>> read(std::span<const std::uint8_t> bytes);
  static std::optional<Request> readRequest(std::span<const std::uint8_t> bytes);
  static std::optional<Response> readResponse(std::span<const std::uint8_t> bytes);
};

// The prefix followed by the data; the data alone when there is no prefix.
Data prefix_data(std::span<const std::uint8_t> data, const std::optional<Data>& with);
// Same result, appending to the prefix's own storage: a receive loop that hands its
// buffer back in grows one buffer instead of copying everything on every chunk.
Data prefix_data(std::span<const std::uint8_t> data, std::optional<Data>&& with);

}  // namespace bridge
