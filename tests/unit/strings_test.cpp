#include <gtest/gtest.h>

#include "textio/strings.h"

namespace kelmora {
namespace {

TEST(RoundingTest, HalvesGoToEven) {
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(ReadRoundedInt("2.51"), 3);
  EXPECT_EQ(ReadRoundedInt("abc"), 0);
  EXPECT_EQ(ReadRoundedInt("  -100x"), -100);
}

}  // namespace
}  // namespace kelmora
