#pragma once
// The child's token as printed lines show it: its first four characters and "…", so
// that a log file another program can read never holds the whole bearer token.
#include <cstddef>
#include <string>
#include <string_view>

namespace networks {

// Up to four characters (UTF-8 code points, never half of one) and "…" when more
// follow. A token of four characters or fewer prints as "…" alone, since its first
// four would be all of it; the empty token prints as nothing.
inline std::string maskedToken(std::string_view token) {
  if (token.empty()) return "";
  constexpr std::size_t kShown = 4;
  std::size_t end = 0;
  std::size_t characters = 0;
  while (end < token.size() && characters < kShown) {
    ++end;
    // Continuation bytes belong to the character just started.
    while (end < token.size() && (static_cast<unsigned char>(token[end]) & 0xC0) == 0x80) ++end;
    ++characters;
  }
  if (end >= token.size()) return "…";
  return std::string(token.substr(0, end)) + "…";
}

}  // namespace networks
