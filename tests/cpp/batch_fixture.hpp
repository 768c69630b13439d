#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "engine/records.hpp"

namespace quillfen::testing {

// Owns a batch's arrays and hands out a BatchView over them.
template <class T>
struct OwnedBatch {
  std::vector<T> x;
  std::vector<T> y;
  std::vector<T> weights;  // empty: no sample weights
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  double batch_weight = 1.0;

  BatchView<T> view() const {
    BatchView<T> batch{x, y, rows, cols, std::nullopt, batch_weight};
    if (!weights.empty()) batch.sample_weight = std::span<const T>(weights);
    return batch;
  }
};

// A fresh state for `cols` parameters, the last one an intercept when `fit_intercept`.
template <class T>
EngineState<T> fresh_state(std::uint64_t cols, bool fit_intercept) {
  EngineState<T> state = initial_state<T>(cols);
  state.n_features_in = cols - (fit_intercept ? 1 : 0);
  state.fit_intercept = fit_intercept;
  return state;
}

// Uniform design in [-1, 1) and targets y = Xβ + noise, reproducible from `seed`.
template <class T>
OwnedBatch<T> random_batch(std::uint64_t rows, std::uint64_t cols, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  OwnedBatch<T> batch;
  batch.rows = rows;
  batch.cols = cols;
  batch.batch_weight = double(rows);
  batch.x.resize(rows * cols);
  batch.y.resize(rows);
  for (std::uint64_t i = 0; i < rows; ++i) {
    double target = uniform(engine);
    for (std::uint64_t j = 0; j < cols; ++j) {
      const T value = T(uniform(engine));
      batch.x[i * cols + j] = value;
      target += double(value) * double(j % 3 + 1);
    }
    batch.y[i] = T(target);
  }
  return batch;
}

}  // namespace quillfen::testing
