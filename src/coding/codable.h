#pragma once
// Declarative JSON coding for plain records.
//
// A record lists its fields once:
//
//   struct Rule {
//     std::optional<bool> isBlocked;
//     static constexpr auto codingKeys() { return std::tuple{coding::field("isBlocked", &Rule::isBlocked)}; }
//     static constexpr const char* typeName = "Rule";   // optional, for error texts
//   };
//
// and JSONDecoder/JSONEncoder do the rest with these rules:
// - a field of type std::optional<X> is decoded if present: a missing key or null gives
//   an absent value; it is encoded only when present (never as null);
// - any other field is required: a missing key fails with keyNotFound, a null with
//   valueNotFound;
// - a value of another JSON type fails the whole decode (no partial result); unknown
//   keys are ignored;
// - bool takes only true/false; integers take only integral numbers in range (12.5 and
//   "12" fail); double and float take any number within their range (1e300 fails for a
//   float, 1e400 for both); a list takes an array whose elements
//   are never optional unless declared so;
// - the key strategy applies to every key of every record at every level;
// - non-finite numbers are refused when encoding.
// Enumerations with text raw values specialise coding::RawEnum<E>.
#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "coding/json.h"
#include "coding/keys.h"

namespace coding {

template <class Owner, class Member>
struct Field {
  const char* key;
  Member Owner::*member;
};

template <class Owner, class Member>
constexpr Field<Owner, Member> field(const char* key, Member Owner::*member) {
  return {key, member};
}

template <class T>
concept Record = requires { T::codingKeys(); };

// Specialise for an enumeration with text raw values:
//   template <> struct coding::RawEnum<Category> {
//     static constexpr const char* typeName = "Category";
//     static constexpr std::array<std::pair<Category, std::string_view>, 18> values{{...}};
//   };
template <class E>
struct RawEnum;

template <class E>
concept RawValueEnum = requires { RawEnum<E>::values; };

template <RawValueEnum E>
constexpr std::string_view rawValue(E value) {
  for (const auto& [v, text] : RawEnum<E>::values)
    if (v == value) return text;
  return {};
}

// Exact, case-sensitive match of a raw value.
template <RawValueEnum E>
constexpr std::optional<E> fromRawValue(std::string_view text) {
  for (const auto& [v, raw] : RawEnum<E>::values)
    if (raw == text) return v;
  return std::nullopt;
}

namespace detail {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

template <class T>
using Integral = std::bool_constant<std::is_integral_v<T> && !std::is_same_v<T, bool>>;

struct DecodeFailure {
  DecodingError error;
};
struct EncodeFailure {
  EncodingError error;
};

// Where the decoder is, and how it maps keys.
class DecodeState {
 public:
  explicit DecodeState(const KeyDecodingStrategy& strategy) : strategy_(strategy) {}

  const KeyDecodingStrategy& strategy() const { return strategy_; }
  CodingPath& path() { return path_; }
  std::string pathText() const;
  [[noreturn]] void fail(DecodingError::Kind kind, std::string detail) const;
  [[noreturn]] void typeMismatch(const char* expected, const Json& found) const;

 private:
  const KeyDecodingStrategy& strategy_;
  CodingPath path_;
};

// The members of one JSON object under the decoder's key strategy.
class KeyedView {
 public:
  KeyedView(const Json& object, DecodeState& state);
  // The value under a record's key, or nullptr when the key is missing.
  const Json* find(std::string_view key) const;

 private:
  const Json& object_;
  bool mapped_ = false;
  std::vector<std::pair<std::string, const Json*>> members_;  // mapped key -> value, first wins
};

class EncodeState {
 public:
  explicit EncodeState(KeyEncodingStrategy strategy) : strategy_(strategy) {}
  std::string wireKey(const char* key) const;
  std::vector<std::string>& path() { return path_; }
  [[noreturn]] void failNonFinite(double value) const;

