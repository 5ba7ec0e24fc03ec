#include "track/follower.h"
#include "fake_vision.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using tvtest::FakeVision;

// Answers the confidences in turn (nothing once they run out), with the start rectangle moved
// 0.01 to the right per frame; counts the frames it was asked about.
void scriptConfidences(FakeVision& fake, std::vector<float> confidences, int* calls) {
  fake.tracker = [confidences, calls](const cv::Rect2d& start) {
    return [confidences, calls, start, n = 0](const cv::Mat&) mutable {
      ++*calls;
      if (n >= static_cast<int>(confidences.size())) return std::optional<tv::TrackedObject>{};
      cv::Rect2d moved(start.x + 0.01 * n, start.y, start.width, start.height);
      return std::optional<tv::TrackedObject>{tv::TrackedObject{moved, confidences[n++]}};
    };
  };
}

TEST(ObjectFollower, StartBoxGoesToTheTrackerLowerLeftAndUnclipped) {
  FakeVision fake;
  tv::ObjectFollower a(tv::Box{0.5, 0.25, 0.2, 0.1});
  tv::ObjectFollower b(tv::Box{0.95, 0.5, 0.3, 0.2});
  ASSERT_EQ(fake.trackerStarts.size(), 2u);
  EXPECT_NEAR(fake.trackerStarts[0].x, 0.4, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[0].y, 0.7, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[0].width, 0.2, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[0].height, 0.1, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[1].x + fake.trackerStarts[1].width, 1.1, 1e-12);
}

TEST(ObjectFollower, AFollowerReadAtItsCentreAsksForAPointTracker) {
  FakeVision fake;
  tv::ObjectFollower box(tv::Box{0.5, 0.25, 0.2, 0.1});
  EXPECT_EQ(fake.pointTrackers, 0);
  tv::ObjectFollower centre(tv::Box{0.5, 0.25, 0.2, 0.1}, false, tv::ObjectFollower::Reads::centre);
  EXPECT_EQ(fake.pointTrackers, 1);
  ASSERT_EQ(fake.trackerStarts.size(), 2u);
  EXPECT_EQ(fake.trackerStarts[0], fake.trackerStarts[1]);
}

TEST(ObjectFollower, AnUnchangedRectangleComesBackAsTheSameBox) {
  FakeVision fake;
  int calls = 0;
  scriptConfidences(fake, {0.9f}, &calls);
  tv::ObjectFollower follower(tv::Box{0.5, 0.25, 0.2, 0.1});
  auto box = follower.next(tvtest::numberedFrame(0));
  ASSERT_TRUE(box);
  EXPECT_NEAR(box->x, 0.5, 1e-12);
  EXPECT_NEAR(box->y, 0.25, 1e-12);
  EXPECT_NEAR(box->w, 0.2, 1e-12);
  EXPECT_NEAR(box->h, 0.1, 1e-12);
}

TEST(ObjectFollower, ConfidenceOfExactlyPointThreeLosesForGood) {
  FakeVision fake;
  int calls = 0;
  scriptConfidences(fake, {0.9f, std::nextafter(0.3f, 1.0f), 0.3f, 0.9f, 0.9f}, &calls);
  tv::ObjectFollower follower(tv::Box{0.5, 0.5, 0.2, 0.2});
  auto first = follower.next(tvtest::numberedFrame(0));
  auto second = follower.next(tvtest::numberedFrame(1));
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);  // just above the threshold keeps the target
  EXPECT_NEAR(second->x, 0.51, 1e-12);
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(2)));
  EXPECT_TRUE(follower.lost());
  // The target is back with high confidence, but a lost follower no longer asks.
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(3)));
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(4)));
  EXPECT_EQ(calls, 3);
}

TEST(ObjectFollower, NoAnswerOrNotANumberLoses) {
  FakeVision fake;
  int calls = 0;
  scriptConfidences(fake, {}, &calls);
  tv::ObjectFollower none(tv::Box{0.5, 0.5, 0.2, 0.2});
  EXPECT_FALSE(none.next(tvtest::numberedFrame(0)));
  EXPECT_FALSE(none.next(tvtest::numberedFrame(1)));
  EXPECT_EQ(calls, 1);
  scriptConfidences(fake, {NAN, 0.9f}, &calls);
  tv::ObjectFollower nan(tv::Box{0.5, 0.5, 0.2, 0.2});
  EXPECT_FALSE(nan.next(tvtest::numberedFrame(0)));
  EXPECT_FALSE(nan.next(tvtest::numberedFrame(1)));
}

