// The tracker follows a box, not an outline: each frame the previous outline is moved and
// scaled as the tracker's box moved, and that guess seeds a GrabCut on a crop around it, whose
// colour models learn the object and its surroundings anew on every frame. The guess limits the
// cut to a band around it, so a cut that runs into a like-coloured backdrop cannot grow far,
// and a cut that loses most of the object falls back to the guess. Seen on the street clip at
// 1280 x 720 this costs some 30 ms a frame, where the salient network costs over a second.
#include "video/carry.h"

#include "segment/masks.h"
#include "vision/pixels.h"
#include "vision/segmodels.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tv {
namespace {

constexpr int kWorkSide = 200;       // GrabCut's working size on the crop's longer side
constexpr double kCropMargin = 0.2;  // crop around the guess, share of its longer side
constexpr double kBand = 0.06;       // how far the cut may leave the guess, share of its side
constexpr int kIterations = 2;
constexpr uint64 kSeed = 0x9E3779B97F4A7C15ULL;  // GrabCut's k-means draws: the same every run
constexpr double kLeastKept = 0.6;     // a cut keeping less of the guess than this is not trusted
constexpr double kMostGrown = 1.6;     // nor one this much larger than the guess
constexpr double kGuideRadius = 0.01;  // detail step: radius as a share of the crop's side
constexpr double kGuideEpsilon = 1e-3;
constexpr size_t kRemembered = 10;  // boxes the motion of a lost object is judged from
// An outline filling at least this share of what the whole outline filled is whole: it becomes
// the shape a re-acquired object is cut from, and its fill counts for this much in the next.
constexpr double kWhole = 0.93;
constexpr double kFillRate = 0.1;
// An outline filling less than this share of what the whole one filled is what a cover left of
// the object, or a bit of the backdrop the cut has kept: the object counts as lost. (At a
// pillar's edge the tracker's peak holds on the edge, and the cut keeps a sliver of grass.)
constexpr double kLeastSeen = 0.25;
// A place found for a lost object that overlaps where it was last seen by at most this share is
// elsewhere; if its content then correlated with its content now by at least kSameThing, the
// thing there stood still while the object was followed.
constexpr double kApart = 0.1;
constexpr double kSameThing = 0.7;
constexpr int kSampleSide = 32;

double fillOf(const cv::Mat& matte, const cv::Rect2d& box) {
  return cv::countNonZero(matte >= 128) / std::max(box.area(), 1.0);
}

cv::Mat disc(int radius) {
  return cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1));
}

cv::Rect2d pixels(const cv::Rect2d& r, cv::Size size) {
  return {r.x * size.width, (1 - r.y - r.height) * size.height, r.width * size.width,
          r.height * size.height};
}

cv::Rect2d normalised(const cv::Rect2d& box, cv::Size size) {
  return {box.x / size.width, 1 - (box.y + box.height) / size.height, box.width / size.width,
          box.height / size.height};
}

