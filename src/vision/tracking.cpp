// Object tracking with dlib's correlation tracker (a discriminative scale-space correlation
// filter). Chosen over OpenCV's CSRT on measurements of both: equally accurate on a textured
// patch moving over texture (under 3 pixels off) and on dlib's juice-box clip (same box at the
// end), but 4 ms a frame instead of 24 at 512 pixels, and it gives a quality figure, the
// peak-to-sidelobe ratio (PSR) of its correlation, which CSRT does not.
//
// A target whose centre alone is read (the quad's patches and its whole-quad box) is followed
// by OpenCV's MOSSE filter instead: a correlation filter on the grey pixels of the box (or of
// a window of at least 48 pixels around it), with no scale search and no HOG. dlib's tracker,
// even without its scale filter, makes 32 HOG channels of a 64 x 64 chip and their FFTs on
// every frame, which was half of a quad run's processor time (five trackers); the filter costs
// a small part of that, and the quad's corners, which the plane's anchoring settles, stay where
// they were (a generated pan: 0.55 px off the truth on average, 2.8 px at worst, against 0.53
// and 3.0). MOSSE gives no PSR, only whether its peak still stands out; while it does, the
// likeness of the looks is the confidence.
//
// Confidence: the PSR alone runs 6-25 while the target is visible and 3-5 in the first frames
// after it vanishes, too close for one threshold; so it is combined with how much the box's
// content still looks like the target (normalised cross-correlation with the first look, or
// with a slowly updated recent look, whichever is higher): over 0.5 while visible, about 0 once
// it is covered or gone. The confidence is the geometric mean of the two, each mapped to 0..1;
// it stays above 0.5 while tracking and falls under 0.3 within a frame or two of a loss.
//
// Seeking a lost target: the same likeness, searched for with normalised template matching of
// both looks, first in a window around where the target was going (at three sizes), then over
// the whole frame with 16-pixel looks. The best place is the target when its 32-pixel look
// correlates at 0.7 or more with the first look (a plain wall, or another textured thing, stays
// far below) and beats every other place by 0.1, so that of two look-alikes neither is taken.
// Found, the correlation tracker starts again there.
#include "vision/analyses.h"
#include "vision/pixels.h"

#include <dlib/image_processing/correlation_tracker.h>
#include <dlib/image_transforms.h>
#include <dlib/opencv/cv_image.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/tracking.hpp>
#include <opencv2/tracking/tracking_legacy.hpp>

#include <algorithm>
#include <cmath>

