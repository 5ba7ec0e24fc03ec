// The segmenter's foreground of any kind: detector instances joined by the salient regions
// they do not explain, and the object under a point from whichever analysis has one there.
#include "segment/segmenter.h"
#include "support/blank_vision.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace {

using namespace tv;

const cv::Size kImage(200, 100);

// Instances from one label picture at the image's size (0 = background).
Instances instancesOf(const cv::Mat& labels) {
  Instances found;
  found.instanceMask = labels;
  found.imageSize = labels.size();
  for (int l = 1; l < 256; ++l) {
    cv::Mat region = labels == l;
    if (cv::countNonZero(region) == 0) continue;
    found.allInstances.push_back(l);
    found.softMasks.push_back(region);
  }
  return found;
}

cv::Mat labelsWith(std::initializer_list<std::pair<cv::Rect, int>> boxes) {
  cv::Mat labels(kImage, CV_8U, cv::Scalar(0));
  for (const auto& [box, label] : boxes) labels(box).setTo(label);
  return labels;
}

class ScriptedVision final : public tvtest::BlankVision {
 public:
  std::optional<Instances> detected, salient;
  cv::Mat pointed;  // objectAt's answer
  int pointedCalls = 0, salientCalls = 0;
  cv::Mat lastKnown;  // what salientObjects was told is found already

  std::optional<Instances> foregroundInstances(const cv::Mat&) override { return detected; }
  std::optional<Instances> salientObjects(const cv::Mat&, const cv::Mat& known) override {
    ++salientCalls;
    lastKnown = known;
    return salient;
  }
  cv::Mat objectAt(const cv::Mat&, Point) override {
    ++pointedCalls;
    return pointed;
  }
};

class SubjectTest : public ::testing::Test {
 protected:
  void SetUp() override { useVisionForTesting(&fake); }
  void TearDown() override { useVisionForTesting(nullptr); }
  ScriptedVision fake;
  Segmenter segmenter;
  cv::Mat image = cv::Mat(kImage, CV_8UC4, cv::Scalar(40, 80, 120, 255));
};

TEST_F(SubjectTest, SalientRegionsNoInstanceExplainsJoinTheInstances) {
  const cv::Rect person(10, 10, 40, 80), lamp(120, 20, 50, 60);
  fake.detected = instancesOf(labelsWith({{person, 1}}));
  // The person again, a little offset (explained, and completing the person's instance), and
  // the lamp, which the detector does not know.
  fake.salient = instancesOf(labelsWith({{cv::Rect(12, 12, 40, 80), 1}, {lamp, 2}}));
  auto found = segmenter.subjectInstances(image);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->allInstances, (std::vector<int>{1, 2}));
  // The detector's instances were handed over as already found.
  ASSERT_FALSE(fake.lastKnown.empty());
  EXPECT_EQ(cv::countNonZero(fake.lastKnown), person.area());
  EXPECT_EQ(cv::countNonZero(found->instanceMask(lamp) != 2), 0);
  EXPECT_EQ(cv::countNonZero(found->instanceMask(person) != 1), 0);
  cv::Mat all = segmenter.mask({1, 2}, *found, kImage);
  const cv::Rect both = person & cv::Rect(12, 12, 40, 80);
  EXPECT_EQ(cv::countNonZero(all), 2 * person.area() - both.area() + lamp.area());
}

TEST_F(SubjectTest, SalientRegionsAloneWhenTheDetectorFindsNothing) {
  fake.detected = instancesOf(cv::Mat(kImage, CV_8U, cv::Scalar(0)));
  fake.salient = instancesOf(labelsWith({{cv::Rect(120, 20, 50, 60), 1}}));
  auto found = segmenter.subjectInstances(image);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->allInstances, (std::vector<int>{1}));

  fake.salient = instancesOf(cv::Mat(kImage, CV_8U, cv::Scalar(0)));
  found = segmenter.subjectInstances(image);
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->allInstances.empty());
}

TEST_F(SubjectTest, TheDetectorsInstanceUnderThePointStandsWithoutASalientCut) {
  const cv::Rect cup(20, 20, 60, 60);
  fake.detected = instancesOf(labelsWith({{cup, 1}}));
  cv::Mat matte = segmenter.objectAt(image, Point{0.25, 0.5}, kImage);
  ASSERT_FALSE(matte.empty());
  EXPECT_EQ(cv::countNonZero(matte), cup.area());
}

