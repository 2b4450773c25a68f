#include "bridge/protocol.h"

#include <locale.h>  // newlocale
#include <stdlib.h>  // strtod_l

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
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

// Reads a message body as JSON by the rules of the JSON library's own parser, straight
// into the library's values: RFC 8259 strictly (no comments, no trailing commas, text
// in valid UTF-8, numbers without leading zeros); a UTF-8 byte order mark at the start
// is skipped; a NUL byte where the next token would start ends the text, as the end
// of the bytes does; the last of repeated object keys wins. Integers without a sign
// become unsigned, those with one signed, both falling back to a double when out of
// range, and a number beyond a double's range is refused, as the library does. Arrays
// and objects nested deeper than
// Protocol::MAX_NESTING_DEPTH are refused as soon as they open.
//
// It is several times faster than the library's parser on the bridge's small bodies:
// no token buffer copied byte by byte, no locale looked up per parse, and the outer
// object of a message is never built, only the members that the reader asks for.
class BodyReader {
 public:
  explicit BodyReader(std::span<const std::uint8_t> text) : p_(text.data()), end_(text.data() + text.size()) {}

  // Skips a byte order mark (which must be whole) and the whitespace before the value.
  bool open() {
    if (p_ != end_ && *p_ == 0xEF) {
      if (end_ - p_ < 3 || p_[1] != 0xBB || p_[2] != 0xBF) return false;
      p_ += 3;
    }
    skipSpace();
    return true;
  }

  // After the top-level value: nothing but whitespace up to the end or a NUL byte.
  bool close() {
    skipSpace();
    return p_ == end_ || *p_ == 0;
  }

  int peek() const { return p_ == end_ ? -1 : *p_; }

  // One value of any kind, at the given nesting depth of its container (0: top level).
  bool value(Json& out, std::size_t depth) {
    switch (peek()) {
      case '{':
        return object(out, depth + 1);
      case '[':
        return array(out, depth + 1);
      case '"':
        out = Json(Json::value_t::string);
        return string(*out.get_ptr<Json::string_t*>());
      case 't':
        out = true;
        return literal("true");
      case 'f':
        out = false;
        return literal("false");
      case 'n':
        out = nullptr;
        return literal("null");
      default:
        return number(out);
    }
  }

  // The members of an object (p_ at its '{'), each handed to `member` with its key;
  // `member` gives the value to read it into.
  template <typename Member>
  bool members(std::size_t depth, Member&& member) {
    if (depth > Protocol::MAX_NESTING_DEPTH) return false;
    ++p_;
    skipSpace();
    if (peek() == '}') {
      ++p_;
      return true;
    }
    std::string key;
    for (;;) {
      if (peek() != '"') return false;
      key.clear();
      if (!string(key)) return false;
      skipSpace();
      if (peek() != ':') return false;
      ++p_;
      skipSpace();
      if (!value(member(std::move(key)), depth)) return false;
      skipSpace();
      const int next = peek();
      ++p_;
      if (next == '}') return true;
      if (next != ',') return false;
      skipSpace();
    }
  }

 private:
  static bool isDigit(int c) { return c >= '0' && c <= '9'; }

