// An object of any kind carried from frame to frame: a box tracker says where it went, and its
// outline is cut afresh around there, seeded by the previous frame's outline moved along.
#pragma once

#include "vision/vision.h"

#include <opencv2/core.hpp>

#include <memory>
#include <optional>
#include <vector>

namespace tv {

class CarriedObject {
 public:
  // `matte` (CV_8UC1, 0..255) is the object's outline on `frame` (32-bit BGRA, same size), the
  // frame following starts from. With `reacquire`, a lost object is sought again on later
  // frames by its looks and where it was going; otherwise it stays lost.
  CarriedObject(const cv::Mat& frame, const cv::Mat& matte, bool reacquire);

  // The object's matte on the next frame in the order to follow (same size as the first), or
  // an empty Mat where it is lost.
  cv::Mat next(const cv::Mat& frame);

  bool lost() const { return lost_; }

 private:
  // The cut around `guess` on `frame`, which becomes the latest outline, `box` the tracker's.
  cv::Mat placed(const cv::Mat& frame, const cv::Mat& guess, const cv::Rect2d& box);

  std::unique_ptr<ObjectTracking> tracking_;
  bool reacquire_ = false;
  bool lost_ = false;
  cv::Size size_;
  cv::Mat matte_;                   // the latest outline found
  cv::Rect2d box_;                  // the tracker's box (pixels, top-left origin) on that frame
  std::vector<cv::Rect2d> recent_;  // the tracker's latest boxes, oldest first
  int missed_ = 0;                  // frames since the object was last seen
  // Its whole outline, from the latest frame it was not partly hidden on (as far as the share of
  // its box it fills tells), and that box: what a re-acquired object is cut from.
  cv::Mat shape_;
  cv::Rect2d shapeBox_;
  cv::Mat lastSeen_;  // grey copy of the latest frame the object was followed on
  cv::Rect2d lastSeenBox_;
  double fill_ = 0;  // the share of the box its whole outline fills
};

// Whether what `box` (pixels, top-left origin) holds on `now` already stood there on `then`
// (grey frames of one size) while the object was at `then_box`, elsewhere: a look-alike that
// was there all along while the object was followed is not the object come back.
bool stoodThere(const cv::Mat& then, const cv::Rect2d& thenBox, const cv::Mat& now,
                const cv::Rect2d& box);

// The outline of an object of any kind on `frame` (32-bit BGRA) where `prior` (CV_8UC1, same
// size, 0..255) says it about is: a colour-model cut on a crop around the prior, brought to
// the frame's detail. Empty when the cut finds nothing there.
cv::Mat cutAround(const cv::Mat& frame, const cv::Mat& prior);

}  // namespace tv
