#include "track/marks.h"

#include "base/events.h"
#include "media/frames.h"
#include "track/face.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <future>

namespace tv {
namespace {

// Frames whose landmarks may still be being placed: one keeps both cores busy; each more holds
// its grey surroundings (about 2 MB for a face filling a 1080p frame) and raised the peak.
constexpr size_t kWaiting = 1;

cv::Point2d normalised(const cv::Point2d& pixel, double width, double height) {
  return {pixel.x / width, 1 - pixel.y / height};
}

void putRegion(const LandmarkRegion& points, double width, double height, double* out) {
  if (points.empty()) {
    std::fill(out, out + 4, 0.0);
    return;
  }
  double minX = 1e9, minY = 1e9, maxX = -1e9, maxY = -1e9;
  for (const auto& pixel : points) {
    cv::Point2d p = normalised(pixel, width, height);
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  out[0] = (minX + maxX) / 2;
  out[1] = (minY + maxY) / 2;
  out[2] = (maxX - minX) / 2;
  out[3] = (maxY - minY) / 2;
}

}  // namespace

Landmarks landmarkVector(const std::optional<FaceLandmarks>& landmarks, double width,
                         double height) {
  Landmarks v{};
  if (!landmarks) return v;
  putRegion(landmarks->leftEye, width, height, &v[0]);
  putRegion(landmarks->rightEye, width, height, &v[4]);
  putRegion(landmarks->outerLips, width, height, &v[8]);
  putRegion(landmarks->innerLips, width, height, &v[12]);
  putRegion(landmarks->nose, width, height, &v[16]);
  const auto& contour = landmarks->faceContour;
  // Fewer than five points cannot tell the two cheeks from the chin.
  if (contour.size() >= 5) {
    const size_t m = contour.size();
    cv::Point2d a = normalised(contour[m / 4], width, height);
    cv::Point2d b = normalised(contour[3 * m / 4], width, height);
    cv::Point2d lowest = normalised(contour[0], width, height);
    for (size_t i = 1; i < m; ++i) {
      cv::Point2d p = normalised(contour[i], width, height);
      if (p.y > lowest.y) lowest = p;
    }
    v[20] = a.x;
    v[21] = a.y;
    v[22] = b.x;
    v[23] = b.y;
    v[24] = lowest.x;
    v[25] = lowest.y;
  }
  return v;
}

void walkMarks(const std::vector<std::vector<Box>>& faces, const std::vector<size_t>& order,
               const Box& anchor, std::vector<std::optional<size_t>>& chain) {
  Box prev = anchor;
  for (size_t k : order) {
    if (faces[k].empty()) continue;
    size_t best = 0;
    double bestOverlap = prev.overlap(faces[k][0]);
    for (size_t i = 1; i < faces[k].size(); ++i) {
      double o = prev.overlap(faces[k][i]);
      if (o > bestOverlap) {
        bestOverlap = o;
        best = i;
      }
    }
    if (bestOverlap > 0.1) {
      chain[k] = best;
      prev = faces[k][best];
    }
  }
}

TrackResult trackMarks(const TrackJob& job) {
  const auto& chosenPoint = job.args.point;
  if (!chosenPoint) fail("--point is required for marks mode");

  std::vector<double> times;
  std::vector<std::vector<Box>> faces;
  std::vector<std::vector<Landmarks>> marks;
  // A frame's landmarks are placed on the other core while the faces of the next are looked
  // for; a few frames' answers may wait, in order.
  struct Pending {
    std::future<std::vector<FaceObservation>> observed;
    cv::Size size;
  };
  std::deque<Pending> pending;
  auto takeOldest = [&] {
    std::vector<Box> boxes;
    std::vector<Landmarks> vectors;
    const cv::Size size = pending.front().size;
    for (const auto& face : pending.front().observed.get()) {
      boxes.push_back(Box::fromVision(face.boundingBox));
      vectors.push_back(landmarkVector(face.landmarks, size.width, size.height));
    }
    pending.pop_front();
    faces.push_back(std::move(boxes));
    marks.push_back(std::move(vectors));
  };
  eachFrame(
      job.source, job.range.start, job.range.end, [&](const cv::Mat& frame, const MediaTime& time) {
        pending.push_back({vision().faceLandmarksAhead(frame), frame.size()});
        if (pending.size() > kWaiting) takeOldest();
        times.push_back(time.seconds());
        job.report(static_cast<double>(times.size()) / static_cast<double>(job.range.expected));
        return true;
      });
  while (!pending.empty()) takeOldest();
  if (times.empty()) fail("no frames in that range");

  const size_t n = times.size();
  const auto anchor = anchorFrame(faces, nearestTime(times, job.range.at));
  if (!anchor) fail("no-face");
  const size_t anchorFace = nearestToPoint(faces[*anchor], chosenPoint->x, chosenPoint->y);
  std::vector<std::optional<size_t>> chain(n);
  chain[*anchor] = anchorFace;
  std::vector<size_t> forwards, backwards;
  for (size_t k = *anchor + 1; k < n; ++k) forwards.push_back(k);
  for (size_t k = *anchor; k-- > 0;) backwards.push_back(k);
  walkMarks(faces, forwards, faces[*anchor][anchorFace], chain);
  walkMarks(faces, backwards, faces[*anchor][anchorFace], chain);

  std::vector<std::optional<Box>> linked(n);
  for (size_t k = 0; k < n; ++k) {
    if (chain[k]) linked[k] = faces[k][*chain[k]];
  }
  const std::vector<Box> boxes = smoothedBoxes(bridged(linked), 1.2, 4);

  // Landmarks are held, not interpolated, across frames where the face was not linked; before
  // the first linked frame the anchor's own stand in.
  std::vector<std::vector<double>> series(26, std::vector<double>(n));
  Landmarks current = marks[*anchor][anchorFace];
  for (size_t k = 0; k < n; ++k) {
    if (chain[k]) current = marks[k][*chain[k]];
    for (size_t i = 0; i < 26; ++i) series[i][k] = current[i];
  }
  for (auto& one : series) one = smoothed(one, 1.2);

  return boxSamples(times, boxes, linked, job.source.fps, series);
}

}  // namespace tv
