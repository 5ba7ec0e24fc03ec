// Person segmentation: the detector finds the people; the selfie network draws them, on the
// whole frame for people that fill a good part of it, and on a crop of their own for every
// smaller one, pasted back. On a wide shot the whole-frame pass only gives blobs for small
// figures; on their own crops the same network draws clean silhouettes.
#include "vision/analyses.h"
#include "vision/pixels.h"
#include "vision/segmodels.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>

namespace tv::analyses {
namespace {

// The matte is made at most this long on its longer side; callers fit it to their image.
constexpr int kMatteSide = 1024;
// Person boxes from the detector count from this score. Measured on the OpenCV and
// scikit-image sample photos: people score 0.3-0.8, and the strongest non-person peaks on
// the same photos stay below 0.3 for the person class.
constexpr float kPersonScore = 0.3f;
// A box scoring from kUnsureScore but under kPersonScore is a person when the selfie network,
// on its crop, is sure of one there: at least kSureCover of the box at kInside, and of that at
// least kSureShare at kSure. Measured on full-body composites over busy photos (graffiti): a
// firefighter in a silver suit with a breathing set scores 0.285 and covers 0.45 of his box,
// 0.8 of it sure; on the sample photos without people the boxes from 0.2 are 0-0.12 covered.
// A photo's boxes count from kStillUnsureScore: the same fireman elsewhere on the graffiti
// scores 0.198 (covered 0.49, 0.8 of it sure), and on 20 sample photos without people
// (OpenCV's and scikit-image's) the boxes from 0.15 are at most 0.003 covered. Over a video's
// frames that would draw a person walking into the frame from their first sliver.
constexpr float kUnsureScore = 0.2f;
constexpr float kStillUnsureScore = 0.15f;
constexpr double kSureCover = 0.3;
constexpr float kSure = 0.9f;
constexpr double kSureShare = 0.6;
// Pixels from the picture's border within which a box touches it.
constexpr float kBorder = 2;
// On successive frames a person already found is kept down to kKeptScore, as long as their
// box overlaps the one before by kSamePerson: a figure whose score wavers around the threshold
// does not blink in and out of the matte.
constexpr float kKeptScore = 0.15f;
constexpr double kSamePerson = 0.5;
// Every person gets a crop of their own unless the crop would cover this much of the frame:
// then the whole-frame pass sees the person as large as a crop would. Measured: the whole-frame
// pass can miss a standing figure that is 80 % of the frame tall but narrow, its crop never.
constexpr double kWholeFrameShare = 0.6;
// A piece of the whole-frame matte (pixels of at least kInside) belongs to a large person
// when this share of it lies in their crop regions; it keeps kEdgeReach network pixels of soft
// edge around it.
constexpr float kInside = 0.5f;
constexpr double kPieceInside = 0.5;
constexpr int kEdgeReach = 7;
// Light temporal smoothing: where a pixel changed by less than kSteadyChange (in 0..1) since
// the previous frame, it keeps kSteadyWeight of its previous value. Edges then stop
// flickering, while anything that really moves follows at once.
constexpr float kSteadyChange = 0.2f;
constexpr float kSteadyWeight = 0.3f;
cv::Size matteSize(const cv::Size& image) {
  int side = std::max(image.width, image.height);
  if (side <= kMatteSide) return image;
  double scale = double(kMatteSide) / side;
  return {std::max(1, int(std::lround(image.width * scale))),
          std::max(1, int(std::lround(image.height * scale)))};
}

// Of the whole-frame pass (`whole`, the network's size, for an image of `size`), the pieces
// that belong to the large people in `regions`: a piece counts when most of it lies in their
// regions. The detector's boxes of a close-up are often tighter than the person (an arm, a
// held helmet), so whole pieces are kept rather than the boxes cut out. Answers a 0/1 weight
// (CV_32FC1) at the network's size, a little wider than the pieces to keep their soft edge.
cv::Mat largePeople(const cv::Mat& whole, cv::Size size, const std::vector<cv::Rect>& regions) {
  const double sx = double(whole.cols) / size.width, sy = double(whole.rows) / size.height;
  cv::Mat inRegions(whole.size(), CV_8U, cv::Scalar(0));
  for (const auto& r : regions) {
    cv::Rect scaled(cvFloor(r.x * sx), cvFloor(r.y * sy), cvCeil(r.width * sx),
                    cvCeil(r.height * sy));
    inRegions(scaled & cv::Rect(0, 0, whole.cols, whole.rows)).setTo(1);
  }
  cv::Mat pieces = whole >= kInside, labels, stats, centroids;
  int count = cv::connectedComponentsWithStats(pieces, labels, stats, centroids, 8, CV_32S);
  std::vector<int> inside(count, 0);
  for (int y = 0; y < whole.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* r = inRegions.ptr<uchar>(y);
    for (int x = 0; x < whole.cols; ++x) inside[l[x]] += r[x];
  }
  cv::Mat kept(whole.size(), CV_8U, cv::Scalar(0));
  for (int i = 1; i < count; ++i) {
    if (inside[i] < kPieceInside * stats.at<int>(i, cv::CC_STAT_AREA)) continue;
    kept.setTo(255, labels == i);
  }
  cv::dilate(kept, kept, cv::getStructuringElement(cv::MORPH_ELLIPSE, {kEdgeReach, kEdgeReach}));
  cv::Mat weight;
  kept.convertTo(weight, CV_32F, 1.0 / 255);
  return weight;
}

// Whether the selfie network is sure of a person in `box` of `bgr`. Only a whole figure
// counts: one cut by the picture's border scores low because little of them is left, and is
// kept only while they continue someone already found.
bool drawnSurely(const cv::Mat& bgr, const cv::Rect2f& box) {
  const cv::Rect2f clear(kBorder, kBorder, float(bgr.cols) - 2 * kBorder,
                         float(bgr.rows) - 2 * kBorder);
  if ((box & clear) != box) return false;
  const segmodels::CropMatte crop = segmodels::personInBox(bgr, box);
  if (crop.probability.empty()) return false;
  const cv::Rect inBox = cv::Rect(box) & crop.region;
  if (inBox.empty()) return false;
  const cv::Mat p = crop.probability(inBox - crop.region.tl());
  const int inside = cv::countNonZero(p >= kInside);
  return inside >= kSureCover * double(p.total()) &&
         cv::countNonZero(p >= kSure) >= kSureShare * inside;
}

// The people among a frame's detections (`detected`, of `bgr`, from kKeptScore): those from
// kPersonScore, those from kUnsureScore (a photo's, `still`, from kStillUnsureScore) the selfie
// network is sure of, and from kKeptScore those that continue a person of the previous frame
// (`before`).
std::vector<cv::Rect2f> people(const cv::Mat& bgr,
                               const std::vector<segmodels::Detection>& detected,
                               const std::vector<cv::Rect2f>& before, bool still) {
  const float unsure = still ? kStillUnsureScore : kUnsureScore;
  std::vector<cv::Rect2f> found;
  for (const auto& d : detected) {
    if (d.label != segmodels::kPerson) continue;
    bool continues = std::any_of(before.begin(), before.end(), [&](const cv::Rect2f& b) {
      return overlap(b, d.box) >= kSamePerson;
    });
    if (d.score >= kPersonScore || continues || (d.score >= unsure && drawnSurely(bgr, d.box)))
      found.push_back(d.box);
  }
  return found;
}

// The person matte (CV_32FC1, 0..1) of one BGR image at its own size, for the people in
// `boxes`; `still`: a photo, whose people's crops get the finer matte.
cv::Mat personMatte(const cv::Mat& bgr, const std::vector<cv::Rect2f>& boxes, bool still) {
  // The selfie network assumes there is someone: on a street without people it paints the
  // buildings. Its answer only counts around the people the detector finds, on the whole frame
  // for large ones and on crops of their own for the others.
  cv::Mat matte(bgr.size(), CV_32F, cv::Scalar(0));
  std::vector<cv::Rect> large;
  std::vector<cv::Rect2f> small;
  for (const auto& box : boxes) {
    cv::Rect region = segmodels::personCrop(bgr.size(), box);
    if (region.area() > kWholeFrameShare * bgr.size().area())
      large.push_back(region);
    else
      small.push_back(box);
  }
  // A photo's crops are refined one GrabCut each: they are drawn side by side.
  std::vector<segmodels::CropMatte> crops(small.size());
  std::vector<std::exception_ptr> failures(small.size());
  cv::parallel_for_(cv::Range(0, int(small.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      try {
        crops[i] = segmodels::personInBox(bgr, small[i], still);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  });
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
  for (const auto& crop : crops) {
    if (crop.probability.empty()) continue;
    // Overlapping crops (people side by side) keep the higher value.
    cv::Mat target = matte(crop.region);
    cv::max(target, crop.probability, target);
  }
  if (!large.empty()) {
    cv::Mat whole = segmodels::personProbability(bgr);
    if (whole.empty()) return {};
    cv::Mat kept = largePeople(whole, bgr.size(), large);
    cv::Mat fitted;
    cv::resize(whole.mul(kept), fitted, bgr.size(), 0, 0, cv::INTER_LINEAR);
    cv::max(matte, fitted, matte);
  }
  return matte;
}

class ModelPersonSegmentation final : public PersonSegmentation {
 public:
  explicit ModelPersonSegmentation(bool still) : still_(still) {}
  cv::Mat next(const cv::Mat& image) override {
    segmodels::loadNetworks();
    try {
      if (image.empty()) return {};
      cv::Mat bgr = segmodels::shrunkBgr(image, matteSize(image.size()));
      if (bgr.size() != previous_.size()) people_.clear();
      // The detector (about half of a frame's analysis) runs on the cadence's frames only; the
      // selfie network still draws each person on every frame, on the crop of their last
      // detection.
      std::vector<cv::Rect> crops;
      for (const auto& box : people_) crops.push_back(segmodels::personCrop(bgr.size(), box));
      const auto detected = cadence_.objects(bgr, kKeptScore, crops);
      if (cadence_.detected()) people_ = people(bgr, detected, people_, still_);
      cv::Mat matte = personMatte(bgr, people_, still_);
      if (matte.empty()) return {};
      if (previous_.size() == matte.size()) {
        cv::Mat steady;
        cv::absdiff(matte, previous_, steady);
        cv::Mat blended = matte * (1 - kSteadyWeight) + previous_ * kSteadyWeight;
        blended.copyTo(matte, steady < kSteadyChange);
      }
      previous_ = matte;
      cv::Mat bytes;
      matte.convertTo(bytes, CV_8U, 255.0);
      return bytes;
    } catch (const std::exception&) {
      return {};
    }
  }

 private:
  bool still_;                      // a photo: its people get the finer matte
  cv::Mat previous_;                // the last frame's matte, CV_32FC1 0..1
  std::vector<cv::Rect2f> people_;  // the last detection's people
  segmodels::DetectorCadence cadence_;
};

}  // namespace

std::unique_ptr<PersonSegmentation> personSegmentation(bool still) {
  return std::make_unique<ModelPersonSegmentation>(still);
}

}  // namespace tv::analyses
