// Fuzzes the Socket.IO and Engine.IO decoders with what a server (or anything that
// answers on its port) could send. The first byte picks the entry point:
//   0  an Engine.IO frame          decodeEnginePacket, then decodeOpen and the ping watch
//                                  delay for an open packet
//   1  a Socket.IO packet text     decodePacketText
//   2  a stream of frames          PacketDecoder, frames split at 0xFF, each frame's first
//                                  byte saying text (even) or binary attachment (odd)
// Beyond "no crash, no exception, no sanitizer report", every packet that decodes must
// survive encodePacket and decode again to the same packet.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz_check.h"
#include "socketio/packet.h"

namespace {

using sio::Packet;
using sio::PacketType;

// Binary packets whose attachments carry no bytes are sent as plain ones again.
PacketType plainType(PacketType type) {
  if (type == PacketType::binaryEvent) return PacketType::event;
  if (type == PacketType::binaryAck) return PacketType::ack;
  return type;
}

// Encodes a complete packet and decodes the wire form as a receiver would.
void checkRoundTrip(const Packet& packet) {
  const sio::EncodedPacket wire = sio::encodePacket(packet);
  sio::PacketDecoder decoder;
  auto result = decoder.feedText(wire.text);
  FUZZ_CHECK(result.has_value());
  for (const auto& attachment : wire.attachments) {
    FUZZ_CHECK(result.has_value() && !result->has_value());
    result = decoder.feedBinary(attachment);
    FUZZ_CHECK(result.has_value());
  }
  FUZZ_CHECK(result->has_value());
  const Packet& again = **result;
  FUZZ_CHECK(plainType(again.type) == plainType(packet.type));
  FUZZ_CHECK(again.nsp == packet.nsp);
  FUZZ_CHECK(again.id == packet.id);
  FUZZ_CHECK(again.data == packet.data);
  FUZZ_CHECK(!decoder.awaitingAttachments());
}

void fuzzEngineFrame(std::string_view frame) {
  auto packet = sio::decodeEnginePacket(frame);
  if (!packet) return;
  FUZZ_CHECK(sio::encodeEnginePacket(*packet) == frame);
  if (packet->type == sio::EnginePacketType::open) {
    if (auto open = sio::decodeOpen(packet->data)) {
      FUZZ_CHECK(!open->sid.empty());
      FUZZ_CHECK(open->maxPayload >= 0);
      // The server's ping settings are clamped, and the ping watch adds them without overflow.
      FUZZ_CHECK(open->pingInterval >= sio::kPingMillisMin && open->pingInterval <= sio::kPingMillisMax);
      FUZZ_CHECK(open->pingTimeout >= sio::kPingMillisMin && open->pingTimeout <= sio::kPingMillisMax);
      const auto wait = sio::pingWatchDelay(*open).count();
      FUZZ_CHECK(wait == open->pingInterval + open->pingTimeout);
    }
  }
}

void fuzzPacketText(std::string_view text) {
  auto header = sio::decodePacketText(text);
  if (!header) return;
  FUZZ_CHECK(header->attachments <= sio::kMaxAttachments);
  const PacketType type = header->packet.type;
  if (type != PacketType::binaryEvent && type != PacketType::binaryAck) {
    FUZZ_CHECK(header->attachments == 0);
    checkRoundTrip(header->packet);
  }
}

void fuzzFrameStream(std::span<const std::uint8_t> bytes) {
  sio::PacketDecoder decoder;
  while (!bytes.empty()) {
    std::size_t end = 0;
    while (end < bytes.size() && bytes[end] != 0xFF) ++end;
    const auto frame = bytes.first(end);
    bytes = bytes.subspan(end < bytes.size() ? end + 1 : end);
    if (frame.empty()) continue;

    const bool binary = (frame[0] & 1) != 0;
    const auto body = frame.subspan(1);
    const bool wasAwaiting = decoder.awaitingAttachments();
    auto result = binary ? decoder.feedBinary(sio::Bytes(body.begin(), body.end()))
                         : decoder.feedText(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!result) {
      // An attachment with no packet waiting is refused; nothing else changes.
      if (binary && !wasAwaiting) FUZZ_CHECK(!decoder.awaitingAttachments());
      continue;
    }
    if (result->has_value()) {
      FUZZ_CHECK(!decoder.awaitingAttachments());
      checkRoundTrip(**result);
    } else {
      FUZZ_CHECK(decoder.awaitingAttachments());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
  switch (data[0] % 3) {
    case 0:
      fuzzEngineFrame(text);
      break;
    case 1:
      fuzzPacketText(text);
      break;
    default:
      fuzzFrameStream(rest);
      break;
  }
  return 0;
}
