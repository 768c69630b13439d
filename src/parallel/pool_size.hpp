#pragma once

#include <cstddef>
#include <cstdint>

namespace quillfen::parallel {

// Largest pool we build; bigger requests are capped rather than refused.
inline constexpr std::size_t kMaxWorkers = 65535;

// min(requested, kMaxWorkers); requested >= 1.
std::size_t capped_worker_count(std::uint64_t requested);

namespace detail {

// Size of the process-wide pool given the value of RAYON_NUM_THREADS (nullptr when unset) and the
// number of processors we may run on: the variable wins when it is a positive decimal integer.
std::size_t default_pool_size(const char* thread_count_setting, std::size_t processors);

// Processors in this process's affinity mask, at least 1.
std::size_t available_processor_count();

}  // namespace detail
}  // namespace quillfen::parallel
