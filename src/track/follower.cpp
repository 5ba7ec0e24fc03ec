#include "track/follower.h"

#include <algorithm>

namespace tv {
namespace {

constexpr size_t kRemembered = 10;  // boxes the motion of a lost target is judged from

}  // namespace

ObjectFollower::ObjectFollower(const Box& start, bool reacquire, Reads reads)
    // The start rectangle goes to the tracker unclipped: a box reaching past the frame edge
    // is the user's choice.
    : tracking_(reads == Reads::centre ? vision().pointTracking(start.vision())
                                       : vision().objectTracking(start.vision())),
      reacquire_(reacquire) {
  if (!tracking_) lost_ = true;
  if (reacquire_) recent_.push_back(start);
}

std::optional<Box> ObjectFollower::next(const cv::Mat& frame) {
  if (lost_) {
    if (!reacquire_ || !tracking_ || recent_.empty()) return std::nullopt;
    auto answer = tracking_->seek(frame, expectedBox(recent_, ++missed_).vision());
    if (!answer || answer->gone()) return std::nullopt;
    // The way it went before it was lost says nothing about where it goes now.
    lost_ = false;
    missed_ = 0;
    recent_.assign(1, Box::fromVision(answer->boundingBox));
    return recent_.back();
  }
  auto answer = tracking_->next(frame);
  if (!answer || answer->gone() || (reacquire_ && answer->doubtful())) {
    lost_ = true;
    if (!reacquire_) tracking_.reset();
    missed_ = 1;
    return std::nullopt;
  }
  const Box box = Box::fromVision(answer->boundingBox);
  if (reacquire_) {
    recent_.push_back(box);
    if (recent_.size() > kRemembered) recent_.erase(recent_.begin());
  }
  return box;
}

Box expectedBox(const std::vector<Box>& recent, int ahead) {
  const Box& last = recent.back();
  Box expected = last;
  if (recent.size() >= 2) {
    const double steps = double(recent.size() - 1);
    expected.x += (last.x - recent.front().x) / steps * ahead;
    expected.y += (last.y - recent.front().y) / steps * ahead;
  }
  expected.x = std::clamp(expected.x, 0.0, 1.0);
  expected.y = std::clamp(expected.y, 0.0, 1.0);
  return expected;
}

}  // namespace tv
