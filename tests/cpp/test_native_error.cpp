#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/native_error.hpp"

namespace quillfen {
namespace {

struct KindRow {
  NativeError error;
  int code;
  const char* text;
  bool input_error;  // the caller's input is at fault (ValueError) vs failed numerics
};

TEST(NativeErrorTest, EveryKindHasItsCodeTextAndClass) {
  const std::vector<KindRow> rows = {
      {NativeError::invalid_config("tol must be set"), 0,
       "invalid native configuration: tol must be set", true},
      {NativeError::invalid_state("weight_sum must be finite and non-negative"), 1,
       "invalid native state: weight_sum must be finite and non-negative", true},
      {NativeError::invalid_batch("batch must contain at least one row"), 2,
       "invalid native batch: batch must contain at least one row", true},
      {NativeError::size_overflow(), 3, "native buffer size overflow", true},
      {NativeError::scalar_conversion(), 4, "native scalar conversion failed", true},
      {NativeError::linear_solve(), 5, "native linear solve failed", false},
      {NativeError::non_finite(), 6, "native calculation produced a non-finite value", false},
  };
  for (const KindRow& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(static_cast<int>(row.error.kind), row.code);
    EXPECT_EQ(display(row.error), row.text);
    EXPECT_EQ(is_input_error(row.error.kind), row.input_error);
  }
}

TEST(NativeErrorTest, EqualityComparesKindAndDetailText) {
  // Same text in two different buffers: equal by content, not by address.
  const char first[] = "ridge must be finite and non-negative";
  const std::string second = first;
  EXPECT_EQ(NativeError::invalid_config(first), NativeError::invalid_config(second.c_str()));
  EXPECT_FALSE(NativeError::invalid_config(first) == NativeError::invalid_state(first));
  EXPECT_FALSE(NativeError::invalid_batch("a") == NativeError::invalid_batch("b"));
  EXPECT_FALSE(NativeError::invalid_batch("") == NativeError{ErrorKind::InvalidBatch});
  EXPECT_EQ(NativeError::size_overflow(), NativeError::size_overflow());
  EXPECT_FALSE(NativeError::linear_solve() == NativeError::non_finite());
}

}  // namespace
}  // namespace quillfen
