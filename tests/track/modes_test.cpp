// The modes end to end inside the process: real decoding of a generated clip, scripted vision.
#include "base/options.h"
#include "fake_vision.h"
#include "media/source.h"
#include "support/run.h"
#include "track/box.h"
#include "track/camera.h"
#include "track/face.h"
#include "track/marks.h"
#include "track/quad.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using tvtest::FakeVision;

class Modes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tvtest::scratchDir("track-modes");
    clip_ = tvtest::makeVideo(dir_, "clip.mp4", "testsrc2=size=160x120:rate=30:duration=5",
                              "-c:v libx264 -pix_fmt yuv420p");
  }
  void SetUp() override { ASSERT_FALSE(clip_.empty()); }

  // Runs a mode with these options; the fractions it reported are kept in `fractions`.
  template <typename Mode>
  tv::TrackResult run(Mode mode, std::map<std::string, std::string> options) {
    tv::CommandLine g;
    g.command = "track";
    g.options = options;
    g.inputURL = clip_;
    if (options.count("mode")) g.mode = options["mode"];
    if (options.count("point")) {
      auto n = tv::parseNumbers(options["point"]);
      if (n.size() == 2) g.point = tv::Point{n[0], n[1]};
    }
    const tv::Source source = tv::openSource(clip_);
    fractions.clear();
    tv::TrackJob job{g, source, tv::trackRange(g, source.duration, source.fps),
                     [this](double f) { fractions.push_back(f); }};
    return mode(job);
  }

  std::vector<double> fractions;
  static std::string dir_, clip_;
};
std::string Modes::dir_, Modes::clip_;

TEST_F(Modes, BoxWithALostFollowerStillGivesAFullTrack) {
  FakeVision fake;  // its trackers never answer
  auto result = run(tv::trackBox, {{"box", "0.5,abc,0.5,0.2,0.2"}, {"start", "1"}, {"end", "2"}});
  ASSERT_EQ(result.samples.size(), 30u);
  EXPECT_EQ(result.seen, 1);
  EXPECT_EQ(result.samples[0], (std::vector<double>{1, 0.5, 0.5, 0.2, 0.2, 1}));
  for (size_t k = 1; k < 30; ++k) {
    EXPECT_EQ(result.samples[k],
              (std::vector<double>{tv::roundTo(1 + k / 30.0, 5), 0.5, 0.5, 0.2, 0.2, 0}));
  }
  EXPECT_DOUBLE_EQ(result.start, 1);
  EXPECT_DOUBLE_EQ(result.end, 1 + 29 / 30.0 + 1 / 30.0);
  // At == start: no backward pass, one fraction per forward frame.
  ASSERT_EQ(fractions.size(), 30u);
  EXPECT_DOUBLE_EQ(fractions[0], 1 / 30.0);
  EXPECT_DOUBLE_EQ(fractions[29], 1.0);
  EXPECT_EQ(fake.trackerStarts.size(), 1u);
}

// Scripts every follower to find its start box; the calls of the backward follower (the
// second one made) are counted, and the sizes of the frames it is given kept.
struct CountedFollowers {
  std::atomic<int> backwardCalls{0};
  std::vector<cv::Size> backwardSizes;
  int followers = 0;
  void script(FakeVision& fake) {
    fake.tracker = [this](const cv::Rect2d& start) {
      const int id = followers++;
      return [this, id, start](const cv::Mat& frame) {
        if (id == 1) {
          ++backwardCalls;
          backwardSizes.push_back(frame.size());
        }
        return std::optional<tv::TrackedObject>{tv::TrackedObject{start, 0.9f}};
      };
    };
  }
};

// The fractions a run reported climb to 1 and never fall back.
void expectClimbingToOne(const std::vector<double>& fractions) {
  ASSERT_FALSE(fractions.empty());
  for (size_t k = 1; k < fractions.size(); ++k) EXPECT_LE(fractions[k - 1], fractions[k]) << k;
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
}

