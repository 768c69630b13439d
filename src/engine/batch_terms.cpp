#include "engine/batch_terms.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "common/checked_math.hpp"
#include "common/value_tests.hpp"
#include "kernels/objective/objective.hpp"
#include "kernels/parallel_rules.hpp"
#include "kernels/simd/dispatch.hpp"
#include "parallel/cancellation.hpp"
#include "parallel/thread_pool.hpp"

namespace quillfen {
namespace batch_terms_detail {

// Bytes of design rows per block: the block stays in the core's cache between the residuals and
// the products that read it again.
constexpr std::uint64_t kBlockBytes = 1 << 19;
// The most rows in one block; together with kBlockBytes it keeps every block's row kernels on the
// calling thread (rows × cols at most SEQUENTIAL_MAX_ELEMENTS) for all but absurdly wide designs.
constexpr std::uint64_t kMaxBlockRows = 4096;
// Budget of the partial sums of all workers together (64 MiB), as for the engine's Gram slots.
constexpr std::uint64_t kPartialsMaxBytes = 67'108'864;

template <class T>
std::uint64_t block_rows(std::uint64_t p) {
  return std::clamp<std::uint64_t>(kBlockBytes / (p * sizeof(T)), 1, kMaxBlockRows);
}

// One worker's partial sums over its row range, and the scratch its blocks reuse.
template <class T>
struct Slot {
  BatchTerms sums;
  AlignedVector<T> residuals, psi, row_weights, weighted_psi, staged, gram, gradient;
  Status failure;
};

template <class T>
void prepare_slot(Slot<T>& slot, std::uint64_t p, std::uint64_t rows, const TermsRequest& request) {
  const std::uint64_t square = p * p;
  slot.residuals.assign(rows, T(0));
  slot.psi.assign(rows, T(0));
  if (request.gradient) {
    slot.weighted_psi.assign(rows, T(0));
    slot.gradient.assign(p, T(0));
    slot.sums.gradient.assign(p, 0.0);
  }
  if (request.absolute_gradient) slot.sums.absolute_gradient.assign(p, 0.0);
  if (request.curvature || request.score) {
    slot.row_weights.assign(rows, T(0));
    slot.staged.assign(std::min(rows, GRAM_BLOCK_ROWS) * p, T(0));
    slot.gram.assign(square, T(0));
  }
  if (request.curvature) slot.sums.curvature.assign(square, 0.0);
  if (request.score) slot.sums.score.assign(square, 0.0);
}

template <class T>
void add_widened(std::span<const T> part, AlignedVector<double>& total) {
  for (std::size_t k = 0; k < total.size(); ++k) total[k] += double(part[k]);
}

// The sums of rows [first, end) into `slot`, block by block.
template <class T>
void accumulate_range(const BatchView<T>& batch, std::span<const T> beta,
                      const LossSettings& settings, const TermsRequest& request,
                      std::uint64_t first, std::uint64_t end, Slot<T>& slot) {
  const simd::KernelSet<T>& kernels = simd::kernels<T>();
  const std::uint64_t p = batch.cols;
  const std::uint64_t step = block_rows<T>(p);
  const T threshold = T(settings.threshold);
  for (std::uint64_t start = first; start < end; start += step) {
    if (parallel::cancellation_requested()) {
      slot.failure = NativeError::interrupted();
      return;
    }
    const std::uint64_t count = std::min(end, start + step) - start;
    BatchView<T> block;
    block.x_design = batch.x_design.subspan(start * p, count * p);
    block.y = batch.y.subspan(start, count);
    block.rows = count;
    block.cols = p;
    const T* weights = nullptr;
    if (batch.sample_weight) {
      block.sample_weight = batch.sample_weight->subspan(start, count);
      weights = block.sample_weight->data();
    }
    const std::span<T> residuals(slot.residuals.data(), count);
    const std::span<T> psi(slot.psi.data(), count);
    kernels.compute_residuals(block.x_design, p, block.y, beta, residuals, count);
    BatchView<T> unweighted = block;
    unweighted.sample_weight.reset();
    kernels.compute_psi(unweighted, residuals, psi, settings.threshold);

    for (std::uint64_t i = 0; i < count; ++i) {
      const double s = weights != nullptr ? double(weights[i]) : 1.0;
      slot.sums.weight += s;
      if (request.loss) slot.sums.loss += s * double(huber_loss<T>(residuals[i], threshold));
    }
    if (request.gradient) {
      const std::span<T> weighted(slot.weighted_psi.data(), count);
      for (std::uint64_t i = 0; i < count; ++i) {
        weighted[i] = weights != nullptr ? psi[i] * weights[i] : psi[i];
      }
      kernels.transposed_product(block, weighted, {}, false, slot.gradient);
      add_widened<T>(slot.gradient, slot.sums.gradient);
    }
    if (request.absolute_gradient) {
      for (std::uint64_t i = 0; i < count; ++i) {
        const double s = weights != nullptr ? double(weights[i]) : 1.0;
        const double magnitude = std::fabs(s * double(psi[i]));
        const T* row = block.x_design.data() + i * p;
        for (std::uint64_t j = 0; j < p; ++j) {
          slot.sums.absolute_gradient[j] += std::fabs(double(row[j])) * magnitude;
        }
      }
    }
    const std::span<T> row_weights(slot.row_weights.data(),
                                   request.curvature || request.score ? count : 0);
    if (request.curvature) {
      kernels.curvature_weights(residuals, row_weights, settings.threshold, settings.bandwidth);
      if ((slot.failure = kernels.weighted_gram(block, row_weights, slot.staged, {}, slot.gram))) {
        return;
      }
      add_widened<T>(slot.gram, slot.sums.curvature);
    }
    if (request.score) {
      for (std::uint64_t i = 0; i < count; ++i) row_weights[i] = psi[i] * psi[i];
      if ((slot.failure = kernels.weighted_gram(block, row_weights, slot.staged, {}, slot.gram))) {
        return;
      }
      add_widened<T>(slot.gram, slot.sums.score);
    }
  }
}

void add_into(const AlignedVector<double>& part, AlignedVector<double>& total) {
  for (std::size_t k = 0; k < total.size(); ++k) total[k] += part[k];
}

// The matrix made exactly symmetric: the product's two triangles round differently (each term is
// x_ij·(w_i·x_ik) on one side, x_ik·(w_i·x_ij) on the other), a sum of x xᵀ terms is symmetric.
void symmetrise(AlignedVector<double>& matrix, std::uint64_t p) {
  for (std::uint64_t j = 0; j < p; ++j) {
    for (std::uint64_t k = j + 1; k < p; ++k) {
      const double mean = 0.5 * (matrix[j * p + k] + matrix[k * p + j]);
      matrix[j * p + k] = mean;
      matrix[k * p + j] = mean;
    }
  }
}

bool all_finite_sums(const BatchTerms& terms) {
  auto finite = [](const AlignedVector<double>& values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return is_finite(v); });
  };
  return is_finite(terms.loss) && is_finite(terms.weight) && finite(terms.gradient) &&
         finite(terms.absolute_gradient) && finite(terms.curvature) && finite(terms.score);
}

