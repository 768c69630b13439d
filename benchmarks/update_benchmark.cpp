// Times one full update of the numerical core and its curvature-weighted Gram kernel, and probes
// the machine's FMA peak and read bandwidth in the same run, so that the kernel's speed can be read
// as a share of the peak and an update's time as a multiple of its hardware floor.
// Prints one JSON object per line; benchmarks/run_update_benchmark.py turns them into tables.
//
// Arguments: none runs everything; "engine" only the cases that compare builds
// (benchmarks/compare_builds.py); "machine" only the peak and bandwidth probes.

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <latch>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/aligned_vector.hpp"
#include "common/native_error.hpp"
#include "engine/prediction.hpp"
#include "engine/records.hpp"
#include "engine/update_driver.hpp"
#include "engine/workspace.hpp"
#include "engine/workspace_sizing.hpp"
#include "kernels/simd/dispatch.hpp"
#include "parallel/thread_pool.hpp"
#include "repeat_timer.hpp"
#include "synthetic_batch.hpp"

namespace quillfen::bench {
namespace {

template <class T>
constexpr const char* dtype_name() {
  return sizeof(T) == 8 ? "float64" : "float32";
}

// ---- FMA peak probe -------------------------------------------------------------------------
// Twelve independent multiply-add chains keep both FMA pipes busy despite the 4-cycle latency.
// The engine itself never fuses (it builds with -ffp-contract=off); this probe only measures the
// hardware's ceiling. Values converge to 1, so no overflow or denormals slow it down.
constexpr int kChains = 12;

__attribute__((target("avx2,fma"), noinline)) double fma_chains_pd(std::uint64_t iterations) {
  __m256d acc[kChains];
  for (int k = 0; k < kChains; ++k) acc[k] = _mm256_set1_pd(0.01 * k);
  const __m256d mul = _mm256_set1_pd(0.999999);
  const __m256d add = _mm256_set1_pd(1e-6);
  for (std::uint64_t it = 0; it < iterations; ++it) {
    for (int k = 0; k < kChains; ++k) acc[k] = _mm256_fmadd_pd(acc[k], mul, add);
  }
  __m256d sum = acc[0];
  for (int k = 1; k < kChains; ++k) sum = _mm256_add_pd(sum, acc[k]);
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, sum);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

__attribute__((target("avx2,fma"), noinline)) double fma_chains_ps(std::uint64_t iterations) {
  __m256 acc[kChains];
  for (int k = 0; k < kChains; ++k) acc[k] = _mm256_set1_ps(0.01f * k);
  const __m256 mul = _mm256_set1_ps(0.9999f);
  const __m256 add = _mm256_set1_ps(1e-4f);
  for (std::uint64_t it = 0; it < iterations; ++it) {
    for (int k = 0; k < kChains; ++k) acc[k] = _mm256_fmadd_ps(acc[k], mul, add);
  }
  __m256 sum = acc[0];
  for (int k = 1; k < kChains; ++k) sum = _mm256_add_ps(sum, acc[k]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, sum);
  double total = 0.0;
  for (float v : lanes) total += v;
  return total;
}

// The same chains at the full AVX-512 width, which the engine's kernels use where the CPU has it.
// (Zen 4 splits a 512-bit FMA in two, so there both widths reach the same peak.)
__attribute__((target("avx512f"), noinline)) double fma_chains_pd512(std::uint64_t iterations) {
  __m512d acc[kChains];
  for (int k = 0; k < kChains; ++k) acc[k] = _mm512_set1_pd(0.01 * k);
  const __m512d mul = _mm512_set1_pd(0.999999);
  const __m512d add = _mm512_set1_pd(1e-6);
  for (std::uint64_t it = 0; it < iterations; ++it) {
    for (int k = 0; k < kChains; ++k) acc[k] = _mm512_fmadd_pd(acc[k], mul, add);
  }
  __m512d sum = acc[0];
  for (int k = 1; k < kChains; ++k) sum = _mm512_add_pd(sum, acc[k]);
  // Stored and summed by hand: GCC 12's _mm512_reduce_add_pd warns of an uninitialized value.
  alignas(64) double lanes[8];
  _mm512_store_pd(lanes, sum);
  double total = 0.0;
  for (double v : lanes) total += v;
  return total;
}

__attribute__((target("avx512f"), noinline)) double fma_chains_ps512(std::uint64_t iterations) {
  __m512 acc[kChains];
  for (int k = 0; k < kChains; ++k) acc[k] = _mm512_set1_ps(0.01f * k);
  const __m512 mul = _mm512_set1_ps(0.9999f);
  const __m512 add = _mm512_set1_ps(1e-4f);
  for (std::uint64_t it = 0; it < iterations; ++it) {
    for (int k = 0; k < kChains; ++k) acc[k] = _mm512_fmadd_ps(acc[k], mul, add);
  }
  __m512 sum = acc[0];
  for (int k = 1; k < kChains; ++k) sum = _mm512_add_ps(sum, acc[k]);
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, sum);
  double total = 0.0;
  for (float v : lanes) total += v;
  return total;
}

// The CPU time the calling thread has run so far.
double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// Runs `work(t)` on threads t = 0 .. threads - 1 released together; returns the CPU time of the
// busiest thread. On a shared host another process may hold a core for part of a trial; the wall
// time would then count that wait and understate the hardware, the threads' own time does not.
// All threads still run at once, so what they share (the memory, a core's SMT siblings) counts.
template <class Work>
double run_on_all_threads(Work work, unsigned threads) {
  std::latch start(threads);
  std::vector<double> sinks(threads);
  std::vector<double> seconds(threads);
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      start.arrive_and_wait();
      const double begin = thread_cpu_seconds();
      sinks[t] = work(t);
      seconds[t] = thread_cpu_seconds() - begin;
    });
  }
  for (std::thread& w : workers) w.join();
  // Using the results keeps the compiler from dropping the work.
  if (std::any_of(sinks.begin(), sinks.end(), [](double s) { return s != s; })) return -1.0;
  return *std::max_element(seconds.begin(), seconds.end());
}

