#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/value_tests.hpp"
#include "engine/records.hpp"
#include "engine/validation.hpp"

namespace quillfen {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();  // 5e-324
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t k32 = std::uint64_t{1} << 32;
const std::string kOk = "ok", kState = "invalid native state: ", kBatch = "invalid native batch: ";
const std::string kConfig = "invalid native configuration: ";
const std::string kStateArrays = kState + "state arrays must contain only finite values";
const std::string kBatchArrays = kBatch + "batch arrays must contain only finite values";
const std::string kWeights = kBatch + "sample_weight must be finite and non-negative";
const std::string kOverflow = "native buffer size overflow";

std::string describe(const Status& status) {
  return status ? display(*status) : kOk;
}

// Breaking one check alone must report it, and so must breaking it together with every later one.
template <class Subject>
using Check = std::pair<std::function<void(Subject&)>, std::string>;

template <class Subject, class Run>
void expect_first_failure_wins(const Subject& valid, const std::vector<Check<Subject>>& checks,
                               Run run) {
  ASSERT_EQ(run(valid), kOk);
  for (std::size_t k = 0; k < checks.size(); ++k) {
    SCOPED_TRACE(checks[k].second);
    Subject alone = valid, from_k = valid;
    checks[k].first(alone);
    EXPECT_EQ(run(alone), checks[k].second);
    for (std::size_t j = checks.size(); j-- > k;) checks[j].first(from_k);
    EXPECT_EQ(run(from_k), checks[k].second);
  }
}

template <class T>
EngineState<T> metadata(std::uint64_t n_features_in, bool fit_intercept) {
  EngineState<T> state;
  state.n_features_in = n_features_in;
  state.fit_intercept = fit_intercept;
  return state;
}

template <class T>
EngineState<T> valid_state() {
  EngineState<T> state = metadata<T>(2, true);
  state.coefficients = {T(0.5), T(-1), T(2)};
  state.information.assign(9, T(1));
  state.n_samples_seen = 4;
  state.batch_count = 2;
  state.previous_lambda = 0.25;
  state.weight_sum = 4.0;
  return state;
}

// A valid 3 × 3 batch (two features and the intercept). The state carries only the feature
// metadata: the batch checks must not look at its arrays.
template <class T>
struct BatchData {
  std::vector<T> x = {1, 2, 1, 3, 4, 1, 5, 6, 1}, y = {1, 2, 3};
  std::optional<std::vector<T>> w = std::vector<T>{1, 0, T(0.5)};
  std::uint64_t rows = 3, cols = 3;
  double batch_weight = 2.0;
  EngineState<T> state = metadata<T>(2, true);

  BatchView<T> view() const {
    BatchView<T> view{x, y, rows, cols, std::nullopt, batch_weight};
    if (w) view.sample_weight = std::span<const T>(*w);
    return view;
  }
  std::string run() const { return describe(validate_batch(view(), state)); }
};

template <class T>
class ValidationTest : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ValidationTest, ElementTypes);

TYPED_TEST(ValidationTest, PredicatesFollowTheEncodingOfTheElementType) {
  // Same class in both widths; flags: f = finite, n = non-negative, p = positive.
  struct Row {
    std::uint32_t single;
    std::uint64_t double_;
    const char* flags;
  };
  // clang-format off
  for (const Row& row : std::vector<Row>{
           {0x00000000, 0x0000000000000000, "fn-"}, {0x80000000, 0x8000000000000000, "fn-"},
           {0x00000001, 0x0000000000000001, "fnp"}, {0x80000001, 0x8000000000000001, "f--"},
           {0x007fffff, 0x000fffffffffffff, "fnp"}, {0xbf800000, 0xbff0000000000000, "f--"},
           {0x7f7fffff, 0x7fefffffffffffff, "fnp"}, {0xff7fffff, 0xffefffffffffffff, "f--"},
           {0x3f800000, 0x7f80000000000000, "fnp"}, {0x7f800000, 0x7ff0000000000000, "---"},
           {0xff800000, 0xfff0000000000000, "---"}, {0x7fc00000, 0x7ff8000000000000, "---"},
           {0xffc00000, 0xfff8000000000000, "---"}, {0x7f800001, 0x7ff0000000000001, "---"},
           {0xff800001, 0xfff0000000000001, "---"}, {0x7fffffff, 0x7fffffffffffffff, "---"}}) {
    // clang-format on
    const auto value = [&] {
      if constexpr (sizeof(TypeParam) == 4)
        return std::bit_cast<TypeParam>(row.single);
      else
        return std::bit_cast<TypeParam>(row.double_);
    }();
    SCOPED_TRACE(::testing::Message() << std::hex << row.single << " / " << row.double_);
    EXPECT_EQ(is_finite(value), row.flags[0] == 'f');
    EXPECT_EQ(is_finite_non_negative(value), row.flags[1] == 'n');
    EXPECT_EQ(is_finite_positive(value), row.flags[2] == 'p');
  }
}

