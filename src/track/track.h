// The track command: follows the camera, a face, its landmarks, a planar quad or a user box
// through a time range and writes one sample per frame to the --output track file.
#pragma once

#include "media/source.h"

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace tv {

// Entry point of the `track` command.
void runTrack();

// The range every mode works in, in seconds; fixed once before any frame is decoded.
struct TrackRange {
  double start = 0;   // first instant of the range
  double end = 0;     // the range ends before this instant
  double at = 0;      // the reference instant: where the user placed the point, box or quad
  long expected = 1;  // frames expected in the range, only the denominator of progress
};

// The range from --start, --end and --at for a video of this length and rate.
TrackRange trackRange(double duration, double fps);

// round((min(duration, end) - start) * fps), at least 1 (also when the product is not finite).
long expectedFrames(double duration, double fps, double start, double end);

// Progress for the application: the first report always goes out, later ones at most every
// 0.4 s of wall-clock time, so a fast pass does not flood the pipe.
class ProgressThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  // The fraction to emit now (at most 1), or nothing while the last one is still recent.
  std::optional<double> admit(double fraction, Clock::time_point now);

 private:
  std::optional<Clock::time_point> last_;
};

// What a mode gets from the driver.
struct TrackJob {
  const Source& source;
  TrackRange range;
  std::function<void(double fraction)> report;
};

// What a mode hands back: one sample per frame (element 0 the time), the envelope times and
// the number of frames in which the target was really found.
struct TrackResult {
  std::vector<std::vector<double>> samples;
  double start = 0;  // the first sampled frame's time
  double end = 0;    // the last sampled frame's time plus one frame period
  long seen = 0;
};

// The track file {"start", "end", "fps", "samples"} as compact JSON, or nothing when a value
// cannot be written as JSON (a non-finite number).
std::optional<std::string> trackFileText(const TrackResult& result, double fps);

}  // namespace tv
