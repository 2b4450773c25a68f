#pragma once
// The bridge's diagnostic lines on standard output.
#include <string_view>

namespace bridge {

// Writes the text and a newline as one write, then flushes, so lines from several
// threads never interleave and are visible at once.
void printLine(std::string_view text);
// The same for a line made of two parts. Never throws: when no memory is left to join
// them, the parts are written one after the other under the stream's lock.
void printLine(std::string_view first, std::string_view second) noexcept;

}  // namespace bridge
