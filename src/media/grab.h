// Single frames of a video at chosen instants, for commands that look at a few moments of a long
// file instead of decoding all of it.
#pragma once

#include "media/convert.h"
#include "media/ffmpeg.h"
#include "media/seek.h"
#include "media/source.h"

#include <opencv2/core/mat.hpp>

#include <functional>
#include <optional>
#include <vector>

namespace tv {

// How far from the requested time a grabbed frame may lie, in seconds.
constexpr double kGrabTolerance = 0.5;

// Holds the open file and decoder between grabs; each grab seeks, so the order of the requested
// times does not matter and the cost does not grow with the length of the file.
class FrameGrabber {
 public:
  // `maxSide` bounds the longer side of the grabbed frames (scaled down, never up); the decoder
  // runs on `decoderThreads` threads (0: one per core).
  FrameGrabber(const Source& source, double maxSide, int decoderThreads = 0);

  // The upright 8-bit BGRA frame whose presentation time is nearest `seconds` (on the source's
  // timeline), or nothing when no frame lies within kGrabTolerance or the file cannot be read.
  std::optional<cv::Mat> grab(double seconds);

 private:
  // Seeks to the last key frame at or before `seconds`, or to the start of the file.
  bool seekBefore(double seconds);
  // The next packet into packet_: those the seek read first, then the file's.
  bool nextPacket();
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
  BgraConverter converter_{1};  // grabs run side by side: one thread each
  bool fromStart_ = false;  // the last seek went to the start of the file, not by time
  Landing landing_;
};

// Grabs the frames at `times` (see FrameGrabber::grab) and hands each to `visit` on the calling
// thread, in the order of `times`, as soon as it and those before it are ready; a time without
// a frame is left out. The grabs run on worker threads, one grabber and one decoder thread
// each, so that the caller's work on a frame overlaps the decoding of the next ones.
void grabEach(const Source& source, const std::vector<double>& times, double maxSide,
              const std::function<void(cv::Mat& frame)>& visit);

}  // namespace tv
