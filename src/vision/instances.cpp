// Foreground instances: one instance per object the detector finds (its 80 COCO classes; a
// thing outside them is not found). People get the selfie network's matte on their own crop;
// other objects a GrabCut seeded by their box on a reduced crop, brought back to full detail by
// a guided filter on the picture's grey levels. Overlaps go to the stronger mask, and fragments
// too small to be an object are dropped.
#include "vision/analyses.h"
#include "vision/pixels.h"
#include "vision/segmodels.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <vector>

namespace tv::analyses {
namespace {

// The instance masks are made at most this long on their longer side (scaledMask() fits
// them to the analysed image).
constexpr int kMaskSide = 1024;
// Detections count from this score. Measured on the sample photos: people and most objects
// in their own photos score 0.35-0.85, the strongest peak on the texture photos 0.21 (gravel).
// Objects the detector knows poorly or sees out of context (the apple still life, 0.19; a cup
// pasted on a facade, under 0.2) are missed.
constexpr float kMinScore = 0.3f;
// GrabCut runs on crops at most this long on their longer side: enough for the colour model
// (the guided filter brings back the outline's detail), cheap enough for a dozen objects on
// every video frame. Measured on the cup composites: 96 pixels and 3 iterations keep the
// object's IoU within 0.005 of 192 and 4, for a fifth of the time (20-26 ms a crop).
constexpr int kGrabSide = 96;
constexpr int kGrabIterations = 3;
constexpr uint64 kGrabSeed = 0x2545F4914F6CDD1DULL;
// The crop around an object box for GrabCut, as a fraction of the box on each side.
constexpr double kGrabMargin = 0.12;
// Guided-filter radius (in mask pixels, relative to the crop's longer side) and regulariser.
constexpr double kGuideRadius = 0.012;
constexpr double kGuideEpsilon = 1e-3;
// A pixel belongs to an instance where its mask is at least a half.
constexpr float kInside = 0.5f;
// Fragments: a connected piece smaller than this share of the instance's largest piece, or an
// instance smaller than this share of the picture, is dropped.
constexpr double kMinPiece = 0.15;
constexpr double kMinInstance = 0.0008;

cv::Size maskSize(const cv::Size& image) {
  int side = std::max(image.width, image.height);
  if (side <= kMaskSide) return image;
  double scale = double(kMaskSide) / side;
  return {std::max(1, int(std::lround(image.width * scale))),
          std::max(1, int(std::lround(image.height * scale)))};
}

// The region of a picture of `size` an object in `box` is cut from.
cv::Rect grabRegion(cv::Size size, const cv::Rect2f& box) {
  cv::Rect region(
      cvFloor(box.x - box.width * kGrabMargin), cvFloor(box.y - box.height * kGrabMargin),
      cvCeil(box.width * (1 + 2 * kGrabMargin)), cvCeil(box.height * (1 + 2 * kGrabMargin)));
  return region & cv::Rect(0, 0, size.width, size.height);
}

// GrabCut's answer for the object in `box`: the crop it was cut on (`region` of the picture,
// reduced) and the object's pixels there (CV_8U, non-zero inside); empty `small` when there is
// none.
struct SmallCut {
  cv::Rect2f box;
  cv::Rect region;
  cv::Mat small;
};

SmallCut grabbed(const cv::Mat& bgr, const cv::Rect2f& box) {
  SmallCut cut{box, grabRegion(bgr.size(), box), {}};
  const cv::Rect& region = cut.region;
  if (region.width < 8 || region.height < 8) return cut;
  double scale = std::min(1.0, double(kGrabSide) / std::max(region.width, region.height));
  cv::Mat crop;
  cv::resize(bgr(region), crop, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::Rect seed(cvFloor((box.x - region.x) * scale), cvFloor((box.y - region.y) * scale),
                cvCeil(box.width * scale), cvCeil(box.height * scale));
  seed &= cv::Rect(1, 1, crop.cols - 2, crop.rows - 2);
  if (seed.width < 4 || seed.height < 4) return cut;
  cv::Mat labels(crop.size(), CV_8U, cv::Scalar(cv::GC_BGD));
  // A crop GrabCut cannot model (one flat colour): this object only is dropped.
  if (!segmodels::seededGrabCut(crop, labels, seed, kGrabIterations, kGrabSeed,
                                cv::GC_INIT_WITH_RECT))
    return cut;
  cv::Mat small = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
  if (cv::countNonZero(small) > 0) cut.small = small;
  return cut;
}

// The soft mask (CV_32FC1, 0..1, the size of `bgr`) of an object from its small cut, or empty.
cv::Mat objectMask(const cv::Mat& bgr, const SmallCut& cut) {
  if (cut.small.empty()) return {};
  return segmodels::detailedCut(bgr, cut.region, cut.small, kGuideRadius, kGuideEpsilon);
}

// The soft mask of the person in `box`: its crop's matte, kept to the crop; a still picture's
// the finer one.
cv::Mat personMask(const cv::Mat& bgr, const cv::Rect2f& box, bool still) {
  segmodels::CropMatte crop = segmodels::personInBox(bgr, box, still);
  if (crop.probability.empty()) return {};
  cv::Mat full(bgr.size(), CV_32F, cv::Scalar(0));
  crop.probability.copyTo(full(crop.region));
  return full;
}

// Keeps the connected pieces of `inside` (CV_8U 0/255) that are large enough; answers the
// kept area.
int dropFragments(cv::Mat& inside, double minArea) {
  cv::Mat labels, stats, centroids;
  int count = cv::connectedComponentsWithStats(inside, labels, stats, centroids, 8, CV_32S);
  int largest = 0;
  for (int i = 1; i < count; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
  double keepFrom = std::max(minArea, kMinPiece * largest);
  std::vector<uchar> keep(count, 0);
  int kept = 0;
  for (int i = 1; i < count; ++i) {
    int area = stats.at<int>(i, cv::CC_STAT_AREA);
    if (area >= keepFrom) {
      keep[i] = 255;
      kept += area;
    }
  }
  for (int y = 0; y < inside.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* m = inside.ptr<uchar>(y);
    for (int x = 0; x < inside.cols; ++x) m[x] = keep[l[x]];
  }
  return kept;
}

// The instances of a picture of `imageSize`, given as `bgr` at its mask size. An object whose
// box has a cut in `earlier` keeps that cut instead of GrabCut running again; `made`, when
// given, receives the cuts of this picture's objects. `still`: a photo's people get the finer
// matte.
Instances instancesOf(const cv::Mat& bgr, cv::Size imageSize, const std::vector<SmallCut>& earlier,
                      std::vector<SmallCut>* made, bool still) {
  Instances result;
  result.imageSize = imageSize;
  const cv::Size size = bgr.size();

  // A mask depends only on the box and on whether it holds a person. The detector often
  // names one thing twice with the same box (a lamp as both a toilet and a sink): that box is
  // cut once. The cuts are independent of each other, so they run side by side.
  const std::vector<segmodels::Detection> detections = segmodels::detectObjects(bgr, kMinScore);
  const int count = int(detections.size());
  std::vector<int> sameAs(count);
  for (int i = 0; i < count; ++i) {
    sameAs[i] = i;
    const bool person = detections[i].label == segmodels::kPerson;
    for (int j = 0; j < i; ++j) {
      if ((detections[j].label == segmodels::kPerson) == person &&
          detections[j].box == detections[i].box) {
        sameAs[i] = j;
        break;
      }
    }
  }
  std::vector<cv::Mat> masks(count);
  std::vector<std::optional<SmallCut>> cuts(count);
  std::vector<std::exception_ptr> failures(count);
  cv::parallel_for_(cv::Range(0, count), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      if (sameAs[i] != i) continue;
      const auto& d = detections[i];
      try {
        if (d.label == segmodels::kPerson) {
          masks[i] = personMask(bgr, d.box, still);
          continue;
        }
        auto kept = std::find_if(earlier.begin(), earlier.end(),
                                 [&](const SmallCut& cut) { return cut.box == d.box; });
        cuts[i] = kept != earlier.end() ? *kept : grabbed(bgr, d.box);
        masks[i] = objectMask(bgr, *cuts[i]);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  });
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
  if (made) {
    made->clear();
    for (auto& cut : cuts)
      if (cut) made->push_back(std::move(*cut));
  }
  std::vector<cv::Mat> soft;
  for (int i = 0; i < count; ++i) {
    const cv::Mat& mask = masks[sameAs[i]];
    if (!mask.empty()) soft.push_back(mask);
  }
  result.instanceMask = cv::Mat(size, CV_8U, cv::Scalar(0));
  if (soft.empty()) return result;

  // Each pixel goes to the instance with the strongest mask there (detections come best
  // first, so a tie goes to the better detection).
  cv::Mat owner(size, CV_8U, cv::Scalar(0)), strongest(size, CV_32F, cv::Scalar(kInside));
  for (size_t i = 0; i < soft.size() && i < 255; ++i) {
    cv::Mat stronger = soft[i] > strongest;
    owner.setTo(int(i + 1), stronger);
    cv::max(strongest, soft[i], strongest);
  }
  const double minArea = kMinInstance * size.area();
  int next = 1;
  for (size_t i = 0; i < soft.size() && i < 255; ++i) {
    cv::Mat inside = owner == int(i + 1);
    if (dropFragments(inside, minArea) < minArea) continue;
    // The soft mask keeps its gradual edge towards the background but not into pixels that
    // belong to another instance or to a dropped fragment.
    cv::Mat taken = (owner != 0) & ~inside;
    cv::Mat dropped = (owner == int(i + 1)) & ~inside;
    cv::Mat bytes;
    soft[i].convertTo(bytes, CV_8U, 255.0);
    bytes.setTo(0, taken | dropped);
    result.instanceMask.setTo(next, inside);
    result.allInstances.push_back(next);
    result.softMasks.push_back(bytes);
    ++next;
  }
  return result;
}

// One frame of a video pass, at the masks' size: `keep` looks at it and says whether the
// cuts made on an earlier frame still hold there (else its objects are cut afresh); the cuts
// the frame's instances were made with are kept in `cuts` for the next one.
template <typename Keep>
std::optional<Instances> nextInstances(const cv::Mat& image, std::vector<SmallCut>& cuts, Keep keep,
                                       bool still = false) {
  segmodels::loadNetworks();
  if (image.empty()) return std::nullopt;
  try {
    const cv::Mat bgr = segmodels::shrunkBgr(image, maskSize(image.size()));
    if (!keep(bgr)) cuts.clear();
    return instancesOf(bgr, image.size(), cuts, &cuts, still);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Over a video pass the detector runs on the cadence's frames only. On the frames between, its
// objects stand where they stood and the picture around them barely changed (else the cadence
// would have looked again): a person is still drawn on their crop every frame, while another
// object keeps its GrabCut answer, whose outline the guided filter moves onto this frame's
// edges. The regions watched for change are the ones those cuts are made from.
class ModelInstanceSegmentation final : public InstanceSegmentation {
 public:
  std::optional<Instances> next(const cv::Mat& image) override {
    return nextInstances(image, cuts_, [&](const cv::Mat& bgr) {
      const auto objects = cadence_.objects(bgr, kMinScore, regions_);
      regions_.clear();
      for (const auto& d : objects)
        regions_.push_back(d.label == segmodels::kPerson ? segmodels::personCrop(bgr.size(), d.box)
                                                         : grabRegion(bgr.size(), d.box));
      return !cadence_.detected();
    });
  }

 private:
  segmodels::DetectorCadence cadence_;
  std::vector<cv::Rect> regions_;  // where the last detection's objects are cut from
  std::vector<SmallCut> cuts_;     // their cuts, made on the detection's own frame
};

// Beside a person pass, which runs the detector on its own cadence and carries its objects to
// the frames between, this pass runs no cadence of its own: a frame the objects were carried to
// keeps their cuts, as the instance pass's own frames between detections do, and a frame the
// detector looked at again gets fresh ones.
class InstancesAfterPeople final : public InstanceSegmentation {
 public:
  explicit InstancesAfterPeople(bool still) : still_(still) {}
  std::optional<Instances> next(const cv::Mat& image) override {
    return nextInstances(
        image, cuts_, [](const cv::Mat& bgr) { return segmodels::carriedFor(bgr); }, still_);
  }

 private:
  bool still_;                  // a photo: its people get the finer matte
  std::vector<SmallCut> cuts_;  // the cuts of the objects of the latest detection
};

}  // namespace

std::unique_ptr<InstanceSegmentation> instanceSegmentation() {
  return std::make_unique<ModelInstanceSegmentation>();
}

std::unique_ptr<InstanceSegmentation> instancesAfterPeople(bool still) {
  return std::make_unique<InstancesAfterPeople>(still);
}

std::optional<Instances> foregroundInstances(const cv::Mat& image) {
  segmodels::loadNetworks();
  if (image.empty()) return std::nullopt;
  try {
    // The network's own person mattes, as a video pass's: video object mode analyses its pick
    // frame this way and must find there what its search pass finds.
    return instancesOf(segmodels::shrunkBgr(image, maskSize(image.size())), image.size(), {},
                       nullptr, false);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace tv::analyses
