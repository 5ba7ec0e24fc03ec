#include "vision/pixels.h"

#include <opencv2/imgproc.hpp>

namespace tv {

cv::Mat greyOf(const cv::Mat& image) {
  cv::Mat grey;
  if (image.channels() == 4)
    cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
  else if (image.channels() == 3)
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  else
    grey = image;
  if (grey.depth() != CV_8U) grey.convertTo(grey, CV_8U);
  return grey;
}

cv::Mat bgrOf(const cv::Mat& image) {
  if (image.type() == CV_8UC3) return image;
  cv::Mat bgr;
  if (image.type() == CV_8UC4)
    cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
  else if (image.type() == CV_8UC1)
    cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
  else
    image.convertTo(bgr, CV_8UC3);
  return bgr;
}

double overlap(const cv::Rect2d& a, const cv::Rect2d& b) {
  double inner = (a & b).area();
  double outer = a.area() + b.area() - inner;
  return outer > 0 ? inner / outer : 0;
}

}  // namespace tv
