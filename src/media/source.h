// The input video: its first video track, how to turn its frames upright, size, length and rate.
#pragma once

#include <opencv2/core/types.hpp>

#include <cstdint>
#include <string>

namespace tv {

// A presentation time as an exact rational of the stream's time base.
struct MediaTime {
  int64_t value = 0;
  int timescaleNum = 1;  // the time base: value * num / den seconds
  int timescaleDen = 1;
  double offset = 0;     // seconds subtracted so that the file's timeline starts at zero
  double seconds() const {
    return static_cast<double>(value) * timescaleNum / timescaleDen - offset;
  }
};

struct Source {
  std::string path;     // the file, as --input gave it
  int track = -1;       // index of the first video stream
  int orientation = 1;  // EXIF code: 1 up, 3 down, 6 right (turn 90° clockwise), 8 left
  cv::Size2d size;      // upright frame size in pixels
  double duration = 0;  // seconds, on the source's timeline; read off the packets when undeclared
  double begins = 0;    // the first frame's time on the timeline (late after an empty edit)
  double fps = 30;      // nominal frame rate; 30 when the file gives no positive one
  cv::Size natural;     // encoded frame size, before turning
  // Seconds of the file's clock taken as time zero: the first timestamp of an MPEG-TS, MPEG-PS
  // or M2TS file, whose clock runs free; 0 for every container with a timeline of its own.
  double origin = 0;
};

// Opens the video file. Fails with FFmpeg's description of a failed open, or "no video track in
// the file".
Source openSource(const std::string& path);

// The orientation code for a display matrix whose first column holds a, b (any common scale):
// the angle atan2(b, a) in whole degrees, reduced to 0..359.
int orientationFromMatrix(double a, double b);

}  // namespace tv