// How many workers share the batch: one unless the row work or the products are large, then as
// many as there are workers and blocks, within the partial-sum budget.
template <class T>
std::uint64_t worker_slots(std::uint64_t n, std::uint64_t p, const TermsRequest& request) {
  const bool products = request.curvature || request.score;
  if (!rows_go_parallel(n, p) && !(products && gram_work_is_large(n, p))) return 1;
  const std::uint64_t blocks = n / block_rows<T>(p) + 1;
  const std::uint64_t per_slot =
      saturating_mul(saturating_mul(p, p), 2 * sizeof(double) + sizeof(T)) + 1;
  const std::uint64_t by_memory = std::max<std::uint64_t>(kPartialsMaxBytes / per_slot, 1);
  return std::min({std::uint64_t(parallel::current_num_threads()), blocks, by_memory});
}

}  // namespace batch_terms_detail

template <class T>
Expected<BatchTerms> batch_terms(const BatchView<T>& batch, std::span<const T> beta,
                                 const LossSettings& settings, const TermsRequest& request) {
  using namespace batch_terms_detail;
  const std::uint64_t n = batch.rows;
  const std::uint64_t p = batch.cols;
  if (p == 0 || beta.size() != p) {
    return NativeError::invalid_batch("coefficients must have one entry per design column");
  }
  const auto elements = checked_mul(n, p);
  if (!elements || !checked_mul(p, p * sizeof(double))) return NativeError::size_overflow();
  if (batch.x_design.size() != *elements || batch.y.size() != n ||
      (batch.sample_weight && batch.sample_weight->size() != n)) {
    return NativeError::invalid_batch("design, targets and sample weights must agree in rows");
  }
  if (!is_finite_positive(settings.threshold) || !is_finite_positive(settings.bandwidth)) {
    return NativeError::invalid_batch("threshold and bandwidth must be finite and positive");
  }

  const std::uint64_t slots = worker_slots<T>(n, p, request);
  const std::uint64_t rows_per_slot = n / slots + (n % slots != 0);
  std::vector<Slot<T>> partial(slots);
  for (Slot<T>& slot : partial) {
    prepare_slot(slot, p, std::min(block_rows<T>(p), std::max<std::uint64_t>(n, 1)), request);
  }
  auto run_slot = [&](std::size_t k, Slot<T>& slot) {
    const std::uint64_t first = std::min(n, k * rows_per_slot);
    const std::uint64_t end = std::min(n, first + rows_per_slot);
    accumulate_range(batch, beta, settings, request, first, end, slot);
  };
  if (slots == 1) {
    run_slot(0, partial[0]);
  } else {
    parallel::for_each_chunk(std::span<Slot<T>>(partial), 1,
                             [&](std::size_t k, std::span<Slot<T>> one) { run_slot(k, one[0]); });
  }
  if (parallel::cancellation_requested()) return NativeError::interrupted();
  for (const Slot<T>& slot : partial) {
    if (slot.failure) return *slot.failure;
  }

  BatchTerms total = std::move(partial[0].sums);
  for (std::uint64_t k = 1; k < slots; ++k) {
    const BatchTerms& part = partial[k].sums;
    total.loss += part.loss;
    total.weight += part.weight;
    add_into(part.gradient, total.gradient);
    add_into(part.absolute_gradient, total.absolute_gradient);
    add_into(part.curvature, total.curvature);
    add_into(part.score, total.score);
  }
  if (!all_finite_sums(total)) return NativeError::non_finite();
  if (!total.curvature.empty()) symmetrise(total.curvature, p);
  if (!total.score.empty()) symmetrise(total.score, p);
  return total;
}

