#include "coding/keys.h"

#include <cctype>

namespace coding {
namespace {

bool isUpper(char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; }
bool isLower(char c) { return std::islower(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
char toLower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char toUpper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = toLower(c);
  return out;
}

}  // namespace

std::string convertToSnakeCase(std::string_view key) {
  if (key.empty()) return {};
  const auto first = key.find_first_not_of('_');
  if (first == std::string_view::npos) return std::string(key);
  const auto last = key.find_last_not_of('_');
  const std::string_view lead = key.substr(0, first);
  const std::string_view trail = key.substr(last + 1);
  const std::string_view body = key.substr(first, last - first + 1);

  std::string out;
  out.reserve(body.size() + 4);
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (i > 0 && isUpper(c)) {
      const char prev = body[i - 1];
      const bool nextIsLower = i + 1 < body.size() && isLower(body[i + 1]);
      // "aB" starts a word; in "ABc" the B starts the word "bc".
      if (isLower(prev) || isDigit(prev) || (isUpper(prev) && nextIsLower)) out += '_';
    }
    out += toLower(c);
  }
  return std::string(lead) + out + std::string(trail);
}

std::string capitalized(std::string_view word) {
  std::string out(word);
  bool seenLetter = false;
  for (char& c : out) {
    if (!std::isalpha(static_cast<unsigned char>(c))) continue;
    c = seenLetter ? toLower(c) : toUpper(c);
    seenLetter = true;
  }
  return out;
}

std::string convertFromSnakeCase(std::string_view key) {
  if (key.empty()) return {};
  const auto first = key.find_first_not_of('_');
  if (first == std::string_view::npos) return std::string(key);
  const auto last = key.find_last_not_of('_');
  const std::string_view body = key.substr(first, last - first + 1);
  if (body.find('_') == std::string_view::npos) return std::string(key);

  std::vector<std::string_view> words;
  std::size_t start = 0;
  while (start <= body.size()) {
    const auto end = body.find('_', start);
    const auto piece = body.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!piece.empty()) words.push_back(piece);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  std::string out(key.substr(0, first));
  for (std::size_t i = 0; i < words.size(); ++i) out += i == 0 ? lowered(words[i]) : capitalized(words[i]);
  out += key.substr(last + 1);
  return out;
}

}  // namespace coding
