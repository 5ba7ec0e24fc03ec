// Turning pictures and frames upright by their EXIF orientation code.
#pragma once

#include <opencv2/core/mat.hpp>

namespace tv {

// The decoded frame or picture turned upright according to its EXIF orientation code (1 to 8;
// a video track turns only by 3, 6 or 8).
cv::Mat upright(const cv::Mat& decoded, int orientation);

}  // namespace tv
