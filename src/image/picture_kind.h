// A cheap look at a picture that lets the image command's "auto" mode choose its method.
#pragma once

#include <opencv2/core/mat.hpp>

namespace tv {

struct PictureKind {
  bool transparent = false;  // more than 0.5 % of the pixels have alpha below 250
  bool plainBorder = false;  // more than 60 % of the border within 25 levels of its median
  bool fewColours = false;   // fewer than 25 colour cells hold 94 % of the pixels
};

// Examines a copy of the BGRA picture at most 384 pixels on its longer side (at least 2 x 2).
PictureKind pictureKind(const cv::Mat& picture);

// The size of the copy pictureKind examines for a picture of the given size.
cv::Size pictureKindSize(cv::Size picture);

}  // namespace tv
