// The URL handling of the client: the socket URL, the upgrade request's target
// and its percent-encoded query.
#include "socketio/url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace sio {

std::expected<SocketURL, std::string> parseSocketURL(std::string_view url) {
  auto sep = url.find("://");
  if (sep == std::string_view::npos) {
    return std::unexpected("URL without a scheme: " + std::string(url));
  }
  std::string scheme(url.substr(0, sep));
  std::ranges::transform(scheme, scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  SocketURL out;
  if (scheme == "https" || scheme == "wss") {
    out.secure = true;
  } else if (scheme != "http" && scheme != "ws") {
    return std::unexpected("unsupported URL scheme: " + scheme);
  }
  std::string_view rest = url.substr(sep + 3);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.find('@') != std::string_view::npos) {
    return std::unexpected("URL with user information is not supported");
  }
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) {
      return std::unexpected("unterminated IPv6 address in URL");
    }
    out.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        return std::unexpected("invalid text after IPv6 address in URL");
      }
      portText = after.substr(1);
    }
  } else {
    auto colon = authority.find(':');
    out.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = authority.substr(colon + 1);
    }
  }
  if (out.host.empty()) {
    return std::unexpected("URL without a host");
  }
  if (portText.empty()) {
    out.port = out.secure ? 443 : 80;
  } else {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (ec != std::errc{} || end != portText.data() + portText.size() || value == 0 || value > 65535) {
      return std::unexpected("invalid port in URL: " + std::string(portText));
    }
    out.port = static_cast<std::uint16_t>(value);
  }
  return out;
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string handshakeTarget(std::string_view path, const std::map<std::string, std::string>& params) {
  std::string target(path);
  if (target.empty() || target.front() != '/') {
    target.insert(target.begin(), '/');
  }
  while (target.size() > 1 && target.back() == '/') {
    target.pop_back();
  }
  if (target != "/") {
    target.push_back('/');
  }
  target += "?EIO=4&transport=websocket";
  for (const auto& [key, value] : params) {
    if (key == "EIO" || key == "transport" || key == "sid") {
      continue;  // the protocol's own parameters cannot be overridden
    }
    target.push_back('&');
    target += percentEncode(key);
    target.push_back('=');
    target += percentEncode(value);
  }
  return target;
}

}  // namespace sio
