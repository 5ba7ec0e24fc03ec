#include "track/quad.h"
#include "fake_vision.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using tv::Quad;
using tvtest::FakeVision;

const Quad kUnit{cv::Point2d(0, 0), cv::Point2d(1, 0), cv::Point2d(1, 1), cv::Point2d(0, 1)};

void expectNear(const cv::Point2d& a, const cv::Point2d& b, double tolerance) {
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
}

TEST(QuadOption, ExactlyEightNumbers) {
  EXPECT_FALSE(tv::userQuad("0,0,1,0,1,1,0"));
  EXPECT_FALSE(tv::userQuad("0,0,1,0,1,1,0,1,2"));
  EXPECT_FALSE(tv::userQuad(""));
  auto q = tv::userQuad("0.1,0.2,x,0.3,0.2,,0.3,0.3,0.1,0.3");
  ASSERT_TRUE(q);
  expectNear((*q)[0], {0.1, 0.2}, 0);
  expectNear((*q)[1], {0.3, 0.2}, 0);
  expectNear((*q)[3], {0.1, 0.3}, 0);
}

TEST(QuadInner, CornersMoveFortyPercentToTheCentroid) {
  Quad inner = tv::innerOf(kUnit);
  expectNear(inner[0], {0.2, 0.2}, 1e-12);
  expectNear(inner[1], {0.8, 0.2}, 1e-12);
  expectNear(inner[2], {0.8, 0.8}, 1e-12);
  expectNear(inner[3], {0.2, 0.8}, 1e-12);
}

TEST(QuadPatches, SizedFromTheExtentAroundTheInnerPoints) {
  FakeVision fake;
  auto unit = tv::patches(kUnit);
  ASSERT_EQ(unit.size(), 4u);
  ASSERT_EQ(fake.trackerStarts.size(), 4u);
  EXPECT_EQ(fake.pointTrackers, 4) << "only the patches' centres are read";
  // Centred on (0.2, 0.2) top-down: lower-left origin (0.06, 0.66), 0.28 square.
  EXPECT_NEAR(fake.trackerStarts[0].x, 0.06, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[0].y, 0.66, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[0].width, 0.28, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[0].height, 0.28, 1e-12);
  // A tiny quad gets the minimum patch of 0.012.
  Quad tiny{cv::Point2d(0.5, 0.5), cv::Point2d(0.501, 0.5), cv::Point2d(0.501, 0.501),
            cv::Point2d(0.5, 0.501)};
  tv::patches(tiny);
  EXPECT_NEAR(fake.trackerStarts[4].width, 0.012, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[4].height, 0.012, 1e-12);
}

TEST(QuadHomography, RecoversAKnownPerspectiveMap) {
  const std::array<double, 9> truth{1.1, 0.05, 0.02, -0.03, 0.95, 0.04, 0.2, -0.1, 1};
  Quad from{cv::Point2d(0.2, 0.2), cv::Point2d(0.8, 0.25), cv::Point2d(0.75, 0.8),
            cv::Point2d(0.25, 0.7)};
  Quad to;
  for (size_t i = 0; i < 4; ++i) to[i] = tv::mapped(truth, from[i]);
  auto h = tv::solveHomography(from, to);
  ASSERT_TRUE(h);
  for (size_t i = 0; i < 9; ++i) EXPECT_NEAR((*h)[i], truth[i], 1e-9) << i;
  expectNear(tv::mapped(*h, {0.5, 0.5}), tv::mapped(truth, {0.5, 0.5}), 1e-12);
}

TEST(QuadHomography, CollinearPointsAreSingular) {
  Quad line{cv::Point2d(0.1, 0.1), cv::Point2d(0.2, 0.2), cv::Point2d(0.3, 0.3),
            cv::Point2d(0.4, 0.4)};
  EXPECT_FALSE(tv::solveHomography(line, line));
  Quad same{cv::Point2d(0.1, 0.1), cv::Point2d(0.1, 0.1), cv::Point2d(0.1, 0.1),
            cv::Point2d(0.1, 0.1)};
  EXPECT_FALSE(tv::solveHomography(same, kUnit));
}

