#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/lent_summary.hpp"

namespace quillfen {
namespace {

EngineState<double> summary(double value, std::uint64_t batches) {
  EngineState<double> state = initial_state<double>(2);
  state.coefficients.assign(2, value);
  state.information.assign(4, value);
  state.batch_count = batches;
  state.weight_sum = 3.0;
  return state;
}

TEST(LentSummary, ComesBackUntouchedUnlessReplaced) {
  EngineState<double> home = summary(1.0, 7);
  const double* arrays[] = {home.coefficients.data(), home.information.data()};
  {
    LentSummary<double> lent(home);
    EXPECT_TRUE(home.coefficients.empty());  // moved out, not copied
    EXPECT_EQ(lent.state().coefficients.data(), arrays[0]);
  }
  EXPECT_EQ(home.coefficients.data(), arrays[0]);
  EXPECT_EQ(home.information.data(), arrays[1]);
  EXPECT_EQ(home.batch_count, 7u);

  {
    LentSummary<double> lent(home);
    lent.replace(summary(2.0, 8));
  }
  EXPECT_EQ(home.coefficients[1], 2.0);
  EXPECT_EQ(home.batch_count, 8u);
}

TEST(LentSummary, AnExceptionLeavesTheLentSummaryInPlace) {
  EngineState<double> home = summary(1.0, 7);
  const double* coefficients = home.coefficients.data();
  EXPECT_THROW(
      {
        LentSummary<double> lent(home);
        lent.state().n_features_in = 1;  // the call's metadata, set before the driver runs
        throw std::runtime_error("fault inside the update");
      },
      std::runtime_error);
  EXPECT_EQ(home.coefficients.data(), coefficients);
  EXPECT_EQ(home.information, (AlignedVector<double>(4, 1.0)));
  EXPECT_EQ(home.batch_count, 7u);
}

}  // namespace
}  // namespace quillfen
