#include "track/face.h"

#include "base/events.h"
#include "media/frames.h"
#include "vision/vision.h"

#include <cmath>

namespace tv {

size_t nearestTime(const std::vector<double>& times, double at) {
  size_t best = 0;
  for (size_t i = 1; i < times.size(); ++i) {
    if (std::abs(times[i] - at) < std::abs(times[best] - at)) best = i;
  }
  return best;
}

size_t nearestToPoint(const std::vector<Box>& boxes, double px, double py) {
  size_t best = 0;
  double bestDistance = INFINITY;
  for (size_t i = 0; i < boxes.size(); ++i) {
    double d = std::hypot(boxes[i].x - px, boxes[i].y - py);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}

void walkFace(const std::vector<std::vector<Box>>& detections, const std::vector<size_t>& order,
              const Box& anchor, double fps, std::vector<std::optional<Box>>& chain) {
  // Three seconds of frames without a match: the face has left, and a later face in the same
  // place is more likely someone else.
  const double patience = std::trunc(3 * fps);
  Box prev = anchor;
  double misses = 0;
  for (size_t step = 0; step < order.size(); ++step) {
    const size_t k = order[step];
    const auto& faces = detections[k];
    std::optional<Box> accepted;
    if (!faces.empty()) {
      size_t best = 0;
      double bestOverlap = prev.overlap(faces[0]);
      for (size_t i = 1; i < faces.size(); ++i) {
        double o = prev.overlap(faces[i]);
        if (o > bestOverlap) {
          bestOverlap = o;
          best = i;
        }
      }
      if (bestOverlap > 0.1) {
        accepted = faces[best];
      } else {
        size_t nearest = 0;
        double nearestDistance = prev.distance(faces[0]);
        for (size_t i = 1; i < faces.size(); ++i) {
          double d = prev.distance(faces[i]);
          if (d < nearestDistance) {
            nearestDistance = d;
            nearest = i;
          }
        }
        const double gate = 1.2 * std::max(prev.w, prev.h);
        if (nearestDistance < gate) accepted = faces[nearest];
      }
    }
    if (accepted) {
      chain[k] = *accepted;
      prev = *accepted;
      misses = 0;
      continue;
    }
    if (step + 1 == order.size()) break;
    misses += 1;
    if (misses > patience) break;
  }
}

TrackResult trackFace(const TrackJob& job) {
  const auto& chosenPoint = job.args.point;
  if (!chosenPoint) fail("--point is required for face mode");

  std::vector<double> times;
  std::vector<std::vector<Box>> detections;
  eachFrame(
      job.source, job.range.start, job.range.end, [&](const cv::Mat& frame, const MediaTime& time) {
        std::vector<Box> faces;
        for (const auto& face : vision().faceRectangles(frame)) {
          faces.push_back(Box::fromVision(face.boundingBox));
        }
        detections.push_back(std::move(faces));
        times.push_back(time.seconds());
        job.report(static_cast<double>(times.size()) / static_cast<double>(job.range.expected));
        return true;
      });
  if (times.empty()) fail("no frames in that range");

  const size_t reference = nearestTime(times, job.range.at);
  const auto anchor = anchorFrame(detections, reference);
  if (!anchor) fail("no-face");
  // Only a face near the instant the user pointed at can be the one they meant.
  if (!(std::abs(times[*anchor] - job.range.at) < 1.5)) fail("no-face");

  const size_t n = times.size();
  const Box& anchorFace =
      detections[*anchor][nearestToPoint(detections[*anchor], chosenPoint->x, chosenPoint->y)];
  std::vector<std::optional<Box>> chain(n);
  chain[*anchor] = anchorFace;
  std::vector<size_t> forwards, backwards;
  for (size_t k = *anchor + 1; k < n; ++k) forwards.push_back(k);
  for (size_t k = *anchor; k-- > 0;) backwards.push_back(k);
  walkFace(detections, forwards, anchorFace, job.source.fps, chain);
  walkFace(detections, backwards, anchorFace, job.source.fps, chain);

  const std::vector<Box> boxes = smoothedBoxes(bridged(chain), 1.6, 5);

  return boxSamples(times, boxes, chain, job.source.fps);
}

}  // namespace tv