  void skipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || !std::equal(word.begin(), word.end(), p_)) return false;
    p_ += word.size();
    return true;
  }

  bool object(Json& out, std::size_t depth) {
    out = Json(Json::value_t::object);
    auto& members_ = *out.get_ptr<Json::object_t*>();
    return members(depth, [&members_](std::string&& key) -> Json& {
      // Keys mostly come in order (the writers dump sorted objects): a key after the
      // last one goes in at the end without a search.
      if (members_.empty() || members_.rbegin()->first < key) {
        return members_.emplace_hint(members_.end(), std::move(key), nullptr)->second;
      }
      auto [it, fresh] = members_.try_emplace(std::move(key));
      if (!fresh) it->second = nullptr;
      return it->second;
    });
  }

  bool array(Json& out, std::size_t depth) {
    if (depth > Protocol::MAX_NESTING_DEPTH) return false;
    out = Json(Json::value_t::array);
    auto& items = *out.get_ptr<Json::array_t*>();
    ++p_;
    skipSpace();
    if (peek() == ']') {
      ++p_;
      return true;
    }
    for (;;) {
      if (!value(items.emplace_back(), depth)) return false;
      skipSpace();
      const int next = peek();
      ++p_;
      if (next == ']') return true;
      if (next != ',') return false;
      skipSpace();
    }
  }

  // A string (p_ at its opening quote), unescaped into `out`.
  bool string(std::string& out) {
    ++p_;
    for (;;) {
      const std::uint8_t* run = p_;
      while (p_ != end_ && *p_ >= 0x20 && *p_ < 0x80 && *p_ != '"' && *p_ != '\\') ++p_;
      out.append(run, p_);
      if (p_ == end_) return false;
      const std::uint8_t c = *p_;
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        if (!escape(out)) return false;
      } else if (c < 0x20 || !utf8Sequence(out)) {
        return false;
      }
    }
  }

  // One multi-byte UTF-8 sequence, checked as the library checks it.
  bool utf8Sequence(std::string& out) {
    const std::uint8_t lead = *p_;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    std::size_t continuation = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuation = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuation = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuation = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end_ - p_) <= continuation) return false;
    // The first continuation byte has the lead's own range; the others 80..BF.
    if (p_[1] < low || p_[1] > high) return false;
    for (std::size_t i = 2; i <= continuation; ++i) {
      if (p_[i] < 0x80 || p_[i] > 0xBF) return false;
    }
    out.append(p_, p_ + continuation + 1);
    p_ += continuation + 1;
    return true;
  }

  int hex4() {
    if (end_ - p_ < 4) return -1;
    int code = 0;
    for (int i = 0; i < 4; ++i) {
      const int c = p_[i];
      int digit = 0;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return -1;
      }
      code = code * 16 + digit;
    }
    p_ += 4;
    return code;
  }

  // An escape (p_ at its backslash); a surrogate pair becomes one code point.
  bool escape(std::string& out) {
    ++p_;
    if (p_ == end_) return false;
    // The one-letter escapes, each beside the byte it stands for.
    constexpr std::string_view kLetters = "\"\\/bfnrt";
    constexpr std::string_view kBytes = "\"\\/\b\f\n\r\t";
    const char c = static_cast<char>(*p_++);
    if (const auto i = kLetters.find(c); i != std::string_view::npos) {
      out.push_back(kBytes[i]);
      return true;
    }
    if (c != 'u') return false;
    int code = hex4();
    if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      const int second = hex4();
      if (second < 0xDC00 || second > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (second - 0xDC00);
    }
    const auto put = [&out](unsigned byte) { out.push_back(static_cast<char>(byte)); };
    const auto u = static_cast<unsigned>(code);
    if (u < 0x80) {
      put(u);
    } else if (u < 0x800) {
      put(0xC0 | (u >> 6));
      put(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
      put(0xE0 | (u >> 12));
      put(0x80 | ((u >> 6) & 0x3F));
      put(0x80 | (u & 0x3F));
    } else {
      put(0xF0 | (u >> 18));
      put(0x80 | ((u >> 12) & 0x3F));
      put(0x80 | ((u >> 6) & 0x3F));
      put(0x80 | (u & 0x3F));
    }
    return true;
  }

  bool digits() {
    if (!isDigit(peek())) return false;
    while (isDigit(peek())) ++p_;
    return true;
  }

  bool number(Json& out) {
    const std::uint8_t* start = p_;
    const bool negative = peek() == '-';
    if (negative) ++p_;
    if (peek() == '0') {
      ++p_;
    } else if (!digits()) {
      return false;
    }
    const std::uint8_t* integerEnd = p_;
    bool fraction = false;
    if (peek() == '.') {
      ++p_;
      if (!digits()) return false;
      fraction = true;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++p_;
      if (peek() == '+' || peek() == '-') ++p_;
      if (!digits()) return false;
      fraction = true;
    }
    if (!fraction) {
      std::uint64_t magnitude = 0;
      bool fits = true;
      for (const std::uint8_t* d = start + (negative ? 1 : 0); d != integerEnd && fits; ++d) {
        const unsigned digit = *d - '0';
        fits = magnitude <= (std::numeric_limits<std::uint64_t>::max() - digit) / 10;
        magnitude = magnitude * 10 + digit;
      }
      constexpr std::uint64_t kNegativeLimit = std::uint64_t{1} << 63;
      if (fits && !negative) {
        out = magnitude;
        return true;
      }
      if (fits && magnitude <= kNegativeLimit) {
        out = magnitude == kNegativeLimit ? std::numeric_limits<std::int64_t>::min()
                                          : -static_cast<std::int64_t>(magnitude);
        return true;
      }
    }
    // A fraction, an exponent or an integer out of range: the nearest double, in the
    // C locale's notation whatever the process's locale. One too large for a double
    // is refused.
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    const std::string token(start, p_);
    const double number = ::strtod_l(token.c_str(), nullptr, cLocale);
    if (!std::isfinite(number)) return false;
    out = number;
    return true;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// What a message body's top level turned out to be.
enum class TopLevel { invalid, object, array };

// Reads a message body whose top level is an object, of which only the members named
// `first` and `second` are kept, in `firstValue` and `secondValue` (the others are read
// and dropped), or an array, kept whole in `array`.
TopLevel readTopLevel(std::span<const std::uint8_t> body, std::string_view first, std::optional<Json>& firstValue,
                      std::string_view second, std::optional<Json>& secondValue, Json& array) {
  BodyReader reader(body);
  if (!reader.open()) return TopLevel::invalid;
  bool read = false;
  TopLevel kind = TopLevel::invalid;
  if (reader.peek() == '{') {
    Json dropped;
    read = reader.members(1, [&](std::string&& key) -> Json& {
      if (!first.empty() && key == first) return firstValue.emplace();
      if (!second.empty() && key == second) return secondValue.emplace();
      dropped = nullptr;
      return dropped;
    });
    kind = TopLevel::object;
  } else if (reader.peek() == '[') {
    read = reader.value(array, 0);
    kind = TopLevel::array;
  }
  return read && reader.close() ? kind : TopLevel::invalid;
}

// The body of a complete message; nothing for any other bytes.
std::optional<std::span<const std::uint8_t>> bodyOf(std::span<const std::uint8_t> bytes) {
  if (Protocol::frameState(bytes) != FrameState::complete) return std::nullopt;
  // Bytes after the announced length are not part of the message.
  return bytes.subspan(Protocol::HEADER_LENGTH, Protocol::announcedLength(bytes));
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
  const auto body = bodyOf(bytes);
  if (!body) return std::nullopt;
  const auto status = statusCodeFromRawValue(bytes[kStatusOffset]);
  BodyReader reader(*body);
  Json value;
  // Only an object or an array is a valid top level.
  if (!reader.open() || (reader.peek() != '{' && reader.peek() != '[')) return std::nullopt;
  if (!reader.value(value, 0) || !reader.close()) return std::nullopt;
  return std::pair{*status, std::move(value)};
}

std::optional<Request> Protocol::readRequest(std::span<const std::uint8_t> bytes) {
  const auto body = bodyOf(bytes);
  if (!body || bytes[kStatusOffset] != static_cast<std::uint8_t>(StatusCode::request)) return std::nullopt;
  std::optional<Json> method;
  std::optional<Json> payload;
  Json array;
  const TopLevel top = readTopLevel(*body, METHOD, method, PAYLOAD, payload, array);
  if (top == TopLevel::array) reportUnexpected(array);
  if (top != TopLevel::object) return std::nullopt;
  if (!method || !method->is_string() || !payload) return std::nullopt;
  return Request{std::move(*method->get_ptr<Json::string_t*>()), std::move(*payload)};
}

std::optional<Response> Protocol::readResponse(std::span<const std::uint8_t> bytes) {
  const auto body = bodyOf(bytes);
  if (!body) return std::nullopt;
  const auto status = statusCodeFromRawValue(bytes[kStatusOffset]);
  // A request's body is read all the same: it may be an array to report.
  const std::string_view wanted = status == StatusCode::goodResponse  ? PAYLOAD
                                  : status == StatusCode::badResponse ? MESSAGE
                                                                      : std::string_view();
  std::optional<Json> value;
  std::optional<Json> unused;
  Json array;
  const TopLevel top = readTopLevel(*body, wanted, value, {}, unused, array);
  if (top == TopLevel::array) reportUnexpected(array);
  if (top != TopLevel::object || !value) return std::nullopt;
  switch (*status) {
    case StatusCode::goodResponse:
      return Response{StatusCode::goodResponse, std::move(*value)};
    case StatusCode::badResponse:
      if (!value->is_string()) return std::nullopt;
      return Response{StatusCode::badResponse, std::move(*value)};
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
