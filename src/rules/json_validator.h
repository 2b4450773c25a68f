#pragma once
// Decides whether a decoded rule payload is complete enough to be enforced.
#include <variant>

#include "rules/app_blocker_rules.h"
#include "rules/safe_search_rules.h"
#include "rules/web_filter_rules.h"

namespace rules {

// The kind of payload being validated.
enum class ERequests { SAFE_SEARCH, APP_BLOCKER, WEB_FILTER };

// A non-owning view of one payload of any of the rule kinds, made implicitly from the
// payload. Use it only for the duration of a call.
class AnyRulePayload {
 public:
  AnyRulePayload(const SafeSearchRulesBase& payload) : payload_(&payload) {}  // NOLINT: implicit on purpose
  AnyRulePayload(const AppBlockerRuleBase& payload) : payload_(&payload) {}   // NOLINT
  AnyRulePayload(const WebfilterRuleBase& payload) : payload_(&payload) {}    // NOLINT

  // The payload if it is a T, else nullptr.
  template <class T>
  const T* get() const {
    auto* p = std::get_if<const T*>(&payload_);
    return p ? *p : nullptr;
  }

 private:
  std::variant<const SafeSearchRulesBase*, const AppBlockerRuleBase*, const WebfilterRuleBase*> payload_;
};

class CJsonValidator {
 public:
  CJsonValidator() = default;
  virtual ~CJsonValidator() = default;
  CJsonValidator(const CJsonValidator&) = default;
  CJsonValidator& operator=(const CJsonValidator&) = default;

  // SAFE_SEARCH: true exactly when categoryRules (an empty list counts) and isActive
  // (whatever its value) are present. APP_BLOCKER: true for every payload.
  // WEB_FILTER: false. A payload of another kind than `request` names: false.
  virtual bool ValidateRequest(ERequests request, AnyRulePayload data) const;

 private:
  virtual bool validateSafeSearch(const SafeSearchRulesBase& data) const;
  virtual bool validateAppBlocker(const AppBlockerRuleBase& data) const;
  // Web-filter payloads are not examined.
  virtual void validateWebfilter() const;
};

}  // namespace rules
