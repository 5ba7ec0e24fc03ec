#include "track/box.h"

#include <gtest/gtest.h>

namespace {

void expectBox(const std::optional<tv::Box>& box, tv::Box expected) {
  ASSERT_TRUE(box);
  EXPECT_EQ(box->x, expected.x);
  EXPECT_EQ(box->y, expected.y);
  EXPECT_EQ(box->w, expected.w);
  EXPECT_EQ(box->h, expected.h);
}

TEST(BoxOption, ExactlyFourNumbers) {
  EXPECT_FALSE(tv::userBox(""));
  EXPECT_FALSE(tv::userBox("0.5,0.5,0.2"));
  EXPECT_FALSE(tv::userBox("0.5,0.5,0.2,0.2,0.1"));
  expectBox(tv::userBox("0.5,,0.5,0.2,0.2"), {0.5, 0.5, 0.2, 0.2});
  expectBox(tv::userBox("0.5,abc,0.5,0.2,0.2"), {0.5, 0.5, 0.2, 0.2});
}

TEST(BoxOption, SizesAreAtLeastOnePercentAndCentresUnclamped) {
  expectBox(tv::userBox("0.5,0.5,0,0.001"), {0.5, 0.5, 0.01, 0.01});
  expectBox(tv::userBox("-0.2,1.5,nan,-3"), {-0.2, 1.5, 0.01, 0.01});
  expectBox(tv::userBox("0.5,0.5,2,0.3"), {0.5, 0.5, 2, 0.3});
}

}  // namespace