namespace tv::analyses {
namespace {

constexpr int kLook = 32;             // side of the appearance samples, pixels
constexpr double kPsrFloor = 3;       // PSR at and below which the tracker has lost its hold
constexpr double kPsrFull = 10;       // PSR from which its hold counts as certain
constexpr double kLookFloor = 0.25;   // correlation with the target's look that means "not it"
constexpr double kLookFull = 0.65;    // correlation with the target's look that counts as certain
constexpr double kLookFlat = 2;       // grey deviation under which a look has no pattern
constexpr double kRecentRate = 0.1;   // share of each confident frame in the recent look
constexpr double kConfidentAt = 0.6;  // confidence from which a frame may update the recent look
constexpr int kCoarseLook = 16;       // side of the looks in the whole-frame search
constexpr double kFoundAt = 0.7;      // likeness with the first look that finds the target
constexpr double kMargin = 0.1;       // by how much it must beat any other place
constexpr double kNearby = 1.5;       // the nearby window reaches this many box sides around
constexpr double kSizes[] = {1 / 1.15, 1.0, 1.15};  // sizes tried, relative to the last one
constexpr double kLeastWindow = 48;   // the point tracker's shortest window side, pixels

// The box's content (pixels, top-left origin) resampled to kLook x kLook, as floats; what lies
// beyond the frame counts as black.
cv::Mat lookAt(const cv::Mat& grey, const cv::Rect2d& box) {
  cv::Mat look(kLook, kLook, CV_32F, cv::Scalar(0));
  if (!(box.width > 0 && box.height > 0)) return cv::Mat();
  cv::Rect inside =
      cv::Rect(cv::Point(int(std::floor(box.x)), int(std::floor(box.y))),
               cv::Point(int(std::ceil(box.x + box.width)), int(std::ceil(box.y + box.height)))) &
      cv::Rect(0, 0, grey.cols, grey.rows);
  if (inside.empty()) return look;
  double sx = kLook / box.width, sy = kLook / box.height;
  cv::Rect target(int(std::lround((inside.x - box.x) * sx)),
                  int(std::lround((inside.y - box.y) * sy)),
                  std::max(1, int(std::lround(inside.width * sx))),
                  std::max(1, int(std::lround(inside.height * sy))));
  target &= cv::Rect(0, 0, kLook, kLook);
  if (target.empty()) return look;
  cv::Mat part;
  cv::resize(grey(inside), part, target.size(), 0, 0,
             sx < 1 || sy < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  part.convertTo(look(target), CV_32F);
  return look;
}

bool flat(const cv::Mat& look) {
  cv::Scalar mean, deviation;
  cv::meanStdDev(look, mean, deviation);
  return deviation[0] < kLookFlat;
}

// Normalised cross-correlation of two looks, -1..1.
double likeness(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty()) return 0;
  if (flat(b)) return flat(a) ? 1 : 0;
  if (flat(a)) return 0;
  cv::Mat result;
  cv::matchTemplate(a, b, result, cv::TM_CCOEFF_NORMED);
  double value = result.at<float>(0, 0);
  return std::isfinite(value) ? value : 0;
}

double clamp01(double value) {
  return std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0;
}

// A place the target may be (pixels, top-left origin) and how well its look matches.
struct Match {
  cv::Rect2d box;
  double score = -1;
};

// The best match of the looks in `region` of the grey frame for a target of `size` pixels seen
// at side x side, and the best one at least a box side away from it (score -1 when none).
// Windows without a pattern never match: their correlation means nothing.
std::pair<Match, Match> twoBest(const cv::Mat& grey, const cv::Rect& region, cv::Size2d size,
                                int side, const std::vector<cv::Mat>& looks) {
  std::pair<Match, Match> none;
  cv::Size scaled(int(std::lround(region.width * side / size.width)),
                  int(std::lround(region.height * side / size.height)));
  // A target far smaller than the frame would blow the search up; it is not sought.
  if (scaled.width < side || scaled.height < side || double(scaled.area()) > 4e6) return none;
  cv::Mat part;
  cv::resize(grey(region), part, scaled, 0, 0,
             scaled.width < region.width ? cv::INTER_AREA : cv::INTER_LINEAR);
  part.convertTo(part, CV_32F);
  cv::Mat scores;
  for (const cv::Mat& look : looks) {
    cv::Mat small = look, result;
    if (side != look.cols) cv::resize(look, small, cv::Size(side, side), 0, 0, cv::INTER_AREA);
    cv::matchTemplate(part, small, result, cv::TM_CCOEFF_NORMED);
    scores = scores.empty() ? result : cv::max(scores, result);
  }
  cv::Mat mean, meanSquare, squares = part.mul(part);
  cv::blur(part, mean, cv::Size(side, side), cv::Point(0, 0));
  cv::blur(squares, meanSquare, cv::Size(side, side), cv::Point(0, 0));
  const cv::Rect valid(0, 0, scores.cols, scores.rows);
  cv::Mat variance = meanSquare(valid) - mean(valid).mul(mean(valid));
  cv::patchNaNs(scores, -1);
  scores.setTo(-1, variance < kLookFlat * kLookFlat);
  const double sx = double(scaled.width) / region.width, sy = double(scaled.height) / region.height;
  auto matchAt = [&](cv::Point at, double score) {
    return Match{cv::Rect2d(region.x + at.x / sx, region.y + at.y / sy, side / sx, side / sy),
                 score};
  };
  double best = 0;
  cv::Point at;
  cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
  std::pair<Match, Match> found{matchAt(at, best), Match{}};
  scores(cv::Rect(at.x - side + 1, at.y - side + 1, 2 * side - 1, 2 * side - 1) & valid).setTo(-1);
  cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
  if (best > -1) found.second = matchAt(at, best);
  return found;
}

// A rough match placed at full look resolution within a quarter box around it, and scored as
// the confidence scores looks.
Match refined(const cv::Mat& grey, const Match& rough, const cv::Mat& first,
              const cv::Mat& recent) {
  const cv::Rect2d& box = rough.box;
  const cv::Rect around = cv::Rect(cv::Point(int(std::floor(box.x - box.width / 4)),
                                             int(std::floor(box.y - box.height / 4))),
                                   cv::Point(int(std::ceil(box.x + box.width * 1.25)),
                                             int(std::ceil(box.y + box.height * 1.25)))) &
                          cv::Rect(0, 0, grey.cols, grey.rows);
  if (around.empty()) return {};
  Match placed = twoBest(grey, around, box.size(), kLook, {first, recent}).first;
  if (placed.score <= -1) return {};
  // Scored against the first look only: the recent one may have taken in some of what hid it.
  placed.score = likeness(lookAt(grey, placed.box), first);
  return placed;
}

class CorrelationTracking final : public ObjectTracking {
 public:
  CorrelationTracking(const cv::Rect2d& start, bool scales) : start_(start), scales_(scales) {}

