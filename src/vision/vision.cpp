#include "vision/vision.h"

#include "vision/analyses.h"

#include <opencv2/imgproc.hpp>

namespace tv {
namespace {

class ModelVision final : public Vision {
 public:
  std::vector<FaceObservation> faceRectangles(const cv::Mat& image) override {
    return analyses::faceRectangles(image);
  }
  std::vector<FaceObservation> faceRectanglesFrom(const cv::Mat& image, double smallest) override {
    return analyses::faceRectangles(image, smallest);
  }
  std::vector<FaceObservation> faceLandmarks(const cv::Mat& image) override {
    return analyses::faceLandmarks(image);
  }
  std::future<std::vector<FaceObservation>> faceLandmarksAhead(const cv::Mat& image) override {
    return analyses::faceLandmarksAhead(image);
  }
  std::optional<cv::Matx33f> homography(const cv::Mat& reference, const cv::Mat& current) override {
    return analyses::homography(reference, current);
  }
  void homographyAhead(const cv::Mat& next) override { analyses::homographyAhead(next); }
  std::optional<cv::Matx33f> homographyNear(const cv::Mat& reference, const cv::Mat& current,
                                            double reach, const cv::Mat& where) override {
    return analyses::homographyNear(reference, current, reach, where);
  }
  NearRegistration registeredNear(const cv::Mat& reference, const cv::Mat& current, double reach,
                                  const cv::Mat& where, bool look) override {
    return analyses::registeredNear(reference, current, reach, where, look);
  }
  std::optional<cv::Point2d> translation(const cv::Mat& reference, const cv::Mat& current) override {
    return analyses::translation(reference, current);
  }
  std::unique_ptr<ObjectTracking> objectTracking(const cv::Rect2d& start) override {
    return analyses::objectTracking(start);
  }
  std::unique_ptr<ObjectTracking> pointTracking(const cv::Rect2d& start) override {
    return analyses::pointTracking(start);
  }
  std::unique_ptr<PersonSegmentation> personSegmentation(bool still) override {
    return analyses::personSegmentation(still);
  }
  std::optional<Instances> foregroundInstances(const cv::Mat& image) override {
    return analyses::foregroundInstances(image);
  }
  std::unique_ptr<InstanceSegmentation> instanceSegmentation() override {
    return analyses::instanceSegmentation();
  }
  std::unique_ptr<InstanceSegmentation> instancesAfterPeople(bool still) override {
    return analyses::instancesAfterPeople(still);
  }
  std::optional<Instances> salientObjects(const cv::Mat& image, const cv::Mat& known) override {
    return analyses::salientObjects(image, known);
  }
  cv::Mat objectAt(const cv::Mat& image, Point at) override {
    return analyses::objectAt(image, at);
  }
};

Vision* replacement = nullptr;

class FrameByFrame final : public InstanceSegmentation {
 public:
  explicit FrameByFrame(Vision& vision) : vision_(vision) {}
  std::optional<Instances> next(const cv::Mat& image) override {
    return vision_.foregroundInstances(image);
  }

 private:
  Vision& vision_;
};

}  // namespace

std::unique_ptr<InstanceSegmentation> Vision::instanceSegmentation() {
  return std::make_unique<FrameByFrame>(*this);
}

std::unique_ptr<InstanceSegmentation> Vision::instancesAfterPeople(bool) {
  return std::make_unique<FrameByFrame>(*this);
}

Vision& vision() {
  static ModelVision real;
  return replacement ? *replacement : real;
}

void useVisionForTesting(Vision* other) { replacement = other; }

cv::Mat scaledMask(const Instances& instances, const std::set<int>& chosen) {
  if (instances.imageSize.empty()) return {};
  cv::Mat combined(instances.imageSize, CV_8UC1, cv::Scalar(0));
  bool any = false;
  for (size_t i = 0; i < instances.allInstances.size() && i < instances.softMasks.size(); ++i) {
    if (!chosen.count(instances.allInstances[i])) continue;
    const cv::Mat& soft = instances.softMasks[i];
    if (soft.empty() || soft.type() != CV_8UC1) continue;
    if (soft.size() == instances.imageSize) {
      cv::max(combined, soft, combined);
    } else {
      cv::Mat fitted;
      cv::resize(soft, fitted, instances.imageSize, 0, 0, cv::INTER_LINEAR);
      cv::max(combined, fitted, combined);
    }
    any = true;
  }
  return any ? combined : cv::Mat(instances.imageSize, CV_8UC1, cv::Scalar(0));
}

}  // namespace tv
