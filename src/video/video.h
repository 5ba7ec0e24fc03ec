// The video command: a time range of the input turned into an H.264 matte video of a person,
// a picked object or the foreground subject.
#pragma once

#include "base/options.h"

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

namespace tv {

// The run settings, fixed before any frame is read.
struct VideoPlan {
  double start = 0;  // seconds
  double end = 0;    // seconds; at most duration + 1
  double maxSide = 1920;
  int width = 2;  // output size: even, at least 2, never larger than the source
  int height = 2;
  long total = 1;       // expected frame count, at least 1
  double pickTime = 0;  // "object" mode: the instant the point refers to
};

// The output size for an upright source size and a longest side: scaled down (never up),
// each half rounded away from zero, so 641 x 361 gives 642 x 362.
cv::Size outputSize(cv::Size2d source, double maxSide);

// The plan from --start, --end, --max and --at for a source.
VideoPlan planVideo(const CommandLine& args, cv::Size2d size, double duration, double fps);

// The frame as the analyses see it: reduced to the output size when that is smaller, so that no
// work goes into detail the file cannot keep; otherwise the frame itself.
cv::Mat forAnalysis(const cv::Mat& frame, cv::Size output);

// The segmenter's patience for a frame rate: about one second of frames, at least 8.
int patienceFor(double fps);

// Runs the command; returns after the done event, throws a Failure otherwise.
void runVideo(const CommandLine& args);

}  // namespace tv
