// Face rectangles: BlazeFace (see blazeface.h) over the picture's tile pyramid.
#include "vision/faces.h"
#include "vision/analyses.h"

#include <exception>
#include <optional>

namespace tv::analyses {

// Both analyses are called on the frames of one video in time order by the track modes, and
// on a few independent pictures by the others; the detector keeps the answers of tiles whose
// content has not changed and starts afresh on a picture of another size (see Detector).
blazeface::Detector& faceDetector() {
  static blazeface::Detector shared;
  return shared;
}

// A face box in pixels (top-left origin) as the analyses' normalised lower-left rectangle.
cv::Rect2d normalisedFaceBox(const cv::Rect2d& box, cv::Size size) {
  return {box.x / size.width, 1 - (box.y + box.height) / size.height, box.width / size.width,
          box.height / size.height};
}

std::vector<FaceObservation> faceRectangles(const cv::Mat& image, double smallest) {
  std::vector<FaceObservation> faces;
  try {
    for (const blazeface::Face& face : faceDetector().detect(image, smallest))
      faces.push_back({normalisedFaceBox(face.box, image.size()), std::nullopt});
  } catch (const std::exception&) {  // cv::Exception included
    faces.clear();
  }
  return faces;
}

}  // namespace tv::analyses