TYPED_TEST(ValidationTest, InitialStateIsZeroAndPassesTheStateChecks) {
  EngineState<TypeParam> state = initial_state<TypeParam>(3);
  EXPECT_EQ(state.coefficients, AlignedVector<TypeParam>(3, TypeParam(0)));
  EXPECT_EQ(state.information, AlignedVector<TypeParam>(9, TypeParam(0)));
  EXPECT_EQ(state.n_samples_seen + state.batch_count, 0u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(state.previous_lambda) |
                std::bit_cast<std::uint64_t>(state.weight_sum),
            0u);
  state.n_features_in = 2;
  state.fit_intercept = true;
  EXPECT_EQ(describe(validate_state(state)), kOk);
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer ends the process instead of throwing
  EXPECT_THROW(initial_state<TypeParam>(kMax), std::bad_alloc);
#endif
}

TYPED_TEST(ValidationTest, StateChecksReportTheFirstFailure) {
  using S = EngineState<TypeParam>;
  // clang-format off
  expect_first_failure_wins<S>(valid_state<TypeParam>(), {
      {[](S& s) { s.coefficients.push_back(0); },
       kState + "coefficient shape does not match feature metadata"},
      {[](S& s) { s.information.pop_back(); },
       kState + "information shape does not match feature metadata"},
      {[](S& s) { s.previous_lambda = kNaN; },
       kState + "previous_lambda must be finite and non-negative"},
      {[](S& s) { s.weight_sum = -kInf; }, kState + "weight_sum must be finite and non-negative"},
      {[](S& s) { s.weight_sum = -0.0; },
       kState + "weight_sum must be positive after observing samples"},
      {[](S& s) { s.coefficients[0] = kInf; }, kStateArrays},
      {[](S& s) { s.information.back() = kNaN; }, kStateArrays}},
      [](const S& s) { return describe(validate_state(s)); });
  // clang-format on
}

TYPED_TEST(ValidationTest, StateShapesFollowFeatureMetadataWithoutWrapping) {
  const std::string coefficient = kState + "coefficient shape does not match feature metadata";
  const std::string information = kState + "information shape does not match feature metadata";
  // clang-format off
  struct Row { std::uint64_t n_features_in; bool fit_intercept; std::size_t n_coef, n_info;
               std::string expected; };
  for (const Row& row : std::vector<Row>{
           {2, true, 3, 9, kOk}, {3, false, 3, 9, kOk}, {0, true, 1, 1, kOk},
           {3, true, 3, 9, coefficient}, {1, true, 3, 9, coefficient},
           {3, false, 3, 3, information},
           {kMax, true, 0, 0, coefficient}, {kMax, false, 0, 0, coefficient}}) {  // no wrap to 0
    // clang-format on
    EngineState<TypeParam> state = metadata<TypeParam>(row.n_features_in, row.fit_intercept);
    state.coefficients.resize(row.n_coef, TypeParam(0));
    state.information.resize(row.n_info, TypeParam(0));
    EXPECT_EQ(describe(validate_state(state)), row.expected) << row.n_features_in;
  }
}

TYPED_TEST(ValidationTest, StateScalarsAreTestedAsDoubles) {
  using S = EngineState<TypeParam>;
  const std::string lambda = kState + "previous_lambda must be finite and non-negative";
  const std::string weight = kState + "weight_sum must be finite and non-negative";
  const std::string positive = kState + "weight_sum must be positive after observing samples";
  // clang-format off
  struct Row { double S::*field; double value; std::uint64_t n_samples_seen; std::string expected;};
  for (const Row& row : std::vector<Row>{
           {&S::weight_sum, 0.0, 0, kOk},          {&S::weight_sum, -0.0, 0, kOk},
           {&S::weight_sum, 0.0, 5, positive},     {&S::weight_sum, -0.0, 5, positive},
           {&S::weight_sum, kTiny, 5, kOk},        {&S::weight_sum, -kTiny, 0, weight},
           {&S::previous_lambda, -0.0, 5, kOk},    {&S::previous_lambda, -kTiny, 5, lambda}}) {
    // clang-format on
    S state = valid_state<TypeParam>();
    state.*row.field = row.value;
    state.n_samples_seen = row.n_samples_seen;
    EXPECT_EQ(describe(validate_state(state)), row.expected) << row.value;
  }
}

