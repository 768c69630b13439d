#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

#include "kernels/simd/lanes.hpp"

namespace quillfen {

namespace detail {

// The smoothed curvature of the Huber loss: a trapezoid in the residual that is 1 well inside
// ±tau, 0 well outside, with linear ramps of width 2c (c = min(h, tau)) centred on −tau and +tau.
// A NaN residual gets 0. Runs in T, with tau and c converted to T first; V is T, or a vector of T
// that takes one residual per lane through the same steps.
template <class T, class V = T>
struct CurvatureRamp {
  V limit, lo, inner_lo, inner_hi, hi, width;

  CurvatureRamp(double tau, double h) {
    const T limit_t = T(tau);
    const T half_width = T(std::min(h, double(limit_t)));
    limit = simd::filled<V>(limit_t);
    lo = simd::filled<V>(-limit_t - half_width);
    inner_lo = simd::filled<V>(half_width - limit_t);
    inner_hi = simd::filled<V>(limit_t - half_width);
    hi = simd::filled<V>(limit_t + half_width);
    width = simd::filled<V>(half_width + half_width);
  }

  // Every piece is formed and the tests then pick one, latest test first, so that the first test
  // that holds wins as in a chain of branches. Each piece is the same arithmetic either way. Only
  // one ramp can be picked, the lower one up to inner_lo, so only its quotient is formed: one
  // division per residual instead of two.
  V weight(V r) const {
    const V zero = simd::filled<V>(T(0));
    const V half = simd::filled<V>(T(0.5));
    const auto on_lower_side = r <= inner_lo;
    const V quotient = (on_lower_side ? limit + r : r - limit) / width;
    const V lower_ramp = quotient + half;
    const V upper_ramp = half - quotient;
    V result = r <= hi ? upper_ramp : zero;  // beyond the upper ramp, and NaN, give 0
    result = r < inner_hi ? simd::filled<V>(T(1)) : result;
    result = on_lower_side ? lower_ramp : result;
    return r < lo ? zero : result;
  }
};

}  // namespace detail

// The curvature weights (CurvatureRamp) of the residuals, into `out`. The loop is written over
// vectors of residuals: written per residual, GCC vectorises it for AVX-512 only and turns the
// selects into branches elsewhere, which heavy-tailed residuals mispredict (two to four times
// slower on x86-64-v2 and v3).
template <class T>
void curvature_weights(std::span<const T> residuals, std::span<T> out, double tau, double h) {
  using Vector = typename simd::RegisterLanes<T>::Vector;
  constexpr std::size_t kWidth = sizeof(Vector) / sizeof(T);
  const detail::CurvatureRamp<T, Vector> lanes(tau, h);
  const detail::CurvatureRamp<T> one(tau, h);
  const std::size_t count = std::min(residuals.size(), out.size());
  std::size_t i = 0;
  for (; i + kWidth <= count; i += kWidth) {
    Vector r;
    std::memcpy(&r, residuals.data() + i, sizeof r);
    const Vector weights = lanes.weight(r);
    std::memcpy(out.data() + i, &weights, sizeof weights);
  }
  for (; i < count; ++i) out[i] = one.weight(residuals[i]);
}

}  // namespace quillfen
