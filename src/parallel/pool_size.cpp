#include "parallel/pool_size.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

namespace quillfen::parallel {

std::size_t capped_worker_count(std::uint64_t requested) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(requested, kMaxWorkers));
}

namespace detail {
namespace {

// A positive decimal integer with an optional leading '+', nothing else (no blanks, no sign
// minus, no overflow).
std::optional<std::uint64_t> parse_positive_integer(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* first = text[0] == '+' ? text + 1 : text;
  const char* last = first + std::strlen(first);
  if (first == last || !std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc{} || end != last || value == 0) return std::nullopt;
  return value;
}

struct CpuSetDeleter {
  void operator()(cpu_set_t* set) const { CPU_FREE(set); }
};

}  // namespace

std::size_t default_pool_size(const char* thread_count_setting, std::size_t processors) {
  if (const auto requested = parse_positive_integer(thread_count_setting)) {
    return capped_worker_count(*requested);
  }
  return capped_worker_count(std::max<std::size_t>(processors, 1));
}

std::size_t available_processor_count() {
  // The mask may be wider than cpu_set_t on very large machines; grow it until the kernel
  // accepts it.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    std::unique_ptr<cpu_set_t, CpuSetDeleter> set(CPU_ALLOC(cpus));
    if (!set) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set.get());
    if (sched_getaffinity(0, bytes, set.get()) == 0) {
      return std::max(1, CPU_COUNT_S(bytes, set.get()));
    }
    if (errno != EINVAL) break;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace detail
}  // namespace quillfen::parallel
