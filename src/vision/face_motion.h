// How a face moved from one picture of a video to the next, measured on the pixels around it
// (a grid of points followed by optical flow there and back), so that a face detector need not
// run on every picture. Coordinates are pixels, origin top left. Internal to vision/.
#pragma once

#include <opencv2/core.hpp>

#include <optional>

namespace tv::facemotion {

// A face's surroundings in one picture, grey and scaled so that the face is about the same
// size whatever its size in the picture.
struct Patch {
  cv::Rect2d face;  // the face's box in the picture
  cv::Rect area;    // the part of the picture kept, in its pixels
  double scale = 1;
  cv::Mat grey;  // that part, scaled by `scale`
};

Patch patchOf(const cv::Mat& image, const cv::Rect2d& face);

// patchOf in two steps, so that the pixels can be taken on one thread and made grey on another:
// the patch of a picture of `size` without its grey part, then that part from the pixels of
// `patch.area` alone (a copy or a view of them). A patch whose area is too small stays without.
Patch patchPlace(cv::Size size, const cv::Rect2d& face);
void fillPatch(Patch& patch, const cv::Mat& areaPixels);

// A move about the face's centre: a point p goes to centre + shift + scale * (p - centre).
struct Motion {
  cv::Point2d centre, shift;
  double scale = 1;

  cv::Point2d apply(const cv::Point2d& p) const { return centre + shift + (p - centre) * scale; }
  cv::Rect2d apply(const cv::Rect2d& box) const;
};

// Where the face of `before` went in `image` (a picture of the same size and type); nothing when
// too few of its points can be followed there and back, or they disagree about the move.
std::optional<Motion> motionOf(const Patch& before, const cv::Mat& image);

// The same, with the grey of the part `region` of `image` made already: it is used where it
// holds the patch's area (the answer is the same either way).
std::optional<Motion> motionOf(const Patch& before, const cv::Mat& image, const cv::Mat& grey,
                               const cv::Rect& region);

}  // namespace tv::facemotion
