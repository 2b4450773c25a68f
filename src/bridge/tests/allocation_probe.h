#pragma once
// The size of the largest single allocation through operator new since the last
// reset, across every thread of the test process (the probe replaces the global
// operator new of the test binary).
#include <cstddef>

namespace bridge::test {

void resetLargestAllocation();
std::size_t largestAllocation();

}  // namespace bridge::test
