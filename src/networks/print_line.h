#pragma once
// The agent's debugging log on standard output: whole lines of fixed text.
#include <string>

namespace networks {

// Prints one line to standard output (whole lines, safe across threads), through the
// standard-output sink of the log layer (platform::StandardOutput), which tests replace.
void printLine(const std::string& line);

}  // namespace networks
