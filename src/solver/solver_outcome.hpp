#pragma once

#include <cstdint>

#include "common/aligned_vector.hpp"

namespace quillfen {

// What either solver hands back to the update driver. On return the workspace's residual buffer
// holds y − Xβ for `coefficients`.
template <class T>
struct SolverOutcome {
  AlignedVector<T> coefficients;
  std::uint64_t iterations = 0;
  double objective = 0.0;  // F at `coefficients`, without any l1 term
  bool converged = false;
  bool used_regularized_fallback = false;
};

}  // namespace quillfen
