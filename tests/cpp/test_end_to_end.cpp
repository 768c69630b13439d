#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "batch_fixture.hpp"
#include "engine/update_driver.hpp"

namespace quillfen {
namespace {

constexpr std::size_t kFeatures = 4, kCols = kFeatures + 1, kBatches = 20, kRows = 500;
constexpr double kTau = 1.345;
const double kTruth[kCols] = {1.5, -2.0, 0.5, 0.0, 3.0};  // the intercept last

// Gaussian design, Student-t(3) noise and 5% gross outliers, in double.
struct Stream {
  std::vector<double> x, y;
};

Stream heavy_tailed_stream() {
  std::mt19937_64 engine(2026);
  std::normal_distribution<double> normal;
  std::student_t_distribution<double> noise(3.0);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Stream stream;
  for (std::size_t i = 0; i < kBatches * kRows; ++i) {
    double target = kTruth[kFeatures];
    for (std::size_t j = 0; j < kFeatures; ++j) {
      stream.x.push_back(normal(engine));
      target += kTruth[j] * stream.x.back();
    }
    stream.x.push_back(1.0);
    target += noise(engine);
    if (uniform(engine) < 0.05) target += uniform(engine) < 0.5 ? 40.0 : -40.0;
    stream.y.push_back(target);
  }
  return stream;
}

double huber_objective(const Eigen::VectorXd& r) {
  double total = 0.0;
  for (double v : r)
    total += std::fabs(v) <= kTau ? 0.5 * v * v : kTau * std::fabs(v) - 0.5 * kTau * kTau;
  return total;
}

// The Huber minimiser over all rows: plain Newton steps with the exact (unsmoothed) curvature and
// step halving, started from least squares.
Eigen::VectorXd full_data_minimiser(const Stream& stream) {
  const std::size_t n = stream.y.size();
  const Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>> x(
      stream.x.data(), n, kCols);
  const Eigen::Map<const Eigen::VectorXd> y(stream.y.data(), n);
  Eigen::VectorXd beta = (x.transpose() * x).ldlt().solve(x.transpose() * y);
  for (int iteration = 0; iteration < 200; ++iteration) {
    const Eigen::VectorXd r = y - x * beta;
    const Eigen::VectorXd psi = r.cwiseMax(-kTau).cwiseMin(kTau);
    const Eigen::VectorXd inside = (r.array().abs() <= kTau).cast<double>();
    const Eigen::MatrixXd hessian = x.transpose() * inside.asDiagonal() * x;
    Eigen::VectorXd step = hessian.ldlt().solve(x.transpose() * psi);
    while (huber_objective(y - x * (beta + step)) > huber_objective(r) && step.norm() > 1e-14)
      step *= 0.5;
    beta += step;
    if (step.norm() < 1e-12) break;
  }
  return beta;
}

template <class T>
std::vector<double> streamed_fit(const Stream& stream, Penalty penalty) {
  auto state = testing::fresh_state<T>(kCols, true);
  const UpdateConfig config{kTau, 1.0, 1.0, 100, 1e-8, 1e-8, penalty};
  Workspace<T> workspace;
  for (std::size_t b = 0; b < kBatches; ++b) {
    testing::OwnedBatch<T> batch;
    batch.rows = kRows;
    batch.cols = kCols;
    batch.batch_weight = double(kRows);
    const std::size_t first = b * kRows;
    for (std::size_t k = first * kCols; k < (first + kRows) * kCols; ++k)
      batch.x.push_back(T(stream.x[k]));
    for (std::size_t i = first; i < first + kRows; ++i) batch.y.push_back(T(stream.y[i]));
    auto result = run_update(workspace, batch.view(), state, config);
    if (!result) ADD_FAILURE() << display(result.error());
    if (!result) return {};
    const std::uint64_t seen = state.n_samples_seen;
    state = std::move(result.value().state);
    EXPECT_EQ(state.n_samples_seen, seen + kRows);
  }
  return std::vector<double>(state.coefficients.begin(), state.coefficients.end());
}

template <class T>
class StreamedFit : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(StreamedFit, ElementTypes);

// Twenty batches folded into the running summary land close to the fit on all rows at once;
// the l1 path is further off only by its shrinkage.
TYPED_TEST(StreamedFit, TracksTheFullDataHuberFit) {
  const Stream stream = heavy_tailed_stream();
  const Eigen::VectorXd reference = full_data_minimiser(stream);
  for (const auto& [penalty, tolerance] :
       {std::pair{Penalty::None, 1e-3}, std::pair{Penalty::L1, 0.06}}) {
    SCOPED_TRACE(penalty == Penalty::L1 ? "l1" : "none");
    const std::vector<double> fitted = streamed_fit<TypeParam>(stream, penalty);
    ASSERT_EQ(fitted.size(), kCols);
    double largest_gap = 0.0;
    for (std::size_t j = 0; j < kCols; ++j)
      largest_gap = std::max(largest_gap, std::fabs(fitted[j] - reference[j]));
    EXPECT_LT(largest_gap, tolerance);
  }
}

}  // namespace
}  // namespace quillfen
