// Engine.IO 4 and Socket.IO 5 packet encoding and decoding.
//
// Pure functions on strings and byte buffers: no I/O, no threads, no exceptions
// across this interface (malformed input gives a CodecError value).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace sio {

struct CodecError {
  std::string message;
  friend bool operator==(const CodecError&, const CodecError&) = default;
};

using Bytes = std::vector<std::uint8_t>;

// ---- Engine.IO ----------------------------------------------------------

enum class EnginePacketType : char {
  open = '0',
  close = '1',
  ping = '2',
  pong = '3',
  message = '4',
  upgrade = '5',
  noop = '6',
};

// One Engine.IO packet carried in a WebSocket text frame: a type digit then data.
struct EnginePacket {
  EnginePacketType type = EnginePacketType::message;
  std::string data;
  friend bool operator==(const EnginePacket&, const EnginePacket&) = default;
};

std::expected<EnginePacket, CodecError> decodeEnginePacket(std::string_view frame);
std::string encodeEnginePacket(const EnginePacket& packet);

// The handshake carried by the open packet: 0{"sid":...,"pingInterval":...}.
// The server's ping settings (any JSON number) are clamped into
// [kPingMillisMin, kPingMillisMax]: sums of them cannot overflow, and a zero or
// negative value cannot make the ping watch fire at once. Raising a value only
// makes the client wait longer for a ping, never drop a live connection.
inline constexpr std::int64_t kPingMillisMin = 1000;  // one second
inline constexpr std::int64_t kPingMillisMax = std::int64_t{60} * 60 * 1000;  // one hour

struct OpenInfo {
  std::string sid;
  std::vector<std::string> upgrades;
  std::int64_t pingInterval = 25000;  // milliseconds
  std::int64_t pingTimeout = 20000;   // milliseconds
  std::int64_t maxPayload = 1000000;  // bytes
  friend bool operator==(const OpenInfo&, const OpenInfo&) = default;
};

std::expected<OpenInfo, CodecError> decodeOpen(std::string_view json);

// How long the client waits for the server's next ping before it counts the
// connection as lost: pingInterval + pingTimeout.
std::chrono::milliseconds pingWatchDelay(const OpenInfo& info);

// ---- Socket.IO ----------------------------------------------------------

enum class PacketType : int {
  connect = 0,
  disconnect = 1,
  event = 2,
  ack = 3,
  connectError = 4,
  binaryEvent = 5,
  binaryAck = 6,
};

// A Socket.IO packet: <type>[<attachments>-][<nsp>,][<id>][<json>].
// `data` is null when the packet carries no payload. For binary packets the
// attachments are binary JSON values in `data` (in place of their placeholders).
struct Packet {
  PacketType type = PacketType::event;
  std::string nsp = "/";
  std::optional<std::uint64_t> id;
  nlohmann::json data;
  friend bool operator==(const Packet&, const Packet&) = default;
};

// The wire form of a packet: the text (without the Engine.IO "4" prefix) and
// the binary attachments that follow it as separate binary frames.
struct EncodedPacket {
  std::string text;
  std::vector<Bytes> attachments;
};

// Encodes a packet. An event or ack whose data holds binary JSON values is
// sent as a binary event/ack with placeholders; the text alone is enough otherwise.
EncodedPacket encodePacket(const Packet& packet);

// The header of a packet text, before any attachments are known.
struct PacketHeader {
  Packet packet;             // data has placeholders still in place
  std::size_t attachments = 0;
};

// Decodes one packet text. A binary packet comes back with its attachment
// count; its data still holds placeholders (see reconstructBinary).
std::expected<PacketHeader, CodecError> decodePacketText(std::string_view text);

// Replaces every placeholder {"_placeholder":true,"num":k} in `data` by the
// k-th attachment, as a binary JSON value.
std::expected<nlohmann::json, CodecError> reconstructBinary(const nlohmann::json& data,
                                                            const std::vector<Bytes>& attachments);

// Turns text and binary frames (Engine.IO messages, prefix removed) into
// complete packets. A binary packet is complete once all its attachments arrived.
class PacketDecoder {
 public:
  // A text packet. Returns the packet when complete, nothing when it waits
  // for attachments, or an error for malformed text. A text packet arriving
  // while attachments are awaited drops the incomplete one first (see
  // awaitingAttachments()).
  std::expected<std::optional<Packet>, CodecError> feedText(std::string_view text);
  // A binary frame: one attachment of the pending binary packet.
  std::expected<std::optional<Packet>, CodecError> feedBinary(Bytes bytes);

  bool awaitingAttachments() const { return pending_.has_value(); }
  void reset();

 private:
  std::optional<PacketHeader> pending_;
  std::vector<Bytes> received_;
};

// Upper bound on the attachments one packet may announce.
inline constexpr std::size_t kMaxAttachments = 1000;

// Helpers for the common packets.
Packet makeConnect(std::string nsp = "/", nlohmann::json payload = nullptr);
Packet makeAck(std::uint64_t id, std::vector<nlohmann::json> items, std::string nsp = "/");
Packet makeEvent(std::string event, std::vector<nlohmann::json> items, std::optional<std::uint64_t> id = std::nullopt,
                 std::string nsp = "/");

}  // namespace sio
