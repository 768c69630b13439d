#include <gtest/gtest.h>

#include "engine/access_flag.hpp"

namespace quillfen {
namespace {

TEST(AccessFlag, SharedHoldersExcludeAnExclusiveOneUntilAllRelease) {
  AccessFlag flag;
  ASSERT_TRUE(flag.try_acquire_shared());
  ASSERT_TRUE(flag.try_acquire_shared());
  EXPECT_FALSE(flag.try_acquire_exclusive());
  flag.release_shared();
  EXPECT_FALSE(flag.try_acquire_exclusive());
  flag.release_shared();
  EXPECT_TRUE(flag.is_free());
  EXPECT_TRUE(flag.try_acquire_exclusive());
}

TEST(AccessFlag, ExclusiveHolderRefusesEveryOtherRequestUntilReleased) {
  AccessFlag flag;
  ASSERT_TRUE(flag.try_acquire_exclusive());
  EXPECT_FALSE(flag.try_acquire_shared());
  EXPECT_FALSE(flag.try_acquire_exclusive());
  EXPECT_FALSE(flag.is_free());
  flag.release_exclusive();
  EXPECT_TRUE(flag.try_acquire_shared());
  flag.release_shared();
  EXPECT_TRUE(flag.is_free());
}

}  // namespace
}  // namespace quillfen
