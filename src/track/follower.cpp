#include "track/follower.h"

namespace tv {

ObjectFollower::ObjectFollower(const Box& start)
    // The start rectangle goes to the tracker unclipped: a box reaching past the frame edge
    // is the user's choice.
    : tracking_(vision().objectTracking(start.vision())) {
  if (!tracking_) lost_ = true;
}

std::optional<Box> ObjectFollower::next(const cv::Mat& frame) {
  if (lost_) return std::nullopt;
  auto answer = tracking_->next(frame);
  // The threshold is compared in single precision, so exactly 0.3f counts as lost, and so
  // does a confidence that is not a number.
  if (!answer || !(answer->confidence > 0.3f)) {
    lost_ = true;
    tracking_.reset();
    return std::nullopt;
  }
  return Box::fromVision(answer->boundingBox);
}

}  // namespace tv
