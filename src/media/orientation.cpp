#include "media/orientation.h"

#include <opencv2/core.hpp>

namespace tv {

cv::Mat upright(const cv::Mat& decoded, int orientation) {
  cv::Mat turned, flipped;
  switch (orientation) {
    case 2:
      cv::flip(decoded, turned, 1);
      return turned;
    case 3:
      cv::rotate(decoded, turned, cv::ROTATE_180);
      return turned;
    case 4:
      cv::flip(decoded, turned, 0);
      return turned;
    case 5:
      cv::transpose(decoded, turned);
      return turned;
    case 6:
      cv::rotate(decoded, turned, cv::ROTATE_90_CLOCKWISE);
      return turned;
    case 7:
      cv::flip(decoded, flipped, -1);
      cv::transpose(flipped, turned);
      return turned;
    case 8:
      cv::rotate(decoded, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
      return turned;
    default:
      return decoded;
  }
}

}  // namespace tv
