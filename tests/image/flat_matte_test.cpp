#include "image/flat_matte.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace tv {
namespace {

const cv::Scalar kWhite(255, 255, 255, 255), kBlack(0, 0, 0, 255);

cv::Mat picture(int w, int h, cv::Scalar colour = kWhite) {
  return cv::Mat(h, w, CV_8UC4, colour);
}

cv::Scalar greyLevel(int v) {
  return cv::Scalar(v, v, v, 255);
}

// Sets the alpha of the first `count` pixels in memory order.
cv::Mat withAlpha(cv::Mat bgra, int count, uint8_t alpha) {
  for (int i = 0; i < count; ++i) bgra.at<cv::Vec4b>(i / bgra.cols, i % bgra.cols)[3] = alpha;
  return bgra;
}

int at(const cv::Mat& matte, int x, int y) {
  return matte.at<uint8_t>(y, x);
}

TEST(FlatMatte, HalfAPercentOfTranslucencyIsStillOpaque) {
  auto fifty = flatMatte(withAlpha(picture(100, 100), 50, 0), 0.25, true);
  ASSERT_TRUE(fifty);
  EXPECT_TRUE(fifty->background);
  auto fiftyOne = flatMatte(withAlpha(picture(100, 100), 51, 0), 0.25, true);
  ASSERT_TRUE(fiftyOne);
  EXPECT_FALSE(fiftyOne->background);
}

TEST(FlatMatte, AlphaTwoHundredFiftyCountsAsOpaque) {
  EXPECT_TRUE(flatMatte(withAlpha(picture(100, 100), 100, 250), 0.25, true)->background);
  EXPECT_FALSE(flatMatte(withAlpha(picture(100, 100), 100, 249), 0.25, true)->background);
}

TEST(FlatMatte, AlphaMatteCopiesTheAlpha) {
  cv::Mat bgra = picture(20, 10, cv::Scalar(30, 60, 90, 255));
  bgra(cv::Rect(0, 0, 10, 10)).setTo(cv::Scalar(30, 60, 90, 0));
  bgra.at<cv::Vec4b>(5, 15)[3] = 128;
  auto flat = flatMatte(bgra, 0.25, true);
  ASSERT_TRUE(flat);
  EXPECT_FALSE(flat->background);
  ASSERT_EQ(flat->matte.size(), cv::Size(20, 10));
  EXPECT_EQ(at(flat->matte, 3, 3), 0);
  EXPECT_EQ(at(flat->matte, 15, 5), 128);
  EXPECT_EQ(at(flat->matte, 19, 9), 255);
}

TEST(FlatMatte, HardSquareOnWhite) {
  cv::Mat bgra = picture(60, 40);
  bgra(cv::Rect(20, 10, 20, 20)).setTo(kBlack);
  auto flat = flatMatte(bgra, 0.25, true);
  ASSERT_TRUE(flat && flat->background);
  EXPECT_EQ(*flat->background, (std::array<double, 3>{1, 1, 1}));
  cv::Mat expected(40, 60, CV_8U, cv::Scalar(0));
  expected(cv::Rect(20, 10, 20, 20)).setTo(255);
  EXPECT_EQ(cv::countNonZero(flat->matte != expected), 0);
}

TEST(FlatMatte, AntiAliasedEdgeFollowsTheDistance) {
  cv::Mat bgra = picture(60, 40);
  bgra(cv::Rect(20, 10, 20, 20)).setTo(kBlack);
  bgra(cv::Rect(40, 10, 1, 20)).setTo(greyLevel(128));  // a grey column beside the square
  bgra(cv::Rect(41, 10, 1, 20)).setTo(greyLevel(230));  // and a light one beyond it
  auto flat = flatMatte(bgra, 0.25, true);
  ASSERT_TRUE(flat);
  EXPECT_EQ(at(flat->matte, 40, 20), 127);  // 127/255 of the way, next to black
  // 25/255 is under the threshold: background, but above the floor, so 25/255 of black.
  EXPECT_EQ(at(flat->matte, 41, 20), 25);
  EXPECT_EQ(at(flat->matte, 39, 20), 255);
  EXPECT_EQ(at(flat->matte, 42, 20), 0);
}

TEST(FlatMatte, BackgroundIsTheUpperMedianOfTheBorder) {
  cv::Mat bgra = picture(50, 50, cv::Scalar(10, 20, 30, 255));  // B, G, R
  bgra(cv::Rect(0, 0, 50, 1)).setTo(cv::Scalar(12, 22, 32, 255));
  auto flat = flatMatte(bgra, 0.25, true);
  ASSERT_TRUE(flat && flat->background);
  EXPECT_EQ(*flat->background, (std::array<double, 3>{30 / 255.0, 20 / 255.0, 10 / 255.0}));
}

TEST(FlatMatte, HalfWhiteHalfBlackBorderIsNotFlat) {
  cv::Mat bgra = picture(80, 80);
  bgra(cv::Rect(40, 0, 40, 80)).setTo(kBlack);
  EXPECT_FALSE(flatMatte(bgra, 0.25, true));
}

TEST(FlatMatte, SixtyPercentCloseIsFlat) {
  // 10 x 10: 40 column reads and 40 row reads, 80 samples. Darken the first pixels in memory
  // order: rows 0 and 1 are read by every column and four times by the rows, row 2 only by
  // the rows.
  auto samples = [](int dark) {
    cv::Mat bgra = picture(10, 10);
    bgra(cv::Rect(0, 0, 10, 10)).setTo(kWhite);
    for (int i = 0; i < dark; ++i) bgra.at<cv::Vec4b>(i / 10, i % 10) = cv::Vec4b(0, 0, 0, 255);
    return bgra;
  };
  // Count the close samples the same way the border is read, and find the 60 % boundary.
  for (int dark = 0; dark <= 60; ++dark) {
    cv::Mat bgra = samples(dark);
    auto border = flatBorderSamples(bgra);
    size_t white = 0;
    for (const auto& rgb : border) white += rgb[0] == 255;
    const size_t majority = std::max(white, border.size() - white);
    const bool flat = double(majority) >= 0.6 * double(border.size());
    EXPECT_EQ(bool(flatMatte(bgra, 0.25, true)), flat) << dark;
  }
  // The boundary itself: three dark rows leave 48 white samples of 80, exactly 60 %.
  auto border = flatBorderSamples(samples(30));
  size_t white = 0;
  for (const auto& rgb : border) white += rgb[0] == 255;
  ASSERT_EQ(border.size(), 80u);
  EXPECT_EQ(white, 48u);
  EXPECT_TRUE(flatMatte(samples(30), 0.25, true));
  EXPECT_FALSE(flatMatte(samples(31), 0.25, true));
}

TEST(FlatMatte, BorderReadsTwoRowsAndTwoColumns) {
  // Every pixel carries its position, so the samples show where they were read.
  cv::Mat bgra(7, 5, CV_8UC4);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 5; ++x)
      bgra.at<cv::Vec4b>(y, x) = cv::Vec4b(0, uint8_t(y), uint8_t(x), 255);
  std::vector<std::array<uint8_t, 3>> expected;
  for (int x = 0; x < 5; ++x)
    for (int y : {0, 6, 1, 5}) expected.push_back({uint8_t(x), uint8_t(y), 0});
  for (int y = 0; y < 7; ++y)
    for (int x : {0, 4, 1, 3}) expected.push_back({uint8_t(x), uint8_t(y), 0});
  EXPECT_EQ(flatBorderSamples(bgra), expected);
}

