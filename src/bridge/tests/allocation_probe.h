#pragma once
// What the test binary allocates through operator new, across every thread (the probe
// replaces the global operator new of the test binary): the largest single
// allocation, the bytes held at once, and allocations made to fail.
#include <cstddef>

namespace bridge::test {

void resetLargestAllocation();
std::size_t largestAllocation();

// Bytes allocated and not yet freed now, and the most there were at once since the
// last reset (which starts from what is held then).
std::size_t allocatedBytes();
void resetPeakAllocatedBytes();
std::size_t peakAllocatedBytes();

// While one lives, every allocation of at least `size` bytes throws std::bad_alloc.
class FailAllocationsFrom {
 public:
  explicit FailAllocationsFrom(std::size_t size);
  ~FailAllocationsFrom();
  FailAllocationsFrom(const FailAllocationsFrom&) = delete;
  FailAllocationsFrom& operator=(const FailAllocationsFrom&) = delete;
};

}  // namespace bridge::test
