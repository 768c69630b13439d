#include "kernels/simd/dispatch.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

// The tables, one per target, defined by the copies of kernels_for_target.cpp.
extern "C" {
#ifdef QUILLFEN_NATIVE_KERNELS
extern const quillfen::simd::KernelTable quillfen_kernels_native;
#else
extern const quillfen::simd::KernelTable quillfen_kernels_x86_64_v2;
extern const quillfen::simd::KernelTable quillfen_kernels_x86_64_v3;
extern const quillfen::simd::KernelTable quillfen_kernels_x86_64_v4;
#endif
}

namespace quillfen::simd {
namespace {

// Lowest target first. The baseline runs on every CPU this build runs on at all.
std::vector<const KernelTable*> find_runnable_tables() {
#ifdef QUILLFEN_NATIVE_KERNELS
  return {&quillfen_kernels_native};
#else
  __builtin_cpu_init();
  std::vector<const KernelTable*> tables = {&quillfen_kernels_x86_64_v2};
  if (__builtin_cpu_supports("x86-64-v3")) tables.push_back(&quillfen_kernels_x86_64_v3);
  if (__builtin_cpu_supports("x86-64-v4")) tables.push_back(&quillfen_kernels_x86_64_v4);
  return tables;
#endif
}

const std::vector<const KernelTable*>& runnable() {
  static const std::vector<const KernelTable*> tables = find_runnable_tables();
  return tables;
}

// The highest runnable table, or the named one when QUILLFEN_FORCE_TARGET names a runnable table.
const KernelTable& choose_table() {
  const std::vector<const KernelTable*>& tables = runnable();
  if (const char* forced = std::getenv("QUILLFEN_FORCE_TARGET")) {
    for (const KernelTable* table : tables) {
      if (std::strcmp(table->target, forced) == 0) return *table;
    }
  }
  return *tables.back();
}

}  // namespace

const KernelTable& active_kernels() {
  static const KernelTable& chosen = choose_table();
  return chosen;
}

std::span<const KernelTable* const> runnable_kernel_tables() {
  return runnable();
}

}  // namespace quillfen::simd
