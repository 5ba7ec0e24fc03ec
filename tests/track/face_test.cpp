#include "track/face.h"
#include "track/marks.h"

#include <gtest/gtest.h>

namespace {

using tv::Box;

std::vector<size_t> indexes(size_t from, size_t to) {  // from..to inclusive, either direction
  std::vector<size_t> out;
  if (from <= to)
    for (size_t k = from; k <= to; ++k) out.push_back(k);
  else
    for (size_t k = from + 1; k-- > to;) out.push_back(k);
  return out;
}

size_t present(const std::vector<std::optional<Box>>& chain) {
  size_t n = 0;
  for (const auto& c : chain) n += c ? 1 : 0;
  return n;
}

TEST(FaceAnchor, NearestFrameWithAFaceEarlierOnTies) {
  std::vector<std::vector<Box>> d(10);
  d[2] = {Box{0.5, 0.5, 0.1, 0.1}};
  d[6] = {Box{0.5, 0.5, 0.1, 0.1}};
  EXPECT_EQ(tv::anchorFrame(d, 4), 2u);
  EXPECT_EQ(tv::anchorFrame(d, 5), 6u);
  EXPECT_EQ(tv::anchorFrame(d, 9), 6u);
  EXPECT_FALSE(tv::anchorFrame(std::vector<std::vector<Box>>(5), 0));
}

TEST(FaceAnchor, NearestTimeEarliestOnTies) {
  EXPECT_EQ(tv::nearestTime({0, 0.1, 0.2, 0.3}, 0.15), 1u);
  EXPECT_EQ(tv::nearestTime({0, 0.1, 0.2, 0.3}, 9), 3u);
  EXPECT_EQ(tv::nearestTime({0, 0.1, 0.2, 0.3}, -1), 0u);
}

TEST(FaceAnchor, NearestToThePointFirstListedOnTies) {
  std::vector<Box> faces{Box{0.875, 0.5, 0.1, 0.1}, Box{0.25, 0.5, 0.1, 0.1},
                         Box{0.75, 0.5, 0.1, 0.1}};
  EXPECT_EQ(tv::nearestToPoint(faces, 0.5, 0.5), 1u);
  EXPECT_EQ(tv::nearestToPoint(faces, 0.8, 0.5), 2u);
}

TEST(FaceWalk, ShortGapIsBridgedAndCountedAsMissing) {
  const Box face{0.5, 0.5, 0.2, 0.2};
  std::vector<std::vector<Box>> d(31);
  for (size_t k = 0; k <= 10; ++k) d[k] = {face};
  for (size_t k = 20; k <= 30; ++k) d[k] = {face};
  std::vector<std::optional<Box>> chain(31);
  chain[0] = face;
  tv::walkFace(d, indexes(1, 30), face, 30, chain);
  EXPECT_EQ(present(chain), 22u);
  for (size_t k = 11; k <= 19; ++k) EXPECT_FALSE(chain[k]);
}

TEST(FaceWalk, NinetyMissesAreToleratedAndTheNinetyFirstStops) {
  const Box face{0.5, 0.5, 0.2, 0.2};
  // Anchor at 0, lost over 1..90 (90 misses), back at 91: linked.
  std::vector<std::vector<Box>> d(120);
  d[0] = {face};
  for (size_t k = 91; k < 120; ++k) d[k] = {face};
  std::vector<std::optional<Box>> chain(120);
  tv::walkFace(d, indexes(1, 119), face, 30, chain);
  EXPECT_TRUE(chain[91]);
  EXPECT_EQ(present(chain), 29u);
  // Lost over 1..91 (91 misses): the walk has stopped before the face comes back.
  std::vector<std::vector<Box>> e(120);
  for (size_t k = 92; k < 120; ++k) e[k] = {face};
  std::vector<std::optional<Box>> lost(120);
  tv::walkFace(e, indexes(1, 119), face, 30, lost);
  EXPECT_EQ(present(lost), 0u);
}

TEST(FaceWalk, BackwardsFromTheAnchorUsesTheSameRule) {
  const Box face{0.5, 0.5, 0.2, 0.2};
  std::vector<std::vector<Box>> d(200);
  for (size_t k = 0; k < 200; ++k) d[k] = {face};
  for (size_t k = 50; k <= 149; ++k) d[k].clear();  // 100 misses going back from 150
  std::vector<std::optional<Box>> chain(200);
  tv::walkFace(d, indexes(159, 0), face, 30, chain);
  EXPECT_EQ(present(chain), 10u);  // 150..159 only
}

TEST(FaceWalk, DistanceFallbackTakesTheNearestWithinTheGate) {
  const Box prev{0.5, 0.5, 0.1, 0.1};  // gate 0.12
  std::vector<std::vector<Box>> d(3);
  // No overlap with prev; the second is nearer (0.11 away) and inside the gate.
  d[1] = {Box{0.5, 0.3, 0.05, 0.05}, Box{0.61, 0.5, 0.05, 0.05}};
  // Then 0.12 + a little away from the last found box: a miss.
  d[2] = {Box{0.61 + 0.0601, 0.5, 0.05, 0.05}};
  std::vector<std::optional<Box>> chain(3);
  tv::walkFace(d, {1, 2}, prev, 30, chain);
  ASSERT_TRUE(chain[1]);
  EXPECT_DOUBLE_EQ(chain[1]->x, 0.61);
  EXPECT_FALSE(chain[2]);  // gate is now 1.2 x 0.05 = 0.06
}

TEST(FaceWalk, BestOverlapWinsOverNearest) {
  const Box prev{0.5, 0.5, 0.2, 0.2};
  std::vector<std::vector<Box>> d(2);
  d[1] = {Box{0.52, 0.5, 0.05, 0.05}, Box{0.55, 0.5, 0.2, 0.2}};
  std::vector<std::optional<Box>> chain(2);
  tv::walkFace(d, {1}, prev, 30, chain);
  ASSERT_TRUE(chain[1]);
  EXPECT_DOUBLE_EQ(chain[1]->x, 0.55);
}

TEST(MarksWalk, NoMissLimitAndNoDistanceFallback) {
  const Box face{0.5, 0.5, 0.2, 0.2};
  std::vector<std::vector<Box>> d(260);
  d[0] = {face};
  d[1] = {Box{0.62, 0.5, 0.05, 0.05}};  // near, but no overlap: not linked in marks mode
  for (size_t k = 250; k < 260; ++k) d[k] = {Box{0.55, 0.5, 0.2, 0.2}, face};
  std::vector<std::optional<size_t>> chain(260);
  tv::walkMarks(d, indexes(1, 259), face, chain);
  EXPECT_FALSE(chain[1]);
  for (size_t k = 2; k < 250; ++k) EXPECT_FALSE(chain[k]);
  for (size_t k = 250; k < 260; ++k) {
    ASSERT_TRUE(chain[k]);
    EXPECT_EQ(*chain[k], 1u);  // the identical box overlaps most
  }
}

TEST(MarksVector, RegionsAreCentreAndHalfSizeTopDown) {
  tv::FaceLandmarks marks;
  marks.leftEye = {{10, 80}, {30, 90}};  // pixels, y up, in a 100 x 100 image
  auto v = tv::landmarkVector(marks, 100, 100);
  EXPECT_DOUBLE_EQ(v[0], 0.2);
  EXPECT_DOUBLE_EQ(v[1], 0.15);
  EXPECT_DOUBLE_EQ(v[2], 0.1);
  EXPECT_DOUBLE_EQ(v[3], 0.05);
  for (size_t i = 4; i < 26; ++i) EXPECT_EQ(v[i], 0) << i;  // missing regions and contour
  auto none = tv::landmarkVector(std::nullopt, 100, 100);
  for (double value : none) EXPECT_EQ(value, 0);
}

TEST(MarksVector, ContourNeedsFivePointsAndUsesQuartersAndTheLowest) {
  tv::FaceLandmarks four;
  four.faceContour = {{0, 50}, {10, 20}, {20, 10}, {30, 40}};
  auto v4 = tv::landmarkVector(four, 100, 100);
  for (size_t i = 20; i < 26; ++i) EXPECT_EQ(v4[i], 0);

  tv::FaceLandmarks seventeen;
  for (int i = 0; i < 17; ++i) seventeen.faceContour.push_back({10.0 + i, 60.0 - i});
  seventeen.faceContour[9] = {50, 5};   // lowest (largest y from the top) ...
  seventeen.faceContour[11] = {60, 5};  // ... the first one wins among equals
  auto v = tv::landmarkVector(seventeen, 100, 200);
  EXPECT_DOUBLE_EQ(v[20], 14 / 100.0);
  EXPECT_DOUBLE_EQ(v[21], 1 - 56 / 200.0);
  EXPECT_DOUBLE_EQ(v[22], 22 / 100.0);
  EXPECT_DOUBLE_EQ(v[23], 1 - 48 / 200.0);
  EXPECT_DOUBLE_EQ(v[24], 0.5);
  EXPECT_DOUBLE_EQ(v[25], 1 - 5 / 200.0);
}

}  // namespace
