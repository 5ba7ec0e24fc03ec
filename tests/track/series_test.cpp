#include "track/series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tv {
namespace {

TEST(Box, VisionConversionBothWays) {
  Box box = Box::fromVision(cv::Rect2d(0.1, 0.2, 0.4, 0.2));
  EXPECT_NEAR(box.x, 0.3, 1e-12);
  EXPECT_NEAR(box.y, 0.7, 1e-12);
  EXPECT_NEAR(box.w, 0.4, 1e-12);
  EXPECT_NEAR(box.h, 0.2, 1e-12);
  cv::Rect2d back = box.vision();
  EXPECT_NEAR(back.x, 0.1, 1e-12);
  EXPECT_NEAR(back.y, 0.2, 1e-12);
  // A rectangle given with negative sizes is the same rectangle.
  Box flipped = Box::fromVision(cv::Rect2d(0.5, 0.4, -0.4, -0.2));
  EXPECT_NEAR(flipped.x, 0.3, 1e-12);
  EXPECT_NEAR(flipped.y, 0.7, 1e-12);
  EXPECT_NEAR(flipped.w, 0.4, 1e-12);
}

TEST(Box, OverlapAndDistance) {
  Box a{0.5, 0.5, 0.2, 0.2};
  EXPECT_NEAR(a.overlap(a), 1.0, 1e-12);
  EXPECT_EQ(a.overlap(Box{0.9, 0.9, 0.1, 0.1}), 0.0);
  Box half{0.6, 0.5, 0.2, 0.2};  // shifted by half its width: 1/3 overlap
  EXPECT_NEAR(a.overlap(half), 1.0 / 3.0, 1e-12);
  EXPECT_NEAR(half.overlap(a), a.overlap(half), 1e-15);
  Box thin{0.5, 0.5, 0, 0.2};
  EXPECT_EQ(thin.overlap(thin), 0.0);
  EXPECT_NEAR(a.distance(Box{0.8, 0.9, 0, 0}), 0.5, 1e-12);
}

TEST(Smoothed, ShortSeriesAndBadSigmaUnchanged) {
  std::vector<double> two{1, 5};
  EXPECT_EQ(smoothed(two, 2), two);
  std::vector<double> four{1, 9, 3, 7};
  EXPECT_EQ(smoothed(four, 0), four);
  EXPECT_EQ(smoothed(four, -1), four);
  EXPECT_EQ(smoothed(four, std::numeric_limits<double>::quiet_NaN()), four);
}

TEST(Smoothed, ClampedTapsKeepConstantsAndSymmetry) {
  auto constant = smoothed({1, 1, 1, 1}, 5);
  for (double v : constant) EXPECT_NEAR(v, 1.0, 1e-12);
  auto step = smoothed({0, 0, 0, 10, 10, 10}, 0.8);
  ASSERT_EQ(step.size(), 6u);
  EXPECT_NEAR(step[2] + step[3], 10, 1e-9);
  EXPECT_NEAR(step[0] + step[5], 10, 1e-9);
  EXPECT_GT(step[2], 0);
  EXPECT_LT(step[2], 5);
  // Radius ceil(3 * 0.8) = 3 and weights exp(-i^2 / 1.28): index 0 sees only the value at 3.
  double w3 = std::exp(-9 / 1.28), total = 0;
  for (int i = -3; i <= 3; ++i) total += std::exp(-i * i / 1.28);
  EXPECT_NEAR(step[0], 10 * w3 / total, 1e-12);
}

TEST(Bridged, GapsHeldAndInterpolated) {
  EXPECT_TRUE(bridged({}).empty());
  EXPECT_TRUE(bridged({std::nullopt, std::nullopt}).empty());
  Box b1{0.1, 0.2, 0.1, 0.1}, b4{0.4, 0.5, 0.4, 0.7};
  auto out = bridged({std::nullopt, b1, std::nullopt, std::nullopt, b4, std::nullopt});
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[0].x, b1.x);
  EXPECT_EQ(out[1].x, b1.x);
  EXPECT_NEAR(out[2].x, 0.2, 1e-12);
  EXPECT_NEAR(out[3].x, 0.3, 1e-12);
  EXPECT_NEAR(out[2].w, 0.2, 1e-12);  // sizes grow linearly too
  EXPECT_NEAR(out[3].h, 0.5, 1e-12);
  EXPECT_EQ(out[4].x, b4.x);
  EXPECT_EQ(out[5].h, b4.h);
  auto held = bridged({std::nullopt, std::nullopt, b1});
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[0].y, b1.y);
  auto tail = bridged({b4, std::nullopt, std::nullopt});
  EXPECT_EQ(tail[2].w, b4.w);
}

TEST(Rounding, HalvesAwayFromZero) {
  EXPECT_EQ(roundTo(0.125, 2), 0.13);
  EXPECT_EQ(roundTo(-0.125, 2), -0.13);
  EXPECT_EQ(roundTo(1.0000049, 5), 1.0);
  EXPECT_EQ(roundTo(0.123456789, 6), 0.123457);
}

}  // namespace
}  // namespace tv
