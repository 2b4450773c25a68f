#pragma once
// The bridge's diagnostic lines on standard output.
#include <string_view>

namespace bridge {

// Writes the text and a newline as one write, then flushes, so lines from several
// threads never interleave and are visible at once.
void printLine(std::string_view text);

}  // namespace bridge
