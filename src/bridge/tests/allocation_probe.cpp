#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace {

std::atomic<std::size_t> g_largest{0};
std::atomic<std::size_t> g_failFrom{std::numeric_limits<std::size_t>::max()};

void raise(std::atomic<std::size_t>& to, std::size_t value) {
  std::size_t seen = to.load(std::memory_order_relaxed);
  while (value > seen && !to.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

void* allocate(std::size_t size) {
  raise(g_largest, size);
  if (size >= g_failFrom.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void release(void* p) noexcept { std::free(p); }

}  // namespace

namespace bridge::test {

void resetLargestAllocation() { g_largest = 0; }
std::size_t largestAllocation() { return g_largest; }

FailAllocationsFrom::FailAllocationsFrom(std::size_t size) { g_failFrom = size; }
FailAllocationsFrom::~FailAllocationsFrom() { g_failFrom = std::numeric_limits<std::size_t>::max(); }

}  // namespace bridge::test

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
