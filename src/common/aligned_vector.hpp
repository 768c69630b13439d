#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace quillfen {

// Cache-line aligned storage, so that vector loads in the kernels never straddle lines.
inline constexpr std::size_t kBufferAlignment = 64;

template <class T>
struct AlignedAllocator {
  using value_type = T;

  AlignedAllocator() noexcept = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(::operator new(count * sizeof(T), std::align_val_t{kBufferAlignment}));
  }
  void deallocate(T* pointer, std::size_t) noexcept {
    ::operator delete(pointer, std::align_val_t{kBufferAlignment});
  }

  // Elements made without a value are left uninitialised, so that an output buffer the kernels
  // overwrite is not first cleared: a value must be given wherever zeros are wanted.
  template <class U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const AlignedAllocator<U>&) const noexcept {
    return true;
  }
};

// Every buffer of element type T that the engine owns: state arrays and workspace buffers.
template <class T>
using AlignedVector = std::vector<T, AlignedAllocator<T>>;

// A buffer of `count` elements with unspecified contents, for output that is written in full. A
// request no allocator could satisfy (including one beyond the vector's addressable size) fails
// with std::bad_alloc, never with another exception.
template <class T>
AlignedVector<T> output_buffer(std::size_t count) {
  if (count > AlignedVector<T>().max_size()) throw std::bad_alloc();
  return AlignedVector<T>(count);
}

// A zero-filled buffer of `count` elements. Fails like output_buffer.
template <class T>
AlignedVector<T> zeroed_buffer(std::size_t count) {
  AlignedVector<T> buffer = output_buffer<T>(count);
  std::fill(buffer.begin(), buffer.end(), T(0));
  return buffer;
}

}  // namespace quillfen