template <class S, class T>
double fill_design(const S* source, std::int64_t row_stride, std::int64_t column_stride,
                   std::uint64_t rows, std::uint64_t cols, bool intercept, std::span<T> out) {
  const std::uint64_t width = cols + (intercept ? 1 : 0);
  // Copies rows [first, end) and returns the largest magnitude in them, the intercept's ones
  // included (NaN never compares larger, so it is passed over). The maximum runs over eight
  // lanes, so that the scan is not one chain of dependent comparisons.
  auto copy_rows = [&](std::uint64_t first, std::uint64_t end) {
    for (std::uint64_t i = first; i < end; ++i) {
      const S* from = source + std::int64_t(i) * row_stride;
      T* to = out.data() + i * width;
      if (std::is_same_v<S, T> && column_stride == 1) {
        std::memcpy(to, from, cols * sizeof(T));
      } else {
        for (std::uint64_t j = 0; j < cols; ++j) to[j] = T(from[std::int64_t(j) * column_stride]);
      }
      if (intercept) to[cols] = T(1);
    }
    const T* copied = out.data() + first * width;
    const std::uint64_t count = (end - first) * width;
    T lanes[8] = {};
    std::uint64_t k = 0;
    for (; k + 8 <= count; k += 8) {
      for (std::uint64_t lane = 0; lane < 8; ++lane) {
        const T magnitude = std::fabs(copied[k + lane]);
        lanes[lane] = magnitude > lanes[lane] ? magnitude : lanes[lane];
      }
    }
    for (; k < count; ++k) {
      const T magnitude = std::fabs(copied[k]);
      lanes[0] = magnitude > lanes[0] ? magnitude : lanes[0];
    }
    return double(*std::max_element(lanes, lanes + 8));
  };
  // A copy runs at memory speed: split it only when it is large enough to repay the hand-off.
  constexpr std::uint64_t kParallelElements = 1 << 20;
  const std::uint64_t workers = parallel::current_num_threads();
  if (workers <= 1 || saturating_mul(rows, width) < kParallelElements) return copy_rows(0, rows);
  const std::uint64_t per_worker = rows / workers + (rows % workers != 0);
  std::vector<double> largest(workers, 0.0);
  parallel::for_each_chunk(std::span<double>(largest), 1,
                           [&](std::size_t k, std::span<double> slot) {
                             const std::uint64_t first = std::min(rows, k * per_worker);
                             slot[0] = copy_rows(first, std::min(rows, first + per_worker));
                           });
  return *std::max_element(largest.begin(), largest.end());
}

QUILLFEN_BATCH_TERMS(, float)
QUILLFEN_BATCH_TERMS(, double)
QUILLFEN_FILL_DESIGN(, float, float)
QUILLFEN_FILL_DESIGN(, float, double)
QUILLFEN_FILL_DESIGN(, double, float)
QUILLFEN_FILL_DESIGN(, double, double)

}  // namespace quillfen