template <class Chains>
void report_fma_peak(const char* dtype, int lanes, int bits, Chains chains) {
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  auto timed = [&](std::uint64_t iterations) {
    return run_on_all_threads([&](unsigned) { return chains(iterations); }, threads);
  };
  // Size the loop so one trial takes about 0.1 s, then keep the best of five.
  std::uint64_t iterations = 1'000'000;
  const double probe = std::max(timed(iterations), 1e-9);
  iterations = std::max<std::uint64_t>(iterations, std::uint64_t(iterations * 0.1 / probe));
  double best = 1e300;
  for (int trial = 0; trial < 5; ++trial) best = std::min(best, timed(iterations));
  const double flops = 2.0 * lanes * kChains * double(iterations) * threads;
  std::printf(
      "{\"kind\": \"fma_peak\", \"dtype\": \"%s\", \"bits\": %d, \"threads\": %u, "
      "\"gflops\": %.6g}\n",
      dtype, bits, threads, flops / best * 1e-9);
  std::fflush(stdout);
}

// Every FMA width the CPU has, so that the peak is the one of the widest kernels.
void report_fma_peaks() {
  report_fma_peak("float64", 4, 256, fma_chains_pd);
  report_fma_peak("float32", 8, 256, fma_chains_ps);
  if (__builtin_cpu_supports("avx512f")) {
    report_fma_peak("float64", 8, 512, fma_chains_pd512);
    report_fma_peak("float32", 16, 512, fma_chains_ps512);
  }
}

// ---- Read bandwidth probe -------------------------------------------------------------------
// Sums a buffer with eight independent accumulators: the loads, not the adds, set the pace, as in
// the engine's passes over a batch (which read it and write at most a column of n values).
__attribute__((target("avx2"), noinline)) double sum_of(const double* data, std::size_t count) {
  __m256d acc[8];
  for (__m256d& a : acc) a = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    for (int k = 0; k < 8; ++k) acc[k] = _mm256_add_pd(acc[k], _mm256_loadu_pd(data + i + 4 * k));
  }
  for (int k = 1; k < 8; ++k) acc[0] = _mm256_add_pd(acc[0], acc[k]);
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, acc[0]);
  double total = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  for (; i < count; ++i) total += data[i];
  return total;
}

