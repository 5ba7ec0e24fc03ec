#include "segment/segmenter.h"

#include "segment/masks.h"
#include "support/blank_vision.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <deque>

namespace tv {
namespace {

// Person mattes and instance masks are made on the grid itself (128 x 128), so every cell is one
// pixel; the analysed image is 256 x 256.
constexpr int G = GRID;
const cv::Size kImage(256, 256);

struct Frame {
  cv::Mat coverage;                     // empty: the person analysis fails
  std::optional<cv::Mat> instanceMask;  // absent: no instance observation
};

class FakeVision final : public tvtest::BlankVision {
 public:
  std::deque<Frame> frames;
  int personAnalyses = 0;


  class Person final : public PersonSegmentation {
   public:
    explicit Person(FakeVision& owner) : owner(owner) {}
    cv::Mat next(const cv::Mat&) override { return owner.frames.front().coverage; }
    FakeVision& owner;
  };
  std::unique_ptr<PersonSegmentation> personSegmentation(bool) override {
    ++personAnalyses;
    return std::make_unique<Person>(*this);
  }

  std::optional<Instances> foregroundInstances(const cv::Mat& image) override {
    const auto& mask = frames.front().instanceMask;
    if (!mask) return std::nullopt;
    Instances found;
    found.instanceMask = *mask;
    found.imageSize = image.size();
    for (int l = 1; l < 256; ++l) {
      cv::Mat region = *mask == l;
      if (cv::countNonZero(region) == 0) continue;
      found.allInstances.push_back(l);
      cv::Mat soft;
      cv::resize(region, soft, image.size(), 0, 0, cv::INTER_NEAREST);
      found.softMasks.push_back(soft);
    }
    return found;
  }
};

class SegmenterTest : public ::testing::Test {
 protected:
  void SetUp() override { useVisionForTesting(&fake); }
  void TearDown() override { useVisionForTesting(nullptr); }

  // Runs one frame through sharpPerson.
  cv::Mat run(Segmenter& segmenter, Frame frame) {
    fake.frames.assign(1, std::move(frame));
    return segmenter.sharpPerson(image);
  }

  FakeVision fake;
  cv::Mat image = cv::Mat(kImage, CV_8UC4, cv::Scalar(40, 80, 120, 255));
};

cv::Mat zeros() {
  return cv::Mat(G, G, CV_8UC1, cv::Scalar(0));
}

cv::Mat with(cv::Mat grid, cv::Rect cells, int value) {
  grid(cells).setTo(value);
  return grid;
}

// The matte of the instances with these labels, as the fake's masks give it.
cv::Mat instanceMatte(const cv::Mat& labels, std::initializer_list<int> chosen) {
  cv::Mat cells = zeros();
  for (int l : chosen) cells.setTo(255, labels == l);
  cv::Mat matte;
  cv::resize(cells, matte, kImage, 0, 0, cv::INTER_NEAREST);
  return matte;
}

bool same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a != b) == 0;
}

// A person of 2000 cells' worth: instance 1 holds 80 % of it with a mean coverage of 0.8.
const cv::Rect kBody(20, 20, 40, 50);    // 2000 cells
const cv::Rect kHand(100, 100, 20, 20);  // 400 cells, outside every instance
const cv::Rect kFriend(70, 20, 20, 40);  // a second person-like instance, 800 cells

cv::Mat personCoverage() {
  return with(with(zeros(), kBody, 204), kHand, 255);
}
cv::Mat bodyInstances() {
  return with(zeros(), kBody, 1);
}

TEST_F(SegmenterTest, InstancesThatExplainThePersonReplaceTheSoftMatte) {
  Segmenter segmenter;
  cv::Mat matte = run(segmenter, {personCoverage(), bodyInstances()});
  EXPECT_TRUE(same(matte, instanceMatte(bodyInstances(), {1})));
  EXPECT_EQ(segmenter.sharpFrames(), 1);
}

