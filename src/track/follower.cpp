#include "track/follower.h"

#include <algorithm>

namespace tv {
namespace {

constexpr size_t kRemembered = 10;  // boxes the motion of a lost target is judged from
// A follower that seeks lost targets again can afford to let go sooner: an answer with a middling
// confidence whose box looks little like the first look is taken as lost. (Typically the box
// sits on the edge of what hides the target: its correlation peak holds on the edge, and the
// recent look has taken some of the edge in.)
constexpr float kDoubtfulBelow = 0.6f;
constexpr float kUnlikeBelow = 0.45f;

}  // namespace

ObjectFollower::ObjectFollower(const Box& start, bool reacquire)
    // The start rectangle goes to the tracker unclipped: a box reaching past the frame edge
    // is the user's choice.
    : tracking_(vision().objectTracking(start.vision())), reacquire_(reacquire) {
  if (!tracking_) lost_ = true;
  if (reacquire_) recent_.push_back(start);
}

std::optional<Box> ObjectFollower::next(const cv::Mat& frame) {
  if (lost_) {
    if (!reacquire_ || !tracking_ || recent_.empty()) return std::nullopt;
    auto answer = tracking_->seek(frame, expectedBox(recent_, ++missed_).vision());
    if (!answer || !(answer->confidence > 0.3f)) return std::nullopt;
    // The way it went before it was lost says nothing about where it goes now.
    lost_ = false;
    missed_ = 0;
    recent_.assign(1, Box::fromVision(answer->boundingBox));
    return recent_.back();
  }
  auto answer = tracking_->next(frame);
  // The threshold is compared in single precision, so exactly 0.3f counts as lost, and so
  // does a confidence that is not a number.
  const bool doubtful = reacquire_ && answer && answer->confidence < kDoubtfulBelow &&
                        answer->resemblance < kUnlikeBelow;
  if (!answer || !(answer->confidence > 0.3f) || doubtful) {
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
