#pragma once
// The printed lines (platform::CapturedOutput) as standard output shows them: each
// line followed by its newline.
#include <string>
#include <vector>

namespace agenttest {

inline std::string printedText(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

}  // namespace agenttest