// Read bandwidth of `bytes` in all, split among all threads, each summing its own share over and
// over: a share that fits a thread's cache measures that cache, a large one the memory.
void report_read_bandwidth(std::size_t bytes) {
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t count = bytes / sizeof(double) / threads;
  std::vector<AlignedVector<double>> shares;
  for (unsigned t = 0; t < threads; ++t) shares.emplace_back(count, 1.0);
  auto timed = [&](std::uint64_t passes) {
    return run_on_all_threads(
        [&](unsigned t) {
          double total = 0.0;
          for (std::uint64_t k = 0; k < passes; ++k) {
            // The barrier makes every pass read the buffer again instead of reusing the sum.
            asm volatile("" : : : "memory");
            total += sum_of(shares[t].data(), count);
          }
          return total;
        },
        threads);
  };
  // Size the passes so one trial takes about 0.05 s, then keep the best of five.
  std::uint64_t passes = 1;
  timed(passes);  // the first touch maps the pages
  const double probe = std::max(timed(passes), 1e-9);
  passes = std::max<std::uint64_t>(1, std::uint64_t(0.05 / probe));
  double best = 1e300;
  for (int trial = 0; trial < 5; ++trial) best = std::min(best, timed(passes));
  const double read = double(count) * sizeof(double) * threads * double(passes);
  std::printf(
      "{\"kind\": \"bandwidth\", \"bytes\": %zu, \"threads\": %u, \"gbytes_per_s\": %.6g}\n",
      count * sizeof(double) * threads, threads, read / best * 1e-9);
  std::fflush(stdout);
}

// The memory (256 MB, far beyond the last-level cache), and the sizes of the benchmark's
// 10000 × 50 and 1000 × 10 float64 batches, which live in the caches.
void report_bandwidths() {
  for (std::size_t bytes :
       {std::size_t(256) << 20, std::size_t(10000 * 50 * 8), std::size_t(1000 * 10 * 8)}) {
    report_read_bandwidth(bytes);
  }
}

// ---- One update -----------------------------------------------------------------------------

UpdateConfig benchmark_config() {
  UpdateConfig config;
  config.tau = 1.345;
  config.lambda_scale = 1.0;
  config.bandwidth_scale = 1.0;
  config.max_iter = 50;
  config.tol = 1e-6;
  config.ridge = 1e-8;
  config.penalty = Penalty::None;
  return config;
}

// Error texts are the engine's own messages; escape the characters JSON reserves.
std::string json_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += (c == '\n') ? ' ' : c;
  }
  return out;
}

void report_error(const char* kind, std::uint64_t n, std::uint64_t p, const char* dtype,
                  const std::string& message) {
  std::printf(
      "{\"kind\": \"%s\", \"n\": %llu, \"p\": %llu, \"dtype\": \"%s\", \"error\": \"%s\"}\n", kind,
      static_cast<unsigned long long>(n), static_cast<unsigned long long>(p), dtype,
      json_escaped(message).c_str());
  std::fflush(stdout);
}

template <class T>
void bench_update(std::uint64_t n, std::uint64_t p, double budget_s) {
  const SyntheticBatch<T> data = make_batch<T>(n, p, 1000 * n + p);
  const BatchView<T> batch = data.view();
  EngineState<T> fresh = initial_state<T>(p);
  fresh.fit_intercept = true;
  fresh.n_features_in = p - 1;
  const UpdateConfig config = benchmark_config();

  // run_update only reads `fresh`, so every repetition starts from the same fresh state. The
  // workspace is reused as an engine would; the timer's warm-up call sizes it.
  Workspace<T> workspace;
  UpdateDiagnostics d;
  auto update = [&] {
    Expected<UpdateResult<T>> result = run_update<T>(workspace, batch, fresh, config);
    if (!result) throw std::runtime_error(display(result.error()));
    d = result.value().diagnostics;
  };
  const RepeatTiming t = time_repeated(update, budget_s, 5, 1000);

  std::printf(
      "{\"kind\": \"update\", \"n\": %llu, \"p\": %llu, \"dtype\": \"%s\", \"median_s\": %.6g, "
      "\"best_s\": %.6g, \"reps\": %zu, \"iterations\": %llu, \"converged\": %s, "
      "\"fallback\": %s, \"objective\": %.9g}\n",
      static_cast<unsigned long long>(n), static_cast<unsigned long long>(p), dtype_name<T>(),
      t.median_s, t.best_s, t.reps, static_cast<unsigned long long>(d.iterations),
      d.converged ? "true" : "false", d.used_regularized_fallback ? "true" : "false", d.objective);
  std::fflush(stdout);
}