TEST(QuadFill, UnknownCornersFollowTheKnownOnesOffset) {
  tv::RawQuad raw{1.5, {cv::Point2d(0.1, 0.2), std::nullopt, cv::Point2d(1.1, 1.0), std::nullopt}};
  tv::QuadSample s = tv::fill(raw, kUnit);
  EXPECT_FALSE(s.found);
  EXPECT_EQ(s.time, 1.5);
  expectNear(s.corners[0], {0.1, 0.2}, 0);
  expectNear(s.corners[1], {1.1, 0.1}, 1e-12);  // mean offset (0.1, 0.1)
  expectNear(s.corners[3], {0.1, 1.1}, 1e-12);
  tv::QuadSample lost = tv::fill(tv::RawQuad{2, {}}, kUnit);
  EXPECT_FALSE(lost.found);
  for (size_t i = 0; i < 4; ++i) expectNear(lost.corners[i], kUnit[i], 0);
  tv::QuadSample all = tv::fill(tv::RawQuad{3, {kUnit[0], kUnit[1], kUnit[2], kUnit[3]}}, kUnit);
  EXPECT_TRUE(all.found);
}

// Every tracker moves its start rectangle by `step(frame)`; frame numbers come from the pixels.
// Trackers started in `dropAt` (by creation order) lose the target on the given frame.
struct MovingScene {
  FakeVision fake;
  std::function<cv::Point2d(int)> offset;  // normalised, top-down, total at frame n
  int created = 0;
  int dropTracker = -1, dropFrame = -1;
  std::function<cv::Point2d(int id, int n)> extra = [](int, int) { return cv::Point2d(0, 0); };
  MovingScene() {
    fake.tracker = [this](const cv::Rect2d& start) {
      const int id = created++;
      return [this, start, id, begin = -1](const cv::Mat& frame) mutable {
        const int n = tvtest::frameNumber(frame);
        if (begin < 0) begin = n;  // the frame the tracker was started on
        if (id == dropTracker && n == dropFrame) return std::optional<tv::TrackedObject>{};
        const cv::Point2d d = offset(n) - offset(begin) + extra(id, n);
        cv::Rect2d moved(start.x + d.x, start.y - d.y, start.width, start.height);
        return std::optional<tv::TrackedObject>{tv::TrackedObject{moved, 0.9f}};
      };
    };
  }
};

const Quad kPicture{cv::Point2d(0.3, 0.3), cv::Point2d(0.7, 0.32), cv::Point2d(0.68, 0.7),
                    cv::Point2d(0.32, 0.66)};

TEST(QuadFollowFrames, TranslationIsAcceptedThroughTheHomography) {
  MovingScene scene;
  scene.offset = [](int n) { return cv::Point2d(0.01 * n, -0.005 * n); };
  tv::QuadFollow run(kPicture);
  tv::RawQuad first = tv::followFrame(run, tvtest::numberedFrame(0), 0);
  for (size_t i = 0; i < 4; ++i) expectNear(*first.corners[i], kPicture[i], 0);
  tv::RawQuad last;
  for (int n = 1; n <= 10; ++n) last = tv::followFrame(run, tvtest::numberedFrame(n), n / 30.0);
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(last.corners[i]);
    expectNear(*last.corners[i], kPicture[i] + cv::Point2d(0.1, -0.05), 1e-9);
  }
  EXPECT_EQ(scene.created, 5);  // never re-seeded
}

