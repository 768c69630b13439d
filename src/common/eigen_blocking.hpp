#pragma once

// GCC 12's false -Wmaybe-uninitialized warnings inside its AVX-512 intrinsics headers, silenced
// for Eigen's headers alone (as in kernels/gram/eigen_core.hpp).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <Eigen/Core>
#pragma GCC diagnostic pop
#include <cstddef>

namespace quillfen {

// Eigen sizes the blocks of its matrix products (and of the blocked decompositions built on
// them) from the cache sizes it detects at run time, and the depth of a block decides how each
// inner sum is split. The same build then gave different bits on hosts with 32 KiB and 48 KiB
// L1 data caches. These fixed sizes (a Zen 3 core's) make the sums the same on every host.
inline constexpr std::ptrdiff_t PRODUCT_L1_BYTES = 32 * 1024;
inline constexpr std::ptrdiff_t PRODUCT_L2_BYTES = 512 * 1024;
inline constexpr std::ptrdiff_t PRODUCT_L3_BYTES = 32 * 1024 * 1024;

// Pins Eigen's cache sizes before the first product. Each kernel copy keeps its functions, and
// so Eigen's record of the sizes, private to its object, so every copy pins its own; the static
// makes the first call do it, once and thread-safely.
inline void pin_eigen_blocking() {
  static const bool pinned = [] {
    Eigen::setCpuCacheSizes(PRODUCT_L1_BYTES, PRODUCT_L2_BYTES, PRODUCT_L3_BYTES);
    return true;
  }();
  static_cast<void>(pinned);
}

}  // namespace quillfen
