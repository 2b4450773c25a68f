#pragma once
// What the test binary allocates through operator new, across every thread (the probe
// replaces the global operator new of the test binary): the largest single
// allocation, the peak of the bytes live at once, and allocations made to fail.
#include <cstddef>
#include <limits>

namespace bridge::test {

void resetLargestAllocation();
std::size_t largestAllocation();

// The bytes live now, and the most that were live at once since the last reset.
std::size_t liveBytes();
void resetPeakLiveBytes();
std::size_t peakLiveBytes();

// While one lives, every allocation of at least `size` bytes throws std::bad_alloc.
class FailAllocationsFrom {
 public:
  explicit FailAllocationsFrom(std::size_t size);
  ~FailAllocationsFrom();
  FailAllocationsFrom(const FailAllocationsFrom&) = delete;
  FailAllocationsFrom& operator=(const FailAllocationsFrom&) = delete;
};

}  // namespace bridge::test
