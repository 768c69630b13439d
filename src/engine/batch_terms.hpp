#pragma once

#include <cstdint>
#include <span>

#include "common/aligned_vector.hpp"
#include "common/expected.hpp"
#include "engine/records.hpp"

namespace quillfen {

// Which sums a caller wants of one batch at one coefficient vector. Each costs its own pass or
// product, so only the requested ones are formed.
struct TermsRequest {
  bool loss = false;               // Σ s_i ρ(r_i)
  bool gradient = false;           // Σ s_i ψ(r_i) x_i: minus the gradient of the loss sum
  bool absolute_gradient = false;  // Σ |s_i ψ(r_i)|·|x_i|, entry by entry: the gradient's scale
  bool curvature = false;          // Σ s_i c(r_i) x_i x_iᵀ, c the smoothed curvature
  bool score = false;              // Σ s_i ψ(r_i)² x_i x_iᵀ, the middle of the sandwich
};

// The loss's settings in the units of y: the Huber threshold (tau·scale) and the half-width of the
// curvature smoothing (capped at the threshold as the engine caps it).
struct LossSettings {
  double threshold = 0.0;
  double bandwidth = 0.0;
};

// The requested sums, in double whatever T; the others stay empty (loss 0). Matrices are p × p
// row-major with both triangles, exactly symmetric. `weight` is Σ s_i (the row count without sample
// weights).
struct BatchTerms {
  double loss = 0.0;
  double weight = 0.0;
  AlignedVector<double> gradient;
  AlignedVector<double> absolute_gradient;
  AlignedVector<double> curvature;
  AlignedVector<double> score;
};

// The sums of `request` over every row of `batch` at `beta` (p = batch.cols entries), with the
// residuals r_i = y_i − x_iᵀβ in T. Rows go in blocks small enough to stay in cache; each block's
// sums are formed in T by the engine's kernels and added into double, so float32 batches keep
// the accuracy of blocks rather than of the whole batch. Large batches are split over the workers
// of the current pool, one contiguous row range and one set of partial sums per worker, combined
// in worker order: the result depends on the worker count only, not on scheduling.
//
// Fails with InvalidBatch for inconsistent lengths or settings, NonFinite when a sum is not
// finite, SizeOverflow for sizes beyond 64 bits, and Interrupted when the call was cancelled;
// nothing is returned then. Throws std::bad_alloc when memory runs out.
template <class T>
Expected<BatchTerms> batch_terms(const BatchView<T>& batch, std::span<const T> beta,
                                 const LossSettings& settings, const TermsRequest& request);

// Copies the 2-D array at `source` (rows × cols elements of S, strides in elements, any order)
// into the row-major `out` of rows × (cols + intercept) elements of T, converting each element,
// and sets the last column to 1 when `intercept`. Returns the largest magnitude in the design
// (NaN passed over, 0 when it is empty), which saves the caller a pass of its own. Rows are split
// over the current pool's workers when the copy is large.
template <class S, class T>
double fill_design(const S* source, std::int64_t row_stride, std::int64_t column_stride,
                   std::uint64_t rows, std::uint64_t cols, bool intercept, std::span<T> out);

#define QUILLFEN_BATCH_TERMS(EXTERN, T)                                                        \
  EXTERN template Expected<BatchTerms> batch_terms<T>(const BatchView<T>&, std::span<const T>, \
                                                      const LossSettings&, const TermsRequest&);
QUILLFEN_BATCH_TERMS(extern, float)
QUILLFEN_BATCH_TERMS(extern, double)

#define QUILLFEN_FILL_DESIGN(EXTERN, S, T)                                                      \
  EXTERN template double fill_design<S, T>(const S*, std::int64_t, std::int64_t, std::uint64_t, \
                                           std::uint64_t, bool, std::span<T>);
QUILLFEN_FILL_DESIGN(extern, float, float)
QUILLFEN_FILL_DESIGN(extern, float, double)
QUILLFEN_FILL_DESIGN(extern, double, float)
QUILLFEN_FILL_DESIGN(extern, double, double)

}  // namespace quillfen
