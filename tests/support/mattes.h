// Reading back what the tool wrote: the frames of a matte video.
#pragma once

#include <opencv2/core/mat.hpp>

#include <string>
#include <vector>

namespace tvtest {

// The mattes of a matte video, one byte per pixel (its red channel), in order.
std::vector<cv::Mat> matteFrames(const std::string& path);

}  // namespace tvtest
