// The video command's run settings and the object mode's bookkeeping on grids.
#include "base/options.h"
#include "media/picture.h"
#include "segment/grid.h"
#include "support/blank_vision.h"
#include "video/object.h"
#include "video/video.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

namespace {

tv::CommandLine args;

void useOptions(const std::map<std::string, std::string>& options) {
  args = tv::CommandLine{};
  args.command = "video";
  args.options = options;
  args.options["input"] = "clip.mp4";
  args.inputURL = "clip.mp4";
}

TEST(VideoSize, FullHdKeepsItsSizeByDefault) {
  EXPECT_EQ(tv::outputSize({1920, 1080}, 1920), cv::Size(1920, 1080));
}

TEST(VideoSize, MaxSideScalesBothAxesAndRoundsHalvesAway) {
  // 1080 * 1000 / 1920 = 562.5, half of it 281.25 -> 281 -> 562.
  EXPECT_EQ(tv::outputSize({1920, 1080}, 1000), cv::Size(1000, 562));
  // Portrait sources are limited on their height.
  EXPECT_EQ(tv::outputSize({1080, 1920}, 1000), cv::Size(562, 1000));
}

TEST(VideoSize, OddSizesBecomeEven) {
  EXPECT_EQ(tv::outputSize({641, 361}, 1920), cv::Size(642, 362));
  EXPECT_EQ(tv::outputSize({3, 1}, 1920), cv::Size(4, 2));
}

TEST(VideoSize, NeverEnlargedNeverBelowTwo) {
  EXPECT_EQ(tv::outputSize({320, 240}, 5000), cv::Size(320, 240));
  EXPECT_EQ(tv::outputSize({1920, 1080}, 0), cv::Size(2, 2));
  EXPECT_EQ(tv::outputSize({1920, 1080}, -50), cv::Size(2, 2));
  EXPECT_EQ(tv::outputSize({1920, 1080}, std::nan("")), cv::Size(1920, 1080));
}

TEST(VideoSize, SegmentationSizeIsAtMostTheMatteSide) {
  // 1080p is analysed at 1024 x 576, as the person and instance analyses draw it anyway.
  EXPECT_EQ(tv::segmentationSize({1920, 1080}), cv::Size(1024, 576));
  EXPECT_EQ(tv::segmentationSize({1080, 1920}), cv::Size(576, 1024));
  // 4096 x 2160: 540 exactly; 641 x 2000: 328.2 rounds to 328.
  EXPECT_EQ(tv::segmentationSize({4096, 2160}), cv::Size(1024, 540));
  EXPECT_EQ(tv::segmentationSize({641, 2000}), cv::Size(328, 1024));
  // Smaller sizes stay as they are.
  EXPECT_EQ(tv::segmentationSize({1024, 1024}), cv::Size(1024, 1024));
  EXPECT_EQ(tv::segmentationSize({400, 300}), cv::Size(400, 300));
  EXPECT_EQ(tv::segmentationSize({1025, 1}), cv::Size(1024, 1));
}

TEST(VideoPlan, Defaults) {
  useOptions({});
  tv::VideoPlan plan = tv::planVideo(args, {1920, 1080}, 10, 30);
  EXPECT_EQ(plan.start, 0);
  EXPECT_EQ(plan.end, 11);  // one second past the duration
  EXPECT_EQ(plan.maxSide, 1920);
  EXPECT_EQ(plan.width, 1920);
  EXPECT_EQ(plan.height, 1080);
  EXPECT_EQ(plan.total, 300);
  EXPECT_EQ(plan.pickTime, 0);
}

TEST(VideoPlan, RangeAndPickFromTheOptions) {
  useOptions({{"start", "2"}, {"end", "4.5"}, {"max", "1000"}, {"at", "3"}});
  tv::VideoPlan plan = tv::planVideo(args, {1920, 1080}, 10, 25);
  EXPECT_EQ(plan.start, 2);
  EXPECT_EQ(plan.end, 4.5);
  EXPECT_EQ(plan.width, 1000);
  EXPECT_EQ(plan.height, 562);
  EXPECT_EQ(plan.total, 63);  // 2.5 s * 25 = 62.5, rounded away from zero
  EXPECT_EQ(plan.pickTime, 3);
}

TEST(VideoPlan, OutOfRangeAndMalformedValues) {
  useOptions({{"start", "-1"}, {"end", "99"}, {"max", " 640"}, {"at", "soon"}});
  tv::VideoPlan plan = tv::planVideo(args, {1280, 720}, 4, 30);
  EXPECT_EQ(plan.start, 0);
  EXPECT_EQ(plan.end, 5);         // cut to duration + 1
  EXPECT_EQ(plan.maxSide, 1920);  // a leading space is no number
  EXPECT_EQ(plan.width, 1280);
  EXPECT_EQ(plan.pickTime, 0);  // the start
  EXPECT_EQ(plan.total, 120);   // up to the duration, not past it
}

TEST(VideoPlan, EmptyRangeStillExpectsOneFrame) {
  useOptions({{"start", "8"}, {"end", "3"}});
  EXPECT_EQ(tv::planVideo(args, {64, 64}, 4, 30).total, 1);
}

TEST(VideoPlan, PatienceIsAboutOneSecondOfFrames) {
  EXPECT_EQ(tv::patienceFor(25), 25);
  EXPECT_EQ(tv::patienceFor(29.97), 30);
  EXPECT_EQ(tv::patienceFor(7.5), 8);
  EXPECT_EQ(tv::patienceFor(5), 8);
}

// A grid with a rectangle of cells holding a label.
tv::Grid gridWith(std::initializer_list<std::pair<uint8_t, cv::Rect>> regions) {
  tv::Grid grid(tv::GRID * tv::GRID, 0);
  for (const auto& [value, rect] : regions) {
    for (int r = rect.y; r < rect.y + rect.height; ++r) {
      for (int c = rect.x; c < rect.x + rect.width; ++c) grid[r * tv::GRID + c] = value;
    }
  }
  return grid;
}

std::vector<tv::PackedGrid> packed(const std::vector<tv::Grid>& grids) {
  std::vector<tv::PackedGrid> result;
  for (const auto& grid : grids) result.emplace_back(grid);
  return result;
}

TEST(PackedGrid, RoundTripsAndStaysSmall) {
  tv::Grid empty(tv::GRID * tv::GRID, 0);
  EXPECT_EQ(tv::PackedGrid(empty).unpacked(), empty);
  EXPECT_LE(tv::PackedGrid(empty).bytes(), 3u);

  tv::Grid people = gridWith({{1, {10, 20, 6, 30}}, {2, {60, 50, 8, 40}}, {3, {120, 0, 8, 128}}});
  people[0] = 9;      // a run of one at the very start
  people.back() = 4;  // and at the very end
  tv::PackedGrid packedPeople(people);
  EXPECT_EQ(packedPeople.unpacked(), people);
  EXPECT_LT(packedPeople.bytes(), 2000u);

  // Every cell different from its neighbour: the worst case still comes back whole.
  tv::Grid noise(tv::GRID * tv::GRID);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i % 7);
  EXPECT_EQ(tv::PackedGrid(noise).unpacked(), noise);
}

