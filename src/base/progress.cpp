#include "base/progress.h"

#include <algorithm>
#include <cmath>

namespace tv {

long expectedFrames(double duration, double fps, double start, double end) {
  double frames = std::round((std::min(duration, end) - start) * fps);
  // A non-finite length or rate gives no usable count; 1 keeps progress a plain fraction.
  if (!std::isfinite(frames) || frames < 1) return 1;
  if (frames > 1e15) return static_cast<long>(1e15);
  return static_cast<long>(frames);
}

std::optional<double> ProgressThrottle::admit(double fraction, Clock::time_point now) {
  if (last_ && std::chrono::duration<double>(now - *last_).count() <= 0.4) return std::nullopt;
  last_ = now;
  return std::min(fraction, 1.0);
}

}  // namespace tv
