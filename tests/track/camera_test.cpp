#include "track/camera.h"
#include "fake_vision.h"

#include <gtest/gtest.h>

namespace {

using tvtest::FakeVision;

// A homography that takes current pixels to reference pixels shifted by (tx, ty), y up.
cv::Matx33f shiftBy(float tx, float ty) {
  return cv::Matx33f(1, 0, tx, 0, 1, ty, 0, 0, 1);
}

TEST(CameraShift, FollowsTheContentWithTheDefaultSign) {
  // Camera pans right: the current centre shows what sat right of centre in the reference.
  auto right = tv::homographyShift(shiftBy(12, 0), 960, 540, -1);
  ASSERT_TRUE(right);
  EXPECT_DOUBLE_EQ(right->x, -12);
  EXPECT_DOUBLE_EQ(right->y, 0);
  // Camera tilts up: the current centre shows what sat above centre (higher y, y up) ...
  auto up = tv::homographyShift(shiftBy(0, 8), 960, 540, -1);
  ASSERT_TRUE(up);
  EXPECT_DOUBLE_EQ(up->x, 0);
  EXPECT_DOUBLE_EQ(up->y, 8);  // ... so the content moves down: y from the top increases
  auto reversed = tv::homographyShift(shiftBy(12, 8), 960, 540, 1);
  ASSERT_TRUE(reversed);
  EXPECT_DOUBLE_EQ(reversed->x, 12);
  EXPECT_DOUBLE_EQ(reversed->y, -8);
}

TEST(CameraShift, HalfAFrameOrMoreIsRejected) {
  EXPECT_TRUE(tv::homographyShift(shiftBy(479, 0), 960, 540, -1));
  EXPECT_FALSE(tv::homographyShift(shiftBy(480, 0), 960, 540, -1));
  EXPECT_FALSE(tv::homographyShift(shiftBy(0, -270), 960, 540, -1));
  EXPECT_FALSE(tv::homographyShift(cv::Matx33f(1, 0, 0, 0, 1, 0, 0, 0, 0), 960, 540, -1));
  EXPECT_FALSE(tv::homographyShift(cv::Matx33f(1, 0, NAN, 0, 1, 0, 0, 0, 1), 960, 540, -1));
}

TEST(CameraShift, PerspectiveMapsTheCentreProjectively) {
  cv::Matx33f warp(1, 0, 0, 0, 1, 0, 0.0001f, 0, 1);
  auto shift = tv::homographyShift(warp, 200, 100, -1);
  ASSERT_TRUE(shift);
  const double w = 1 + 0.0001 * 100;
  EXPECT_NEAR(shift->x, -(100 / w - 100), 1e-4);
  EXPECT_NEAR(shift->y, (50 / w - 50), 1e-4);
}

TEST(CameraRenewal, IntervalIsHalfASecondButAtLeastSixFrames) {
  EXPECT_EQ(tv::renewalInterval(30), 15);
  EXPECT_EQ(tv::renewalInterval(29.97), 14);
  EXPECT_EQ(tv::renewalInterval(10), 6);
  EXPECT_EQ(tv::renewalInterval(12), 6);
  EXPECT_EQ(tv::renewalInterval(14), 7);
  EXPECT_EQ(tv::renewalInterval(60), 30);
}

// Frames numbered 0..n; the scripted registration says the content moves left by `perFrame`
// pixels a frame (the camera pans right).
struct Panning {
  FakeVision fake;
  std::vector<int> references;  // the reference frame number of every registration
  explicit Panning(double perFrame) {
    fake.warp = [this, perFrame](const cv::Mat& reference, const cv::Mat& current) {
      int r = tvtest::frameNumber(reference), c = tvtest::frameNumber(current);
      references.push_back(r);
      return std::optional<cv::Matx33f>(shiftBy(static_cast<float>(perFrame * (c - r)), 0));
    };
  }
};

TEST(CameraPath, FirstFrameIsTheCentreAndTheReferenceRenewsEveryInterval) {
  Panning pan(1);
  tv::CameraPath path(30, -1);
  cv::Point2d first = path.step(tvtest::numberedFrame(0, {200, 100}));
  EXPECT_EQ(first, cv::Point2d(0.5, 0.5));
  cv::Point2d last;
  for (int i = 1; i <= 31; ++i) last = path.step(tvtest::numberedFrame(i, {200, 100}));
  // Frames 1..15 against 0, 16..30 against 15, 31 against 30.
  ASSERT_EQ(pan.references.size(), 31u);
  EXPECT_EQ(pan.references[14], 0);
  EXPECT_EQ(pan.references[15], 15);
  EXPECT_EQ(pan.references[29], 15);
  EXPECT_EQ(pan.references[30], 30);
  EXPECT_NEAR(last.x, 0.5 - 31 * 1.0 / 200, 1e-12);  // content moves left: x decreases
  EXPECT_NEAR(last.y, 0.5, 1e-12);
  EXPECT_EQ(pan.fake.translationCalls, 0);
}

TEST(CameraPath, LargeMotionRenewsAtOnce) {
  Panning pan(25);  // 25 / 200 = 0.125 of the width per frame: more than 0.12
  tv::CameraPath path(30, -1);
  path.step(tvtest::numberedFrame(0, {200, 100}));
  cv::Point2d p1 = path.step(tvtest::numberedFrame(1, {200, 100}));
  cv::Point2d p2 = path.step(tvtest::numberedFrame(2, {200, 100}));
  EXPECT_EQ(pan.references, (std::vector<int>{0, 1}));
  EXPECT_NEAR(p1.x, 0.375, 1e-12);  // the jump itself still counts
  EXPECT_NEAR(p2.x, 0.25, 1e-12);
}

TEST(CameraPath, TranslationFallbackIgnoresTheSignAndLostFramesHold) {
  FakeVision fake;
  int calls = 0;
  fake.shift = [&calls](const cv::Mat&, const cv::Mat&) {
    ++calls;
    if (calls == 2) return std::optional<cv::Point2d>{};
    return std::optional<cv::Point2d>(cv::Point2d(4, 2));
  };
  tv::CameraPath path(30, 1);
  path.step(tvtest::numberedFrame(0, {200, 100}));
  cv::Point2d p1 = path.step(tvtest::numberedFrame(1, {200, 100}));
  EXPECT_NEAR(p1.x, 0.5 - 4.0 / 200, 1e-12);
  EXPECT_NEAR(p1.y, 0.5 + 2.0 / 100, 1e-12);
  cv::Point2d p2 = path.step(tvtest::numberedFrame(2, {200, 100}));
  EXPECT_EQ(p2, p1);  // nothing registered: held, and the reference renewed here
  cv::Point2d p3 = path.step(tvtest::numberedFrame(3, {200, 100}));
  EXPECT_NEAR(p3.x, p1.x - 4.0 / 200, 1e-12);
  EXPECT_EQ(fake.homographyCalls, 3);
  EXPECT_EQ(fake.translationCalls, 3);
}

TEST(CameraPath, NoMotionStaysAtTheCentre) {
  FakeVision fake;
  fake.warp = [](const cv::Mat&, const cv::Mat&) {
    return std::optional<cv::Matx33f>(cv::Matx33f::eye());
  };
  tv::CameraPath path(10, -1);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(path.step(tvtest::numberedFrame(i, {200, 100})), cv::Point2d(0.5, 0.5));
  }
}

}  // namespace