// ---- A stream of updates, and predict -------------------------------------------------------

// `batches` updates of n × p in a row, each from the state the previous one left, as a stream of
// batches from one model runs through an engine. The engine is warm: every repetition starts from
// the state one earlier batch of the stream left. Reports the time and iterations per update.
template <class T>
void bench_stream(std::uint64_t n, std::uint64_t p, std::size_t batches, double budget_s) {
  const std::uint64_t truth_seed = 7000;
  std::vector<SyntheticBatch<T>> data;
  for (std::size_t b = 0; b <= batches; ++b) {
    data.push_back(make_batch<T>(n, p, truth_seed + 1 + b, truth_seed));
  }
  const UpdateConfig config = benchmark_config();
  Workspace<T> workspace;
  std::uint64_t iterations = 0;
  auto next_state = [&](const EngineState<T>& state, const SyntheticBatch<T>& batch) {
    Expected<UpdateResult<T>> result = run_update<T>(workspace, batch.view(), state, config);
    if (!result) throw std::runtime_error(display(result.error()));
    iterations += result.value().diagnostics.iterations;
    EngineState<T> next = std::move(result.value().state);
    next.fit_intercept = state.fit_intercept;
    next.n_features_in = state.n_features_in;
    return next;
  };
  EngineState<T> fresh = initial_state<T>(p);
  fresh.fit_intercept = true;
  fresh.n_features_in = p - 1;
  const EngineState<T> warm = next_state(fresh, data.front());
  auto stream = [&] {
    iterations = 0;
    EngineState<T> state = warm;
    for (std::size_t b = 1; b <= batches; ++b) state = next_state(state, data[b]);
  };
  const RepeatTiming t = time_repeated(stream, budget_s, 5, 1000);
  std::printf(
      "{\"kind\": \"stream\", \"n\": %llu, \"p\": %llu, \"dtype\": \"%s\", \"median_s\": %.6g, "
      "\"best_s\": %.6g, \"reps\": %zu, \"iterations\": %.4g}\n",
      static_cast<unsigned long long>(n), static_cast<unsigned long long>(p), dtype_name<T>(),
      t.median_s / double(batches), t.best_s / double(batches), t.reps,
      double(iterations) / double(batches));
  std::fflush(stdout);
}

template <class T>
void bench_predict(std::uint64_t n, std::uint64_t p, double budget_s) {
  const SyntheticBatch<T> data = make_batch<T>(n, p, 3000 * n + p);
  std::vector<T> coefficients(p);
  for (std::uint64_t j = 0; j < p; ++j) coefficients[j] = T(0.5 - 0.1 * double(j));
  auto predict = [&] {
    Expected<AlignedVector<T>> result = predict_rows<T>(data.x, n, p, coefficients);
    if (!result) throw std::runtime_error(display(result.error()));
  };
  const RepeatTiming t = time_repeated(predict, budget_s, 5, 5000);
  std::printf(
      "{\"kind\": \"predict\", \"n\": %llu, \"p\": %llu, \"dtype\": \"%s\", \"median_s\": %.6g, "
      "\"best_s\": %.6g, \"reps\": %zu}\n",
      static_cast<unsigned long long>(n), static_cast<unsigned long long>(p), dtype_name<T>(),
      t.median_s, t.best_s, t.reps);
  std::fflush(stdout);
}

// ---- The Gram kernel alone ------------------------------------------------------------------

