#pragma once

#include <cstdint>
#include <optional>

namespace quillfen {

// Sizes and counts in 64 unsigned bits; nothing when the result does not fit. Every size that
// comes from a caller goes through these, so no check can be passed by wrapping around.
inline std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}

inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

}  // namespace quillfen
