#include "track/backwards.h"

#include "media/frames.h"
#include "media/shrink.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace tv {

void eachChunkBackwards(const Source& source, double from, double before, double side,
                        const std::function<void(const cv::Mat& small, double time)>& visitor,
                        const std::function<void()>& chunkDone) {
  double chunkEnd = before;
  while (true) {
    const double chunkStart = std::max(from, chunkEnd - 2);
    std::vector<std::pair<double, cv::Mat>> chunk;
    // The reader's half-open bounds make consecutive chunks meet without reading a frame twice.
    eachFrame(source, chunkStart, chunkEnd, [&](const cv::Mat& frame, const MediaTime& time) {
      chunk.emplace_back(time.seconds(), shrunk(frame, side));
      return true;
    });
    for (auto it = chunk.rbegin(); it != chunk.rend(); ++it) visitor(it->second, it->first);
    const bool empty = chunk.empty();
    chunk.clear();
    chunkDone();
    if (empty || !(chunkStart > from + 0.0001)) return;
    chunkEnd = chunkStart;
  }
}

double forwardPassStart(const Source& source, double start, double at, double end) {
  const double from = std::max(start, at - 0.5 / source.fps);
  // Only an instant within a frame and a half of the end can miss the last frame.
  if (!(from + 1.5 / source.fps >= source.duration)) return from;
  std::optional<double> last;
  eachFrame(source, std::max(start, from - 2), end, [&](const cv::Mat&, const MediaTime& time) {
    last = time.seconds();
    return true;
  });
  return last && *last < from ? *last : from;
}

}  // namespace tv
