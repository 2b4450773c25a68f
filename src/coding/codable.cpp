#include "coding/codable.h"

#include <charconv>
#include <cstdlib>

namespace coding::detail {

std::string DecodeState::pathText() const {
  std::string text;
  for (const auto& key : path_) {
    if (key.intValue) {
      text += "[" + key.stringValue + "]";
    } else {
      if (!text.empty()) text += '.';
      text += key.stringValue;
    }
  }
  return text;
}

void DecodeState::fail(DecodingError::Kind kind, std::string detail) const {
  throw DecodeFailure{DecodingError{kind, pathText(), std::move(detail)}};
}

void DecodeState::typeMismatch(const char* expected, const Json& found) const {
  fail(DecodingError::Kind::typeMismatch,
       std::string("Expected to decode ") + expected + " but found " + describeJsonType(found) + " instead.");
}

KeyedView::KeyedView(const Json& object, DecodeState& state) : object_(object) {
  const auto& strategy = state.strategy();
  if (strategy.kind == KeyDecodingStrategy::Kind::useDefaultKeys) return;
  mapped_ = true;
  members_.reserve(object.size());
  for (auto it = object.begin(); it != object.end(); ++it) {
    std::string key;
    if (strategy.kind == KeyDecodingStrategy::Kind::convertFromSnakeCase) {
      key = convertFromSnakeCase(it.key());
    } else {
      PathGuard guard(state.path(), AnyKey(it.key()));
      key = strategy.mapper ? strategy.mapper(state.path()).stringValue : it.key();
    }
    bool taken = false;
    for (const auto& member : members_) taken = taken || member.first == key;
    if (!taken) members_.emplace_back(std::move(key), &it.value());
  }
}

const Json* KeyedView::find(std::string_view key) const {
  if (!mapped_) {
    auto it = object_.find(key);
    return it == object_.end() ? nullptr : &it.value();
  }
  for (const auto& [name, value] : members_)
    if (name == key) return value;
  return nullptr;
}

std::string EncodeState::wireKey(const char* key) const {
  return strategy_ == KeyEncodingStrategy::convertToSnakeCase ? convertToSnakeCase(key) : std::string(key);
}

void EncodeState::failNonFinite(double value) const {
  std::string path;
  for (const auto& p : path_) path += (path.empty() ? "" : ".") + p;
  throw EncodeFailure{EncodingError{path, "Unable to encode " + std::to_string(value) + " directly in JSON."}};
}

Json encodeFloat(float f, EncodeState& state) {
  if (!std::isfinite(f)) state.failNonFinite(static_cast<double>(f));
  // Widen through the float's shortest decimal text so 0.1f is written as 0.1.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, f);
  const double widened = std::strtod(std::string(buffer, result.ptr).c_str(), nullptr);
  return encodeNumber(widened, state);
}

}  // namespace coding::detail