TEST(ObjectTrail, TraceBackKeepsTheReferenceAcrossLostFrames) {
  // The object moves right by 4 cells a frame and carries a different label on every frame;
  // frame 1 has no instances at all.
  std::vector<tv::Grid> grids = {
      gridWith({{5, {40, 40, 20, 20}}, {9, {100, 100, 10, 10}}}),
      gridWith({}),
      gridWith({{2, {48, 40, 20, 20}}}),
      gridWith({{7, {52, 40, 20, 20}}, {3, {0, 0, 30, 30}}}),
  };
  tv::ObjectTrail trail = tv::traceBack(packed(grids), 7);
  EXPECT_EQ(trail.pickIndex, 3);
  ASSERT_EQ(trail.masks.size(), 4u);
  EXPECT_EQ(trail.maskAt(3), tv::only(7, grids[3]));
  EXPECT_EQ(trail.maskAt(2), tv::only(2, grids[2]));
  EXPECT_FALSE(trail.maskAt(1).has_value());
  // Frame 0 is reached from frame 2's mask, over the empty frame.
  EXPECT_EQ(trail.maskAt(0), tv::only(5, grids[0]));
  EXPECT_FALSE(trail.current.has_value());
}

TEST(ObjectTrail, FollowsForwardAndResumesAfterALoss) {
  std::vector<tv::Grid> search = {gridWith({{4, {10, 10, 20, 20}}})};
  tv::ObjectTrail trail = tv::traceBack(packed(search), 4);
  ASSERT_EQ(trail.pickIndex, 0);

  // The pick frame as the writing pass sees it: the label may differ, the region is the same.
  EXPECT_EQ(tv::objectLabel(trail, 0, gridWith({{6, {10, 10, 20, 20}}})), 6);
  ASSERT_TRUE(trail.current.has_value());
  // Next frame: moved a little.
  EXPECT_EQ(tv::objectLabel(trail, 1, gridWith({{1, {14, 10, 20, 20}}, {2, {90, 90, 9, 9}}})), 1);
  // Lost: only something far away.
  tv::Grid lostGrid = gridWith({{2, {90, 90, 9, 9}}});
  EXPECT_EQ(tv::objectLabel(trail, 2, lostGrid), 0);
  // Found again near where it was last seen (frame 1), so following resumes.
  EXPECT_EQ(tv::objectLabel(trail, 3, gridWith({{3, {16, 10, 20, 20}}})), 3);
  EXPECT_EQ(trail.current, tv::only(3, gridWith({{3, {16, 10, 20, 20}}})));
}

