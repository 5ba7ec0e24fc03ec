#include "skin/key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

namespace tv {
namespace {

TEST(KeyCoords, PrimariesHaveTheirHuesAndLumaWeights) {
  KeyCoords red = keyCoords(1, 0, 0);
  EXPECT_DOUBLE_EQ(red.h, 0);
  EXPECT_DOUBLE_EQ(red.s, 1);
  EXPECT_DOUBLE_EQ(red.l, 0.2126);
  KeyCoords green = keyCoords(0, 1, 0);
  EXPECT_DOUBLE_EQ(green.h, 1.0 / 3);
  EXPECT_DOUBLE_EQ(green.l, 0.7152);
  KeyCoords blue = keyCoords(0, 0, 1);
  EXPECT_DOUBLE_EQ(blue.h, 2.0 / 3);
  EXPECT_DOUBLE_EQ(blue.l, 0.0722);
}

TEST(KeyCoords, RedWithSomeBlueWrapsBelowOneTurn) {
  // (g - b) / delta = -0.2; +6 and the remainder by 6 give 5.8, a sixth of which is the hue.
  KeyCoords c = keyCoords(1, 0, 0.2);
  EXPECT_NEAR(c.h, 5.8 / 6, 1e-12);
  EXPECT_LT(c.h, 1);
  EXPECT_DOUBLE_EQ(c.s, 1);
}

TEST(KeyCoords, SkinToneValues) {
  KeyCoords c = keyCoords(0.8, 0.6, 0.5);
  EXPECT_NEAR(c.h, (0.1 / 0.3) / 6, 1e-12);
  EXPECT_NEAR(c.s, 0.3 / 0.8, 1e-12);
  EXPECT_NEAR(c.l, 0.2126 * 0.8 + 0.7152 * 0.6 + 0.0722 * 0.5, 1e-12);
}

TEST(KeyCoords, GreysAndBlackHaveNoHueOrSaturation) {
  KeyCoords grey = keyCoords(0.5, 0.5, 0.5);
  EXPECT_EQ(grey.h, 0);
  EXPECT_EQ(grey.s, 0);
  EXPECT_NEAR(grey.l, 0.5, 1e-12);
  KeyCoords nearlyGrey = keyCoords(0.5, 0.5000005, 0.5);  // delta below one millionth
  EXPECT_EQ(nearlyGrey.h, 0);
  KeyCoords black = keyCoords(0, 0, 0);
  EXPECT_EQ(black.s, 0);
  EXPECT_EQ(black.l, 0);
}

TEST(KeyCoords, GreenAndBlueMaximaUseTheirOwnSextants) {
  // g max: (b - r) / delta + 2 = (0.2 - 0) / 1 + 2 = 2.2.
  EXPECT_NEAR(keyCoords(0, 1, 0.2).h, 2.2 / 6, 1e-12);
  // b max: (r - g) / delta + 4 = (0.5 - 0) / 1 + 4 = 4.5.
  EXPECT_NEAR(keyCoords(0.5, 0, 1).h, 4.5 / 6, 1e-12);
}

TEST(KeepRule, BoundsAreInclusive) {
  EXPECT_TRUE(keptForKey({0.1, 0.08, 0.5}));
  EXPECT_FALSE(keptForKey({0.1, 0.0799, 0.5}));
  EXPECT_TRUE(keptForKey({0.1, 0.5, 0.1}));
  EXPECT_FALSE(keptForKey({0.1, 0.5, 0.0999}));
  EXPECT_TRUE(keptForKey({0.1, 0.5, 0.97}));
  EXPECT_FALSE(keptForKey({0.1, 0.5, 0.9701}));
}

TEST(Percentile, IndicesOfAHundredShuffledValues) {
  std::vector<double> values(100);
  std::iota(values.begin(), values.end(), 0.0);
  std::shuffle(values.begin(), values.end(), std::mt19937(7));
  EXPECT_EQ(percentile(values, 0.97), 96);
  EXPECT_EQ(percentile(values, 0.03), 2);
  EXPECT_EQ(percentile(values, 0), 0);
  EXPECT_EQ(percentile(values, 1), 99);
}

TEST(Percentile, IndexIsTruncatedAndClamped) {
  std::vector<double> values(51);
  std::iota(values.begin(), values.end(), 10.0);
  EXPECT_EQ(percentile(values, 0.97), 10 + 48);  // 0.97 * 50 = 48.5
  EXPECT_EQ(percentile(values, 0.03), 10 + 1);   // 0.03 * 50 = 1.5
  EXPECT_EQ(percentile(values, 1.5), 60);
  EXPECT_EQ(percentile(values, -1), 10);
}

TEST(HueDistance, GoesTheShortWayRound) {
  EXPECT_NEAR(hueDistance(0.98, 0.02), 0.04, 1e-12);
  EXPECT_NEAR(hueDistance(0.02, 0.98), 0.04, 1e-12);
  EXPECT_NEAR(hueDistance(0.1, 0.6), 0.5, 1e-12);
  EXPECT_NEAR(hueDistance(0.3, 0.2), 0.1, 1e-12);
}

TEST(SkinKey, HuesEitherSideOfRedAverageToRed) {
  SkinSamples samples;
  for (int i = 0; i < 60; ++i) samples.add({i % 2 ? 0.98 : 0.02, 0.3 + i * 0.001, 0.5});
  auto key = skinKey(samples);
  ASSERT_TRUE(key);
  EXPECT_GE(key->hue, 0);
  EXPECT_LT(key->hue, 1);
  EXPECT_LT(hueDistance(key->hue, 0), 1e-9);
  EXPECT_NEAR(key->hueSpread, 0.02, 1e-9);
  EXPECT_NEAR(key->satLow, 0.3 + 1 * 0.001, 1e-12);    // index trunc(0.03 * 59) = 1
  EXPECT_NEAR(key->satHigh, 0.3 + 57 * 0.001, 1e-12);  // index trunc(0.97 * 59) = 57
  EXPECT_EQ(key->lumLow, 0.5);
  EXPECT_EQ(key->lumHigh, 0.5);
}

TEST(SkinKey, NegativeMeanAngleIsBroughtIntoTheTurn) {
  SkinSamples samples;
  for (int i = 0; i < 60; ++i) samples.add({i % 3 ? 0.95 : 0.01, 0.5, 0.5});
  auto key = skinKey(samples);
  ASSERT_TRUE(key);
  EXPECT_GT(key->hue, 0.9);
  EXPECT_LT(key->hue, 1);
}

TEST(SkinKey, FiftySamplesAreNotEnoughFiftyOneAre) {
  SkinSamples samples;
  for (int i = 0; i < 50; ++i) samples.add({0.05, 0.4, 0.5});
  EXPECT_FALSE(skinKey(samples));
  samples.add({0.05, 0.4, 0.5});
  auto key = skinKey(samples);
  ASSERT_TRUE(key);
  EXPECT_NEAR(key->hue, 0.05, 1e-12);
  EXPECT_NEAR(key->hueSpread, 0, 1e-12);
}

TEST(LargestFace, LargestAreaWinsAndTheEarlierOneOnATie) {
  EXPECT_FALSE(largestFace({}));
  EXPECT_EQ(largestFace({{0, 0, 0.1, 0.1}, {0.5, 0.5, 0.3, 0.2}, {0.1, 0.1, 0.2, 0.2}}), 1u);
  EXPECT_EQ(largestFace({{0, 0, 0.2, 0.3}, {0.5, 0.5, 0.3, 0.2}}), 0u);
}

TEST(PatchRect, MiddleBandOfALowerLeftBoxInTopLeftPixels) {
  cv::Rect2d rect = patchRect({0.2, 0.3, 0.4, 0.5}, {1000, 800});
  EXPECT_NEAR(rect.x, 296, 1e-9);      // (0.2 + 0.24 * 0.4) * 1000
  EXPECT_NEAR(rect.width, 208, 1e-9);  // 0.52 * 0.4 * 1000
  EXPECT_NEAR(rect.height, 96, 1e-9);  // 0.24 * 0.5 * 800
  // The band's bottom is (0.3 + 0.38 * 0.5) * 800 = 392 above the bottom of the picture.
  EXPECT_NEAR(rect.y, 800 - 392 - 96, 1e-9);
}

TEST(RenderPatch, FillsThePatchWithTheRectangleAsRgba) {
  cv::Mat image(300, 400, CV_8UC4, cv::Scalar(255, 0, 0, 255));  // blue around it
  cv::Rect area(100, 50, 120, 60);
  image(area).setTo(cv::Scalar(60, 110, 200, 255));                    // BGRA skin tone
  image(cv::Rect(160, 50, 60, 60)).setTo(cv::Scalar(0, 200, 0, 255));  // right half green
  cv::Mat patch;
  renderPatch(image, cv::Rect2d(area), patch);
  ASSERT_EQ(patch.size(), cv::Size(kPatchSide, kPatchSide));
  ASSERT_EQ(patch.type(), CV_8UC4);
  for (int row = 0; row < kPatchSide; ++row) {
    for (int col = 0; col < kPatchSide; ++col) {
      cv::Vec4b expected =
          col < kPatchSide / 2 ? cv::Vec4b(200, 110, 60, 255) : cv::Vec4b(0, 200, 0, 255);
      ASSERT_EQ(patch.at<cv::Vec4b>(row, col), expected) << row << "," << col;
    }
  }
}

TEST(RenderPatch, SmallRectanglesAreEnlargedWithoutDarkeningTheImageBorder) {
  cv::Mat image(20, 20, CV_8UC4, cv::Scalar(40, 90, 180, 255));
  cv::Mat patch;
  renderPatch(image, cv::Rect2d(0, 0, 8, 8), patch);
  for (int row = 0; row < kPatchSide; ++row)
    for (int col = 0; col < kPatchSide; ++col)
      ASSERT_EQ(patch.at<cv::Vec4b>(row, col), cv::Vec4b(180, 90, 40, 255));
}

TEST(RenderPatch, OutsideThePictureIsTransparentBlack) {
  cv::Mat image(100, 100, CV_8UC4, cv::Scalar(40, 90, 180, 255));
  cv::Mat patch;
  renderPatch(image, cv::Rect2d(50, 20, 100, 40), patch);  // the right half lies beyond it
  EXPECT_EQ(patch.at<cv::Vec4b>(20, 5), cv::Vec4b(180, 90, 40, 255));
  EXPECT_EQ(patch.at<cv::Vec4b>(20, 35), cv::Vec4b(0, 0, 0, 0));
  SkinSamples samples;
  samples.addPatch(patch);
  EXPECT_EQ(samples.size(), 20u * 40u);  // only the half inside the picture is kept
}

TEST(SkinSamples, KeepsOnlyColouredMidtonePixels) {
  cv::Mat patch(kPatchSide, kPatchSide, CV_8UC4, cv::Scalar(128, 128, 128, 255));  // grey
  patch.row(0).setTo(cv::Scalar(200, 140, 110, 255));                              // skin (RGBA)
  patch.row(1).setTo(cv::Scalar(20, 10, 5, 255));                                  // too dark
  SkinSamples samples;
  samples.addPatch(patch);
  ASSERT_EQ(samples.size(), static_cast<size_t>(kPatchSide));
  KeyCoords skin = keyCoords(200 / 255.0, 140 / 255.0, 110 / 255.0);
  EXPECT_DOUBLE_EQ(samples.hues[0], skin.h);
  EXPECT_DOUBLE_EQ(samples.saturations[0], skin.s);
  EXPECT_DOUBLE_EQ(samples.lightnesses[0], skin.l);
}

}  // namespace
}  // namespace tv
