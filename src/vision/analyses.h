// The analyses behind the vision seam, one per file (faces, landmarks, registration, tracking,
// person segmentation, instances, salient objects). Only vision.cpp and the tests of the analyses
// include this.
#pragma once

#include "vision/vision.h"

namespace tv::analyses {

std::vector<FaceObservation> faceRectangles(const cv::Mat& image, double smallest = 0);
std::vector<FaceObservation> faceLandmarks(const cv::Mat& image);
std::future<std::vector<FaceObservation>> faceLandmarksAhead(const cv::Mat& image);
std::optional<cv::Matx33f> homography(const cv::Mat& reference, const cv::Mat& current);
void homographyAhead(const cv::Mat& next);
std::optional<cv::Matx33f> homographyNear(const cv::Mat& reference, const cv::Mat& current,
                                          double reach, const cv::Mat& where = cv::Mat());
NearRegistration registeredNear(const cv::Mat& reference, const cv::Mat& current, double reach,
                                const cv::Mat& where, bool look);
std::optional<cv::Point2d> translation(const cv::Mat& reference, const cv::Mat& current);
std::unique_ptr<ObjectTracking> objectTracking(const cv::Rect2d& start);
std::unique_ptr<ObjectTracking> pointTracking(const cv::Rect2d& start);
std::unique_ptr<PersonSegmentation> personSegmentation(bool still = false);
std::optional<Instances> foregroundInstances(const cv::Mat& image);
std::unique_ptr<InstanceSegmentation> instanceSegmentation();
std::unique_ptr<InstanceSegmentation> instancesAfterPeople(bool still = false);
std::optional<Instances> salientObjects(const cv::Mat& image, const cv::Mat& known);
cv::Mat objectAt(const cv::Mat& image, Point at);

}  // namespace tv::analyses
