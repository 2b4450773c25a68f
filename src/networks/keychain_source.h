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

// The operations are overridable: a subclass replaces them for whoever reaches it
// through a KeyChain reference. The type-level entry is shared().
class KeyChain {
 public:
  KeyChain() = default;
  virtual ~KeyChain() = default;

  // The one shared instance, made on first use (safely from several threads).
  static KeyChain& shared();

  // Deletes any item of the account, then adds one holding `data`; returns the add's status.
  virtual platform::OSStatus save(const std::string& key, const platform::Data& data) const;
  // The stored data, or none (no item, or any failure).
  virtual std::optional<platform::Data> load(const std::string& key) const;
  // A new UUID in its standard upper-case text form.
  virtual std::string createUniqueID() const;
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
