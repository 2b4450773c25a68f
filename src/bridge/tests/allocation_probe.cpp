#include "allocation_probe.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace {

std::atomic<std::size_t> g_largest{0};
std::atomic<std::size_t> g_allocated{0};
std::atomic<std::size_t> g_peak{0};
std::atomic<std::size_t> g_failFrom{std::numeric_limits<std::size_t>::max()};

void raise(std::atomic<std::size_t>& to, std::size_t value) {
  std::size_t seen = to.load(std::memory_order_relaxed);
  while (value > seen && !to.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

void* allocate(std::size_t size) {
  raise(g_largest, size);
  if (size >= g_failFrom.load(std::memory_order_relaxed)) throw std::bad_alloc();
  void* p = std::malloc(size == 0 ? 1 : size);
  if (!p) throw std::bad_alloc();
  const std::size_t usable = ::malloc_usable_size(p);
  raise(g_peak, g_allocated.fetch_add(usable, std::memory_order_relaxed) + usable);
  return p;
}

void release(void* p) noexcept {
  if (p) g_allocated.fetch_sub(::malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

namespace bridge::test {

void resetLargestAllocation() { g_largest = 0; }
std::size_t largestAllocation() { return g_largest; }

std::size_t allocatedBytes() { return g_allocated; }
void resetPeakAllocatedBytes() { g_peak = g_allocated.load(); }
std::size_t peakAllocatedBytes() { return g_peak; }

FailAllocationsFrom::FailAllocationsFrom(std::size_t size) { g_failFrom = size; }
FailAllocationsFrom::~FailAllocationsFrom() { g_failFrom = std::numeric_limits<std::size_t>::max(); }

}  // namespace bridge::test

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