 private:
  KeyEncodingStrategy strategy_;
  std::vector<std::string> path_;
};

struct PathGuard {
  CodingPath& path;
  PathGuard(CodingPath& p, AnyKey key) : path(p) { path.push_back(std::move(key)); }
  ~PathGuard() { path.pop_back(); }
  PathGuard(const PathGuard&) = delete;
  PathGuard& operator=(const PathGuard&) = delete;
};

template <class T>
constexpr const char* typeName() {
  if constexpr (std::is_same_v<T, std::string>) return "String";
  else if constexpr (std::is_same_v<T, bool>) return "Bool";
  else if constexpr (std::is_same_v<T, double>) return "Double";
  else if constexpr (std::is_same_v<T, float>) return "Float";
  else if constexpr (Integral<T>::value) return "Int";
  else if constexpr (IsVector<T>::value) return "Array";
  else if constexpr (requires { T::typeName; }) return T::typeName;
  else if constexpr (requires { RawEnum<T>::typeName; }) return RawEnum<T>::typeName;
  else return "Dictionary";
}

template <class T>
T decodeValue(const Json& value, DecodeState& state);

template <class Owner, class Member>
void decodeField(Owner& out, const Field<Owner, Member>& f, const KeyedView& view, DecodeState& state) {
  const Json* value = view.find(f.key);
  if constexpr (!IsOptional<Member>::value) {
    if (value == nullptr)
      state.fail(DecodingError::Kind::keyNotFound, std::string("No value associated with key \"") + f.key + "\".");
  }
  PathGuard guard(state.path(), AnyKey(std::string(f.key)));
  if constexpr (IsOptional<Member>::value) {
    if (value == nullptr || value->is_null()) {
      out.*(f.member) = std::nullopt;
    } else {
      out.*(f.member) = decodeValue<typename Member::value_type>(*value, state);
    }
  } else {
    if (value->is_null() && !std::is_same_v<Member, Json>) {
      state.fail(DecodingError::Kind::valueNotFound,
                 std::string("Expected ") + typeName<Member>() + " value but found null instead.");
    }
    out.*(f.member) = decodeValue<Member>(*value, state);
  }
}

template <class T>
T decodeValue(const Json& value, DecodeState& state) {
  if constexpr (std::is_same_v<T, Json>) {
    return value;
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!value.is_string()) state.typeMismatch("String", value);
    return value.template get_ref<const std::string&>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!value.is_boolean()) state.typeMismatch("Bool", value);
    return value.template get<bool>();
  } else if constexpr (Integral<T>::value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
      const auto n = value.template get<std::int64_t>();
      if (n < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
          (n > 0 && static_cast<std::uint64_t>(n) > static_cast<std::uint64_t>(std::numeric_limits<T>::max())))
        state.fail(DecodingError::Kind::dataCorrupted,
                   "Parsed JSON number <" + value.dump() + "> does not fit in Int.");
      return static_cast<T>(n);
    }
    if (value.is_number_unsigned()) {
      const auto n = value.template get<std::uint64_t>();
      if (n > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
        state.fail(DecodingError::Kind::dataCorrupted,
                   "Parsed JSON number <" + value.dump() + "> does not fit in Int.");
      return static_cast<T>(n);
    }
    if (value.is_number_float()) {
      const double d = value.template get<double>();
      // An integral number written with a fraction part ("12.0") is still that integer.
      if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18 &&
          d >= static_cast<double>(std::numeric_limits<T>::min()) &&
          d <= static_cast<double>(std::numeric_limits<T>::max()))
        return static_cast<T>(d);
      state.fail(DecodingError::Kind::dataCorrupted, "Parsed JSON number <" + value.dump() + "> does not fit in Int.");
    }
    state.typeMismatch("Int", value);
  } else if constexpr (std::is_floating_point_v<T>) {
    if (!value.is_number()) state.typeMismatch(typeName<T>(), value);
    // A number beyond the type's range (read as infinity, or too large for a float) is
    // refused as integers are; a tiny one that rounds to zero still fits.
    const double d = value.template get<double>();
    if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(std::numeric_limits<T>::max()))
      state.fail(DecodingError::Kind::dataCorrupted,
                 "Parsed JSON number <" + value.dump() + "> does not fit in " + typeName<T>() + ".");
    return static_cast<T>(d);
  } else if constexpr (IsVector<T>::value) {
    using Element = typename T::value_type;
    if (!value.is_array()) state.typeMismatch("Array", value);
    T out;
    out.reserve(value.size());
    std::int64_t index = 0;
    for (const auto& element : value) {
      PathGuard guard(state.path(), AnyKey(index++));
      if constexpr (IsOptional<Element>::value) {
        if (element.is_null()) out.emplace_back(std::nullopt);
        else out.emplace_back(decodeValue<typename Element::value_type>(element, state));
      } else {
        if (element.is_null() && !std::is_same_v<Element, Json>)
          state.fail(DecodingError::Kind::valueNotFound,
                     std::string("Expected ") + typeName<Element>() + " but found null instead.");
        out.push_back(decodeValue<Element>(element, state));
      }
    }
    return out;
  } else if constexpr (RawValueEnum<T>) {
    if (!value.is_string()) state.typeMismatch("String", value);
    const auto& text = value.template get_ref<const std::string&>();
    if (auto parsed = fromRawValue<T>(text)) return *parsed;
    state.fail(DecodingError::Kind::dataCorrupted,
               std::string("Cannot initialize ") + typeName<T>() + " from invalid String value " + text);
  } else if constexpr (Record<T>) {
    if (!value.is_object()) state.typeMismatch("Dictionary<String, Any>", value);
    KeyedView view(value, state);
    T out{};
    std::apply([&](const auto&... fields) { (decodeField(out, fields, view, state), ...); }, T::codingKeys());
    return out;
  } else {
    static_assert(sizeof(T) == 0, "no JSON coding for this type");
  }
}

