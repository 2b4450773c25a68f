#include "allocation_probe.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> g_largest{0};
std::atomic<std::size_t> g_live{0};
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
  raise(g_peak, g_live.fetch_add(malloc_usable_size(p), std::memory_order_relaxed) + malloc_usable_size(p));
  return p;
}

void release(void* p) noexcept {
  if (!p) return;
  g_live.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

namespace bridge::test {

void resetLargestAllocation() { g_largest = 0; }
std::size_t largestAllocation() { return g_largest; }

std::size_t liveBytes() { return g_live; }
void resetPeakLiveBytes() { g_peak = g_live.load(); }
std::size_t peakLiveBytes() { return g_peak; }

FailAllocationsFrom::FailAllocationsFrom(std::size_t size) { g_failFrom = size; }
FailAllocationsFrom::~FailAllocationsFrom() { g_failFrom = std::numeric_limits<std::size_t>::max(); }

}  // namespace bridge::test

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