template <class T>
void bench_gram(std::uint64_t n, std::uint64_t p, double budget_s) {
  const SyntheticBatch<T> data = make_batch<T>(n, p, 1000 * n + p);
  const BatchView<T> batch = data.view();
  std::vector<T> weights(n);
  std::mt19937_64 rng(n + p);
  std::uniform_real_distribution<double> uniform(0.05, 1.0);
  for (T& w : weights) w = T(uniform(rng));

  Workspace<T> ws;
  if (Status failure = prepare_workspace<T>(ws, n, p)) throw std::runtime_error(display(*failure));
  auto gram = [&] {
    if (Status failure = simd::kernels<T>().weighted_gram(batch, weights, ws.weighted_rows,
                                                          ws.gram_partials, ws.gram_output)) {
      throw std::runtime_error(display(*failure));
    }
  };
  const RepeatTiming t = time_repeated(gram, budget_s, 5, 2000);
  const double flops = 2.0 * double(n) * double(p) * double(p);
  std::printf(
      "{\"kind\": \"gram\", \"n\": %llu, \"p\": %llu, \"dtype\": \"%s\", \"median_s\": %.6g, "
      "\"best_s\": %.6g, \"reps\": %zu, \"gflops\": %.6g}\n",
      static_cast<unsigned long long>(n), static_cast<unsigned long long>(p), dtype_name<T>(),
      t.median_s, t.best_s, t.reps, flops / t.median_s * 1e-9);
  std::fflush(stdout);
}

// A failure of one case is reported and the others still run.
template <class F>
void guarded(const char* kind, std::uint64_t n, std::uint64_t p, const char* dtype, F&& run) {
  try {
    run();
  } catch (const std::exception& e) {
    report_error(kind, n, p, dtype, e.what());
  }
}

// The cases that compare builds and kernel targets: updates, a stream of small ones, predict.
void run_engine_cases() {
  const std::uint64_t update_shapes[][2] = {{100000, 20}, {20000, 200}, {1000, 10}};
  for (const auto& [n, p] : update_shapes) {
    guarded("update", n, p, "float64", [&] { bench_update<double>(n, p, 1.0); });
    guarded("update", n, p, "float32", [&] { bench_update<float>(n, p, 1.0); });
  }
  guarded("stream", 1000, 10, "float64", [&] { bench_stream<double>(1000, 10, 20, 1.0); });
  guarded("stream", 1000, 10, "float32", [&] { bench_stream<float>(1000, 10, 20, 1.0); });
  guarded("predict", 100000, 20, "float64", [&] { bench_predict<double>(100000, 20, 0.5); });
  guarded("predict", 100000, 20, "float32", [&] { bench_predict<float>(100000, 20, 0.5); });
}

// The medium width set against its hardware floor: a stream of 10000 × 50 updates, and the Gram
// kernel alone at the widths whose share of the FMA peak is tracked.
void run_peak_cases() {
  guarded("stream", 10000, 50, "float64", [&] { bench_stream<double>(10000, 50, 8, 1.0); });
  guarded("stream", 10000, 50, "float32", [&] { bench_stream<float>(10000, 50, 8, 1.0); });
  const std::uint64_t gram_shapes[][2] = {
      {100000, 20}, {10000, 50}, {20000, 200}, {1000, 10}, {20000, 256}};
  for (const auto& [n, p] : gram_shapes) {
    guarded("gram", n, p, "float64", [&] { bench_gram<double>(n, p, 0.5); });
    guarded("gram", n, p, "float32", [&] { bench_gram<float>(n, p, 0.5); });
  }
}

int run(const std::string& mode) {
  if (!mode.empty() && mode != "engine" && mode != "machine") {
    std::fprintf(stderr, "usage: quillfen_update_benchmark [engine | machine]\n");
    return 2;
  }
  std::printf(
      "{\"kind\": \"machine\", \"hardware_threads\": %u, \"pool_threads\": %zu, "
      "\"kernels\": \"%s\"}\n",
      std::thread::hardware_concurrency(), parallel::current_num_threads(),
      simd::active_kernels().target);
  if (mode != "engine") {
    report_fma_peaks();
    report_bandwidths();
  }
  if (mode != "machine") run_engine_cases();
  if (mode.empty()) run_peak_cases();
  return 0;
}

}  // namespace
}  // namespace quillfen::bench

int main(int argc, char** argv) {
  return quillfen::bench::run(argc > 1 ? argv[1] : "");
}
