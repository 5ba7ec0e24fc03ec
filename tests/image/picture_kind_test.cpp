#include "image/picture_kind.h"

#include "media/picture.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace tv {
namespace {

cv::Mat plain(int w, int h, cv::Scalar colour = cv::Scalar(100, 100, 100, 255)) {
  return cv::Mat(h, w, CV_8UC4, colour);
}

TEST(PictureKind, ExaminesAtMost384ASide) {
  EXPECT_EQ(pictureKindSize(cv::Size(4000, 3000)), cv::Size(384, 288));
  EXPECT_EQ(pictureKindSize(cv::Size(300, 200)), cv::Size(300, 200));
  EXPECT_EQ(pictureKindSize(cv::Size(1000, 333)), cv::Size(384, 127));
  EXPECT_EQ(pictureKindSize(cv::Size(300, 1)), cv::Size(300, 2));
  // The scale is applied, then truncated: 5000 x (384 / 5000) falls just short of 384.
  EXPECT_EQ(pictureKindSize(cv::Size(5000, 3)), cv::Size(int(5000 * (384.0 / 5000)), 2));
}

TEST(PictureKind, OneFlatColour) {
  PictureKind kind = pictureKind(plain(300, 200));
  EXPECT_FALSE(kind.transparent);
  EXPECT_TRUE(kind.plainBorder);
  EXPECT_TRUE(kind.fewColours);
  kind = pictureKind(plain(4000, 3000));
  EXPECT_FALSE(kind.transparent);
  EXPECT_TRUE(kind.plainBorder);
  EXPECT_TRUE(kind.fewColours);
}

TEST(PictureKind, OnePixelHighIsTransparent) {
  PictureKind kind = pictureKind(plain(300, 1));
  EXPECT_TRUE(kind.transparent);  // the raised second row is transparent
}

TEST(PictureKind, HalfAPercentOfTransparency) {
  cv::Mat fifty = plain(100, 100), fiftyOne = plain(100, 100);
  for (int i = 0; i < 51; ++i) {
    if (i < 50) fifty.at<cv::Vec4b>(50, i)[3] = 249;
    fiftyOne.at<cv::Vec4b>(50, i)[3] = 249;
  }
  EXPECT_FALSE(pictureKind(fifty).transparent);
  EXPECT_TRUE(pictureKind(fiftyOne).transparent);
  fiftyOne.row(50).setTo(cv::Scalar(100, 100, 100, 250));
  EXPECT_FALSE(pictureKind(fiftyOne).transparent);
}

TEST(PictureKind, BorderWithinTwentyFiveLevels) {
  // 100 x 100: 400 border samples. The top row and the left column's first 70 rows give 171
  // samples (with the right column's top corner), less than half: the median stays 100.
  auto border = [](int red) {
    cv::Mat bgra = plain(100, 100);
    bgra(cv::Rect(0, 0, 100, 1)).setTo(cv::Scalar(100, 100, red, 255));
    bgra(cv::Rect(0, 0, 1, 70)).setTo(cv::Scalar(100, 100, red, 255));
    return bgra;
  };
  EXPECT_TRUE(pictureKind(border(125)).plainBorder);
  EXPECT_FALSE(pictureKind(border(126)).plainBorder);
  EXPECT_TRUE(pictureKind(border(75)).plainBorder);
  EXPECT_FALSE(pictureKind(border(74)).plainBorder);
}

TEST(PictureKind, ExactlySixtyPercentIsNotPlain) {
  // Off-colour: the top row (100 + the right column's corner) and the left column's first k
  // rows: 101 + k samples of 400.
  auto border = [](int k) {
    cv::Mat bgra = plain(100, 100);
    bgra(cv::Rect(0, 0, 100, 1)).setTo(cv::Scalar(0, 0, 0, 255));
    bgra(cv::Rect(0, 0, 1, k)).setTo(cv::Scalar(0, 0, 0, 255));
    return bgra;
  };
  EXPECT_FALSE(pictureKind(border(59)).plainBorder);  // 240 of 400 match
  EXPECT_TRUE(pictureKind(border(58)).plainBorder);   // 241
}

// A 100 x 100 picture filled in memory order with runs of distinct colour cells.
cv::Mat cells(const std::vector<int>& runs) {
  cv::Mat bgra = plain(100, 100, cv::Scalar(0, 0, 0, 255));
  int at = 0;
  for (size_t cell = 0; cell < runs.size(); ++cell) {
    const uint8_t r = uint8_t(16 * (cell % 16)), g = uint8_t(16 * (cell / 16));
    for (int i = 0; i < runs[cell]; ++i, ++at)
      bgra.at<cv::Vec4b>(at / 100, at % 100) = cv::Vec4b(255, g, r, 255);
  }
  return bgra;
}

TEST(PictureKind, FewColoursNeedFewerThan25CellsFor94Percent) {
  // 24 cells of 392 hold 9408 of 10000 pixels: 94 % reached with 24 cells.
  std::vector<int> runs(24, 392);
  runs.push_back(10000 - 24 * 392);
  EXPECT_TRUE(pictureKind(cells(runs)).fewColours);
  // 24 cells of 391 hold 9384: the 25th is needed.
  std::vector<int> more(24, 391);
  for (int left = 10000 - 24 * 391; left > 0; left -= 100) more.push_back(std::min(left, 100));
  EXPECT_FALSE(pictureKind(cells(more)).fewColours);
}

TEST(PictureKind, LevelsWithinOneStepShareACell) {
  // 30 stripes whose red runs 0..14: one cell. The same with red in steps of 16: 30 cells.
  cv::Mat close = plain(300, 100), apart = plain(300, 100);
  for (int s = 0; s < 30; ++s) {
    close(cv::Rect(10 * s, 0, 10, 100)).setTo(cv::Scalar(0, s % 8, s % 15, 255));
    apart(cv::Rect(10 * s, 0, 10, 100)).setTo(cv::Scalar(0, 16 * (s / 15), 16 * (s % 15), 255));
  }
  EXPECT_TRUE(pictureKind(close).fewColours);
  EXPECT_FALSE(pictureKind(apart).fewColours);
}

TEST(PictureKind, PhotographHasManyColours) {
  const std::string photo = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
  if (!std::filesystem::exists(photo)) GTEST_FAIL() << "no sample photograph installed";
  auto bgra = tryLoadPicture(photo, 2048);
  ASSERT_TRUE(bgra);
  PictureKind kind = pictureKind(*bgra);
  EXPECT_FALSE(kind.transparent);
  EXPECT_FALSE(kind.fewColours);
  EXPECT_FALSE(kind.plainBorder);
}

TEST(PictureKind, GradientHasManyColours) {
  cv::Mat bgra(256, 256, CV_8UC4);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x)
      bgra.at<cv::Vec4b>(y, x) = cv::Vec4b(128, uint8_t(y), uint8_t(x), 255);
  EXPECT_FALSE(pictureKind(bgra).fewColours);
}

}  // namespace
}  // namespace tv
