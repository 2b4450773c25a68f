// Fuzzes the record decoders with what the service could answer or push. The first
// byte picks the record and the decoder it arrives through (the decoders the agent
// itself uses); the rest is the JSON text.
// Properties beyond "no crash, no exception, no sanitizer report":
//   - a decoded record encodes, and its encoding decodes to a record that encodes to
//     the same text (nothing is lost or changed by a second trip);
//   - the rule validator answers for any decoded rule payload.
#include <cstddef>
#include <cstdint>
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

coding::JSONDecoder snakeCaseDecoder() {
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::convertFromSnakeCase();
  return decoder;
}

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
void decodeWith(const coding::JSONDecoder& decoder, std::string_view text) {
  if (auto record = decoder.decode<T>(text)) checkStable(*record);
}

// Command payloads go through the channel's own path: the event's JSON element is
// written out again and then decoded.
template <class T>
void decodeCommand(std::string_view text) {
  const auto element = coding::parse(text);
  if (!element) return;
  if (auto record = channel::decodePayload<T>(*element, channel::makePayloadDecoder())) checkStable(*record);
}

template <class T>
void validateRule(const T& payload, rules::ERequests request) {
  const rules::CJsonValidator validator;
  (void)validator.ValidateRequest(request, payload);
  // Web-filter payloads are never examined, so a web-filter request never passes,
  // whatever the payload.
  FUZZ_CHECK(!validator.ValidateRequest(rules::ERequests::WEB_FILTER, payload));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const coding::JSONDecoder plain;
  switch (data[0] % 20) {
    case 0:
      if (auto rules = rules::decodeAppBlockerRules(text)) {
        validateRule(*rules, rules::ERequests::APP_BLOCKER);
        checkStable(*rules);
      }
      break;
    case 1:
      if (auto rules = rules::decodeWebfilterRules(text)) {
        validateRule(*rules, rules::ERequests::WEB_FILTER);
        checkStable(*rules);
      }
      break;
    case 2:
      if (auto rules = plain.decode<rules::SafeSearchRulesBase>(text)) {
        validateRule(*rules, rules::ERequests::SAFE_SEARCH);
        checkStable(*rules);
      }
      break;
    case 3:
      if (auto words = rules::decodeLocalWords(text)) checkStable(*words);
      break;
    case 4:
      if (auto block = rules::decodeInstantBlock(text)) checkStable(*block);
      break;
    case 5:
      decodeCommand<rules::InstantBlock>(text);
      break;
    case 6:
      decodeWith<rules::Black_list>(plain, text);
      break;
    case 7:
      decodeWith<networks::MeModel>(plain, text);
      break;
    case 8:
      decodeWith<networks::ErrorModel>(snakeCaseDecoder(), text);
      break;
    case 9:
      decodeWith<networks::DeviceLoginModel>(plain, text);
      break;
    case 10:
      decodeWith<networks::AcceptanceModel>(plain, text);
      break;
    case 11:
      decodeWith<networks::RegisterDeviceModel>(plain, text);
      break;
    case 12:
      decodeWith<networks::DeviceEnrolledModel>(plain, text);
      break;
    case 13:
      decodeWith<networks::ParentAuthAcceptanceModel>(plain, text);
      break;
    case 14:
      decodeWith<networks::PairCodeCheckModel>(plain, text);
      break;
    case 15:
      decodeWith<networks::SendAppListModel>(plain, text);
      break;
    case 16:
      decodeWith<networks::LocationModel>(plain, text);
      break;
    case 17:
      decodeCommand<channel::LiveLocationRule>(text);
      break;
    case 18:
      decodeCommand<channel::ExpirationModel>(text);
      break;
    default:
      decodeCommand<channel::AppDeletion>(text);
      break;
  }
  return 0;
}
