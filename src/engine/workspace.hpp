#pragma once

#include "common/aligned_vector.hpp"

namespace quillfen {

// The engine's reusable scratch buffers. Created empty with the engine and sized at the start of
// every update, so that updates of similar size allocate no scratch memory. Contents carry no
// meaning between calls.
template <class T>
struct Workspace {
  AlignedVector<T> residuals;          // rows
  AlignedVector<T> psi;                // rows
  AlignedVector<T> curvature_weights;  // rows
  AlignedVector<T> weighted_rows;      // weighted-row scratch of the Gram kernel
  AlignedVector<T> gram_partials;      // one p × p slot per Gram worker
  AlignedVector<T> gradient_partials;  // one p-vector per row chunk of Xᵀψ
  AlignedVector<T> gradient;           // p
  AlignedVector<T> system_matrix;      // p², row-major
  AlignedVector<T> gram_output;        // p², row-major
  AlignedVector<T> shift;              // p: β − β₀
  AlignedVector<T> direction;          // p
  AlignedVector<T> candidate;          // p
  AlignedVector<T> step;               // p
};

}  // namespace quillfen