TEST(FlatMatte, OnePixelHighReadsThePixelFourTimes) {
  cv::Mat bgra(1, 10, CV_8UC4);
  for (int x = 0; x < 10; ++x) bgra.at<cv::Vec4b>(0, x) = cv::Vec4b(0, 0, uint8_t(x), 255);
  auto samples = flatBorderSamples(bgra);
  ASSERT_EQ(samples.size(), 44u);
  for (int x = 0; x < 10; ++x)
    for (int read = 0; read < 4; ++read) EXPECT_EQ(samples[4 * x + read][0], x);
  // Kept each time: pixels 0, 1, 8 and 9 are read five times, the others four. Black on those
  // four is 20 samples of 44, so the white median holds 24: under 60 %.
  cv::Mat ends(1, 10, CV_8UC4, kWhite);
  for (int x : {0, 1, 8, 9}) ends.at<cv::Vec4b>(0, x) = cv::Vec4b(0, 0, 0, 255);
  EXPECT_FALSE(flatMatte(ends, 0.25, true));
  cv::Mat middle(1, 10, CV_8UC4, kWhite);
  for (int x : {4, 5}) middle.at<cv::Vec4b>(0, x) = cv::Vec4b(0, 0, 0, 255);
  auto flat = flatMatte(middle, 0.25, true);
  ASSERT_TRUE(flat);
  EXPECT_EQ(at(flat->matte, 4, 0), 255);
  EXPECT_EQ(at(flat->matte, 3, 0), 0);
}

