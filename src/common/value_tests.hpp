#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace quillfen {

// Exact tests on the IEEE 754 encoding, independent of compiler flags such as -ffast-math.
namespace detail {
template <class T>
struct FloatBits;
template <>
struct FloatBits<float> {
  using Word = std::uint32_t;
  static constexpr Word kSign = 0x8000'0000u;
  static constexpr Word kExponent = 0x7f80'0000u;
};
template <>
struct FloatBits<double> {
  using Word = std::uint64_t;
  static constexpr Word kSign = 0x8000'0000'0000'0000ull;
  static constexpr Word kExponent = 0x7ff0'0000'0000'0000ull;
};
}  // namespace detail

// The exponent field is not all ones: rejects both infinities and every NaN.
template <std::floating_point T>
constexpr bool is_finite(T value) {
  using Bits = detail::FloatBits<T>;
  return (std::bit_cast<typename Bits::Word>(value) & Bits::kExponent) != Bits::kExponent;
}

// Finite and not a negative number other than zero: -0.0 passes, a negative subnormal fails.
template <std::floating_point T>
constexpr bool is_finite_non_negative(T value) {
  using Bits = detail::FloatBits<T>;
  const auto word = std::bit_cast<typename Bits::Word>(value);
  const bool negative_nonzero = (word & Bits::kSign) != 0 && (word & ~Bits::kSign) != 0;
  return is_finite(value) && !negative_nonzero;
}

// Finite and strictly greater than zero: positive subnormals pass, both zeros fail.
template <std::floating_point T>
constexpr bool is_finite_positive(T value) {
  using Bits = detail::FloatBits<T>;
  const auto word = std::bit_cast<typename Bits::Word>(value);
  return is_finite(value) && (word & Bits::kSign) == 0 && word != 0;
}

// Every value passes is_finite. Tested a block at a time without branching inside the block, so
// the compiler can vectorise the test; the scan still stops at the first block holding a failure.
// Adding the exponent field's lowest bit to the field carries into the sign bit exactly when the
// field is all ones, so one AND, ADD and OR per value collect the answer in the sign bit.
template <std::floating_point T>
bool all_finite(std::span<const T> values) {
  using Bits = detail::FloatBits<T>;
  using Word = typename Bits::Word;
  constexpr Word kExponentLowBit = Bits::kExponent & ~(Bits::kExponent << 1);
  constexpr std::size_t kBlock = 256;
  for (std::size_t start = 0; start < values.size(); start += kBlock) {
    const std::size_t end = std::min(values.size(), start + kBlock);
    Word carried = 0;
    for (std::size_t k = start; k < end; ++k) {
      carried |= (std::bit_cast<Word>(values[k]) & Bits::kExponent) + kExponentLowBit;
    }
    if ((carried & Bits::kSign) != 0) return false;
  }
  return true;
}

}  // namespace quillfen
