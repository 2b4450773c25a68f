// The client's URL handling: the socket URL it is given and the target of the
// WebSocket upgrade request. Pure functions, exposed for tests.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <string_view>

namespace sio {

struct SocketURL {
  bool secure = false;
  std::string host;  // without brackets for IPv6
  std::uint16_t port = 0;
  friend bool operator==(const SocketURL&, const SocketURL&) = default;
};

// http(s):// or ws(s)://, a host (an IPv6 address in brackets) and an optional port.
std::expected<SocketURL, std::string> parseSocketURL(std::string_view url);

// "/socket.io/?EIO=4&transport=websocket&key=value..." with percent-encoded params.
std::string handshakeTarget(std::string_view path, const std::map<std::string, std::string>& params);

std::string percentEncode(std::string_view text);

}  // namespace sio
