#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace quillfen::simd {

// The kernels' vector: 32 bytes of T (four doubles or eight floats) in GCC's vector extension.
// The x86-64-v2 copy of the kernels splits each operation into two 16-byte halves, the v3 and v4
// copies use one AVX register; every lane computes the same either way, so a kernel written with
// it gives the same bits on every target.
template <class T>
struct Lanes {
  typedef T Vector __attribute__((vector_size(32)));
  static constexpr std::size_t kWidth = sizeof(Vector) / sizeof(T);
};

// One register of T, for kernels whose lanes only spread elements that are each computed on their
// own (the narrow Gram tiles, the transposed product's columns, the curvature weights), so that
// the width changes no bit: 32 bytes where the target has AVX, and 16 (one SSE register)
// elsewhere, where GCC splits every 32-byte operation, for some through memory.
template <class T>
struct RegisterLanes {
#if defined(__AVX__)
  using Vector = typename Lanes<T>::Vector;
#else
  typedef T Vector __attribute__((vector_size(16)));
#endif
  static constexpr std::size_t kWidth = sizeof(Vector) / sizeof(T);
};

template <class V, class T, std::size_t... Lane>
inline V filled_lanes(T value, std::index_sequence<Lane...>) {
  return V{((void)Lane, value)...};
}

// `value` in every lane of the vector V, or `value` itself when V is T. Built as one vector of
// equal elements: filled lane by lane, GCC merged the broadcasts of neighbouring row elements in
// the Gram tiles into vector loads and shuffles, which compete with the multiply-adds; as one
// value it loads each broadcast straight from memory (narrow products 5 to 70 % faster, by width).
template <class V, class T>
inline V filled(T value) {
  if constexpr (std::is_same_v<V, T>) {
    return value;
  } else {
    return filled_lanes<V>(value, std::make_index_sequence<sizeof(V) / sizeof(T)>{});
  }
}

// a·b + c lane by lane, fused into one rounding where the target has FMA (x86-64-v3 and up) and
// as a product then a sum elsewhere. Only the matrix product may use it: its bits then depend on
// the target.
template <class Vector>
inline Vector matrix_product_multiply_add(Vector a, Vector b, Vector c) {
#if defined(__FMA__) && defined(__AVX__)
  if constexpr (sizeof(a[0]) == 8) {
    return __builtin_ia32_vfmaddpd256(a, b, c);
  } else {
    return __builtin_ia32_vfmaddps256(a, b, c);
  }
#else
  return a * b + c;  // contraction is off: a product, then a sum
#endif
}

}  // namespace quillfen::simd