TEST_F(SegmenterTest, WhatAnotherObjectTakesFromThePersonStaysInTheMatte) {
  // A breathing set on a firefighter's back, which the detector saw as part of the motorcycle
  // behind him: instance 2, most of it off the person, so not person-like.
  const cv::Rect tank(60, 30, 10, 10), motorcycle(60, 30, 50, 60);
  cv::Mat coverage = with(with(zeros(), kBody, 204), tank, 255);
  cv::Mat labels = with(with(zeros(), motorcycle, 2), kBody, 1);
  Segmenter segmenter;
  cv::Mat matte = run(segmenter, {coverage, labels});
  EXPECT_EQ(segmenter.sharpFrames(), 1);
  const cv::Rect body(kBody.x * 2, kBody.y * 2, kBody.width * 2, kBody.height * 2);
  const cv::Rect onTank(tank.x * 2 + 2, tank.y * 2 + 2, tank.width * 2 - 4, tank.height * 2 - 4);
  // Clear of the soft matte's edges around the body and the tank.
  const cv::Rect offPerson((motorcycle.x + 2) * 2, (tank.y + tank.height + 2) * 2,
                           (motorcycle.width - 2) * 2, (motorcycle.height - tank.height - 2) * 2);
  double least = 0, most = 0;
  cv::minMaxLoc(matte(body), &least);
  EXPECT_EQ(least, 255);  // the person's own instance, sharp
  cv::minMaxLoc(matte(onTank), &least);
  EXPECT_GE(least, 250);  // what he carries
  cv::minMaxLoc(matte(offPerson), nullptr, &most);
  EXPECT_EQ(most, 0);  // the rest of the motorcycle is not his
}

TEST_F(SegmenterTest, TooLittlePersonStaysSoft) {
  // 32 cells of full coverage inside an instance: mass 32, not above 32.768.
  cv::Mat coverage = with(zeros(), cv::Rect(20, 20, 8, 4), 255);
  cv::Mat labels = with(zeros(), cv::Rect(20, 20, 8, 4), 1);
  Segmenter segmenter;
  cv::Mat matte = run(segmenter, {coverage, labels});
  EXPECT_TRUE(same(matte, fitted(coverage, kImage)));
  EXPECT_EQ(segmenter.sharpFrames(), 0);
  // 33 cells are enough.
  coverage = with(coverage, cv::Rect(28, 20, 1, 1), 255);
  labels = with(labels, cv::Rect(28, 20, 1, 1), 1);
  EXPECT_TRUE(same(run(segmenter, {coverage, labels}), instanceMatte(labels, {1})));
}

TEST_F(SegmenterTest, UncoveredPersonStaysSoft) {
  // Instance 1 is person-like, but holds only 2/3 of the person mass.
  cv::Mat coverage = with(with(zeros(), cv::Rect(0, 0, 20, 20), 255), cv::Rect(40, 0, 20, 10), 255);
  cv::Mat labels = with(zeros(), cv::Rect(0, 0, 20, 20), 1);
  Segmenter segmenter;
  EXPECT_TRUE(same(run(segmenter, {coverage, labels}), fitted(coverage, kImage)));
  EXPECT_EQ(segmenter.sharpFrames(), 0);
}

TEST_F(SegmenterTest, InstancesWithLittleCoverageAreNotPersonLike) {
  // Instance 1 is mostly outside the person (mean coverage below 0.5).
  cv::Mat coverage = with(zeros(), cv::Rect(0, 0, 20, 20), 255);
  cv::Mat labels = with(zeros(), cv::Rect(0, 0, 20, 41), 1);
  Segmenter segmenter;
  EXPECT_TRUE(same(run(segmenter, {coverage, labels}), fitted(coverage, kImage)));
  labels = with(zeros(), cv::Rect(0, 0, 20, 40), 1);  // exactly 0.5
  EXPECT_TRUE(same(run(segmenter, {coverage, labels}), instanceMatte(labels, {1})));
}

