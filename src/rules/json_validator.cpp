#include "rules/json_validator.h"

namespace rules {

bool CJsonValidator::ValidateRequest(ERequests request, AnyRulePayload data) const {
  switch (request) {
    case ERequests::SAFE_SEARCH:
      if (const auto* payload = data.get<SafeSearchRulesBase>()) return validateSafeSearch(*payload);
      return false;
    case ERequests::APP_BLOCKER:
      if (const auto* payload = data.get<AppBlockerRuleBase>()) return validateAppBlocker(*payload);
      return false;
    case ERequests::WEB_FILTER:
      return false;
  }
  return false;
}

bool CJsonValidator::validateSafeSearch(const SafeSearchRulesBase& data) const {
  return data.categoryRules.has_value() && data.isActive.has_value();
}

bool CJsonValidator::validateAppBlocker(const AppBlockerRuleBase&) const { return true; }

void CJsonValidator::validateWebfilter() const {}

}  // namespace rules