TEST_F(Modes, BoxBackwardPassFollowsEveryEarlierFrameOnce) {
  FakeVision fake;
  CountedFollowers counted;
  counted.script(fake);
  auto result = run(tv::trackBox, {{"box", "0.3,0.4,0.1,0.1"}, {"at", "4.5"}});
  ASSERT_EQ(result.samples.size(), 150u);  // every frame of the 5 s clip, once
  for (size_t k = 0; k < 150; ++k) {
    EXPECT_NEAR(result.samples[k][0], k / 30.0, 1e-5) << k;
    EXPECT_EQ(result.samples[k][5], 1);
  }
  EXPECT_EQ(result.seen, 150);
  EXPECT_EQ(counted.followers, 2);
  EXPECT_EQ(counted.backwardCalls, 136);  // the anchor, then 135 frames before 4.5 s
  for (const cv::Size& size : counted.backwardSizes) EXPECT_EQ(size, cv::Size(160, 120));
  expectClimbingToOne(fractions);
  // One fraction per forward frame (15 from 4.5 s), and the last once both followers are done.
  EXPECT_EQ(fractions.size(), 16u);
}

TEST_F(Modes, BoxBackwardPassReachesFarBeforeTheAnchor) {
  FakeVision fake;
  CountedFollowers counted;
  counted.script(fake);
  const std::string clip =
      tvtest::makeVideo(dir_, "long.mp4", "testsrc2=size=160x120:rate=30:duration=12",
                        "-c:v libx264 -pix_fmt yuv420p -g 400");
  ASSERT_FALSE(clip.empty());
  tv::CommandLine g;
  g.command = "track";
  g.options = {{"box", "0.3,0.4,0.1,0.1"}, {"at", "11"}};
  g.inputURL = clip;
  const tv::Source source = tv::openSource(clip);
  tv::TrackJob job{g, source, tv::trackRange(g, source.duration, source.fps),
                   [this](double f) { fractions.push_back(f); }};
  fractions.clear();
  auto result = tv::trackBox(job);
  // Six seconds before the anchor come from the forward pass, the five before them from
  // the backward reader; together every frame once, in order.
  ASSERT_EQ(result.samples.size(), 360u);
  for (size_t k = 0; k < 360; ++k) {
    EXPECT_NEAR(result.samples[k][0], k / 30.0, 1e-5) << k;
    EXPECT_EQ(result.samples[k][5], 1);
  }
  EXPECT_EQ(result.seen, 360);
  EXPECT_EQ(counted.backwardCalls, 331);  // the anchor, then 330 frames before 11 s
  expectClimbingToOne(fractions);
}

TEST_F(Modes, CameraSamplesAndProgress) {
  FakeVision fake;
  fake.warp = [](const cv::Mat& reference, const cv::Mat&) {
    // The shrunk frames keep the clip's size: 160 x 120. Every frame is one pixel from its
    // reference, whichever that is, so the position grows by one pixel per renewal.
    EXPECT_EQ(reference.cols, 160);
    return std::optional<cv::Matx33f>(cv::Matx33f(1, 0, 1, 0, 1, 0, 0, 0, 1));
  };
  auto result = run(tv::trackCamera, {{"mode", "camera"}, {"start", "2"}, {"end", "4"}});
  ASSERT_EQ(result.samples.size(), 60u);
  EXPECT_EQ(result.samples[0], (std::vector<double>{2, 0.5, 0.5, 1, 1, 1}));
  // Renewed at frames 15, 30 and 45 of the 60 (every 15 at 30 fps), then one more step.
  EXPECT_NEAR(result.samples[14][1], 0.5 - 1 / 160.0, 1e-6);
  EXPECT_NEAR(result.samples[15][1], 0.5 - 1 / 160.0, 1e-6);
  EXPECT_NEAR(result.samples[16][1], 0.5 - 2 / 160.0, 1e-6);
  EXPECT_NEAR(result.samples[59][1], 0.5 - 4 / 160.0, 1e-6);
  EXPECT_EQ(result.seen, 60);
  ASSERT_EQ(fractions.size(), 60u);
  EXPECT_DOUBLE_EQ(fractions[0], 1 / 60.0);
  EXPECT_DOUBLE_EQ(fractions[1], 2 / 60.0);
}