template <class T>
Json encodeValue(const T& value, EncodeState& state);

inline Json encodeNumber(double d, EncodeState& state) {
  if (!std::isfinite(d)) state.failNonFinite(d);
  // Whole numbers are written without a fraction ("10", not "10.0").
  if (std::trunc(d) == d && std::fabs(d) < 9007199254740992.0) return Json(static_cast<std::int64_t>(d));
  return Json(d);
}

Json encodeFloat(float f, EncodeState& state);

template <class T>
Json encodeValue(const T& value, EncodeState& state) {
  if constexpr (std::is_same_v<T, Json>) {
    return value;
  } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool>) {
    return Json(value);
  } else if constexpr (Integral<T>::value) {
    return Json(static_cast<std::int64_t>(value));
  } else if constexpr (std::is_same_v<T, float>) {
    return encodeFloat(value, state);
  } else if constexpr (std::is_floating_point_v<T>) {
    return encodeNumber(static_cast<double>(value), state);
  } else if constexpr (IsOptional<T>::value) {
    return value ? encodeValue(*value, state) : Json(nullptr);
  } else if constexpr (IsVector<T>::value) {
    Json out = Json::array();
    std::size_t index = 0;
    for (const auto& element : value) {
      state.path().push_back(std::to_string(index++));
      out.push_back(encodeValue(element, state));
      state.path().pop_back();
    }
    return out;
  } else if constexpr (RawValueEnum<T>) {
    return Json(std::string(rawValue(value)));
  } else if constexpr (Record<T>) {
    Json out = Json::object();
    std::apply(
        [&](const auto&... fields) {
          auto one = [&](const auto& f) {
            const auto& member = value.*(f.member);
            using Member = std::remove_cvref_t<decltype(member)>;
            if constexpr (IsOptional<Member>::value) {
              if (!member) return;
            }
            state.path().push_back(f.key);
            out[state.wireKey(f.key)] = encodeValue(member, state);
            state.path().pop_back();
          };
          (one(fields), ...);
        },
        T::codingKeys());
    return out;
  } else {
    static_assert(sizeof(T) == 0, "no JSON coding for this type");
  }
}

}  // namespace detail

class JSONDecoder {
 public:
  KeyDecodingStrategy keyDecodingStrategy;

  template <class T>
  std::expected<T, DecodingError> decode(const Json& value) const {
    detail::DecodeState state(keyDecodingStrategy);
    try {
      return detail::decodeValue<T>(value, state);
    } catch (const detail::DecodeFailure& failure) {
      return std::unexpected(failure.error);
    }
  }

  template <class T>
  std::expected<T, DecodingError> decode(std::string_view text) const {
    auto json = parse(text);
    if (!json) return std::unexpected(json.error());
    return decode<T>(*json);
  }

  template <class T>
  std::expected<T, DecodingError> decode(const Bytes& bytes) const {
    return decode<T>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
};

class JSONEncoder {
 public:
  KeyEncodingStrategy keyEncodingStrategy = KeyEncodingStrategy::useDefaultKeys;

  template <class T>
  std::expected<Json, EncodingError> encodeToJson(const T& value) const {
    detail::EncodeState state(keyEncodingStrategy);
    try {
      return detail::encodeValue(value, state);
    } catch (const detail::EncodeFailure& failure) {
      return std::unexpected(failure.error);
    }
  }

  // Compact JSON text.
  template <class T>
  std::expected<std::string, EncodingError> encode(const T& value) const {
    auto json = encodeToJson(value);
    if (!json) return std::unexpected(json.error());
    return serialize(*json);
  }
};

}  // namespace coding
