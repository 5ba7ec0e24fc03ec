// Single frames of a video at chosen instants, for commands that look at a few moments of a long
// file instead of decoding all of it.
#pragma once

#include "media/ffmpeg.h"
#include "media/source.h"

#include <opencv2/core/mat.hpp>

#include <optional>

namespace tv {

// How far from the requested time a grabbed frame may lie, in seconds.
constexpr double kGrabTolerance = 0.5;

// Holds the open file and decoder between grabs; each grab seeks, so the order of the requested
// times does not matter and the cost does not grow with the length of the file.
class FrameGrabber {
 public:
  // `maxSide` bounds the longer side of the grabbed frames (scaled down, never up).
  FrameGrabber(const Source& source, double maxSide);

  // The upright 8-bit BGRA frame whose presentation time is nearest `seconds` (on the source's
  // timeline), or nothing when no frame lies within kGrabTolerance or the file cannot be read.
  std::optional<cv::Mat> grab(double seconds);

 private:
  // Seeks to the last key frame at or before `seconds`, or to the start of the file.
  bool seekBefore(double seconds);
  // The display time of the key frame seekBefore lands on, when it has one.
  std::optional<double> keyFrameBefore(double seconds);
  // Decodes from the key frame at or before `start` to the frame for `seconds`.
  std::optional<cv::Mat> decodeFrom(double start, double seconds);
  cv::Mat convert(const AVFrame* frame);

  Source source_;
  double maxSide_;
  FormatPtr format_;
  CodecPtr codec_;
  PacketPtr packet_;
  FramePtr frame_;
  FramePtr best_;
  ScalerPtr scaler_;
  bool fromStart_ = false;  // the last seek went to the start of the file, not by time
};

}  // namespace tv
