// A vision that finds nothing at all; test doubles derive from it and script only the analyses
// their test is about.
#pragma once

#include "vision/vision.h"

namespace tvtest {

class BlankVision : public tv::Vision {
 public:
  std::vector<tv::FaceObservation> faceRectangles(const cv::Mat&) override { return {}; }
  std::vector<tv::FaceObservation> faceLandmarks(const cv::Mat&) override { return {}; }
  std::optional<cv::Matx33f> homography(const cv::Mat&, const cv::Mat&) override { return {}; }
  std::optional<cv::Point2d> translation(const cv::Mat&, const cv::Mat&) override { return {}; }
  std::unique_ptr<tv::ObjectTracking> objectTracking(const cv::Rect2d&) override { return nullptr; }
  std::unique_ptr<tv::PersonSegmentation> personSegmentation(bool) override { return nullptr; }
  std::optional<tv::Instances> foregroundInstances(const cv::Mat&) override { return {}; }
  std::optional<tv::Instances> salientObjects(const cv::Mat&, const cv::Mat&) override {
    return {};
  }
  cv::Mat objectAt(const cv::Mat&, tv::Point) override { return {}; }
};

}  // namespace tvtest
