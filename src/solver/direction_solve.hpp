#pragma once

#include <cstddef>
#include <span>

#include "common/expected.hpp"

namespace quillfen {

// Solves A·d = g for the row-major p × p system into `direction` through the cascade Cholesky
// (64-bit only, for a symmetric A) → LU → thresholded pseudo-inverse. Returns whether the
// pseudo-inverse stage supplied the direction. A must be finite; the caller checks. Defined for
// float and double, each in its own unit (decompositions.hpp).
template <class T>
Expected<bool> solve_direction(std::span<const T> system, std::span<const T> gradient,
                               std::size_t p, std::span<T> direction);

extern template Expected<bool> solve_direction<float>(std::span<const float>,
                                                      std::span<const float>, std::size_t,
                                                      std::span<float>);
extern template Expected<bool> solve_direction<double>(std::span<const double>,
                                                       std::span<const double>, std::size_t,
                                                       std::span<double>);

}  // namespace quillfen
