#include "media/shrink.h"

#include "base/events.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tv {

cv::Size shrunkSize(cv::Size size, double side) {
  double W = size.width, H = size.height;
  double scale = std::min(side / std::max(W, H), 1.0);
  if (!(scale >= 0)) scale = 1;  // not-a-number side: leave the size alone
  auto sideOf = [scale](double length) {
    double scaled = std::trunc(length * scale);
    return static_cast<int>(std::max(scaled, 2.0));
  };
  return {sideOf(W), sideOf(H)};
}

cv::Mat shrunk(const cv::Mat& image, double side) {
  cv::Size size = shrunkSize(image.size(), side);
  cv::Mat small;
  try {
    if (size == image.size()) {
      small = image.clone();
    } else {
      // Area averaging when reducing; the minimum of two pixels can mean enlarging a 1-pixel side.
      bool reducing = size.width <= image.cols && size.height <= image.rows;
      cv::resize(image, small, size, 0, 0, reducing ? cv::INTER_AREA : cv::INTER_LINEAR);
    }
  } catch (const cv::Exception&) {
    fail("cannot allocate a tracking frame");
  }
  if (small.empty()) fail("cannot allocate a tracking frame");
  return small;
}

cv::Mat black(cv::Size size) { return cv::Mat(size, CV_8UC4, cv::Scalar(0, 0, 0, 255)); }

}  // namespace tv
