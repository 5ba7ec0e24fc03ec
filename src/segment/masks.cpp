#include "segment/masks.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace tv {

cv::Mat grey(const cv::Mat& image) {
  if (image.empty()) return {};
  cv::Mat eight = image;
  if (image.depth() != CV_8U) image.convertTo(eight, CV_8U);
  // Copied: an analysis may keep and update the buffer it answered with (a person matte carried
  // from frame to frame), and a matte must not change after it was handed out.
  if (eight.channels() == 1) return eight.data == image.data ? eight.clone() : eight;
  // OpenCV keeps colour as B, G, R(, A): red, the channel a one-byte mask reads as, is index 2.
  cv::Mat red;
  cv::extractChannel(eight, red, eight.channels() >= 3 ? 2 : 0);
  return red;
}

cv::Mat fitted(const cv::Mat& mask, cv::Size to) {
  if (mask.empty() || to.width <= 0 || to.height <= 0) return blackMatte(to);
  cv::Mat matte = grey(mask);
  if (matte.size() == to) return matte;
  cv::Mat stretched;
  cv::resize(matte, stretched, to, 0, 0, cv::INTER_LINEAR);
  return stretched;
}

cv::Mat blackMatte(cv::Size size) {
  if (size.width <= 0 || size.height <= 0) return {};
  return cv::Mat(size, CV_8UC1, cv::Scalar(0));
}

}  // namespace tv
