// A scripted stand-in for the vision analyses, so the trackers' own decisions can be checked
// frame by frame without any model.
#pragma once

#include "vision/vision.h"

#include <functional>
#include <memory>
#include <vector>

namespace tvtest {

// The frame number painted into pixel (0, 0) by numberedFrame(), so scripted answers can tell
// which frame they are looking at even after shrinking.
int frameNumber(const cv::Mat& frame);
cv::Mat numberedFrame(int number, cv::Size size = {64, 48});

class ScriptedTracking final : public tv::ObjectTracking {
 public:
  using Script = std::function<std::optional<tv::TrackedObject>(const cv::Mat&)>;
  using SeekScript =
      std::function<std::optional<tv::TrackedObject>(const cv::Mat&, const cv::Rect2d&)>;
  explicit ScriptedTracking(Script script, SeekScript seeking = nullptr)
      : script_(std::move(script)), seeking_(std::move(seeking)) {}
  std::optional<tv::TrackedObject> next(const cv::Mat& frame) override { return script_(frame); }
  std::optional<tv::TrackedObject> seek(const cv::Mat& frame, const cv::Rect2d& expected) override {
    return seeking_ ? seeking_(frame, expected) : std::nullopt;
  }

 private:
  Script script_;
  SeekScript seeking_;
};

class FakeVision final : public tv::Vision {
 public:
  FakeVision() { tv::useVisionForTesting(this); }
  ~FakeVision() override { tv::useVisionForTesting(nullptr); }

  std::function<std::vector<tv::FaceObservation>(const cv::Mat&)> faces;
  std::function<std::optional<cv::Matx33f>(const cv::Mat&, const cv::Mat&)> warp;
  std::function<std::optional<cv::Point2d>(const cv::Mat&, const cv::Mat&)> shift;
  // Makes the tracker for a start rectangle; every start rectangle asked for is kept.
  std::function<ScriptedTracking::Script(const cv::Rect2d&)> tracker;
  // Answers the trackers' searches for a lost target (none when unset).
  ScriptedTracking::SeekScript seeker;
  // Answers the registrations near an estimate, given whether the look was asked for (by default
  // the answer is warp's, not by the look); every `look` asked is kept.
  std::function<tv::NearRegistration(bool look)> near;
  std::vector<bool> nearLooks;
  std::vector<cv::Rect2d> trackerStarts;
  // How many of those were for trackers read only at their centres.
  int pointTrackers = 0;
  int homographyCalls = 0, translationCalls = 0;

  std::vector<tv::FaceObservation> faceRectangles(const cv::Mat& image) override {
    return faces ? faces(image) : std::vector<tv::FaceObservation>{};
  }
  std::vector<tv::FaceObservation> faceLandmarks(const cv::Mat& image) override {
    return faceRectangles(image);
  }
  std::optional<cv::Matx33f> homography(const cv::Mat& reference, const cv::Mat& current) override {
    ++homographyCalls;
    return warp ? warp(reference, current) : std::nullopt;
  }
  tv::NearRegistration registeredNear(const cv::Mat& reference, const cv::Mat& current,
                                      double reach, const cv::Mat& where, bool look) override {
    nearLooks.push_back(look);
    return near ? near(look) : Vision::registeredNear(reference, current, reach, where, look);
  }
  std::optional<cv::Point2d> translation(const cv::Mat& reference,
                                         const cv::Mat& current) override {
    ++translationCalls;
    return shift ? shift(reference, current) : std::nullopt;
  }
  std::unique_ptr<tv::ObjectTracking> objectTracking(const cv::Rect2d& start) override {
    trackerStarts.push_back(start);
    if (!tracker)
      return std::make_unique<ScriptedTracking>(
          [](const cv::Mat&) { return std::optional<tv::TrackedObject>{}; });
    return std::make_unique<ScriptedTracking>(tracker(start), seeker);
  }
  std::unique_ptr<tv::ObjectTracking> pointTracking(const cv::Rect2d& start) override {
    ++pointTrackers;
    return objectTracking(start);
  }
  std::unique_ptr<tv::PersonSegmentation> personSegmentation(bool) override { return nullptr; }
  std::optional<tv::Instances> foregroundInstances(const cv::Mat&) override { return std::nullopt; }
  std::optional<tv::Instances> salientObjects(const cv::Mat&, const cv::Mat&) override {
    return std::nullopt;
  }
  cv::Mat objectAt(const cv::Mat&, tv::Point) override { return {}; }
};

}  // namespace tvtest
