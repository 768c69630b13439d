#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

#include "kernels/loss/huber_loss.hpp"
#include "kernels/simd/lanes.hpp"

namespace quillfen {

// The loss's smoothed curvature weights (for Huber the trapezoid HuberLoss::Curvature, with
// parameter tau and bandwidth h) of the residuals, into `out`. The loop is written over vectors of
// residuals: written per residual, GCC vectorises it for AVX-512 only and turns the selects into
// branches elsewhere, which heavy-tailed residuals mispredict (two to four times slower on
// x86-64-v2 and v3).
template <class T, class Loss = HuberLoss>
void curvature_weights(std::span<const T> residuals, std::span<T> out, double tau, double h) {
  using Vector = typename simd::RegisterLanes<T>::Vector;
  constexpr std::size_t kWidth = sizeof(Vector) / sizeof(T);
  const typename Loss::template Curvature<T, Vector> lanes(tau, h);
  const typename Loss::template Curvature<T> one(tau, h);
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
