#include "socketio/packet.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace sio {
namespace {

using json = nlohmann::json;

// Deeper nesting than this is refused: nlohmann's dump and our own walks recurse.
constexpr std::size_t kMaxDepth = 512;

std::unexpected<CodecError> fail(std::string message) { return std::unexpected(CodecError{std::move(message)}); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Greatest bracket depth of a JSON text, ignoring brackets inside strings.
std::size_t nestingDepth(std::string_view text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::expected<json, CodecError> parseJson(std::string_view text) {
  if (nestingDepth(text) > kMaxDepth) {
    return fail("JSON nested too deeply");
  }
  json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    return fail("invalid JSON");
  }
  return value;
}

std::string dumpJson(const json& value) {
  // Replace invalid UTF-8 rather than throw: the data may come from any caller.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

template <class T>
std::optional<T> parseNumber(std::string_view digits) {
  T value{};
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{} || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

bool isPlaceholder(const json& value) {
  if (!value.is_object()) {
    return false;
  }
  auto flag = value.find("_placeholder");
  return flag != value.end() && flag->is_boolean() && flag->get<bool>();
}

std::expected<json, CodecError> fillPlaceholders(const json& value, const std::vector<Bytes>& attachments,
                                                 std::size_t depth) {
  if (depth > kMaxDepth) {
    return fail("JSON nested too deeply");
  }
  if (isPlaceholder(value)) {
    auto num = value.find("num");
    if (num == value.end() || !num->is_number_integer()) {
      return fail("placeholder without a valid number");
    }
    auto index = num->get<std::int64_t>();
    if (index < 0 || static_cast<std::uint64_t>(index) >= attachments.size()) {
      return fail("placeholder number out of range");
    }
    return json::binary(attachments[static_cast<std::size_t>(index)]);
  }
  if (value.is_array()) {
    json out = json::array();
    for (const auto& item : value) {
      auto filled = fillPlaceholders(item, attachments, depth + 1);
      if (!filled) {
        return filled;
      }
      out.push_back(std::move(*filled));
    }
    return out;
  }
  if (value.is_object()) {
    json out = json::object();
    for (auto it = value.begin(); it != value.end(); ++it) {
      auto filled = fillPlaceholders(it.value(), attachments, depth + 1);
      if (!filled) {
        return filled;
      }
      out[it.key()] = std::move(*filled);
    }
    return out;
  }
  return value;
}

// Replaces binary values by placeholders, collecting the bytes in order.
json extractBinary(const json& value, std::vector<Bytes>& out, std::size_t depth) {
  if (value.is_binary()) {
    json placeholder = {{"_placeholder", true}, {"num", out.size()}};
    const auto& bin = value.get_binary();
    out.emplace_back(bin.begin(), bin.end());
    return placeholder;
  }
  if (depth > kMaxDepth) {
    return value;  // dump replaces nothing here; the text stays as given
  }
  if (value.is_array()) {
    json result = json::array();
    for (const auto& item : value) {
      result.push_back(extractBinary(item, out, depth + 1));
    }
    return result;
  }
  if (value.is_object()) {
    json result = json::object();
    for (auto it = value.begin(); it != value.end(); ++it) {
      result[it.key()] = extractBinary(it.value(), out, depth + 1);
    }
    return result;
  }
  return value;
}

bool containsBinary(const json& value, std::size_t depth = 0) {
  if (value.is_binary()) {
    return true;
  }
  if (depth > kMaxDepth || !value.is_structured()) {
    return false;
  }
  for (const auto& item : value) {
    if (containsBinary(item, depth + 1)) {
      return true;
    }
  }
  return false;
}

std::optional<CodecError> validatePayload(PacketType type, const json& data) {
  switch (type) {
    case PacketType::connect:
      if (!data.is_null() && !data.is_object()) {
        return CodecError{"connect payload must be an object"};
      }
      return std::nullopt;
    case PacketType::disconnect:
      if (!data.is_null()) {
        return CodecError{"disconnect packet carries no payload"};
      }
      return std::nullopt;
    case PacketType::connectError:
      if (!data.is_object() && !data.is_string()) {
        return CodecError{"connect error payload must be an object or a text"};
      }
      return std::nullopt;
    case PacketType::event:
    case PacketType::binaryEvent:
      if (!data.is_array() || data.empty() || !data.front().is_string()) {
        return CodecError{"event data must be an array starting with the event name"};
      }
      return std::nullopt;
    case PacketType::ack:
    case PacketType::binaryAck:
      if (!data.is_array()) {
        return CodecError{"ack data must be an array"};
      }
      return std::nullopt;
  }
  return CodecError{"unknown packet type"};
}

}  // namespace

// ---- Engine.IO ----------------------------------------------------------

std::expected<EnginePacket, CodecError> decodeEnginePacket(std::string_view frame) {
  if (frame.empty()) {
    return fail("empty Engine.IO packet");
  }
  char type = frame.front();
  if (type < '0' || type > '6') {
    return fail("unknown Engine.IO packet type");
  }
  return EnginePacket{static_cast<EnginePacketType>(type), std::string(frame.substr(1))};
}

std::string encodeEnginePacket(const EnginePacket& packet) {
  std::string out;
  out.reserve(packet.data.size() + 1);
  out.push_back(static_cast<char>(packet.type));
  out += packet.data;
  return out;
}

std::expected<OpenInfo, CodecError> decodeOpen(std::string_view text) {
  auto parsed = parseJson(text);
  if (!parsed) {
    return std::unexpected(parsed.error());
  }
  const json& value = *parsed;
  if (!value.is_object()) {
    return fail("open packet must be an object");
  }
  OpenInfo info;
  auto sid = value.find("sid");
  if (sid == value.end() || !sid->is_string() || sid->get_ref<const std::string&>().empty()) {
    return fail("open packet without sid");
  }
  info.sid = sid->get<std::string>();
  // maxPayload: optional, a non-negative integer.
  auto readBytes = [&](const char* key, std::int64_t& field) -> bool {
    auto it = value.find(key);
    if (it == value.end()) {
      return true;
    }
    if (!it->is_number_integer() || it->get<std::int64_t>() < 0) {
      return false;
    }
    field = it->get<std::int64_t>();
    return true;
  };
  // A ping setting: any number, clamped (a huge or negative value must not
  // overflow the ping watch, which adds the two).
  auto readPing = [&](const char* key, std::int64_t& field) -> bool {
    auto it = value.find(key);
    if (it == value.end() || !it->is_number()) {
      return false;
    }
    // Read as a double, whatever kind of number: every value inside the range
    // is exact there, and the clamp takes care of the rest.
    double millis = it->get<double>();
    if (std::isnan(millis)) {
      return false;
    }
    field = static_cast<std::int64_t>(
        std::clamp(millis, static_cast<double>(kPingMillisMin), static_cast<double>(kPingMillisMax)));
    return true;
  };
  if (!readPing("pingInterval", info.pingInterval) || !readPing("pingTimeout", info.pingTimeout)) {
    return fail("open packet without valid pingInterval/pingTimeout");
  }
  if (!readBytes("maxPayload", info.maxPayload)) {
    return fail("open packet with invalid maxPayload");
  }
  if (auto up = value.find("upgrades"); up != value.end() && up->is_array()) {
    for (const auto& item : *up) {
      if (item.is_string()) {
        info.upgrades.push_back(item.get<std::string>());
      }
    }
  }
  return info;
}

std::chrono::milliseconds pingWatchDelay(const OpenInfo& info) {
  // Clamped again for an OpenInfo made by hand; decodeOpen's values pass unchanged.
  auto clamp = [](std::int64_t millis) { return std::clamp(millis, kPingMillisMin, kPingMillisMax); };
  return std::chrono::milliseconds(clamp(info.pingInterval) + clamp(info.pingTimeout));
}

// ---- Socket.IO ----------------------------------------------------------

EncodedPacket encodePacket(const Packet& packet) {
  EncodedPacket out;
  PacketType type = packet.type;
  json data = packet.data;
  if ((type == PacketType::event || type == PacketType::ack || type == PacketType::binaryEvent ||
       type == PacketType::binaryAck) &&
      containsBinary(data)) {
    data = extractBinary(packet.data, out.attachments, 0);
    type = (type == PacketType::event || type == PacketType::binaryEvent) ? PacketType::binaryEvent
                                                                          : PacketType::binaryAck;
  } else if (type == PacketType::binaryEvent) {
    type = PacketType::event;
  } else if (type == PacketType::binaryAck) {
    type = PacketType::ack;
  }
  out.text.push_back(static_cast<char>('0' + static_cast<int>(type)));
  if (type == PacketType::binaryEvent || type == PacketType::binaryAck) {
    out.text += std::to_string(out.attachments.size());
    out.text.push_back('-');
  }
  if (!packet.nsp.empty() && packet.nsp != "/") {
    out.text += packet.nsp;
    out.text.push_back(',');
  }
  if (packet.id) {
    out.text += std::to_string(*packet.id);
  }
  if (!data.is_null()) {
    out.text += dumpJson(data);
  }
  return out;
}

std::expected<PacketHeader, CodecError> decodePacketText(std::string_view text) {
  if (text.empty()) {
    return fail("empty Socket.IO packet");
  }
  if (!isDigit(text[0]) || text[0] > '6') {
    return fail("unknown Socket.IO packet type");
  }
  PacketHeader header;
  Packet& packet = header.packet;
  packet.type = static_cast<PacketType>(text[0] - '0');
  std::size_t i = 1;

  if (packet.type == PacketType::binaryEvent || packet.type == PacketType::binaryAck) {
    std::size_t start = i;
    while (i < text.size() && isDigit(text[i])) {
      ++i;
    }
    if (i == start || i >= text.size() || text[i] != '-') {
      return fail("binary packet without a valid attachment count");
    }
    auto count = parseNumber<std::size_t>(text.substr(start, i - start));
    if (!count || *count > kMaxAttachments) {
      return fail("binary packet with too many attachments");
    }
    header.attachments = *count;
    ++i;  // the '-'
  }

  if (i < text.size() && text[i] == '/') {
    std::size_t start = i;
    while (i < text.size() && text[i] != ',') {
      ++i;
    }
    packet.nsp = std::string(text.substr(start, i - start));
    if (i < text.size()) {
      ++i;  // the ','
    }
  }

  if (i < text.size() && isDigit(text[i])) {
    std::size_t start = i;
    while (i < text.size() && isDigit(text[i])) {
      ++i;
    }
    auto id = parseNumber<std::uint64_t>(text.substr(start, i - start));
    if (!id) {
      return fail("packet id out of range");
    }
    packet.id = *id;
  }

  if (i < text.size()) {
    auto parsed = parseJson(text.substr(i));
    if (!parsed) {
      return std::unexpected(parsed.error());
    }
    packet.data = std::move(*parsed);
  }

  if (auto invalid = validatePayload(packet.type, packet.data)) {
    return std::unexpected(*invalid);
  }
  if ((packet.type == PacketType::ack || packet.type == PacketType::binaryAck) && !packet.id) {
    return fail("ack packet without an id");
  }
  return header;
}

std::expected<nlohmann::json, CodecError> reconstructBinary(const nlohmann::json& data,
                                                            const std::vector<Bytes>& attachments) {
  return fillPlaceholders(data, attachments, 0);
}

std::expected<std::optional<Packet>, CodecError> PacketDecoder::feedText(std::string_view text) {
  reset();
  auto header = decodePacketText(text);
  if (!header) {
    return std::unexpected(header.error());
  }
  bool binary = header->packet.type == PacketType::binaryEvent || header->packet.type == PacketType::binaryAck;
  if (!binary) {
    return std::optional<Packet>(std::move(header->packet));
  }
  if (header->attachments == 0) {
    auto filled = reconstructBinary(header->packet.data, {});
    if (!filled) {
      return std::unexpected(filled.error());
    }
    header->packet.data = std::move(*filled);
    return std::optional<Packet>(std::move(header->packet));
  }
  pending_ = std::move(*header);
  return std::optional<Packet>();
}

std::expected<std::optional<Packet>, CodecError> PacketDecoder::feedBinary(Bytes bytes) {
  if (!pending_) {
    return fail("binary frame without a binary packet");
  }
  received_.push_back(std::move(bytes));
  if (received_.size() < pending_->attachments) {
    return std::optional<Packet>();
  }
  PacketHeader header = std::move(*pending_);
  std::vector<Bytes> attachments = std::move(received_);
  reset();
  auto filled = reconstructBinary(header.packet.data, attachments);
  if (!filled) {
    return std::unexpected(filled.error());
  }
  header.packet.data = std::move(*filled);
  return std::optional<Packet>(std::move(header.packet));
}

void PacketDecoder::reset() {
  pending_.reset();
  received_.clear();
}

Packet makeConnect(std::string nsp, nlohmann::json payload) {
  return Packet{PacketType::connect, std::move(nsp), std::nullopt, std::move(payload)};
}

Packet makeAck(std::uint64_t id, std::vector<nlohmann::json> items, std::string nsp) {
  return Packet{PacketType::ack, std::move(nsp), id, json(std::move(items))};
}

Packet makeEvent(std::string event, std::vector<nlohmann::json> items, std::optional<std::uint64_t> id,
                 std::string nsp) {
  json data = json::array();
  data.push_back(std::move(event));
  for (auto& item : items) {
    data.push_back(std::move(item));
  }
  return Packet{PacketType::event, std::move(nsp), id, std::move(data)};
}

}  // namespace sio
