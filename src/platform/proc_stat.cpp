#include "platform/proc_stat.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace platform {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\n' || c == '\t'; }

// Bit i set where text[i] is a blank, for the n <= 64 characters from `text`; the bits
// from n on are set too (past the end counts as a blank). Sixteen characters at a time
// where the processor compares them at once, else eight: a stat line is some 300
// characters, read at every listing for every process.
std::uint64_t blankBits(const char* text, std::size_t n) {
  std::uint64_t bits = n < 64 ? ~std::uint64_t{0} << n : 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i tab = _mm_set1_epi8('\t');
  for (; i + 16 <= n; i += 16) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chars, space), _mm_cmpeq_epi8(chars, newline)),
                                       _mm_cmpeq_epi8(chars, tab));
    bits |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(blank))) << i;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    // 0x80 in each byte of x that is zero, exactly (no borrow between bytes).
    auto zeroBytes = [](std::uint64_t x) { return ~(((x & kLow7) + kLow7) | x | kLow7); };
    for (; i + 8 <= n; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, text + i, 8);
      const std::uint64_t blank =
          zeroBytes(word ^ (kOnes * ' ')) | zeroBytes(word ^ (kOnes * '\n')) | zeroBytes(word ^ (kOnes * '\t'));
      // The eight high bits gathered into one byte, the first character lowest.
      bits |= (((blank >> 7) * 0x0102040810204080ULL) >> 56) << i;
    }
  }
  for (; i < n; ++i) bits |= std::uint64_t{isBlank(text[i])} << i;
  return bits;
}

}  // namespace

std::optional<StatFields> parseStat(std::string_view text) {
  const auto* openAt = static_cast<const char*>(std::memchr(text.data(), '(', text.size()));
  const auto* closeAt = static_cast<const char*>(::memrchr(text.data(), ')', text.size()));
  if (openAt == nullptr || closeAt == nullptr || closeAt < openAt) return std::nullopt;
  const auto open = static_cast<std::size_t>(openAt - text.data());
  const auto close = static_cast<std::size_t>(closeAt - text.data());
  StatFields fields;
  fields.comm = std::string(text.substr(open + 1, close - open - 1));
  // tokens[n - 3] is field n: [0] state, [1] parent, [6] flags, [19] start time, [23..25] and
  // [42..48] the image's addresses.
  std::array<std::string_view, 49> tokens;
  // The fields are the runs of non-blanks, found 64 characters at a time from the
  // blanks' bits: a run starts at a non-blank after a blank (the character before the
  // fields counts as one) and ends at the next blank, or at the end of the text.
  std::size_t count = 0;
  std::size_t start = std::string_view::npos;  // of a field that runs on into the next chunk
  std::uint64_t before = 1;                    // whether the chunk's previous character is a blank
  for (std::size_t chunk = close + 1; chunk < text.size() && count < tokens.size(); chunk += 64) {
    const std::size_t n = std::min<std::size_t>(64, text.size() - chunk);
    const std::uint64_t blank = blankBits(text.data() + chunk, n);
    if (start != std::string_view::npos && blank != 0) {
      const std::size_t end = chunk + static_cast<std::size_t>(std::countr_zero(blank));
      tokens[count++] = text.substr(start, std::min(end, text.size()) - start);
      start = std::string_view::npos;
    }
    std::uint64_t starts = ~blank & ((blank << 1) | before);
    before = blank >> 63;
    for (; starts != 0 && count < tokens.size(); starts &= starts - 1) {
      const int at = std::countr_zero(starts);
      const std::uint64_t after = blank >> at;
      if (after == 0) {
        start = chunk + static_cast<std::size_t>(at);  // ends in a later chunk
        break;
      }
      tokens[count++] = std::string_view(text.data() + chunk + at, static_cast<std::size_t>(std::countr_zero(after)));
    }
  }
  if (start != std::string_view::npos && count < tokens.size()) tokens[count++] = text.substr(start);
  if (count < 20 || tokens[0].size() != 1) return std::nullopt;
  fields.state = tokens[0][0];
  std::from_chars(tokens[1].data(), tokens[1].data() + tokens[1].size(), fields.parent);
  std::from_chars(tokens[6].data(), tokens[6].data() + tokens[6].size(), fields.flags);
  fields.startTime = std::string(tokens[19]);
  auto span = [&](std::size_t first, std::size_t last) {
    return std::string_view(tokens[first].data(),
                            static_cast<std::size_t>(tokens[last].data() + tokens[last].size() - tokens[first].data()));
  };
  if (count == tokens.size() && !(tokens[23] == "0" && tokens[24] == "0")) {
    fields.codeImage = span(23, 25);
    fields.dataImage = span(42, 48);
  }
  return fields;
}

}  // namespace platform