// Lost after two frames; then the searches are answered from `seeks` in turn (a confidence of
// 0 for none), each at the expected rectangle moved 0.3 to the left.
TEST(ObjectFollower, AReacquiringFollowerSeeksUntilFoundAndFollowsAgain) {
  FakeVision fake;
  int calls = 0;
  scriptConfidences(fake, {0.9f, 0.9f, 0.2f, 0.9f}, &calls);
  std::vector<cv::Rect2d> asked;
  std::vector<float> seeks{0.f, 0.3f, 0.8f};
  fake.seeker = [&](const cv::Mat&, const cv::Rect2d& expected) {
    asked.push_back(expected);
    const float confidence = seeks[asked.size() - 1];
    if (confidence == 0.f) return std::optional<tv::TrackedObject>{};
    cv::Rect2d at(expected.x - 0.3, expected.y, expected.width, expected.height);
    return std::optional<tv::TrackedObject>{tv::TrackedObject{at, confidence}};
  };
  tv::ObjectFollower follower(tv::Box{0.5, 0.5, 0.2, 0.2}, /*reacquire=*/true);
  ASSERT_TRUE(follower.next(tvtest::numberedFrame(0)));  // x 0.5
  ASSERT_TRUE(follower.next(tvtest::numberedFrame(1)));  // x 0.51
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(2)));
  EXPECT_TRUE(follower.lost());
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(3)));  // nothing found
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(4)));  // 0.3 is not enough
  auto found = follower.next(tvtest::numberedFrame(5));
  ASSERT_TRUE(found);
  EXPECT_FALSE(follower.lost());
  ASSERT_EQ(asked.size(), 3u);
  // Moving 0.005 a frame over the start and the two frames followed (0.5, 0.5, 0.51): two,
  // three and four frames on from 0.51 when asked.
  EXPECT_NEAR(asked[0].x + asked[0].width / 2, 0.52, 1e-9);
  EXPECT_NEAR(asked[2].x + asked[2].width / 2, 0.53, 1e-9);
  EXPECT_NEAR(found->x, 0.53 - 0.3, 1e-9);
  // Found, it is followed by the tracker again.
  auto after = follower.next(tvtest::numberedFrame(6));
  ASSERT_TRUE(after);
  EXPECT_EQ(calls, 4);
}

TEST(ObjectFollower, WithoutReacquiringALostFollowerNeverSeeks) {
  FakeVision fake;
  int calls = 0, seeks = 0;
  scriptConfidences(fake, {0.9f, 0.2f}, &calls);
  fake.seeker = [&](const cv::Mat&, const cv::Rect2d& expected) {
    ++seeks;
    return std::optional<tv::TrackedObject>{tv::TrackedObject{expected, 1.f}};
  };
  tv::ObjectFollower follower(tv::Box{0.5, 0.5, 0.2, 0.2});
  follower.next(tvtest::numberedFrame(0));
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(1)));
  EXPECT_FALSE(follower.next(tvtest::numberedFrame(2)));
  EXPECT_EQ(seeks, 0);
}

TEST(ExpectedBox, GoesOnAsTheTargetMovedAndKeepsItsCentreInTheFrame) {
  const std::vector<tv::Box> still{{0.4, 0.6, 0.1, 0.2}};
  tv::Box b = tv::expectedBox(still, 5);
  EXPECT_EQ(b.x, 0.4);
  EXPECT_EQ(b.y, 0.6);
  const std::vector<tv::Box> moving{
      {0.1, 0.5, 0.1, 0.1}, {0.2, 0.45, 0.1, 0.1}, {0.3, 0.4, 0.12, 0.1}};
  b = tv::expectedBox(moving, 2);
  EXPECT_NEAR(b.x, 0.5, 1e-12);
  EXPECT_NEAR(b.y, 0.3, 1e-12);
  EXPECT_EQ(b.w, 0.12);  // the size of the last look
  b = tv::expectedBox(moving, 20);
  EXPECT_EQ(b.x, 1.0);
  EXPECT_EQ(b.y, 0.0);
}

}  // namespace
