#include "fake_vision.h"

namespace tvtest {

int frameNumber(const cv::Mat& frame) {
  const cv::Vec4b& pixel = frame.at<cv::Vec4b>(0, 0);
  return pixel[0] + 256 * pixel[1];
}

cv::Mat numberedFrame(int number, cv::Size size) {
  cv::Mat frame(size, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  frame.at<cv::Vec4b>(0, 0) = cv::Vec4b(number % 256, number / 256, 0, 255);
  return frame;
}

}  // namespace tvtest