// Faces scripted by the order of the calls (one call per frame).
void scriptFaces(FakeVision& fake, std::function<std::vector<cv::Rect2d>(int)> faces) {
  fake.faces = [faces, n = 0](const cv::Mat&) mutable {
    std::vector<tv::FaceObservation> out;
    for (const auto& r : faces(n)) out.push_back(tv::FaceObservation{r, std::nullopt});
    ++n;
    return out;
  };
}

TEST_F(Modes, FaceFollowsTheFaceNearestThePointAndStopsAfterNinetyMisses) {
  FakeVision fake;
  // Two faces (lower-left rectangles); the right one vanishes over frames 40..130 (91 frames)
  // and comes back at 131, too late to be picked up again.
  scriptFaces(fake, [](int n) {
    std::vector<cv::Rect2d> faces{cv::Rect2d(0.1, 0.4, 0.2, 0.2)};
    if (n < 40 || n > 130) faces.push_back(cv::Rect2d(0.6, 0.4, 0.2, 0.2));
    return faces;
  });
  auto result = run(tv::trackFace, {{"mode", "face"}, {"point", "0.75,0.5"}});
  ASSERT_EQ(result.samples.size(), 150u);
  EXPECT_EQ(result.seen, 40);
  for (size_t k = 0; k < 150; ++k) {
    EXPECT_EQ(result.samples[k][5], k < 40 ? 1 : 0) << k;
    EXPECT_EQ(result.samples[k][1], 0.7) << k;  // held at the last found box
    EXPECT_EQ(result.samples[k][2], 0.5) << k;
  }
}

TEST_F(Modes, FaceGapsAreInterpolatedAndSmoothed) {
  FakeVision fake;
  scriptFaces(fake, [](int n) {
    if (n >= 11 && n <= 19) return std::vector<cv::Rect2d>{};
    const double x = n <= 10 ? 0.2 : 0.2 + 0.001 * (n - 10);
    return std::vector<cv::Rect2d>{cv::Rect2d(x, 0.4, 0.2, 0.2)};
  });
  auto result = run(tv::trackFace, {{"mode", "face"}, {"point", "0.3,0.5"}, {"end", "1.0"}});
  ASSERT_EQ(result.samples.size(), 30u);
  EXPECT_EQ(result.seen, 21);
  EXPECT_EQ(result.samples[15][5], 0);
  // Linear through the gap: smoothing a straight line keeps it straight away from the ends.
  EXPECT_NEAR(result.samples[15][1], 0.3 + 0.001 * 5, 2e-4);
}

TEST_F(Modes, MarksSamplesHoldThirtyTwoNumbersAndTheLatestLandmarks) {
  FakeVision fake;
  fake.faces = [n = 0](const cv::Mat& frame) mutable {
    tv::FaceObservation face{cv::Rect2d(0.4, 0.4, 0.2, 0.2), tv::FaceLandmarks{}};
    // The left eye's centre tells the frame apart, in pixels of the frame (y up).
    const double ex = frame.cols * (0.45 + 0.001 * n), ey = frame.rows * 0.5;
    face.landmarks->leftEye = {{ex - 2, ey}, {ex + 2, ey}};
    const int current = n++;
    if (current >= 10 && current < 20) return std::vector<tv::FaceObservation>{};
    return std::vector<tv::FaceObservation>{face};
  };
  auto result = run(tv::trackMarks, {{"mode", "marks"}, {"point", "0.5,0.5"}, {"end", "1"}});
  ASSERT_EQ(result.samples.size(), 30u);
  EXPECT_EQ(result.seen, 20);
  for (const auto& s : result.samples) ASSERT_EQ(s.size(), 32u);
  EXPECT_EQ(result.samples[15][5], 0);
  // Frames 10..19 hold frame 9's eye (x = 0.459); smoothing barely moves the middle of a hold.
  EXPECT_NEAR(result.samples[14][6], 0.459, 1e-4);
  EXPECT_NEAR(result.samples[14][7], 0.5, 1e-9);
  EXPECT_NEAR(result.samples[14][8], 2.0 / 160, 1e-9);
  EXPECT_EQ(result.samples[14][10], 0);  // no right eye
}