TYPED_TEST(ValidationTest, ArrayElementsAreScannedEverywhere) {
  using T = TypeParam;
  using L = std::numeric_limits<T>;
  // clang-format off
  struct Row { T value; std::string state, design_and_target, weights; };
  for (const Row& row : std::vector<Row>{
           {L::quiet_NaN(), kStateArrays, kBatchArrays, kWeights},
           {-L::quiet_NaN(), kStateArrays, kBatchArrays, kWeights},
           {L::signaling_NaN(), kStateArrays, kBatchArrays, kWeights},
           {L::infinity(), kStateArrays, kBatchArrays, kWeights},
           {-L::infinity(), kStateArrays, kBatchArrays, kWeights},
           {-L::denorm_min(), kOk, kOk, kWeights}, {L::lowest(), kOk, kOk, kWeights},
           {T(-0.0), kOk, kOk, kOk}, {L::denorm_min(), kOk, kOk, kOk}, {L::max(), kOk, kOk, kOk}}) {
    // clang-format on
    SCOPED_TRACE(::testing::Message() << row.value);
    for (std::size_t i = 0; i < 9; ++i) {
      EngineState<T> state = valid_state<T>();
      BatchData<T> batch, target, weights;
      state.information[i] = batch.x[i] = row.value;
      EXPECT_EQ(describe(validate_state(state)), row.state) << "information " << i;
      EXPECT_EQ(batch.run(), row.design_and_target) << "x_design " << i;
      if (i >= 3) continue;
      state = valid_state<T>();
      state.coefficients[i] = target.y[i] = (*weights.w)[i] = row.value;
      EXPECT_EQ(describe(validate_state(state)), row.state) << "coefficients " << i;
      EXPECT_EQ(target.run(), row.design_and_target) << "y " << i;
      EXPECT_EQ(weights.run(), row.weights) << "sample_weight " << i;
    }
  }
}

TYPED_TEST(ValidationTest, FiniteScanFindsAFailureAtEveryPositionAcrossBlocks) {
  using T = TypeParam;
  for (std::size_t length : {63u, 64u, 65u, 200u}) {
    std::vector<T> values(length, T(1));
    EXPECT_TRUE(all_finite<T>(values)) << length;
    for (std::size_t i = 0; i < length; ++i) {
      values[i] = i % 2 ? std::numeric_limits<T>::infinity() : std::numeric_limits<T>::quiet_NaN();
      EXPECT_FALSE(all_finite<T>(values)) << length << " " << i;
      values[i] = T(1);
    }
  }
}

TYPED_TEST(ValidationTest, BatchChecksReportTheFirstFailure) {
  using B = BatchData<TypeParam>;
  using L = std::numeric_limits<TypeParam>;
  // clang-format off
  expect_first_failure_wins<B>(B{}, {
      {[](B& b) { b.rows = 0; }, kBatch + "batch must contain at least one row"},
      {[](B& b) { b.cols += 1; }, kBatch + "design width does not match state parameters"},
      {[](B& b) { b.state = metadata<TypeParam>(b.cols = std::uint64_t{1} << 63, false); },
       kOverflow},
      {[](B& b) { b.x.pop_back(); }, kBatch + "design buffer is not a complete contiguous matrix"},
      {[](B& b) { b.y.push_back(1); }, kBatch + "target length does not match design rows"},
      {[](B& b) { b.batch_weight = 0.0; }, kBatch + "batch_weight must be finite and positive"},
      {[](B& b) { b.x[4] = L::quiet_NaN(); }, kBatchArrays},
      {[](B& b) { b.y[2] = L::infinity(); }, kBatchArrays},
      {[](B& b) { b.w->pop_back(); }, kBatch + "sample_weight length does not match design rows"},
      {[](B& b) { (*b.w)[0] = -1; }, kWeights}},
      [](const B& b) { return b.run(); });
  // clang-format on
}

TYPED_TEST(ValidationTest, DesignSizeNeverWrapsAround) {
  const std::string width = kBatch + "design width does not match state parameters";
  const std::string incomplete = kBatch + "design buffer is not a complete contiguous matrix";
  // clang-format off
  struct Row { std::uint64_t n_features_in; bool fit_intercept; std::uint64_t rows, cols;
               std::string expected; };
  for (const Row& row : std::vector<Row>{
           {kMax, true, 1, 0, width},                         // n_features_in + 1 would wrap to 0
           {kMax, false, 1, kMax, incomplete},
           {kMax, false, 2, kMax, kOverflow},
           {k32 - 1, true, k32, k32, kOverflow},              // the product would wrap to 0
           {k32 - 1, false, k32 + 1, k32 - 1, incomplete}}) {  // 2^64 - 1 still fits
    // clang-format on
    BatchData<TypeParam> batch;
    batch.state = metadata<TypeParam>(row.n_features_in, row.fit_intercept);
    batch.rows = row.rows;
    batch.cols = row.cols;
    batch.x.clear();
    batch.y.clear();
    EXPECT_EQ(batch.run(), row.expected) << row.rows << " x " << row.cols;
  }
}

