#include "networks/print_line.h"

#include "platform/log.h"

namespace networks {

void printLine(const std::string& line) { platform::StandardOutput::writeLine(line); }

}  // namespace networks
