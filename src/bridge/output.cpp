#include "bridge/output.h"

#include <cstdio>
#include <string>

namespace bridge {

void printLine(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace bridge
