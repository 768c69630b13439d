#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "engine/records.hpp"

namespace quillfen::bench {

// A reproducible regression batch: standard normal features with an intercept column of ones
// last, Student-t (3 degrees of freedom) noise and 1% gross outliers, so the robust loss and the
// Newton iterations see realistic heavy tails. The same seed gives the same values in both
// element types (generated in double, then rounded).
template <class T>
struct SyntheticBatch {
  std::vector<T> x;  // rows × cols, row-major
  std::vector<T> y;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;

  BatchView<T> view() const {
    BatchView<T> batch;
    batch.x_design = x;
    batch.y = y;
    batch.rows = rows;
    batch.cols = cols;
    batch.batch_weight = double(rows);
    return batch;
  }
};

// Batches of one stream share their true coefficients: give them the same nonzero `truth_seed`
// (0 draws the coefficients from `seed`, so every batch has its own).
template <class T>
SyntheticBatch<T> make_batch(std::uint64_t rows, std::uint64_t cols, std::uint64_t seed,
                             std::uint64_t truth_seed = 0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::student_t_distribution<double> noise(3.0);
  std::bernoulli_distribution outlier(0.01);

  std::vector<double> beta(cols);
  std::mt19937_64 truth_rng(truth_seed);
  for (double& b : beta) b = truth_seed ? normal(truth_rng) : normal(rng);

  SyntheticBatch<T> batch;
  batch.rows = rows;
  batch.cols = cols;
  batch.x.resize(rows * cols);
  batch.y.resize(rows);
  for (std::uint64_t i = 0; i < rows; ++i) {
    T* row = batch.x.data() + i * cols;
    double fitted = 0.0;
    for (std::uint64_t j = 0; j < cols; ++j) {
      const double value = j + 1 == cols ? 1.0 : normal(rng);
      row[j] = T(value);
      fitted += value * beta[j];
    }
    double target = fitted + noise(rng);
    if (outlier(rng)) target += 50.0;
    batch.y[i] = T(target);
  }
  return batch;
}

}  // namespace quillfen::bench