TEST_F(SubjectTest, TheSalientCutCompletesTheDetectorsCutOfTheSameObject) {
  // The detector's cut keeps only the cup's upper half; the salient cut holds the whole cup.
  const cv::Rect rim(20, 20, 60, 30), cup(20, 20, 60, 60);
  fake.detected = instancesOf(labelsWith({{rim, 1}}));
  fake.pointed = cv::Mat(kImage, CV_8U, cv::Scalar(0));
  fake.pointed(cup).setTo(255);
  cv::Mat matte = segmenter.objectAt(image, Point{0.25, 0.25}, kImage);
  EXPECT_EQ(fake.pointedCalls, 1);
  EXPECT_EQ(cv::countNonZero(matte), cup.area());

  // A salient cut far larger than the instance is the backdrop's as much as the object's.
  fake.pointed = cv::Mat(kImage, CV_8U, cv::Scalar(255));
  matte = segmenter.objectAt(image, Point{0.25, 0.25}, kImage);
  EXPECT_EQ(cv::countNonZero(matte), rim.area());

  // One that misses most of the instance is another object's.
  fake.pointed = cv::Mat(kImage, CV_8U, cv::Scalar(0));
  fake.pointed(cv::Rect(20, 30, 60, 40)).setTo(255);
  matte = segmenter.objectAt(image, Point{0.25, 0.25}, kImage);
  EXPECT_EQ(cv::countNonZero(matte), rim.area());
}

TEST_F(SubjectTest, ASalientRegionTheInstanceExplainsInPartCompletesIt) {
  // The detector's cut holds most of the cup, but not all of it.
  const cv::Rect rim(20, 20, 60, 45), cup(20, 20, 60, 60), person(120, 10, 40, 80);
  fake.detected = instancesOf(labelsWith({{rim, 1}, {person, 2}}));
  fake.salient = instancesOf(labelsWith({{cup, 1}}));
  auto found = segmenter.subjectInstances(image);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->allInstances, (std::vector<int>{1, 2}));
  EXPECT_EQ(cv::countNonZero(found->instanceMask == 1), cup.area());
  EXPECT_EQ(cv::countNonZero(segmenter.mask({1}, *found, kImage)), cup.area());
  EXPECT_EQ(cv::countNonZero(found->instanceMask == 2), person.area());
}

TEST_F(SubjectTest, TheSalientCutLeavesOutWhatTheDetectorKnowsBesideIt) {
  // A person stands behind the pointed thing; the salient cut runs on into them.
  const cv::Rect thing(100, 50, 60, 40), person(120, 5, 20, 45);
  fake.detected = instancesOf(labelsWith({{person, 1}}));
  fake.pointed = cv::Mat(kImage, CV_8U, cv::Scalar(0));
  fake.pointed(thing).setTo(255);
  fake.pointed(person).setTo(255);
  // A sliver of the person's outline the detector's mask misses, beside them.
  fake.pointed(cv::Rect(110, 5, 3, 30)).setTo(255);
  cv::Mat matte = segmenter.objectAt(image, Point{0.65, 0.8}, kImage);
  ASSERT_EQ(matte.size(), kImage);
  EXPECT_EQ(cv::countNonZero(matte(thing) != 255), 0);
  EXPECT_EQ(cv::countNonZero(matte(cv::Rect(110, 5, 30, 40))), 0);
}

TEST_F(SubjectTest, ElsewhereTheSalientCutUnderThePoint) {
  fake.detected = instancesOf(labelsWith({{cv::Rect(20, 20, 60, 60), 1}}));
  // The salient cut comes at its own size (half the image's) and is fitted to the picture's.
  fake.pointed = cv::Mat(kImage / 2, CV_8U, cv::Scalar(0));
  fake.pointed(cv::Rect(60, 10, 25, 30)).setTo(255);
  cv::Mat matte = segmenter.objectAt(image, Point{0.8, 0.5}, kImage);
  ASSERT_EQ(matte.size(), kImage);
  EXPECT_EQ(fake.pointedCalls, 1);
  EXPECT_EQ(matte.at<uchar>(50, 145), 255);
  EXPECT_EQ(matte.at<uchar>(50, 50), 0);

  // Nothing stands out there: no matte.
  fake.pointed = cv::Mat(kImage, CV_8U, cv::Scalar(0));
  EXPECT_TRUE(segmenter.objectAt(image, Point{0.8, 0.5}, kImage).empty());
  fake.pointed = cv::Mat();
  EXPECT_TRUE(segmenter.objectAt(image, Point{0.8, 0.5}, kImage).empty());
}

}  // namespace
