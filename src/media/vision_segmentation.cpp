// Person segmentation: the selfie network on the whole frame for people that fill a good part
// of it, and on a crop around every smaller person the detector finds, pasted back. On a wide
// shot the whole-frame pass only gives blobs for small figures; on their own crops the same
// network draws clean silhouettes.
#include "media/analyses.h"
#include "media/segmodels.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tv::analyses {
namespace {

// The matte is made at most this long on its longer side; callers fit it to their image.
constexpr int kMatteSide = 1024;
// Person boxes from the detector count from this score. Measured on the OpenCV and
// scikit-image sample photos: people score 0.3-0.8, and the strongest non-person peaks on
// the same photos stay below 0.3 for the person class.
constexpr float kPersonScore = 0.3f;
// A person whose box is at least this tall (relative to the frame) is drawn well by the
// whole-frame pass; smaller ones get a crop of their own.
constexpr double kLargePerson = 0.6;
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

// The person matte (CV_32FC1, 0..1) of one BGR image at its own size.
cv::Mat personMatte(const cv::Mat& bgr) {
  cv::Mat whole = segmodels::personProbability(bgr);
  if (whole.empty()) return {};
  cv::Mat matte;
  cv::resize(whole, matte, bgr.size(), 0, 0, cv::INTER_LINEAR);

  std::vector<cv::Rect2f> small;
  for (const auto& d : segmodels::detectObjects(bgr, kPersonScore)) {
    if (d.label != segmodels::kPerson) continue;
    if (d.box.height >= kLargePerson * bgr.rows) continue;
    small.push_back(d.box);
  }
  if (small.empty()) return matte;

  // Inside the crops the crops' answer replaces the whole-frame blobs; overlapping crops
  // (people side by side) keep the higher value.
  cv::Mat cropped(bgr.size(), CV_32F, cv::Scalar(0));
  cv::Mat covered(bgr.size(), CV_8U, cv::Scalar(0));
  for (const auto& box : small) {
    segmodels::CropMatte crop = segmodels::personInBox(bgr, box);
    if (crop.probability.empty()) continue;
    cv::Mat target = cropped(crop.region);
    cv::max(target, crop.probability, target);
    covered(crop.region).setTo(255);
  }
  cropped.copyTo(matte, covered);
  return matte;
}

class ModelPersonSegmentation final : public PersonSegmentation {
 public:
  cv::Mat next(const cv::Mat& image) override {
    try {
      if (image.empty()) return {};
      cv::Mat bgr = segmodels::bgrOf(image);
      cv::Size size = matteSize(bgr.size());
      if (size != bgr.size()) {
        cv::Mat resized;
        cv::resize(bgr, resized, size, 0, 0, cv::INTER_AREA);
        bgr = resized;
      }
      cv::Mat matte = personMatte(bgr);
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
    } catch (const cv::Exception&) {
      return {};
    }
  }

 private:
  cv::Mat previous_;  // the last frame's matte, CV_32FC1 0..1
};

}  // namespace

std::unique_ptr<PersonSegmentation> personSegmentation() {
  return std::make_unique<ModelPersonSegmentation>();
}

}  // namespace tv::analyses
