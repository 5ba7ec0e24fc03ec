#include "segment/masks.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

namespace tv {
namespace {

TEST(Fitted, StretchesEachAxisToTheSize) {
  cv::Mat mask(192, 256, CV_8UC1, cv::Scalar(0));
  mask(cv::Rect(0, 0, 128, 192)).setTo(255);
  cv::Mat matte = fitted(mask, cv::Size(1920, 1080));
  ASSERT_EQ(matte.type(), CV_8UC1);
  EXPECT_EQ(matte.size(), cv::Size(1920, 1080));
  EXPECT_EQ(matte.at<uint8_t>(540, 10), 255);
  EXPECT_EQ(matte.at<uint8_t>(540, 950), 255);  // 950 / 7.5 = 126.7: still the left half
  EXPECT_EQ(matte.at<uint8_t>(540, 970), 0);
  EXPECT_EQ(matte.at<uint8_t>(1079, 1919), 0);
}

TEST(Fitted, ValuesStayAsTheyAre) {
  cv::Mat mask(48, 64, CV_8UC1, cv::Scalar(128));
  cv::Mat matte = fitted(mask, cv::Size(640, 480));
  EXPECT_EQ(cv::countNonZero(matte != 128), 0);
  cv::Mat same = fitted(mask, mask.size());
  EXPECT_EQ(cv::countNonZero(same != mask), 0);
}

TEST(Fitted, NeverSharesTheMasksMemory) {
  cv::Mat mask(48, 64, CV_8UC1, cv::Scalar(9));
  cv::Mat same = fitted(mask, mask.size());
  mask.setTo(200);  // an analysis reusing its buffer for the next frame
  EXPECT_EQ(cv::countNonZero(same != 9), 0);
}

TEST(Fitted, EmptyMaskIsBlack) {
  cv::Mat matte = fitted(cv::Mat(), cv::Size(30, 20));
  ASSERT_EQ(matte.size(), cv::Size(30, 20));
  EXPECT_EQ(cv::countNonZero(matte), 0);
}

TEST(Grey, TakesTheRedChannelAndDropsAlpha) {
  cv::Mat red(1, 1, CV_8UC4, cv::Scalar(0, 0, 255, 255));  // B, G, R, A
  cv::Mat halfBlue(1, 1, CV_8UC4, cv::Scalar(255, 0, 0, 128));
  EXPECT_EQ(grey(red).at<uint8_t>(0, 0), 255);
  EXPECT_EQ(grey(halfBlue).at<uint8_t>(0, 0), 0);
  cv::Mat one(2, 2, CV_8UC1, cv::Scalar(0));
  EXPECT_EQ(grey(one).type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(grey(one)), 0);
}

TEST(BlackMatte, IsAllZero) {
  cv::Mat matte = blackMatte(cv::Size(7, 3));
  EXPECT_EQ(matte.size(), cv::Size(7, 3));
  EXPECT_EQ(matte.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(matte), 0);
}

}  // namespace
}  // namespace tv
