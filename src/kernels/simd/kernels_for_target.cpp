// The hot kernels for one instruction-set target. The build compiles this one file once per
// target with that target's -march flag and QUILLFEN_KERNEL_TABLE set to the table's name, then
// makes every function of each copy private to its object (cmake/LocalizeKernelObject.cmake), so
// that copies built for different targets never stand in for one another. Only the table is
// visible to the rest of the library, which picks one table at run time (dispatch.hpp).
#include <cstddef>
#include <utility>

#include "common/value_tests.hpp"
#include "kernels/gram/newton_system.hpp"
#include "kernels/objective/objective.hpp"
#include "kernels/simd/kernel_table.hpp"
#include "kernels/vector/vector_kernels.hpp"

#ifndef QUILLFEN_KERNEL_TABLE
#error "QUILLFEN_KERNEL_TABLE must name the kernel table of this target"
#endif
#ifndef QUILLFEN_KERNEL_TARGET
#error "QUILLFEN_KERNEL_TARGET must give the target's name"
#endif

namespace quillfen::simd {
namespace {

template <class T, class Loss, class PenaltyType>
constexpr KernelSet<T> kernels_of() {
  return {
      &all_finite<T>,
      &dot<T>,
      &compute_residuals<T>,
      &row_products<T>,
      &checked_row_products<T>,
      &compute_psi<T, Loss>,
      &curvature_weights<T, Loss>,
      &transposed_product<T>,
      &combined_gradient<T, PenaltyType>,
      &combined_objective<T, Loss, PenaltyType>,
      &weighted_gram<T>,
      &newton_system<T, Loss, PenaltyType>,
  };
}

// Every registered loss and penalty, in the order of kernel_set_index.
template <class T, std::size_t... K>
constexpr std::array<KernelSet<T>, kKernelSetCount> every_kernel_set(std::index_sequence<K...>) {
  return {kernels_of<T, LossOfSet<K>, PenaltyOfSet<K>>()...};
}

template <class T>
constexpr std::array<KernelSet<T>, kKernelSetCount> every_kernel_set() {
  return every_kernel_set<T>(std::make_index_sequence<kKernelSetCount>{});
}

}  // namespace
}  // namespace quillfen::simd

extern "C" constinit const quillfen::simd::KernelTable QUILLFEN_KERNEL_TABLE = {
    QUILLFEN_KERNEL_TARGET,
    quillfen::simd::every_kernel_set<float>(),
    quillfen::simd::every_kernel_set<double>(),
};
