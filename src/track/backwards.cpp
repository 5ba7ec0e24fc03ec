#include "track/backwards.h"

#include "media/frames.h"
#include "media/shrink.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace tv {

void eachChunkBackwards(const Source& source, double from, double before, double side,
                        const std::function<void(const cv::Mat& small, double time)>& visitor,
                        const std::function<void()>& chunkDone, ChunkPixels pixels) {
  const bool grey = pixels == ChunkPixels::grey;
  const double seconds = grey ? kGreyChunkSeconds : 2;  // the same bytes either way
  double chunkEnd = before;
  while (true) {
    const double chunkStart = std::max(from, chunkEnd - seconds);
    std::vector<std::pair<double, cv::Mat>> chunk;
    // The reader's half-open bounds make consecutive chunks meet without reading a frame twice.
    eachFrame(
        source, chunkStart, chunkEnd,
        [&](const cv::Mat& frame, const MediaTime& time) {
          if (grey) {
            cv::Mat kept;
            cv::cvtColor(frame, kept, cv::COLOR_BGRA2GRAY);
            chunk.emplace_back(time.seconds(), std::move(kept));
          } else {
            chunk.emplace_back(time.seconds(), frame);  // delivered small, and never reused
          }
          return true;
        },
        smallSize(source, side));
    for (auto it = chunk.rbegin(); it != chunk.rend(); ++it) visitor(it->second, it->first);
    const bool empty = chunk.empty();
    chunk.clear();
    chunkDone();
    if (empty || !(chunkStart > from + 0.0001)) return;
    chunkEnd = chunkStart;
  }
}

cv::Size smallSize(const Source& source, double side) {
  return shrunkSize(cv::Size(cvRound(source.size.width), cvRound(source.size.height)), side);
}

double forwardPassStart(const Source& source, double start, double at, double end) {
  const double from = std::max(start, at - 0.5 / source.fps);
  // Only an instant within a frame and a half of the end of the range or of the file can miss
  // the last frame: an `at` in the last half frame before `end`, or past it.
  const double lastEnd = std::min(source.duration, end);
  if (!(from + 1.5 / source.fps >= lastEnd)) return from;
  std::optional<double> last;
  const double lookFrom = std::max(start, std::min(from, end) - 2);
  // Only the times are looked at: the frames come as small as they can.
  eachFrame(
      source, lookFrom, end,
      [&](const cv::Mat&, const MediaTime& time) {
        last = time.seconds();
        return true;
      },
      cv::Size(16, 16));
  return last && *last < from ? *last : from;
}

}  // namespace tv
