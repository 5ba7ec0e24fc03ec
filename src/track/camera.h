// Camera mode: how the image content moves, as a position that starts at the frame centre.
#pragma once

#include "track/track.h"

#include <opencv2/core.hpp>

#include <optional>

namespace tv {

// The longer side of the frames the camera is registered on, pixels.
constexpr double kCameraSide = 960;

TrackResult trackCamera(const TrackJob& job);

// The content's displacement (dx, dy) in pixels of a W x H small frame, x to the right and y
// down, from a homography that maps current pixels to reference pixels (lower-left origin),
// times `sign` (-1 follows the content). Nothing when the centre does not map to a finite point
// less than half a frame away.
std::optional<cv::Point2d> homographyShift(const cv::Matx33f& warp, int width, int height,
                                           double sign);

// Frames a reference is kept for at this rate: max(6, trunc(fps / 2)).
int renewalInterval(double fps);

// The camera position through a sequence of small frames, one step per frame.
class CameraPath {
 public:
  explicit CameraPath(double fps, double sign) : interval_(renewalInterval(fps)), sign_(sign) {}
  // Registers the frame against the reference and answers the position (normalised, y down).
  cv::Point2d step(const cv::Mat& frame);

 private:
  cv::Mat reference_;
  cv::Point2d referencePosition_{0.5, 0.5};
  cv::Point2d current_{0.5, 0.5};
  int sinceReference_ = 0;
  int interval_;
  double sign_;
};

}  // namespace tv
