// Mattes: one byte per pixel (CV_8UC1) at the analysed image's size, 255 = subject, 0 =
// background, values between = soft edge. writeGrey stores them as opaque grey PNGs.
#pragma once

#include <opencv2/core/mat.hpp>

namespace tv {

// The matte an image carries in its red channel (the only channel of a one-byte mask, channel 2
// of BGR/BGRA); any transparency is dropped. Values are copied unchanged.
cv::Mat grey(const cv::Mat& image);

// A vision mask of any size stretched (bilinear, each axis on its own) to `to`, as a matte.
// An empty mask gives an all-black matte of that size.
cv::Mat fitted(const cv::Mat& mask, cv::Size to);

// The all-black matte of a size: nothing is subject.
cv::Mat blackMatte(cv::Size size);

}  // namespace tv
