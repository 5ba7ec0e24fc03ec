// Quad mode: a planar quadrilateral followed by a coarse tracker on the whole quad and four
// patch trackers inside it whose correspondences give a homography for the corners, each
// frame's corners then registered against the plane's look on the reference frame.
#pragma once

#include "track/follower.h"
#include "track/track.h"

#include <opencv2/core.hpp>

#include <array>
#include <optional>
#include <vector>

namespace tv {

TrackResult trackQuad(const TrackJob& job);

// Four corners in normalised top-down frame coordinates, in the user's order; corners 1 and 3
// are taken as opposite (their distance is the diagonal).
using Quad = std::array<cv::Point2d, 4>;

// The --quad option: exactly eight numbers, in pairs; nothing otherwise.
std::optional<Quad> userQuad(const std::string& text);

// Each corner moved 40 % of the way to the centroid: the patch targets, well inside the plane.
Quad innerOf(const Quad& quad);

// One follower per inner point, each on a box 0.28 x the quad's extent (at least 0.012).
std::vector<ObjectFollower> patches(const Quad& quad);

// The homography (h1..h8, h9 = 1) taking the four `from` points to the four `to` points, by
// Gauss-Jordan elimination with partial pivoting; nothing when the system is singular.
std::optional<std::array<double, 9>> solveHomography(const Quad& from, const Quad& to);
cv::Point2d mapped(const std::array<double, 9>& h, const cv::Point2d& p);

// One frame's corners as tracked; a lost frame has no corner.
struct RawQuad {
  double time = 0;
  std::array<std::optional<cv::Point2d>, 4> corners;
  bool anchored = true;  // the corners agree with the plane's look on the reference frame
};

struct QuadSample {
  double time = 0;
  Quad corners;
  bool found = false;  // all four corners were tracked, and agree with the reference look
};

// Unknown corners take the reference corner moved by the mean offset of the known ones.
QuadSample fill(const RawQuad& raw, const Quad& reference);

// Whether the anchoring tries the look from the estimate before matching features. The look is
// left out once it failed on two frames in a row: the target is then no plane (a rectangle over
// a talking face), the look fails on nearly every frame and costs about what the features do.
// It is tried again every eighth frame, in case the target has become one.
struct AnchorLooks {
  int misses = 0;   // frames in a row on which the look was tried and did not answer
  int skipped = 0;  // frames since it was last tried
  bool worthTrying() const { return misses < 2 || skipped >= 7; }
  void tried(bool answered) {
    misses = answered ? 0 : misses + 1;
    skipped = 0;
  }
  void leftOut() { skipped += 1; }
};

// The state of one run over frames in following order (forwards, or backwards in time).
struct QuadFollow {
  explicit QuadFollow(const Quad& reference);
  Quad reference;
  ObjectFollower whole;
  std::vector<ObjectFollower> patchFollowers;
  Quad inner;
  Quad current;
  cv::Point2d lastCentre;
  bool started = false;
  cv::Mat referenceFrame;  // the frame the quad was placed on
  AnchorLooks looks;
};

// The estimated corners (normalised) of `frame` corrected by registering the frame against the
// reference frame's plane warped onto it with the estimate: tracking from frame to frame drifts,
// this does not. Nothing when the registration fails or moves a corner by more than 5 % of the
// quad's diagonal (then it did not find the plane where the estimate has it).
// `looks`, when given, decides whether the registration's look from the estimate is tried and
// learns whether it answered.
std::optional<Quad> anchoredQuad(const cv::Mat& referenceFrame, const Quad& reference,
                                 const cv::Mat& frame, const Quad& estimate,
                                 AnchorLooks* looks = nullptr);

// Advances the run by one frame (960 px): BGRA for the run's first frame, which becomes the
// reference; BGRA or its 8-bit grey for the others (the answers are the same).
RawQuad followFrame(QuadFollow& state, const cv::Mat& frame, double time);

}  // namespace tv