TEST_F(SegmenterTest, FailedPersonAnalysisIsBlack) {
  Segmenter segmenter;
  cv::Mat matte = run(segmenter, {cv::Mat(), bodyInstances()});
  EXPECT_TRUE(same(matte, blackMatte(kImage)));
  EXPECT_EQ(segmenter.sharpFrames(), 0);
}

TEST_F(SegmenterTest, NoInstancesGiveTheSoftMatte) {
  Segmenter segmenter;
  EXPECT_TRUE(
      same(run(segmenter, {personCoverage(), std::nullopt}), fitted(personCoverage(), kImage)));
  EXPECT_TRUE(same(run(segmenter, {personCoverage(), zeros()}), fitted(personCoverage(), kImage)));
  EXPECT_EQ(segmenter.sharpFrames(), 0);
}

TEST_F(SegmenterTest, ThePersonAnalysisIsMadeOnce) {
  Segmenter segmenter;
  for (int i = 0; i < 3; ++i) run(segmenter, {personCoverage(), bodyInstances()});
  EXPECT_EQ(fake.personAnalyses, 1);
  EXPECT_EQ(segmenter.sharpFrames(), 3);
}

TEST_F(SegmenterTest, NewcomersJoinOnThePatiencethFrame) {
  Segmenter segmenter;
  segmenter.setPatience(3);
  ASSERT_EQ(segmenter.patience(), 3);
  const cv::Mat coverage = with(personCoverage(), kFriend, 255);
  const cv::Mat both = with(bodyInstances(), kFriend, 2);
  // Seeding takes both person-like instances at once, so start with the body alone.
  run(segmenter, {personCoverage(), bodyInstances()});
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), instanceMatte(both, {1})));  // run 1
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), instanceMatte(both, {1})));  // run 2
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), instanceMatte(both, {1, 2})));
  // Now both are followed.
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), instanceMatte(both, {1, 2})));
  EXPECT_EQ(segmenter.sharpFrames(), 5);
}

TEST_F(SegmenterTest, AFrameWithoutNewcomersResetsTheirCount) {
  Segmenter segmenter;
  segmenter.setPatience(3);
  const cv::Mat coverage = with(personCoverage(), kFriend, 255);
  const cv::Mat both = with(bodyInstances(), kFriend, 2);
  const cv::Mat body = instanceMatte(both, {1});
  run(segmenter, {personCoverage(), bodyInstances()});
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), body));
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), body));
  EXPECT_TRUE(same(run(segmenter, {personCoverage(), bodyInstances()}), body));  // reset
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), body));
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), body));
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), instanceMatte(both, {1, 2})));
}

TEST_F(SegmenterTest, DefaultPatienceIsThirtyFrames) {
  Segmenter segmenter;
  EXPECT_EQ(segmenter.patience(), 30);
  const cv::Mat coverage = with(personCoverage(), kFriend, 255);
  const cv::Mat both = with(bodyInstances(), kFriend, 2);
  run(segmenter, {personCoverage(), bodyInstances()});
  for (int frame = 1; frame < 30; ++frame)
    ASSERT_TRUE(same(run(segmenter, {coverage, both}), instanceMatte(both, {1}))) << frame;
  EXPECT_TRUE(same(run(segmenter, {coverage, both}), instanceMatte(both, {1, 2})));
}

TEST_F(SegmenterTest, FallsBackAfterPatienceUncoveredFrames) {
  Segmenter segmenter;
  segmenter.setPatience(3);
  const cv::Mat body = instanceMatte(bodyInstances(), {1});
  run(segmenter, {personCoverage(), bodyInstances()});
  // The person spreads beyond the body: the body (still person-like) holds less than 70 %.
  const cv::Mat spread = with(personCoverage(), cv::Rect(0, 100, 100, 20), 255);
  EXPECT_TRUE(same(run(segmenter, {spread, bodyInstances()}), body));
  EXPECT_TRUE(same(run(segmenter, {spread, bodyInstances()}), body));
  EXPECT_TRUE(same(run(segmenter, {spread, bodyInstances()}), fitted(spread, kImage)));
  EXPECT_EQ(segmenter.sharpFrames(), 3);
  // Soft from here on; the next covered frame seeds anew.
  EXPECT_TRUE(same(run(segmenter, {personCoverage(), bodyInstances()}), body));
  EXPECT_EQ(segmenter.sharpFrames(), 4);
}

