// The cut that carries an object of any kind from frame to frame, and the rule that tells a
// look-alike that stood still from the object come back.
#include "video/carry.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace {

double iou(const cv::Mat& a, const cv::Mat& b) {
  const cv::Mat x = a >= 128, y = b >= 128;
  const double united = cv::countNonZero(x | y);
  return united > 0 ? cv::countNonZero(x & y) / united : 0;
}

// Grey-green noise with an orange-and-blue disc on it: what is inside is told from what is not
// by colour alone, as the cut must.
cv::Mat scene(cv::Point centre, int radius, cv::Mat* truth) {
  cv::Mat bgr(360, 640, CV_8UC3);
  cv::RNG random(7);
  random.fill(bgr, cv::RNG::UNIFORM, cv::Scalar(60, 90, 60), cv::Scalar(120, 150, 110));
  cv::circle(bgr, centre, radius, cv::Scalar(30, 120, 240), cv::FILLED);
  cv::circle(bgr, centre, radius / 2, cv::Scalar(200, 60, 20), cv::FILLED);
  *truth = cv::Mat(bgr.size(), CV_8U, cv::Scalar(0));
  cv::circle(*truth, centre, radius, cv::Scalar(255), cv::FILLED);
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  return bgra;
}

TEST(CutAround, AGuessOffByAFewPixelsIsCorrected) {
  cv::Mat truth;
  const cv::Mat frame = scene({300, 180}, 60, &truth);
  // The guess: the disc 5 pixels to the left and a little smaller, as last frame's outline
  // moved by a tracker that is slightly off.
  cv::Mat guess(frame.size(), CV_8U, cv::Scalar(0));
  cv::circle(guess, {295, 180}, 54, cv::Scalar(255), cv::FILLED);
  ASSERT_LT(iou(guess, truth), 0.82);
  const cv::Mat cut = tv::cutAround(frame, guess);
  ASSERT_EQ(cut.size(), frame.size());
  ASSERT_EQ(cut.type(), CV_8UC1);
  EXPECT_GT(iou(cut, truth), 0.93);
}

TEST(CutAround, NothingToCutAroundGivesNothing) {
  cv::Mat truth;
  const cv::Mat frame = scene({300, 180}, 60, &truth);
  EXPECT_TRUE(tv::cutAround(frame, cv::Mat(frame.size(), CV_8U, cv::Scalar(0))).empty());
}

TEST(StoodThere, ALookAlikeThatStoodStillIsToldFromTheObjectComeBack) {
  cv::RNG random(3);
  cv::Mat then(360, 640, CV_8U);
  random.fill(then, cv::RNG::UNIFORM, 0, 255);
  cv::GaussianBlur(then, then, cv::Size(5, 5), 0);
  const cv::Rect2d objectThen(40, 150, 50, 50), lookAlike(400, 40, 50, 50);
  // Now: the same picture, the object having moved on to (250, 150).
  cv::Mat now = then.clone();
  then(cv::Rect(objectThen)).copyTo(now(cv::Rect(250, 150, 50, 50)));
  EXPECT_TRUE(tv::stoodThere(then, objectThen, now, lookAlike));
  EXPECT_FALSE(tv::stoodThere(then, objectThen, now, cv::Rect2d(250, 150, 50, 50)));
  // Where it was last seen is no look-alike's place, whatever it holds now.
  EXPECT_FALSE(tv::stoodThere(then, objectThen, now, cv::Rect2d(42, 150, 50, 50)));
  // Nothing remembered: nothing to tell.
  EXPECT_FALSE(tv::stoodThere(cv::Mat(), objectThen, now, lookAlike));
}

}  // namespace
