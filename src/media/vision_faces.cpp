// Face rectangles, landmarks, registration and tracking: not built yet. Each refuses to run
// rather than answer "nothing", so that no caller mistakes a missing model for "no-face".
#include "media/analyses.h"
#include "media/models.h"

namespace tv::analyses {

std::vector<FaceObservation> faceRectangles(const cv::Mat&) {
  failModel("face rectangles", "not available in this build");
}
std::vector<FaceObservation> faceLandmarks(const cv::Mat&) {
  failModel("face landmarks", "not available in this build");
}
std::optional<cv::Matx33f> homography(const cv::Mat&, const cv::Mat&) {
  failModel("registration", "not available in this build");
}
std::optional<cv::Point2d> translation(const cv::Mat&, const cv::Mat&) {
  failModel("registration", "not available in this build");
}
std::unique_ptr<ObjectTracking> objectTracking(const cv::Rect2d&) {
  failModel("object tracking", "not available in this build");
}

}  // namespace tv::analyses
