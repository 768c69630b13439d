#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "common/checked_math.hpp"
#include "common/eigen_blocking.hpp"
#include "common/native_error.hpp"
#include "kernels/gram/eigen_core.hpp"

namespace quillfen {

// C ← AᵀV (or C ← C + AᵀV when `accumulate`), where A and V are r × p row-major blocks and C is
// p × p row-major. A is read in place as its own transpose through strides, without a copy. The
// product is the linear-algebra library's blocked kernel, which may fuse multiply and add and
// groups its inner sums its own way. Without `accumulate` the old contents of C are never read.
template <class T>
Status gemm_at_b(std::span<const T> block, std::span<const T> weighted, std::uint64_t r,
                 std::uint64_t p, std::span<T> out, bool accumulate) {
  const auto block_size = checked_mul(r, p);
  const auto out_size = checked_mul(p, p);
  if (!block_size || !out_size) return NativeError::size_overflow();
  if (weighted.size() != *block_size || block.size() != *block_size || out.size() != *out_size) {
    return NativeError::invalid_batch("GEMM buffers do not match the declared matrix shapes");
  }
  if (p > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
    return NativeError::size_overflow();
  }
  pin_eigen_blocking();
  using RowMajor = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const auto rows = Eigen::Index(r);
  const auto cols = Eigen::Index(p);
  const Eigen::Map<const RowMajor> a(block.data(), rows, cols);
  const Eigen::Map<const RowMajor> v(weighted.data(), rows, cols);
  Eigen::Map<RowMajor> c(out.data(), cols, cols);
  if (accumulate) {
    c.noalias() += a.transpose() * v;
  } else {
    c.noalias() = a.transpose() * v;
  }
  return std::nullopt;
}

}  // namespace quillfen
