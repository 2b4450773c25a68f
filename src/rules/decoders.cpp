#include "rules/app_blocker_rules.h"
#include "rules/instant_block.h"
#include "rules/local_words.h"
#include "rules/web_filter_rules.h"

namespace rules {
namespace {

template <class T, class Input>
std::expected<T, coding::DecodingError> decodePlain(const Input& input) {
  const coding::JSONDecoder decoder;
  return decoder.decode<T>(input);
}

coding::JSONDecoder snakeCaseDecoder() {
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::convertFromSnakeCase();
  return decoder;
}

}  // namespace

std::expected<WebfilterRuleBase, coding::DecodingError> decodeWebfilterRules(std::string_view body) {
  return decodePlain<WebfilterRuleBase>(body);
}
std::expected<WebfilterRuleBase, coding::DecodingError> decodeWebfilterRules(const coding::Bytes& body) {
  return decodePlain<WebfilterRuleBase>(body);
}

std::expected<AppBlockerRuleBase, coding::DecodingError> decodeAppBlockerRules(std::string_view body) {
  return decodePlain<AppBlockerRuleBase>(body);
}
std::expected<AppBlockerRuleBase, coding::DecodingError> decodeAppBlockerRules(const coding::Bytes& body) {
  return decodePlain<AppBlockerRuleBase>(body);
}

std::expected<LocalWordsModel, coding::DecodingError> decodeLocalWords(std::string_view text) {
  return decodePlain<LocalWordsModel>(text);
}
std::expected<LocalWordsModel, coding::DecodingError> decodeLocalWords(const coding::Bytes& bytes) {
  return decodePlain<LocalWordsModel>(bytes);
}

std::expected<InstantBlock, coding::DecodingError> decodeInstantBlock(const coding::Json& payload) {
  return snakeCaseDecoder().decode<InstantBlock>(payload);
}
std::expected<InstantBlock, coding::DecodingError> decodeInstantBlock(std::string_view text) {
  return snakeCaseDecoder().decode<InstantBlock>(text);
}

}  // namespace rules
