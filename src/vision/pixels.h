// Pixel helpers the analyses share: the picture in the form an analysis wants it, and the
// overlap of two rectangles.
#pragma once

#include <opencv2/core.hpp>

namespace tv {

// The 8-bit grey picture of a BGRA, BGR or grey image (the image itself when it already is).
cv::Mat greyOf(const cv::Mat& image);

// The image as 8-bit BGR (a view when it already is).
cv::Mat bgrOf(const cv::Mat& image);

// Intersection over union; 0 when both are empty.
double overlap(const cv::Rect2d& a, const cv::Rect2d& b);

}  // namespace tv