TEST(ObjectTrail, FramesBeforeThePickUseTheTracedMasksOnly) {
  std::vector<tv::Grid> search = {
      gridWith({{1, {10, 10, 20, 20}}}),
      gridWith({{1, {70, 70, 20, 20}}}),  // the object jumped: frame 0 cannot be traced
      gridWith({{2, {72, 70, 20, 20}}}),
  };
  tv::ObjectTrail trail = tv::traceBack(packed(search), 2);
  EXPECT_FALSE(trail.maskAt(0).has_value());
  EXPECT_EQ(tv::objectLabel(trail, 0, search[0]), 0);
  EXPECT_EQ(tv::objectLabel(trail, 1, search[1]), 1);
  EXPECT_FALSE(trail.current.has_value());  // before the pick the current mask is untouched
  EXPECT_EQ(tv::objectLabel(trail, 2, search[2]), 2);
  EXPECT_TRUE(trail.current.has_value());
}

// A matte of `size` whose cells in `rect` (grid cells) hold `value` and the rest 0: each kept
// instance gets a value of its own, so a matte tells which instance it was made from.
cv::Mat matteOn(cv::Size size, const cv::Rect& rect, uint8_t value) {
  cv::Mat matte(size, CV_8UC1, cv::Scalar(0));
  const double sx = double(size.width) / tv::GRID, sy = double(size.height) / tv::GRID;
  matte(cv::Rect(int(rect.x * sx), int(rect.y * sy), int(rect.width * sx), int(rect.height * sy)))
      .setTo(value);
  return matte;
}

