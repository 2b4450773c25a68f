#include "platform/text.h"

#include <cstdint>

namespace platform {

bool isValidUTF8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      value = c & 0x07;
    } else {
      return false;
    }
    if (i + length > n) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

bool isValidUTF8(const Data& bytes) {
  return isValidUTF8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string percentEncodedPath(std::string_view path) {
  static constexpr std::string_view kept = "-._~/!$&'()*+,;=:@";
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (alnum || kept.find(ch) != std::string_view::npos) {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    }
  }
  return out;
}

std::string fileURLText(std::string_view path) { return "file://" + percentEncodedPath(path); }

}  // namespace platform
