#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace quillfen::bench {

struct RepeatTiming {
  double median_s = 0.0;
  double best_s = 0.0;
  std::size_t reps = 0;
};

template <class F>
double seconds_of(F&& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Times `run` repeatedly. The first call is the warm-up (caches, buffer sizes, worker threads)
// and is not counted; its time sets the repetition count so the repetitions take about
// `budget_s` in all, within [min_reps, max_reps]. The median resists the odd slow repetition on
// a busy machine, the best shows what the code can do.
template <class F>
RepeatTiming time_repeated(F&& run, double budget_s, std::size_t min_reps, std::size_t max_reps) {
  const double first = std::max(seconds_of(run), 1e-9);
  const std::size_t reps = std::clamp(std::size_t(budget_s / first), min_reps, max_reps);
  std::vector<double> samples(reps);
  for (double& s : samples) s = seconds_of(run);
  std::sort(samples.begin(), samples.end());
  const std::size_t mid = reps / 2;
  const double median = reps % 2 ? samples[mid] : 0.5 * (samples[mid - 1] + samples[mid]);
  return {median, samples.front(), reps};
}

}  // namespace quillfen::bench
