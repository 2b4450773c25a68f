#pragma once
// What travels on the command channel: the payloads the server's commands carry and
// the acknowledgement sent back. Every payload is read the same way: the event's
// first data element is written out as JSON text (a bare string, number, boolean or
// null is allowed) and decoded with keys converted from snake case, so "is_block" and
// "isBlock" both fill `isBlock`.
#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "coding/codable.h"
#include "rules/instant_block.h"

namespace channel {

// Live-location settings pushed with "live_location".
struct LiveLocationRule {
  std::int64_t distance = 0;  // distance setting of live mode
  double duration = 0;        // length of the live period, milliseconds
  double interval = 0;        // time between live reports, milliseconds

  static constexpr const char* typeName = "LiveLocationRule";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("distance", &LiveLocationRule::distance),
                      coding::field("duration", &LiveLocationRule::duration),
                      coding::field("interval", &LiveLocationRule::interval)};
  }
  bool operator==(const LiveLocationRule&) const = default;
};

// The payload of "child_restriction"; the value is not used.
struct ExpirationModel {
  bool isBlock = false;

  static constexpr const char* typeName = "ExpirationModel";
  static constexpr auto codingKeys() { return std::tuple{coding::field("isBlock", &ExpirationModel::isBlock)}; }
  bool operator==(const ExpirationModel&) const = default;
};

// The payload of "session_termination"; the value is not used.
struct AppDeletion {
  bool deleted = false;

  static constexpr const char* typeName = "AppDeletion";
  static constexpr auto codingKeys() { return std::tuple{coding::field("deleted", &AppDeletion::deleted)}; }
  bool operator==(const AppDeletion&) const = default;
};

// The acknowledgement item; the channel always sends status "ok".
struct Acknowledge {
  std::string status;

  explicit Acknowledge(std::string value) : status(std::move(value)) {}
  // What the Socket.IO client sends: {"status": status}.
  std::map<std::string, std::string> socketRepresentation() const { return {{"status", status}}; }
};

// Why a payload could not be read.
struct PayloadError {
  enum class Kind { serialization, decoding };
  Kind kind = Kind::decoding;
  std::string debugDescription;
};

// The decoder every command payload goes through (keys converted from snake case).
coding::JSONDecoder makePayloadDecoder();

// Writes one event data element as JSON text, fragments allowed. Fails for a value
// JSON text cannot hold (a binary attachment, a text that is not UTF-8).
std::expected<std::string, PayloadError> serializeFragment(const nlohmann::json& element);

// The decoding path of every payload: serialise the element, then decode the text.
template <class T>
std::expected<T, PayloadError> decodePayload(const nlohmann::json& element, const coding::JSONDecoder& decoder) {
  auto text = serializeFragment(element);
  if (!text) return std::unexpected(text.error());
  auto decoded = decoder.decode<T>(std::string_view(*text));
  if (!decoded) return std::unexpected(PayloadError{PayloadError::Kind::decoding, decoded.error().description()});
  return std::move(*decoded);
}

// The payloads the commands carry. Each has its row in the command table
// (socket_handler.cpp), which does not compile otherwise.
using Payloads = std::tuple<rules::InstantBlock, LiveLocationRule, ExpirationModel, AppDeletion>;

// What a command carries whose data must be present but is not read (its value is not
// used): `T`, one of Payloads, or nothing named.
struct NothingNamed {};
template <class T = NothingNamed>
struct Unread {};

}  // namespace channel
