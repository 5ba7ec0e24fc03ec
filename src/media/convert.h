// Decoded frames of any pixel format to 8-bit BGRA, scaled in the same step when a smaller size
// is asked for, with the tool's colour habits: untagged video is BT.709 from 720 lines up and
// BT.601 below, and the full-range formats and tags are honoured.
#pragma once

#include "media/ffmpeg.h"

#include <opencv2/core/mat.hpp>

namespace tv {

class BgraConverter {
 public:
  // swscale runs on `threads` threads (0: as many as it likes).
  explicit BgraConverter(int threads = 0) : threads_(threads) {}

  // The frame as BGRA at `size` (the frame's own when empty or larger). The answer is a view
  // of a buffer that is reused while nobody else holds it: a caller that keeps a frame keeps
  // it intact, and one that keeps none touches no fresh memory per frame. Rows are padded
  // (swscale writes whole blocks past the end of a row), so the view is not continuous.
  cv::Mat convert(const AVFrame* frame, cv::Size size = {});

 private:
  void configure(const AVFrame* frame, cv::Size size);

  int threads_;
  ScalerPtr scaler_;
  cv::Mat buffer_;
  AVPixelFormat format_ = AV_PIX_FMT_NONE;
  int width_ = 0, height_ = 0;
  cv::Size size_;
  AVColorRange range_ = AVCOL_RANGE_UNSPECIFIED;
  AVColorSpace space_ = AVCOL_SPC_UNSPECIFIED;
};

}  // namespace tv