TEST_F(Modes, QuadFramesThatCannotBeRegisteredWithTheReferenceAreNotFound) {
  FakeVision fake;
  fake.tracker = [](const cv::Rect2d& start) {
    return [start](const cv::Mat&) {
      return std::optional<tv::TrackedObject>{tv::TrackedObject{start, 0.9f}};
    };
  };
  auto result = run(tv::trackQuad,
                    {{"mode", "quad"}, {"quad", "0.2,0.2,0.8,0.2,0.8,0.8,0.2,0.8"}, {"end", "1"}});
  ASSERT_EQ(result.samples.size(), 30u);
  EXPECT_EQ(result.seen, 1);  // the reference frame only
  EXPECT_EQ(result.samples[0][5], 1);
  EXPECT_EQ(result.samples[1][5], 0);
  EXPECT_GE(fake.homographyCalls, 29);
}

// A scene the look from the estimate cannot register (a rectangle over a face): after two
// failures in a row the features alone are matched, and the look is tried again every eighth
// frame; a plane it registers is looked at on every frame.
TEST_F(Modes, QuadLeavesOutTheLookWhileItKeepsFailing) {
  for (bool plane : {false, true}) {
    FakeVision fake;
    fake.tracker = [](const cv::Rect2d& start) {
      return [start](const cv::Mat&) {
        return std::optional<tv::TrackedObject>{tv::TrackedObject{start, 0.9f}};
      };
    };
    fake.near = [plane](bool look) {
      return tv::NearRegistration{cv::Matx33f::eye(), look && plane};
    };
    auto result = run(tv::trackQuad,
                      {{"mode", "quad"}, {"quad", "0.2,0.2,0.8,0.2,0.8,0.8,0.2,0.8"}, {"end", "1"}});
    ASSERT_EQ(result.samples.size(), 30u);
    EXPECT_EQ(result.seen, 30);  // the features' answers anchor the frames all the same
    ASSERT_EQ(fake.nearLooks.size(), 29u);  // every frame after the reference
    for (size_t k = 0; k < 29; ++k) {
      const bool expected = plane || k < 2 || (k - 1) % 8 == 0;
      EXPECT_EQ(fake.nearLooks[k], expected) << k << (plane ? " plane" : " face");
    }
  }
}

TEST_F(Modes, QuadStillPictureKeepsTheReferenceQuad) {
  FakeVision fake;
  fake.tracker = [](const cv::Rect2d& start) {
    return [start](const cv::Mat&) {
      return std::optional<tv::TrackedObject>{tv::TrackedObject{start, 0.9f}};
    };
  };
  // A still picture registers with its reference look as it is.
  fake.warp = [](const cv::Mat&, const cv::Mat&) {
    return std::optional<cv::Matx33f>{cv::Matx33f::eye()};
  };
  auto result = run(tv::trackQuad,
                    {{"mode", "quad"}, {"quad", "0,0,1,0,1,1,0,1"}, {"at", "1"}, {"end", "2"}});
  ASSERT_EQ(result.samples.size(), 60u);
  EXPECT_EQ(result.seen, 60);
  for (size_t k = 0; k < 60; ++k) {
    EXPECT_EQ(result.samples[k], (std::vector<double>{tv::roundTo(k / 30.0, 5), 0.5, 0.5, 1, 1, 1,
                                                      0, 0, 1, 0, 1, 1, 0, 1}))
        << k;
  }
  // Whole-quad box of the unit square: centred, 0.7 x 0.7.
  EXPECT_NEAR(fake.trackerStarts[0].x, 0.15, 1e-12);
  EXPECT_NEAR(fake.trackerStarts[0].width, 0.7, 1e-12);
}

}  // namespace