// The outline moved from where `from` was to where `to` is, scaled as the box was.
cv::Mat moved(const cv::Mat& matte, const cv::Rect2d& from, const cv::Rect2d& to) {
  const double sx = to.width / std::max(from.width, 1e-6);
  const double sy = to.height / std::max(from.height, 1e-6);
  cv::Matx23d move(sx, 0, to.x - from.x * sx, 0, sy, to.y - from.y * sy);
  cv::Mat out;
  cv::warpAffine(matte, out, move, matte.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  return out;
}

// Where a box seen in `recent` (oldest first) would be `ahead` frames after the last of them.
cv::Rect2d expectedBox(const std::vector<cv::Rect2d>& recent, int ahead, cv::Size size) {
  cv::Rect2d expected = recent.back();
  if (recent.size() >= 2) {
    const double steps = double(recent.size() - 1);
    expected.x += (recent.back().x - recent.front().x) / steps * ahead;
    expected.y += (recent.back().y - recent.front().y) / steps * ahead;
  }
  // Its centre stays within the frame.
  const double cx = std::clamp(expected.x + expected.width / 2, 0.0, double(size.width));
  const double cy = std::clamp(expected.y + expected.height / 2, 0.0, double(size.height));
  expected.x = cx - expected.width / 2;
  expected.y = cy - expected.height / 2;
  return expected;
}

// The box's content resampled to a small square, as floats; empty when it leaves the frame.
cv::Mat sample(const cv::Mat& grey, const cv::Rect2d& box) {
  const cv::Rect inside = cv::Rect(box) & cv::Rect(0, 0, grey.cols, grey.rows);
  if (inside.width < 4 || inside.height < 4) return {};
  cv::Mat small;
  cv::resize(grey(inside), small, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
  small.convertTo(small, CV_32F);
  return small;
}

}  // namespace

bool stoodThere(const cv::Mat& then, const cv::Rect2d& thenBox, const cv::Mat& now,
                const cv::Rect2d& box) {
  if (then.empty() || then.size() != now.size()) return false;
  const cv::Rect2d shared = thenBox & box;
  if (shared.area() > kApart * std::min(thenBox.area(), box.area())) return false;
  const cv::Mat before = sample(then, box), after = sample(now, box);
  if (before.empty() || after.empty()) return false;
  cv::Mat score;
  cv::matchTemplate(before, after, score, cv::TM_CCOEFF_NORMED);
  const float same = score.at<float>(0, 0);
  return std::isfinite(same) && same >= kSameThing;
}

cv::Mat cutAround(const cv::Mat& frame, const cv::Mat& prior) {
  const cv::Mat guess = prior >= 128;
  const cv::Rect box = cv::boundingRect(guess);
  if (box.empty()) return {};
  const int side = std::max(box.width, box.height);
  const int margin = int(std::ceil(side * kCropMargin));
  const cv::Rect region =
      cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
      cv::Rect(0, 0, frame.cols, frame.rows);
  if (region.width < 8 || region.height < 8) return {};
  const double scale = std::min(1.0, double(kWorkSide) / std::max(region.width, region.height));
  const cv::Mat bgr = bgrOf(frame);
  cv::Mat crop, seed;
  cv::resize(bgr(region), crop, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::resize(guess(region), seed, crop.size(), 0, 0, cv::INTER_NEAREST);
  const int band = std::max(2, int(std::lround(side * scale * kBand)));
  cv::Mat outer, core;
  cv::dilate(seed, outer, disc(band));
  cv::erode(seed, core, disc(band));
  cv::Mat labels(crop.size(), CV_8U, cv::Scalar(cv::GC_BGD));
  labels.setTo(cv::GC_PR_BGD, outer);
  labels.setTo(cv::GC_PR_FGD, seed);
  labels.setTo(cv::GC_FGD, core);
  cv::Mat small = seed.clone();
  if (cv::countNonZero(core) > 0 && cv::countNonZero(labels == cv::GC_BGD) > 0) {
    cv::RNG& random = cv::theRNG();
    const uint64 saved = random.state;
    random.state = kSeed;
    try {
      cv::Mat bgModel, fgModel;
      cv::grabCut(crop, labels, cv::Rect(), bgModel, fgModel, kIterations, cv::GC_INIT_WITH_MASK);
      cv::Mat cut = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
      const double kept =
          double(cv::countNonZero(cut & seed)) / std::max(1, cv::countNonZero(seed));
      const double grown = double(cv::countNonZero(cut)) / std::max(1, cv::countNonZero(seed));
      if (kept >= kLeastKept && grown <= kMostGrown) small = cut;
    } catch (const cv::Exception&) {
      // one flat colour: the guess stays
    }
    random.state = saved;
  }
  if (cv::countNonZero(small) == 0) return {};
  cv::Mat soft = segmodels::detailedCut(bgr, region, small, kGuideRadius, kGuideEpsilon);
  cv::Mat bytes;
  soft.convertTo(bytes, CV_8U, 255.0);
  return bytes;
}

CarriedObject::CarriedObject(const cv::Mat& frame, const cv::Mat& matte, bool reacquire)
    : reacquire_(reacquire), size_(frame.size()), matte_(matte) {
  const cv::Rect box = cv::boundingRect(matte >= 128);
  if (box.empty() || frame.empty()) {
    lost_ = true;
    return;
  }
  box_ = cv::Rect2d(box);
  shape_ = matte_;
  shapeBox_ = box_;
  fill_ = fillOf(matte_, box_);
  tracking_ = vision().objectTracking(normalised(box_, size_));
  // The tracker takes hold of the object on the frame its box was drawn on.
  if (!tracking_ || !tracking_->next(frame)) {
    lost_ = true;
    tracking_.reset();
    return;
  }
  recent_.push_back(box_);
  if (reacquire_) {
    lastSeen_ = greyOf(frame);
    lastSeenBox_ = box_;
  }
}

cv::Mat CarriedObject::placed(const cv::Mat& frame, const cv::Mat& guess, const cv::Rect2d& box) {
  cv::Mat cut = cutAround(frame, guess);
  if (cut.empty()) return {};
  matte_ = cut;
  box_ = box;
  const double fill = fillOf(cut, box);
  if (fill >= kWhole * fill_) {
    shape_ = cut;
    shapeBox_ = box;
    fill_ += kFillRate * (fill - fill_);
  }
  return cut;
}

cv::Mat CarriedObject::next(const cv::Mat& frame) {
  if (!tracking_ || frame.size() != size_) return {};
  if (lost_) {
    if (!reacquire_ || recent_.empty()) return {};
    const cv::Rect2d expected = expectedBox(recent_, ++missed_, size_);
    auto answer = tracking_->seek(frame, normalised(expected, size_));
    if (!answer || answer->gone()) return {};
    const cv::Rect2d box = pixels(answer->boundingBox, size_);
    if (stoodThere(lastSeen_, lastSeenBox_, greyOf(frame), box)) return {};
    // Cut from its whole outline (the last one seen may be the sliver the cover left), at its
    // own size: the search tells the size only to 15 %.
    const cv::Point2d centre = (box.tl() + box.br()) / 2;
    const cv::Rect2d there(centre.x - shapeBox_.width / 2, centre.y - shapeBox_.height / 2,
                           shapeBox_.width, shapeBox_.height);
    cv::Mat found = placed(frame, moved(shape_, shapeBox_, there), box);
    if (found.empty()) return {};
    // The way it went before it was lost says nothing about where it goes now.
    lost_ = false;
    missed_ = 0;
    recent_.assign(1, box);
    return found;
  }
  auto answer = tracking_->next(frame);
  if (!answer || answer->gone() || answer->doubtful()) {
    lost_ = true;
    missed_ = 1;
    if (!reacquire_) tracking_.reset();
    return {};
  }
  const cv::Rect2d box = pixels(answer->boundingBox, size_);
  cv::Mat found = placed(frame, moved(matte_, box_, box), box);
  if (found.empty() || fillOf(found, box) < kLeastSeen * fill_) {
    lost_ = true;
    missed_ = 1;
    if (!reacquire_) tracking_.reset();
    return {};
  }
  recent_.push_back(box);
  if (recent_.size() > kRemembered) recent_.erase(recent_.begin());
  if (reacquire_) {
    lastSeen_ = greyOf(frame);
    lastSeenBox_ = box;
  }
  return found;
}

}  // namespace tv
