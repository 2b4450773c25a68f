// Fuzzes the record decoders with what the service could answer or push. The first
// byte picks the record and the decoder it arrives through (the decoders the agent
// itself uses); the rest is the JSON text.
// Properties beyond "no crash, no exception, no sanitizer report":
//   - a decoded record encodes, and its encoding decodes to a record that encodes to
//     the same text (nothing is lost or changed by a second trip);
//   - the rule validator answers for any decoded rule payload.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <string_view>

#include "channel/command_payloads.h"
#include "coding/codable.h"
#include "fuzz_check.h"
#include "networks/app_list_report.h"
#include "networks/child_end_point.h"
#include "networks/error_model.h"
#include "networks/location_report.h"
#include "networks/me_model.h"
#include "networks/replies.h"
#include "rules/app_blocker_rules.h"
#include "rules/instant_block.h"
#include "rules/json_validator.h"
#include "rules/local_words.h"
#include "rules/safe_search_rules.h"
#include "rules/time_rules.h"
#include "rules/web_filter_rules.h"

namespace {

// Encoding with the default keys and decoding with the plain decoder is a lossless
// pair for every record, whatever strategy the record first arrived through.
template <class T>
void checkStable(const T& record) {
  const coding::JSONEncoder encoder;
  const auto first = encoder.encode(record);
  FUZZ_CHECK(first.has_value());
  const auto again = coding::JSONDecoder().decode<T>(std::string_view(*first));
  FUZZ_CHECK(again.has_value());
  const auto second = encoder.encode(*again);
  FUZZ_CHECK(second.has_value() && *second == *first);
}

template <class T>
void validateRule(const T& payload, rules::ERequests request) {
  const rules::CJsonValidator validator;
  (void)validator.ValidateRequest(request, payload);
  // Web-filter payloads are never examined, so a web-filter request never passes,
  // whatever the payload.
  FUZZ_CHECK(!validator.ValidateRequest(rules::ERequests::WEB_FILTER, payload));
}

// ---- the paths a record arrives through ----

template <class T>
using TextDecoder = std::expected<T, coding::DecodingError> (*)(std::string_view text);

template <class T>
std::expected<T, coding::DecodingError> plain(std::string_view text) {
  return coding::JSONDecoder().decode<T>(text);
}

template <class T>
std::expected<T, coding::DecodingError> snakeCase(std::string_view text) {
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::convertFromSnakeCase();
  return decoder.decode<T>(text);
}

// ---- what is checked of a record ----

template <class T, TextDecoder<T> decode>
void record(std::string_view text) {
  if (auto decoded = decode(text)) checkStable(*decoded);
}

// A rule payload is also validated.
template <class T, TextDecoder<T> decode, rules::ERequests request>
void rulePayload(std::string_view text) {
  if (auto decoded = decode(text)) {
    validateRule(*decoded, request);
    checkStable(*decoded);
  }
}

// Command payloads go through the channel's own path: the event's JSON element is
// written out again and then decoded.
template <class T>
void command(std::string_view text) {
  const auto element = coding::parse(text);
  if (!element) return;
  if (auto decoded = channel::decodePayload<T>(*element, channel::makePayloadDecoder())) checkStable(*decoded);
}

// The records, one line each; the input's first byte picks one by its position (the
// seeds of the corpus start with theirs, so new records go at the end).
using Record = void (*)(std::string_view text);
constexpr Record kRecords[] = {
    &rulePayload<rules::AppBlockerRuleBase, &rules::decodeAppBlockerRules, rules::ERequests::APP_BLOCKER>,
    &rulePayload<rules::WebfilterRuleBase, &rules::decodeWebfilterRules, rules::ERequests::WEB_FILTER>,
    &rulePayload<rules::SafeSearchRulesBase, &plain<rules::SafeSearchRulesBase>, rules::ERequests::SAFE_SEARCH>,
    &record<rules::LocalWordsModel, &rules::decodeLocalWords>,
    &record<rules::InstantBlock, &rules::decodeInstantBlock>,
    &command<rules::InstantBlock>,
    &record<rules::Black_list, &plain<rules::Black_list>>,
    &record<networks::MeModel, &plain<networks::MeModel>>,
    &record<networks::ErrorModel, &snakeCase<networks::ErrorModel>>,
    &record<networks::DeviceLoginModel, &plain<networks::DeviceLoginModel>>,
    &record<networks::AcceptanceModel, &plain<networks::AcceptanceModel>>,
    &record<networks::RegisterDeviceModel, &plain<networks::RegisterDeviceModel>>,
    &record<networks::DeviceEnrolledModel, &plain<networks::DeviceEnrolledModel>>,
    &record<networks::ParentAuthAcceptanceModel, &plain<networks::ParentAuthAcceptanceModel>>,
    &record<networks::PairCodeCheckModel, &plain<networks::PairCodeCheckModel>>,
    &record<networks::SendAppListModel, &plain<networks::SendAppListModel>>,
    &record<networks::LocationModel, &plain<networks::LocationModel>>,
    &command<channel::LiveLocationRule>,
    &command<channel::ExpirationModel>,
    &command<channel::AppDeletion>,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  kRecords[data[0] % std::size(kRecords)](text);
  return 0;
}
