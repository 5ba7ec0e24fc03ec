#include "support/mattes.h"

#include "media/frames.h"
#include "media/source.h"

#include <opencv2/core.hpp>

namespace tvtest {

std::vector<cv::Mat> matteFrames(const std::string& path) {
  std::vector<cv::Mat> frames;
  tv::Source source = tv::openSource(path);
  tv::eachFrame(source, 0, source.duration + 1, [&](const cv::Mat& frame, const tv::MediaTime&) {
    cv::Mat red;
    cv::extractChannel(frame, red, 2);
    frames.push_back(red);
    return true;
  });
  return frames;
}

}  // namespace tvtest
