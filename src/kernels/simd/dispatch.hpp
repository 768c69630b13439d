#pragma once

#include <span>

#include "kernels/simd/kernel_table.hpp"

namespace quillfen::simd {

// The kernels of the best target this CPU runs, chosen at the first call and kept for the rest of
// the process. A build for the building machine (QUILLFEN_NATIVE_ARCH) has one table only. As a
// debugging aid, the environment variable QUILLFEN_FORCE_TARGET (e.g. "x86-64-v2") caps the
// choice at a lower target; a target the CPU cannot run, or an unknown name, is ignored.
const KernelTable& active_kernels();

// The active kernels of element type T, loss and penalty (the default set as in kernel_set).
template <class T, class Loss = HuberLoss, class PenaltyType = NoPenalty>
const KernelSet<T>& kernels() {
  return kernel_set<T, Loss, PenaltyType>(active_kernels());
}

// Every table of this build that the CPU runs, lowest target first: for tests and benchmarks that
// compare the targets.
std::span<const KernelTable* const> runnable_kernel_tables();

}  // namespace quillfen::simd
