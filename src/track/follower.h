// One rectangle followed through a sequence of small frames by the tracking analysis.
#pragma once

#include "track/series.h"
#include "vision/vision.h"

#include <memory>
#include <optional>

namespace tv {

// Fed frames in the order to follow (backwards in time works as well as forwards). The first
// frame given must be the one the start box was drawn on; its answer is meant to be dropped.
// Once the target is lost it stays lost: a new follower is the only way to follow again.
class ObjectFollower {
 public:
  explicit ObjectFollower(const Box& start);

  // The rectangle on this frame (32-bit BGRA, same size as the others), or nothing.
  std::optional<Box> next(const cv::Mat& frame);

  bool lost() const { return lost_; }

 private:
  std::unique_ptr<ObjectTracking> tracking_;
  bool lost_ = false;
};

}  // namespace tv
