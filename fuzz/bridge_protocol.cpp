// Fuzzes the bridge's message readers with what a local peer could send. The first
// byte picks the input's form:
//   even  raw bytes as received, header included
//   odd   a well-formed header (status from the second byte) around the rest as body,
//         so that the fuzzer spends its time on the JSON
// Properties beyond "no crash, no exception, no sanitizer report":
//   - every prefix of a complete message is judged incomplete (or complete once the
//     announced body is in), never invalid, so a receive loop waits for the rest;
//   - a message that reads is written back by the writers to one that reads the same;
//   - the request and response writers give byte for byte what writing their body
//     object gives;
//   - the bridge's own body parser reads what the JSON library reads, to the same
//     values in the same types, and refuses what it refuses (or nests too deep).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bridge/protocol.h"
#include "bridge/tests/same_json.h"
#include "fuzz_check.h"

namespace {

using bridge::Data;
using bridge::FrameState;
using bridge::Protocol;

void checkPrefixes(std::span<const std::uint8_t> bytes) {
  const FrameState whole = Protocol::frameState(bytes);
  if (whole != FrameState::complete) return;
  const std::size_t needed = Protocol::HEADER_LENGTH + Protocol::announcedLength(bytes);
  FUZZ_CHECK(needed <= bytes.size());
  // A receive loop sees the message grow a chunk at a time; every cut must wait.
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const FrameState state = Protocol::frameState(bytes.first(cut));
    FUZZ_CHECK(state == (cut >= needed ? FrameState::complete : FrameState::incomplete));
  }
}

using bridge::testsupport::sameValue;

// Whether arrays and objects nest at most `limit` deep (a scalar is 0 deep).
bool nestsWithin(const bridge::Json& value, std::size_t limit) {
  if (!value.is_structured()) return true;
  if (limit == 0) return false;
  for (const auto& item : value) {
    if (!nestsWithin(item, limit - 1)) return false;
  }
  return true;
}

void checkBodyParser(std::span<const std::uint8_t> bytes) {
  if (Protocol::frameState(bytes) != FrameState::complete) return;
  const auto body = bytes.subspan(Protocol::HEADER_LENGTH, Protocol::announcedLength(bytes));
  const auto* text = reinterpret_cast<const char*>(body.data());
  const bridge::Json expected = bridge::Json::parse(text, text + body.size(), nullptr, /*allow_exceptions=*/false);
  const bool readable = !expected.is_discarded() && (expected.is_object() || expected.is_array()) &&
                        nestsWithin(expected, Protocol::MAX_NESTING_DEPTH);
  const auto message = Protocol::read(bytes);
  FUZZ_CHECK(message.has_value() == readable);
  if (message) FUZZ_CHECK(sameValue(message->second, expected));
}

void checkReaders(std::span<const std::uint8_t> bytes) {
  checkBodyParser(bytes);
  const auto message = Protocol::read(bytes);
  if (message) {
    FUZZ_CHECK(Protocol::frameState(bytes) == FrameState::complete);
    FUZZ_CHECK(message->second.is_object() || message->second.is_array());
    const Data again = Protocol::write(message->first, message->second);
    FUZZ_CHECK(Protocol::frameState(again) == FrameState::complete);
    const auto reread = Protocol::read(again);
    FUZZ_CHECK(reread.has_value() && *reread == *message);
  }

  if (const auto request = Protocol::readRequest(bytes)) {
    FUZZ_CHECK(message.has_value());
    const Data written = Protocol::writeRequest(request->method, request->payload);
    const auto reread = Protocol::readRequest(written);
    FUZZ_CHECK(reread.has_value() && *reread == *request);
    bridge::Json body = bridge::Json::object();
    body[std::string(Protocol::METHOD)] = request->method;
    body[std::string(Protocol::PAYLOAD)] = request->payload;
    FUZZ_CHECK(written == Protocol::write(bridge::StatusCode::request, body));
  }

  if (const auto response = Protocol::readResponse(bytes)) {
    FUZZ_CHECK(message.has_value());
    const bool good = response->status == bridge::StatusCode::goodResponse;
    const Data again = good ? Protocol::writeGoodResponse(response->value)
                            : Protocol::writeBadResponse(response->value.get<std::string>());
    bridge::Json body = bridge::Json::object();
    body[std::string(good ? Protocol::PAYLOAD : Protocol::MESSAGE)] = response->value;
    FUZZ_CHECK(again == Protocol::write(response->status, body));
    const auto reread = Protocol::readResponse(again);
    FUZZ_CHECK(reread.has_value() && *reread == *response);
  }
}

Data framed(std::uint8_t status, std::span<const std::uint8_t> body) {
  Data out(Protocol::HEADER.begin(), Protocol::HEADER.end());
  out.push_back(status % 3);
  out.push_back(0);
  out.push_back(0);
  const auto length = static_cast<std::uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  if ((data[0] & 1) == 0) {
    checkPrefixes(rest);
    checkReaders(rest);
  } else if (!rest.empty()) {
    const Data message = framed(rest[0], rest.subspan(1));
    checkPrefixes(message);
    checkReaders(message);
  }
  return 0;
}
