#include "bridge/output.h"

#include <cstdio>
#include <new>
#include <string>

namespace bridge {

void printLine(std::string_view text) { printLine(text, {}); }

void printLine(std::string_view first, std::string_view second) noexcept {
  try {
    std::string line;
    line.reserve(first.size() + second.size() + 1);
    line.append(first).append(second).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
  } catch (const std::bad_alloc&) {
    ::flockfile(stdout);
    std::fwrite(first.data(), 1, first.size(), stdout);
    std::fwrite(second.data(), 1, second.size(), stdout);
    std::fputc('\n', stdout);
    ::funlockfile(stdout);
  }
  std::fflush(stdout);
}

}  // namespace bridge