// A trail whose search pass kept its frames' instances: frame k's grid holds the given labelled
// rectangles, and each label's kept matte is its rectangle filled with 100 + label.
tv::ObjectTrail keptTrail(const std::vector<std::vector<std::pair<uint8_t, cv::Rect>>>& frames,
                          uint8_t picked, cv::Size size) {
  std::vector<tv::Grid> grids;
  for (const auto& regions : frames) {
    tv::Grid grid(tv::GRID * tv::GRID, 0);
    for (const auto& [value, rect] : regions) {
      for (int r = rect.y; r < rect.y + rect.height; ++r)
        for (int c = rect.x; c < rect.x + rect.width; ++c) grid[r * tv::GRID + c] = value;
    }
    grids.push_back(grid);
  }
  tv::ObjectTrail trail = tv::traceBack(packed(grids), picked);
  trail.searchedGrids = packed(grids);
  for (const auto& regions : frames) {
    auto& kept = trail.searchedMasks.emplace_back();
    for (const auto& [value, rect] : regions)
      kept.emplace_back(value, tv::packedMatte(matteOn(size, rect, uint8_t(100 + value))));
  }
  trail.searchedSize = size;
  trail.searchedAll = true;
  return trail;
}

TEST(ObjectTrail, KeptInstancesGiveThePickedObjectsMatteOnEveryFrame) {
  const cv::Size size(256, 144);
  // The object (labels 3, 1, -, 2 as the detector numbered it) moves right; another thing
  // stays in the corner; frame 2 finds nothing.
  tv::ObjectTrail trail = keptTrail({{{1, {0, 0, 20, 20}}, {3, {40, 40, 20, 20}}},
                                     {{1, {44, 40, 20, 20}}, {2, {0, 0, 20, 20}}},
                                     {},
                                     {{2, {50, 40, 20, 20}}, {1, {0, 0, 20, 20}}}},
                                    2, size);
  ASSERT_TRUE(trail.keptSearch());
  ASSERT_EQ(trail.pickIndex, 3);
  const std::vector<cv::Mat> expected = {matteOn(size, {40, 40, 20, 20}, 103),
                                         matteOn(size, {44, 40, 20, 20}, 101),
                                         cv::Mat(size, CV_8UC1, cv::Scalar(0)),
                                         matteOn(size, {50, 40, 20, 20}, 102)};
  for (int k = 0; k < 4; ++k) {
    const cv::Mat matte = tv::searchedMatte(trail, k);
    ASSERT_EQ(matte.size(), size) << k;
    EXPECT_EQ(cv::norm(matte, expected[k], cv::NORM_INF), 0) << k;
    EXPECT_TRUE(trail.searchedMasks[k].empty()) << "frame " << k << " is let go once written";
  }
  // The pick frame's mask is where following goes on from after it.
  ASSERT_TRUE(trail.current.has_value());
  EXPECT_EQ(tv::objectLabel(trail, 4, gridWith({{5, {52, 40, 20, 20}}})), 5);
}

TEST(ObjectTrail, TheWritingPassTakesTheKeptInstancesUpToThePickFrame) {
  // The analysis finds nothing on any frame: a matte on the frames up to the pick frame can
  // only come from what the search pass kept, and after it only from the analysis.
  tvtest::BlankVision blank;
  tv::useVisionForTesting(&blank);
  const cv::Size size(128, 72);
  tv::ObjectTrail trail = keptTrail({{{4, {30, 30, 40, 40}}}, {{4, {32, 30, 40, 40}}}}, 4, size);
  trail.searchedAll = false;  // frames come after the pick frame
  tv::Segmenter segmenter;
  segmenter.beginFrames();
  const cv::Mat frame(size, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  EXPECT_EQ(cv::norm(tv::objectMatte(trail, 0, frame, segmenter),
                     matteOn(size, {30, 30, 40, 40}, 104), cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(tv::objectMatte(trail, 1, frame, segmenter),
                     matteOn(size, {32, 30, 40, 40}, 104), cv::NORM_INF), 0);
  EXPECT_EQ(cv::countNonZero(tv::objectMatte(trail, 2, frame, segmenter)), 0);
  tv::useVisionForTesting(nullptr);
}

}  // namespace
