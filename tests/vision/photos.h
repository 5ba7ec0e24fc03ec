// Real photos and their annotations from Debian packages, for the tests of the analyses:
// dlib's example faces with 68-point annotations (libdlib19.1), scikit-image's and OpenCV's
// sample pictures (python3-skimage, opencv-doc), matplotlib's grace_hopper.jpg.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tvtest {

extern const char* const kDlibFaces;    // folder of dlib's example faces
extern const char* const kJuiceFrames;  // folder of dlib's juice-box clip (frame_000100.jpg ...)

// One annotated face: the box of dlib's detector and the 68 points, pixels, top-left origin.
struct AnnotatedFace {
  cv::Rect2d box;
  std::vector<cv::Point2d> parts;  // empty when the file has no landmarks
};

struct AnnotatedPhoto {
  std::string path;
  std::vector<AnnotatedFace> faces;
};

// The photos of one of dlib's annotation files ("training_with_face_landmarks.xml", ...);
// empty when it is not installed.
std::vector<AnnotatedPhoto> annotatedPhotos(const std::string& xmlName);

// A picture as 8-bit BGRA, or an empty matrix when the file is missing.
cv::Mat bgraPhoto(const std::string& path);

// Intersection over union.
double iou(const cv::Rect2d& a, const cv::Rect2d& b);

// A normalised lower-left rectangle as pixels with the origin at the top left.
cv::Rect2d topLeftPixels(const cv::Rect2d& normalised, cv::Size size);

}  // namespace tvtest
