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
  cv::Size analysis;  // the size the analyses see the frames at (analysisSize)
  long total = 1;       // expected frame count, at least 1
  double pickTime = 0;  // "object" mode: the instant the point refers to
};

// The output size for an upright source size and a longest side: scaled down (never up),
// each half rounded away from zero, so 641 x 361 gives 642 x 362.
cv::Size outputSize(cv::Size2d source, double maxSide);

// The plan from --start, --end, --max and --at for a source.
VideoPlan planVideo(const CommandLine& args, cv::Size2d size, double duration, double fps,
                     double begins = 0);

// The longer side below which the analyses lose what they look for: the detector and the
// person network work at 512 and 256 pixels, and a person a few pixels tall is no person.
constexpr double kLeastAnalysisSide = 512;

// The size the analyses see the frames at: the output size, so that no work goes into detail
// the file cannot keep, but never below kLeastAnalysisSide on the longer side (or the source's
// own size when that is smaller); the matte is scaled to the output afterwards.
cv::Size analysisSize(cv::Size2d source, cv::Size output);

// The person and instance analyses draw their mattes at most this long on the longer side;
// a larger frame would only be shrunk again inside them.
constexpr int kSegmentationSide = 1024;

// The size person and subject mattes are analysed at: `analysis` reduced (keeping its aspect)
// to at most kSegmentationSide on its longer side.
cv::Size segmentationSize(cv::Size analysis);

// The frame as the analyses see it: reduced to `size` when that is smaller, otherwise the
// frame itself.
cv::Mat forAnalysis(const cv::Mat& frame, cv::Size size);

// The segmenter's patience for a frame rate: about one second of frames, at least 8.
int patienceFor(double fps);

// Runs the command; returns after the done event, throws a Failure otherwise.
void runVideo(const CommandLine& args);

}  // namespace tv