TEST(FlatMatte, ColumnStepKeepsAbout400PerSide) {
  for (int w : {399, 800, 1200, 1600}) {
    const int step = w >= 400 ? w / 400 : 1;
    cv::Mat bgra = picture(w, 3);
    auto samples = flatBorderSamples(bgra);
    const size_t columns = (w + step - 1) / step;
    EXPECT_EQ(samples.size(), 4 * columns + 4 * 3) << w;
  }
  // Which columns: every second one at 800.
  cv::Mat bgra(2, 800, CV_8UC4);
  for (int x = 0; x < 800; ++x) bgra.col(x).setTo(cv::Scalar(0, 0, x % 256, 255));
  auto samples = flatBorderSamples(bgra);
  for (int i = 0; i < 400; ++i) EXPECT_EQ(samples[4 * i][0], (2 * i) % 256);
}

TEST(FlatMatte, ThresholdFollowsTheTolerance) {
  EXPECT_EQ(flatThreshold(0.25), float(0.04 + 0.4 * 0.25));
  EXPECT_NEAR(flatThreshold(0.25), 0.14f, 1e-7);
  EXPECT_EQ(flatThreshold(-1), 0.04f);
  EXPECT_EQ(flatThreshold(std::nan("")), 0.04f);
  EXPECT_EQ(flatThreshold(5), float(0.44));
  EXPECT_EQ(flatThreshold(1), float(0.44));
  EXPECT_EQ(flatThreshold(0), 0.04f);
}

// A white picture with a black ring around a white hole.
cv::Mat ring() {
  cv::Mat bgra = picture(80, 80);
  cv::rectangle(bgra, cv::Rect(20, 20, 40, 40), kBlack, 6);
  return bgra;
}

TEST(FlatMatte, InnerCutsOutTheHole) {
  auto cut = flatMatte(ring(), 0.25, true);
  auto kept = flatMatte(ring(), 0.25, false);
  ASSERT_TRUE(cut && kept);
  EXPECT_EQ(at(cut->matte, 40, 40), 0);
  EXPECT_EQ(at(kept->matte, 40, 40), 255);
  EXPECT_EQ(at(kept->matte, 5, 5), 0);
  EXPECT_EQ(at(cut->matte, 20, 40), 255);
  EXPECT_EQ(at(kept->matte, 20, 40), 255);
}

TEST(FlatMatte, DistanceEqualToTheThresholdIsNotBackground) {
  // A ring of level 204 (distance 51/255 to white) closes the hole unless it is background.
  cv::Mat bgra = picture(80, 80);
  cv::rectangle(bgra, cv::Rect(20, 20, 40, 40), greyLevel(204), 6);
  const float distance = float(1.0 - 204 / 255.0);
  ASSERT_EQ(flatThreshold(0.4), distance);
  EXPECT_EQ(at(flatMatte(bgra, 0.4, false)->matte, 40, 40), 255);
  EXPECT_EQ(at(flatMatte(bgra, 0.41, false)->matte, 40, 40), 0);
}

TEST(FlatMatte, NoiseJustUnderTheThresholdRamps) {
  // Blocks of one level inside a white picture; each block is background far from any subject.
  const float thr = flatThreshold(0.25), low = thr - 0.03f;
  int previous = -1;
  for (int level = 230; level >= 220; --level) {
    cv::Mat bgra = picture(40, 40);
    bgra(cv::Rect(10, 10, 20, 20)).setTo(greyLevel(level));
    auto flat = flatMatte(bgra, 0.25, true);
    ASSERT_TRUE(flat);
    const float d = float(std::max(0.0, 1.0 - level / 255.0));
    const int value = at(flat->matte, 20, 20);
    if (d <= low) {
      EXPECT_EQ(value, 0) << level;
    } else {
      EXPECT_GT(value, 0) << level;
      EXPECT_LT(value, 255) << level;
      EXPECT_EQ(value, int(std::round((d - low) / (thr - low) * 255.0f))) << level;
    }
    EXPECT_GE(value, previous) << level;
    previous = value;
  }
}

TEST(FlatMatte, SoftEdgeStaysWithinTheWindow) {
  // Subject pixels more than two pixels from any background are 255 whatever their colour.
  cv::Mat bgra = picture(40, 40);
  bgra(cv::Rect(10, 10, 20, 20)).setTo(greyLevel(100));
  bgra.at<cv::Vec4b>(20, 20) = cv::Vec4b(250, 250, 250, 255);
  auto flat = flatMatte(bgra, 0.25, true);
  ASSERT_TRUE(flat);
  EXPECT_EQ(at(flat->matte, 12, 12), 255);
  EXPECT_EQ(at(flat->matte, 11, 20), 255);  // (155/255) / (155/255): the edge pixel itself
  // The lone near-white pixel is background; its neighbours and itself follow the ratio.
  EXPECT_EQ(at(flat->matte, 20, 20), 0);  // distance 5/255 is under the floor
}

}  // namespace
}  // namespace tv
