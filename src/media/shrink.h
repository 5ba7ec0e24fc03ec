// Small frames for the trackers, and the black image. Mattes are stored with their values
// unchanged (no colour management anywhere); a shrunk frame keeps the look of its frame.
#pragma once

#include <opencv2/core/mat.hpp>

namespace tv {

// The BGRA image scaled down (never up) so that its longer side is at most `side`; each side
// is truncated to whole pixels and at least 2. Fails with "cannot allocate a tracking frame".
cv::Mat shrunk(const cv::Mat& image, double side = 512);

// The size shrunk() gives an image of the given size.
cv::Size shrunkSize(cv::Size size, double side = 512);

// An opaque black BGRA image of the given size.
cv::Mat black(cv::Size size);

}  // namespace tv
