#include "track/camera.h"

#include "media/frames.h"
#include "media/shrink.h"
#include "track/backwards.h"
#include "track/series.h"
#include "vision/vision.h"

#include <algorithm>
#include <cmath>

namespace tv {

int renewalInterval(double fps) {
  double half = std::trunc(fps * 0.5);
  if (!(half > 6)) return 6;
  return half > 1e9 ? 1000000000 : static_cast<int>(half);
}

std::optional<cv::Point2d> homographyShift(const cv::Matx33f& warp, int width, int height,
                                           double sign) {
  // Single precision throughout, as the registration gives its matrix.
  const float cx = static_cast<float>(width * 0.5), cy = static_cast<float>(height * 0.5);
  const cv::Vec3f p = warp * cv::Vec3f(cx, cy, 1.0f);
  if (p[2] == 0.0f || !std::isfinite(p[0]) || !std::isfinite(p[1])) return std::nullopt;
  const double x = static_cast<double>(p[0] / p[2]);
  const double y = static_cast<double>(p[1] / p[2]);
  if (!(std::abs(x - cx) < cx) || !(std::abs(y - cy) < cy)) return std::nullopt;
  // The matrix takes the current centre to where that content sat in the reference, so the
  // content moved by the opposite amount; y flips from the registration's upward axis.
  return cv::Point2d(sign * (x - cx), (y - cy) * -sign);
}

cv::Point2d CameraPath::step(const cv::Mat& frame) {
  if (reference_.empty()) {
    reference_ = frame;
    return current_;
  }
  const int W = frame.cols, H = frame.rows;
  std::optional<cv::Point2d> shift;
  if (auto warp = vision().homography(reference_, frame)) {
    shift = homographyShift(*warp, W, H, sign_);
  }
  if (!shift) {
    // The fallback ignores --sign: it always follows the content.
    if (auto t = vision().translation(reference_, frame)) shift = cv::Point2d(-t->x, t->y);
  }
  bool large = true;  // a frame that cannot be registered holds the position and renews
  if (shift) {
    const double nx = shift->x / W, ny = shift->y / H;
    current_ = referencePosition_ + cv::Point2d(nx, ny);
    large = std::max(std::abs(nx), std::abs(ny)) > 0.12;
  }
  sinceReference_ += 1;
  if (large || sinceReference_ >= interval_) {
    reference_ = frame;
    referencePosition_ = current_;
    sinceReference_ = 0;
  }
  return current_;
}

TrackResult trackCamera(const TrackJob& job) {
  CameraPath path(job.source.fps, job.args.number("sign", -1));
  TrackResult result;
  // A frame is registered once the next one has arrived, so that the work the registration can
  // do on the next frame alone goes on beside it, on a thread of its own.
  cv::Mat waiting;
  double waitingTime = 0;
  auto settle = [&] {
    const cv::Point2d position = path.step(waiting);
    result.samples.push_back(
        {roundTo(waitingTime, 6), roundTo(position.x, 6), roundTo(position.y, 6), 1, 1, 1});
    job.report(static_cast<double>(result.samples.size()) /
               static_cast<double>(job.range.expected));
  };
  eachFrame(
      job.source, job.range.start, job.range.end,
      [&](const cv::Mat& frame, const MediaTime& time) {
        if (!waiting.empty()) {
          vision().homographyAhead(frame);
          settle();
        }
        // Grey frames are the reader's gift to keep (registration works on grey pixels: the
        // reference keeps a quarter of the bytes and each look-up of its features hashes a
        // quarter as many).
        waiting = frame;
        waitingTime = time.seconds();
        return true;
      },
      smallSize(job.source, kCameraSide), FramePixels::grey);
  if (!waiting.empty()) settle();
  if (result.samples.empty()) return result;
  result.start = result.samples.front()[0];
  result.end = result.samples.back()[0] + 1 / job.source.fps;
  result.seen = static_cast<long>(result.samples.size());
  return result;
}

}  // namespace tv
