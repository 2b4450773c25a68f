#pragma once
// The parent's instant-block command: whether instant blocking is on. The payload is
// read with the convert-from-snake-case key strategy, so "is_instant_block_activated"
// and "isInstantBlockActivated" both fill the flag.
#include <expected>
#include <optional>
#include <string_view>
#include <tuple>

#include "coding/codable.h"

namespace rules {

struct InstantBlock {
  std::optional<bool> isInstantBlockActivated;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("isInstantBlockActivated", &InstantBlock::isInstantBlockActivated)};
  }
  static constexpr const char* typeName = "InstantBlock";
};

// Decodes one event payload (a JSON object) with snake-case key conversion.
std::expected<InstantBlock, coding::DecodingError> decodeInstantBlock(const coding::Json& payload);
std::expected<InstantBlock, coding::DecodingError> decodeInstantBlock(std::string_view text);

}  // namespace rules
