#pragma once
// One block of data per account name, kept as a generic-password item of the
// platform's keychain, and unique identifier texts.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/data.h"
#include "platform/keychain.h"

namespace networks {

class KeyChain {
 public:
  // Deletes any item of the account, then adds one holding `data`; returns the add's status.
  static platform::OSStatus save(const std::string& key, const platform::Data& data);
  // The stored data, or none (no item, or any failure).
  static std::optional<platform::Data> load(const std::string& key);
  // A new UUID in its standard upper-case text form.
  static std::string createUniqueID();
};

// The in-memory bytes of one plain value, in the machine's byte order.
template <class T>
platform::Data dataFrom(const T& value) {
  static_assert(std::is_trivially_copyable_v<T>, "only plain values come back intact");
  platform::Data data(sizeof(T));
  std::memcpy(data.data(), &value, sizeof(T));
  return data;
}

// The value read from the first bytes of `data`; none when it is shorter than the type.
template <class T>
std::optional<T> dataTo(const platform::Data& data) {
  static_assert(std::is_trivially_copyable_v<T>, "only plain values come back intact");
  if (data.size() < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, data.data(), sizeof(T));
  return value;
}

}  // namespace networks
