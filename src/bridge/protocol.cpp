#include "bridge/protocol.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "bridge/output.h"

namespace bridge {

namespace {

constexpr std::size_t kStatusOffset = 4;
constexpr std::size_t kLengthOffset = 7;

std::string dumpCompact(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Lets the JSON serialiser write straight into a message's bytes.
class DataOutput final : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  void target(Data* out) { out_ = out; }
  void write_character(char c) override { out_->push_back(static_cast<std::uint8_t>(c)); }
  void write_characters(const char* s, std::size_t length) override {
    out_->insert(out_->end(), reinterpret_cast<const std::uint8_t*>(s),
                 reinterpret_cast<const std::uint8_t*>(s) + length);
  }

 private:
  Data* out_ = nullptr;
};

// One serialiser per thread, kept: making one allocates its output adapter and an
// indentation buffer, which would be a cost on every message.
struct ThreadSerializer {
  std::shared_ptr<DataOutput> output = std::make_shared<DataOutput>();
  nlohmann::detail::serializer<Json> serializer{output, ' ', Json::error_handler_t::replace};
};

ThreadSerializer& threadSerializer() {
  thread_local ThreadSerializer instance;
  return instance;
}

// Builds one message in a single buffer: the header, then the body that the parts
// write, then the body's length in the header. The parts write exactly what dumping
// the body object compactly gives, with no body object built.
class MessageWriter {
 public:
  explicit MessageWriter(StatusCode status, std::size_t expected = 64) {
    out_.reserve(Protocol::HEADER_LENGTH + expected);
    out_.resize(Protocol::HEADER_LENGTH);  // zeros: the reserved bytes, then the length
    std::copy(Protocol::HEADER.begin(), Protocol::HEADER.end(), out_.begin());
    out_[Protocol::HEADER.size()] = static_cast<std::uint8_t>(status);
  }
  MessageWriter& raw(std::string_view text) {
    out_.insert(out_.end(), text.begin(), text.end());
    return *this;
  }
  MessageWriter& value(const Json& value) {
    auto& local = threadSerializer();
    local.output->target(&out_);
    local.serializer.dump(value, false, false, 0);
    local.output->target(nullptr);
    return *this;
  }
  Data finish() {
    const auto count = static_cast<std::uint32_t>(out_.size() - Protocol::HEADER_LENGTH);
    for (std::size_t i = 0; i < 4; ++i) out_[kLengthOffset + i] = static_cast<std::uint8_t>((count >> (8 * i)) & 0xFF);
    return std::move(out_);
  }

 private:
  Data out_;
};

// Nesting depth of arrays and objects in JSON text, counted without parsing; text
// inside strings does not count. Stops early once the limit is passed.
bool nestingWithin(std::span<const std::uint8_t> text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (std::uint8_t c : text) {
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
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > limit) return false;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

void reportUnexpected(const Json& value) { printLine("Unexpected JSON result: " + dumpCompact(value)); }

}  // namespace

std::optional<StatusCode> statusCodeFromRawValue(std::uint8_t raw) {
  switch (raw) {
    case 0:
      return StatusCode::request;
    case 1:
      return StatusCode::goodResponse;
    case 2:
      return StatusCode::badResponse;
    default:
      return std::nullopt;
  }
}

Data Protocol::write(StatusCode status, const Json& body) { return MessageWriter(status).value(body).finish(); }

// The body objects' keys in the order a compact dump gives them ("method" before
// "payload").
Data Protocol::writeRequest(std::string_view method, const Json& payload) {
  return MessageWriter(StatusCode::request, method.size() + 64)
      .raw(R"({"method":)")
      .value(Json(std::string(method)))
      .raw(R"(,"payload":)")
      .value(payload)
      .raw("}")
      .finish();
}

Data Protocol::writeGoodResponse(const Json& payload) {
  return MessageWriter(StatusCode::goodResponse).raw(R"({"payload":)").value(payload).raw("}").finish();
}

Data Protocol::writeBadResponse(std::string_view message) {
  return MessageWriter(StatusCode::badResponse, message.size() + 16)
      .raw(R"({"message":)")
      .value(Json(std::string(message)))
      .raw("}")
      .finish();
}

std::uint32_t Protocol::announcedLength(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < HEADER_LENGTH) return 0;
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>(bytes[kLengthOffset + i]) << (8 * i);
  return length;
}

FrameState Protocol::frameState(std::span<const std::uint8_t> bytes) {
  // Judge whatever part of magic, version and status is already in.
  const std::size_t known = std::min(bytes.size(), HEADER.size());
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(known), HEADER.begin())) {
    return FrameState::invalidHeader;
  }
  if (bytes.size() > kStatusOffset && !statusCodeFromRawValue(bytes[kStatusOffset])) {
    return FrameState::invalidHeader;
  }
  if (bytes.size() < HEADER_LENGTH) return FrameState::incomplete;
  const std::uint32_t length = announcedLength(bytes);
  if (length > MAX_BODY_LENGTH) return FrameState::tooLarge;
  return bytes.size() - HEADER_LENGTH >= length ? FrameState::complete : FrameState::incomplete;
}

std::optional<std::pair<StatusCode, Json>> Protocol::read(std::span<const std::uint8_t> bytes) {
  if (frameState(bytes) != FrameState::complete) return std::nullopt;
  const auto status = statusCodeFromRawValue(bytes[kStatusOffset]);
  // Bytes after the announced length are not part of the message.
  const auto body = bytes.subspan(HEADER_LENGTH, announcedLength(bytes));
  if (!nestingWithin(body, MAX_NESTING_DEPTH)) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(body.data());
  Json value = Json::parse(text, text + body.size(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  // Only an object or an array is a valid top level.
  if (!value.is_object() && !value.is_array()) return std::nullopt;
  return std::pair{*status, std::move(value)};
}

std::optional<Request> Protocol::readRequest(std::span<const std::uint8_t> bytes) {
  auto message = read(bytes);
  if (!message || message->first != StatusCode::request) return std::nullopt;
  Json& value = message->second;
  if (!value.is_object()) {
    reportUnexpected(value);
    return std::nullopt;
  }
  const auto method = value.find(METHOD);
  const auto payload = value.find(PAYLOAD);
  if (method == value.end() || !method->is_string() || payload == value.end()) return std::nullopt;
  return Request{method->get<std::string>(), std::move(*payload)};
}

std::optional<Response> Protocol::readResponse(std::span<const std::uint8_t> bytes) {
  auto message = read(bytes);
  if (!message) return std::nullopt;
  Json& value = message->second;
  if (!value.is_object()) {
    reportUnexpected(value);
    return std::nullopt;
  }
  switch (message->first) {
    case StatusCode::goodResponse: {
      const auto payload = value.find(PAYLOAD);
      if (payload == value.end()) return std::nullopt;
      return Response{StatusCode::goodResponse, std::move(*payload)};
    }
    case StatusCode::badResponse: {
      const auto text = value.find(MESSAGE);
      if (text == value.end() || !text->is_string()) return std::nullopt;
      return Response{StatusCode::badResponse, std::move(*text)};
    }
    case StatusCode::request:
      break;
  }
  return std::nullopt;
}

Data prefix_data(std::span<const std::uint8_t> data, const std::optional<Data>& with) {
  Data out;
  if (with) {
    out.reserve(with->size() + data.size());
    out.insert(out.end(), with->begin(), with->end());
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Data prefix_data(std::span<const std::uint8_t> data, std::optional<Data>&& with) {
  Data out = with ? std::move(*with) : Data{};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace bridge