  std::optional<TrackedObject> next(const cv::Mat& frame) override {
    try {
      if (frame.empty() || frame.depth() != CV_8U) return std::nullopt;
      if (started_ && frame.size() != size_) return std::nullopt;
      cv::Mat grey = greyOf(frame);
      if (!started_) {
        size_ = frame.size();
        cv::Rect2d box = pixels(start_);
        if (!(box.width >= 1 && box.height >= 1) || !reachable(box)) return std::nullopt;
        if (!startAt(grey, box)) return std::nullopt;
        firstLook_ = lookAt(grey, box);
        recentLook_ = firstLook_.clone();
        started_ = true;
        return TrackedObject{start_, 1.0f};
      }
      double psr = 0;
      cv::Rect2d box;
      if (scales_) {
        psr = tracker_.update(dlib::cv_image<unsigned char>(grey));
        dlib::drectangle where = tracker_.get_position();
        box = cv::Rect2d(where.left(), where.top(), where.width(), where.height());
      } else {
        // The plain filter keeps its hold only while its peak stands out; it then counts as
        // certain, and the likeness of the looks decides the rest.
        psr = point_->update(grey, window_) ? kPsrFull : 0;
        box = cv::Rect2d(window_.x + (window_.width - sized_.width) / 2,
                         window_.y + (window_.height - sized_.height) / 2, sized_.width,
                         sized_.height);
      }
      if (!reachable(box)) return std::nullopt;
      cv::Mat look = lookAt(grey, box);
      double hold = clamp01((psr - kPsrFloor) / (kPsrFull - kPsrFloor));
      double alike =
          clamp01((std::max(likeness(look, firstLook_), likeness(look, recentLook_)) - kLookFloor) /
                  (kLookFull - kLookFloor));
      double confidence = std::sqrt(hold * alike);
      if (confidence >= kConfidentAt && !look.empty())
        cv::addWeighted(recentLook_, 1 - kRecentRate, look, kRecentRate, 0, recentLook_);
      return TrackedObject{normalised(box), float(confidence), float(likeness(look, firstLook_))};
    } catch (const cv::Exception&) {
      return std::nullopt;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

  std::optional<TrackedObject> seek(const cv::Mat& frame, const cv::Rect2d& expected) override {
    try {
      if (!started_ || frame.empty() || frame.depth() != CV_8U || frame.size() != size_)
        return std::nullopt;
      if (flat(firstLook_) && flat(recentLook_)) return std::nullopt;  // nothing to look for
      const cv::Rect2d guess = pixels(expected);
      if (!reachable(guess) || !(guess.width >= 4 && guess.height >= 4)) return std::nullopt;
      cv::Mat grey = greyOf(frame);
      const cv::Rect whole(0, 0, size_.width, size_.height);
      const std::vector<cv::Mat> looks{firstLook_, recentLook_};
      // Candidates: the best place near where it was going, at each size, and the two best
      // apart from each other over the whole frame, at each size; all placed and scored alike.
      std::vector<Match> candidates;
      auto consider = [&](const Match& rough) {
        if (rough.score > -1) candidates.push_back(refined(grey, rough, firstLook_, recentLook_));
      };
      const double reach = kNearby * std::max(guess.width, guess.height);
      const cv::Rect nearby =
          cv::Rect(cv::Point(int(std::floor(guess.x - reach)), int(std::floor(guess.y - reach))),
                   cv::Point(int(std::ceil(guess.x + guess.width + reach)),
                             int(std::ceil(guess.y + guess.height + reach)))) &
          whole;
      for (double size : kSizes) {
        if (!nearby.empty())
          consider(twoBest(grey, nearby, guess.size() * size, kLook, looks).first);
        auto [best, other] = twoBest(grey, whole, guess.size() * size, kCoarseLook, looks);
        consider(best);
        consider(other);
      }
      Match found, rival;
      for (const Match& c : candidates)
        if (c.score > found.score) found = c;
      for (const Match& c : candidates)
        if (c.score > rival.score && overlap(c.box, found.box) < 0.3) rival = c;
      // A place about as like the target as the best one makes neither of them the target.
      if (!(found.score - rival.score >= kMargin)) return std::nullopt;
      if (!(found.score >= kFoundAt)) return std::nullopt;
      const cv::Rect2d& box = found.box;
      if (!startAt(grey, box)) return std::nullopt;
      const double alike = clamp01((found.score - kLookFloor) / (kLookFull - kLookFloor));
      return TrackedObject{normalised(box), float(alike), float(found.score)};
    } catch (const cv::Exception&) {
      return std::nullopt;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

 private:
  bool startAt(const cv::Mat& grey, const cv::Rect2d& box) {
    if (scales_) {
      dlib::cv_image<unsigned char> view(grey);
      tracker_.start_track(view,
                           dlib::drectangle(box.x, box.y, box.x + box.width, box.y + box.height));
      return true;
    }
    // The filter searches only its own window, and a small one holds too little pattern to
    // tell the target's place from its neighbours' (a 16-pixel patch is lost at once): it works
    // on a window of at least kLeastWindow pixels around the centre, and the box keeps its size.
    sized_ = box.size();
    const double grow = std::max({1.0, kLeastWindow / box.width, kLeastWindow / box.height});
    window_ = cv::Rect2d(box.x + box.width / 2 - box.width * grow / 2,
                         box.y + box.height / 2 - box.height * grow / 2, box.width * grow,
                         box.height * grow);
    point_ = cv::legacy::TrackerMOSSE::create();
    return point_->init(grey, window_);
  }

  // A box the tracker's integer geometry can hold: finite, and within a few frame sizes of the
  // frame (boxes reaching past the edge are fine; a NaN or 1e300 from the command line is not).
  bool reachable(const cv::Rect2d& box) const {
    const double reach = 16.0 * std::max(size_.width, size_.height);
    for (double v : {box.x, box.y, box.width, box.height}) {
      if (!std::isfinite(v) || std::abs(v) > reach) return false;
    }
    return true;
  }

  // Normalised lower-left rectangle to pixels with the origin at the top left, and back.
  cv::Rect2d pixels(const cv::Rect2d& r) const {
    return {r.x * size_.width, (1 - r.y - r.height) * size_.height, r.width * size_.width,
            r.height * size_.height};
  }
  cv::Rect2d normalised(const cv::Rect2d& box) const {
    return {box.x / size_.width, 1 - (box.y + box.height) / size_.height, box.width / size_.width,
            box.height / size_.height};
  }

  cv::Rect2d start_;
  // Whether the box follows the target's size; its scale filter is about a third of the
  // tracker's time (32 resampled chips, their HOG and FFTs on every frame).
  bool scales_;
  bool started_ = false;
  cv::Size size_;
  dlib::correlation_tracker tracker_;       // the box and its size
  cv::Ptr<cv::legacy::TrackerMOSSE> point_;  // the centre alone
  cv::Rect2d window_;                        // where point_ last put its window
  cv::Size2d sized_;                         // the box's size, which stays
  cv::Mat firstLook_, recentLook_;
};

}  // namespace

std::unique_ptr<ObjectTracking> objectTracking(const cv::Rect2d& start) {
  return std::make_unique<CorrelationTracking>(start, true);
}

std::unique_ptr<ObjectTracking> pointTracking(const cv::Rect2d& start) {
  return std::make_unique<CorrelationTracking>(start, false);
}

}  // namespace tv::analyses
