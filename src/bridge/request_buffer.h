#pragma once
// Internal to the server: the storage of a request that spans chunks.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>

namespace bridge::detail {

// The bytes of a request that spans chunks. A small one lives on the heap; from
// kMappedBuffer on, in pages of its own, so that its memory goes back to the system the
// moment the request is done (the heap would keep it for later, in the arena of
// whichever thread freed it).
class RequestBuffer {
 public:
  static constexpr std::size_t kMappedBuffer = std::size_t{64} * 1024;

  RequestBuffer() = default;
  ~RequestBuffer() { reset(); }
  RequestBuffer(const RequestBuffer&) = delete;
  RequestBuffer& operator=(const RequestBuffer&) = delete;

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

  // The capacity that reserve() gives for a wish of `bytes`: whole pages once mapped.
  static std::size_t capacityFor(std::size_t bytes) {
    if (bytes < kMappedBuffer) return bytes;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
  }

  // Grows the storage to capacityFor(bytes), keeping the bytes held. Throws
  // std::bad_alloc when the memory cannot be had; the bytes are then kept as they were.
  void reserve(std::size_t bytes) {
    const std::size_t capacity = capacityFor(bytes);
    if (capacity <= capacity_) return;
    if (capacity < kMappedBuffer) {
      auto* grown = new std::uint8_t[capacity];
      if (size_ > 0) std::memcpy(grown, data_, size_);
      delete[] data_;
      data_ = grown;
    } else {
      void* grown = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (grown == MAP_FAILED) throw std::bad_alloc();
      if (size_ > 0) std::memcpy(grown, data_, size_);
      releaseStorage();
      data_ = static_cast<std::uint8_t*>(grown);
      mapped_ = true;
    }
    capacity_ = capacity;
  }

  // Appends within the capacity.
  void append(std::span<const std::uint8_t> chunk) {
    std::memcpy(data_ + size_, chunk.data(), chunk.size());
    size_ += chunk.size();
  }

  void reset() {
    releaseStorage();
    data_ = nullptr;
    size_ = capacity_ = 0;
    mapped_ = false;
  }

 private:
  void releaseStorage() {
    if (mapped_) {
      ::munmap(data_, capacity_);
    } else {
      delete[] data_;
    }
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};
}  // namespace bridge::detail
