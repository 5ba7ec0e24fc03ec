// Face mode: the box of the face nearest --point, linked from frame to frame in both directions.
#pragma once

#include "track/series.h"
#include "track/track.h"

#include <optional>
#include <vector>

namespace tv {

TrackResult trackFace(const TrackJob& job);

// The frame index whose time is closest to `at` (earliest on ties); times must not be empty.
size_t nearestTime(const std::vector<double>& times, double at);

// Among frames with at least one detection, the one with the smallest index distance to
// `reference` (the earlier on ties); nothing when no frame has one.
template <typename Lists>
std::optional<size_t> anchorFrame(const Lists& perFrame, size_t reference) {
  std::optional<size_t> best;
  for (size_t i = 0; i < perFrame.size(); ++i) {
    if (perFrame[i].empty()) continue;
    size_t gap = i > reference ? i - reference : reference - i;
    size_t bestGap = best ? (*best > reference ? *best - reference : reference - *best) : 0;
    if (!best || gap < bestGap) best = i;
  }
  return best;
}

// The position of the box whose centre is nearest the point (the first on ties).
size_t nearestToPoint(const std::vector<Box>& boxes, double px, double py);

// Links the face from the anchor box over the frames in `order`: best overlap above 0.1, else
// the nearest centre within 1.2 x the larger side of the last found box; gives up after more
// than trunc(3 x fps) misses in a row. Fills chain at the linked frames.
void walkFace(const std::vector<std::vector<Box>>& detections, const std::vector<size_t>& order,
              const Box& anchor, double fps, std::vector<std::optional<Box>>& chain);

}  // namespace tv