TEST_F(SegmenterTest, ACoveredFrameResetsTheUncoveredCount) {
  Segmenter segmenter;
  segmenter.setPatience(2);
  const cv::Mat body = instanceMatte(bodyInstances(), {1});
  const cv::Mat spread = with(personCoverage(), cv::Rect(0, 100, 100, 20), 255);
  run(segmenter, {personCoverage(), bodyInstances()});
  EXPECT_TRUE(same(run(segmenter, {spread, bodyInstances()}), body));
  EXPECT_TRUE(same(run(segmenter, {personCoverage(), bodyInstances()}), body));
  EXPECT_TRUE(same(run(segmenter, {spread, bodyInstances()}), body));
  EXPECT_TRUE(same(run(segmenter, {spread, bodyInstances()}), fitted(spread, kImage)));
}

TEST_F(SegmenterTest, FollowsTheChosenInstanceUnderANewIndex) {
  Segmenter segmenter;
  run(segmenter, {personCoverage(), bodyInstances()});
  // Next frame the analysis numbers the body 3 and finds an object that is no person.
  cv::Mat renumbered = with(with(zeros(), kBody, 3), cv::Rect(0, 110, 10, 10), 1);
  EXPECT_TRUE(same(run(segmenter, {personCoverage(), renumbered}), instanceMatte(renumbered, {3})));
}

TEST_F(SegmenterTest, AMovedPersonIsSeededAgain) {
  Segmenter segmenter;
  run(segmenter, {personCoverage(), bodyInstances()});
  // The body is elsewhere: nothing continues the outline, so the frame seeds from scratch.
  const cv::Rect moved(70, 60, 40, 50);
  cv::Mat coverage = with(zeros(), moved, 255);
  cv::Mat labels = with(zeros(), moved, 2);
  EXPECT_TRUE(same(run(segmenter, {coverage, labels}), instanceMatte(labels, {2})));
  EXPECT_EQ(segmenter.sharpFrames(), 2);
}

TEST_F(SegmenterTest, MaskOfNoInstancesIsBlack) {
  Segmenter segmenter;
  fake.frames.assign(1, {cv::Mat(), bodyInstances()});
  auto found = segmenter.instances(image);
  ASSERT_TRUE(found);
  EXPECT_TRUE(same(segmenter.mask({}, *found, kImage), blackMatte(kImage)));
  EXPECT_TRUE(same(segmenter.mask({1}, *found, kImage), instanceMatte(bodyInstances(), {1})));
  // A mask the analysis cannot make is black as well.
  Instances broken = *found;
  broken.imageSize = cv::Size();
  EXPECT_TRUE(same(segmenter.mask({1}, broken, kImage), blackMatte(kImage)));
}

TEST_F(SegmenterTest, SubjectIsAllInstances) {
  Segmenter segmenter;
  const cv::Mat both = with(bodyInstances(), kFriend, 2);
  fake.frames.assign(1, {cv::Mat(), both});
  EXPECT_TRUE(same(segmenter.subject(image), instanceMatte(both, {1, 2})));
  fake.frames.assign(1, {cv::Mat(), std::nullopt});
  EXPECT_TRUE(same(segmenter.subject(image), blackMatte(kImage)));
  fake.frames.assign(1, {cv::Mat(), zeros()});
  EXPECT_TRUE(same(segmenter.subject(image), blackMatte(kImage)));
  EXPECT_EQ(fake.personAnalyses, 0);
}

}  // namespace
}  // namespace tv
