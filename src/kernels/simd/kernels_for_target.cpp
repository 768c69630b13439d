// The hot kernels for one instruction-set target. The build compiles this one file once per
// target with that target's -march flag and QUILLFEN_KERNEL_TABLE set to the table's name, then
// makes every function of each copy private to its object (cmake/LocalizeKernelObject.cmake), so
// that copies built for different targets never stand in for one another. Only the table is
// visible to the rest of the library, which picks one table at run time (dispatch.hpp).
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

template <class T>
constexpr KernelSet<T> kernels_of() {
  return {
      &all_finite<T>,           &dot<T>,
      &compute_residuals<T>,    &row_products<T>,
      &checked_row_products<T>, &compute_psi<T>,
      &curvature_weights<T>,    &transposed_product<T>,
      &combined_gradient<T>,    &combined_objective<T>,
      &weighted_gram<T>,        &newton_system<T>,
  };
}

}  // namespace
}  // namespace quillfen::simd

extern "C" const quillfen::simd::KernelTable QUILLFEN_KERNEL_TABLE = {
    QUILLFEN_KERNEL_TARGET,
    quillfen::simd::kernels_of<float>(),
    quillfen::simd::kernels_of<double>(),
};