TYPED_TEST(ValidationTest, ScansStopAtTheViewedLength) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const std::vector<T> x = {1, 2, 1, 3, 4, 1, 5, 6, 1, nan}, y = {1, 2, 3, nan}, w = {1, 1, 1, -1};
  BatchView<T> view{std::span(x).first(9), y, 3, 3, std::span(w).first(3), 1.0};
  const EngineState<T> state = metadata<T>(2, true);
  EXPECT_EQ(describe(validate_batch(view, state)),
            kBatch + "target length does not match design rows");
  view.y = std::span(y).first(3);
  EXPECT_EQ(describe(validate_batch(view, state)), kOk);
  view.sample_weight = w;  // one entry too many, and that entry is negative
  EXPECT_EQ(describe(validate_batch(view, state)),
            kBatch + "sample_weight length does not match design rows");
}

TYPED_TEST(ValidationTest, SampleWeightNeedsAPositiveValue) {
  using T = TypeParam;
  const std::string none = kBatch + "sample_weight must contain a positive value";
  // clang-format off
  using V = std::vector<T>;
  for (const auto& [weights, expected] : std::vector<std::pair<std::optional<V>, std::string>>{
           {std::nullopt, kOk}, {V{0, 0, 0}, none}, {V{T(-0.0), 0, T(-0.0)}, none},
           {V{0, 0, std::numeric_limits<T>::denorm_min()}, kOk}, {V{1, 0, 0}, kOk}}) {
    // clang-format on
    BatchData<T> batch;
    batch.w = weights;
    ASSERT_EQ(batch.run(), kOk);  // all-zero weights pass the batch checks themselves
    EXPECT_EQ(describe(check_sample_weight_has_positive(batch.view())), expected);
  }
}

UpdateConfig valid_config() {
  return {1.345, 1.0, 1.0, 50, 1e-6, 1e-8, Penalty::L1};
}

TEST(ConfigTest, ChecksReportTheFirstFailure) {
  using C = UpdateConfig;
  // clang-format off
  expect_first_failure_wins<C>(valid_config(), {
      {[](C& c) { c.tau = -1.0; }, kConfig + "tau must be finite and positive"},
      {[](C& c) { c.lambda_scale = kNaN; },
       kConfig + "lambda_scale must be finite and non-negative"},
      {[](C& c) { c.bandwidth_scale = 0.0; },
       kConfig + "bandwidth_scale must be finite and positive"},
      {[](C& c) { c.max_iter = 0; }, kConfig + "max_iter must be positive"},
      {[](C& c) { c.tol = -kInf; }, kConfig + "tolerance must be finite and positive"},
      {[](C& c) { c.ridge = -1.0; }, kConfig + "ridge must be finite and non-negative"}},
      [](const C& c) { return describe(validate_config(c)); });
  // clang-format on
  for (std::uint64_t max_iter : {std::uint64_t{1}, kMax}) {
    UpdateConfig config = valid_config();
    config.max_iter = max_iter;
    EXPECT_EQ(describe(validate_config(config)), kOk) << max_iter;
  }
}

TEST(ConfigTest, ScalarsUseExactTestsWhateverThePenalty) {
  using U = UpdateConfig;
  const std::string tau = kConfig + "tau must be finite and positive";
  const std::string lambda = kConfig + "lambda_scale must be finite and non-negative";
  const std::string bandwidth = kConfig + "bandwidth_scale must be finite and positive";
  const std::string tol = kConfig + "tolerance must be finite and positive";
  const std::string ridge = kConfig + "ridge must be finite and non-negative";
  // clang-format off
  struct Row { double U::*field; double value; std::string expected; };
  for (const Row& row : std::vector<Row>{
           {&U::tau, 0.0, tau}, {&U::tau, -kNaN, tau}, {&U::lambda_scale, -0.0, kOk},
           {&U::lambda_scale, -kTiny, lambda}, {&U::bandwidth_scale, kInf, bandwidth},
           {&U::tol, kTiny, kOk}, {&U::tol, -0.0, tol}, {&U::ridge, -0.0, kOk},
           {&U::ridge, kNaN, ridge}}) {
    // clang-format on
    for (Penalty penalty : {Penalty::None, Penalty::L1}) {
      UpdateConfig config = valid_config();
      config.penalty = penalty;
      config.*row.field = row.value;
      EXPECT_EQ(describe(validate_config(config)), row.expected) << row.value;
    }
  }
}

TEST(RecordsTest, PenaltyTextsMatchExactly) {
  EXPECT_EQ(parse_penalty("none"), Penalty::None);
  EXPECT_EQ(parse_penalty("l1"), Penalty::L1);
  for (std::string_view text : std::initializer_list<std::string_view>{
           "", "None", "L1", " l1", "l1 ", "l1\n", "l2", std::string_view("l1\0", 3),
           std::string_view("none", 3)}) {
    EXPECT_FALSE(parse_penalty(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace quillfen
