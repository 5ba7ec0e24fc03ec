// One rectangle followed through a sequence of small frames by the tracking analysis.
#pragma once

#include "track/series.h"
#include "vision/vision.h"

#include <memory>
#include <optional>
#include <vector>

namespace tv {

// Fed frames in the order to follow (backwards in time works as well as forwards). The first
// frame given must be the one the start box was drawn on; its answer is meant to be dropped.
// Once the target is lost it stays lost, unless the follower was made to reacquire: then every
// later frame is searched for it (around where it was going, then everywhere) and following
// resumes where it is found.
class ObjectFollower {
 public:
  // What the caller reads of the answers: the whole box, or only its centre (the box may then
  // keep the start size, which costs the tracker less).
  enum class Reads { box, centre };

  explicit ObjectFollower(const Box& start, bool reacquire = false, Reads reads = Reads::box);

  // The rectangle on this frame (32-bit BGRA, same size as the others), or nothing.
  std::optional<Box> next(const cv::Mat& frame);

  bool lost() const { return lost_; }

 private:
  std::unique_ptr<ObjectTracking> tracking_;
  bool lost_ = false;
  bool reacquire_ = false;
  std::vector<Box> recent_;  // the last boxes found, oldest first
  int missed_ = 0;           // frames since the last box found
};

// Where a target seen in `recent` (boxes of consecutive frames, oldest first, at least one)
// would be `ahead` frames after the last of them, moving on as it moved over them; its centre
// stays within the frame.
Box expectedBox(const std::vector<Box>& recent, int ahead);

}  // namespace tv
