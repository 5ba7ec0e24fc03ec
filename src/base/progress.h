// Progress lines for the application: how much of a range's frames is done, and how often that
// may be said.
#pragma once

#include <chrono>
#include <optional>

namespace tv {

// round((min(duration, end) - start) * fps), at least 1 (also when the product is not finite):
// the frames a range is expected to hold, only ever the denominator of progress.
long expectedFrames(double duration, double fps, double start, double end);

// The first report always goes out, later ones at most every 0.4 s of wall-clock time, so a
// fast pass does not flood the pipe.
class ProgressThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  // The fraction to emit now (at most 1), or nothing while the last one is still recent.
  std::optional<double> admit(double fraction, Clock::time_point now = Clock::now());

 private:
  std::optional<Clock::time_point> last_;
};

}  // namespace tv