TEST(QuadFollowFrames, ALostPatchReseedsAroundTheTranslatedQuad) {
  MovingScene scene;
  scene.offset = [](int n) { return cv::Point2d(0.01 * n, 0); };
  scene.dropTracker = 2;  // the second patch
  scene.dropFrame = 3;
  tv::QuadFollow run(kPicture);
  for (int n = 0; n <= 2; ++n) tv::followFrame(run, tvtest::numberedFrame(n), n);
  EXPECT_EQ(scene.created, 5);
  scene.fake.trackerStarts.clear();
  tv::RawQuad third = tv::followFrame(run, tvtest::numberedFrame(3), 3);
  EXPECT_EQ(scene.created, 9);  // four new patches, seeded on this frame
  ASSERT_EQ(scene.fake.trackerStarts.size(), 4u);
  const Quad moved{kPicture[0] + cv::Point2d(0.03, 0), kPicture[1] + cv::Point2d(0.03, 0),
                   kPicture[2] + cv::Point2d(0.03, 0), kPicture[3] + cv::Point2d(0.03, 0)};
  for (size_t i = 0; i < 4; ++i) expectNear(*third.corners[i], moved[i], 1e-9);
  const Quad inner = tv::innerOf(moved);
  tv::Box firstPatch = tv::Box::fromVision(scene.fake.trackerStarts[0]);
  EXPECT_NEAR(firstPatch.x, inner[0].x, 1e-12);
  EXPECT_NEAR(firstPatch.y, inner[0].y, 1e-12);
  // The new patches carry on from here.
  tv::RawQuad fourth = tv::followFrame(run, tvtest::numberedFrame(4), 4);
  for (size_t i = 0; i < 4; ++i)
    expectNear(*fourth.corners[i], moved[i] + cv::Point2d(0.01, 0), 1e-9);
  EXPECT_EQ(scene.created, 9);
}

TEST(QuadFollowFrames, PatchesDisagreeingWithTheCoarseMotionAreRejected) {
  MovingScene scene;
  scene.offset = [](int n) { return cv::Point2d(0.01 * n, 0); };
  // On frame 1 the first patch slides 0.05 further than everything else: the homography would
  // bend corner 1 well past 4 % of the diagonal.
  scene.extra = [](int id, int n) {
    return id == 1 && n == 1 ? cv::Point2d(0.05, 0) : cv::Point2d(0, 0);
  };
  tv::QuadFollow run(kPicture);
  tv::followFrame(run, tvtest::numberedFrame(0), 0);
  tv::RawQuad next = tv::followFrame(run, tvtest::numberedFrame(1), 1);
  for (size_t i = 0; i < 4; ++i)
    expectNear(*next.corners[i], kPicture[i] + cv::Point2d(0.01, 0), 1e-9);
  EXPECT_EQ(scene.created, 9);  // re-seeded
}

TEST(QuadFollowFrames, SmallPatchDisagreementStillBendsTheQuad) {
  MovingScene scene;
  scene.offset = [](int n) { return cv::Point2d(0.01 * n, 0); };
  scene.extra = [](int id, int n) {
    return id == 1 && n == 1 ? cv::Point2d(0.004, 0) : cv::Point2d(0, 0);
  };
  tv::QuadFollow run(kPicture);
  tv::followFrame(run, tvtest::numberedFrame(0), 0);
  tv::RawQuad next = tv::followFrame(run, tvtest::numberedFrame(1), 1);
  EXPECT_EQ(scene.created, 5);  // accepted
  EXPECT_GT(next.corners[0]->x,
            kPicture[0].x + 0.01 + 0.004);  // the corner moves more than its patch
}

TEST(QuadFollowFrames, LostWholeQuadFollowerLosesTheRestOfTheRun) {
  MovingScene scene;
  scene.offset = [](int n) { return cv::Point2d(0.01 * n, 0); };
  scene.dropTracker = 0;
  scene.dropFrame = 2;
  tv::QuadFollow run(kPicture);
  for (int n = 0; n <= 1; ++n) tv::followFrame(run, tvtest::numberedFrame(n), n);
  for (int n = 2; n <= 4; ++n) {
    tv::RawQuad raw = tv::followFrame(run, tvtest::numberedFrame(n), n);
    for (const auto& corner : raw.corners) EXPECT_FALSE(corner);
  }
}

}  // namespace
