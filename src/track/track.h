// The track command: follows the camera, a face, its landmarks, a planar quad or a user box
// through a time range and writes one sample per frame to the --output track file.
#pragma once

#include "base/options.h"
#include "base/progress.h"
#include "media/source.h"
#include "track/series.h"

#include <functional>
#include <optional>
#include <vector>

namespace tv {

// Entry point of the `track` command.
void runTrack(const CommandLine& args);

// The range every mode works in, in seconds; fixed once before any frame is decoded.
struct TrackRange {
  double start = 0;   // first instant of the range
  double end = 0;     // the range ends before this instant
  double at = 0;      // the reference instant: where the user placed the point, box or quad
  long expected = 1;  // frames expected in the range, only the denominator of progress
};

// The range from --start, --end and --at for a video of this length and rate whose first frame
// comes at `begins` (frames are only expected from there).
TrackRange trackRange(const CommandLine& args, double duration, double fps, double begins = 0);

// What a mode gets from the driver.
struct TrackJob {
  const CommandLine& args;  // the mode's own options (--point, --box, --quad, --sign)
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

// The samples [t, cx, cy, w, h, found, extra values...] of a box series (times, boxes and the
// values of `extra` rounded to 5 decimals; extra[i][k] is the i-th extra value of frame k),
// with the envelope times and the count of frames where `found` holds a box.
TrackResult boxSamples(const std::vector<double>& times, const std::vector<Box>& boxes,
                       const std::vector<std::optional<Box>>& found, double fps,
                       const std::vector<std::vector<double>>& extra = {});

// The track file {"start", "end", "fps", "samples"} as compact JSON, or nothing when a value
// cannot be written as JSON (a non-finite number).
std::optional<std::string> trackFileText(const TrackResult& result, double fps);

}  // namespace tv
