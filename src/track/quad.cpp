#include "track/quad.h"

#include "base/events.h"
#include "media/frames.h"
#include "media/shrink.h"
#include "track/backwards.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <future>

namespace tv {
namespace {

// The quad's extent, widened to take in the unit square's far edges: a quad inside the frame
// gets its true bounding box.
struct Extent {
  double minX, maxX, minY, maxY;
};

Extent extentOf(const Quad& quad) {
  Extent e{1, 0, 1, 0};
  for (const auto& p : quad) {
    e.minX = std::min(e.minX, p.x);
    e.maxX = std::max(e.maxX, p.x);
    e.minY = std::min(e.minY, p.y);
    e.maxY = std::max(e.maxY, p.y);
  }
  return e;
}

Box wholeBox(const Quad& quad) {
  const Extent e = extentOf(quad);
  return Box{(e.minX + e.maxX) / 2, (e.minY + e.maxY) / 2, std::max(0.7 * (e.maxX - e.minX), 0.02),
             std::max(0.7 * (e.maxY - e.minY), 0.02)};
}

Quad translated(const Quad& quad, const cv::Point2d& by) {
  Quad moved = quad;
  for (auto& p : moved) p += by;
  return moved;
}

void reseed(QuadFollow& state, const Quad& moved, const cv::Mat& frame) {
  state.patchFollowers = patches(moved);
  for (auto& follower : state.patchFollowers) follower.next(frame);
  state.inner = innerOf(moved);
  state.current = moved;
}

}  // namespace

std::optional<Quad> userQuad(const std::string& text) {
  const std::vector<double> n = parseNumbers(text);
  if (n.size() != 8) return std::nullopt;
  return Quad{cv::Point2d(n[0], n[1]), cv::Point2d(n[2], n[3]), cv::Point2d(n[4], n[5]),
              cv::Point2d(n[6], n[7])};
}

Quad innerOf(const Quad& quad) {
  cv::Point2d c = (quad[0] + quad[1] + quad[2] + quad[3]) / 4.0;
  Quad inner;
  for (size_t i = 0; i < 4; ++i) inner[i] = c + 0.6 * (quad[i] - c);
  return inner;
}

std::vector<ObjectFollower> patches(const Quad& quad) {
  const Extent e = extentOf(quad);
  const double w = std::max(0.28 * (e.maxX - e.minX), 0.012);
  const double h = std::max(0.28 * (e.maxY - e.minY), 0.012);
  std::vector<ObjectFollower> followers;
  followers.reserve(4);
  // Only the patches' centres are read (they are the homography's points), so their trackers
  // leave the size alone.
  for (const auto& p : innerOf(quad))
    followers.emplace_back(Box{p.x, p.y, w, h}, false, ObjectFollower::Reads::centre);
  return followers;
}

std::optional<std::array<double, 9>> solveHomography(const Quad& from, const Quad& to) {
  double a[8][9];
  for (int k = 0; k < 4; ++k) {
    const double x = from[k].x, y = from[k].y, X = to[k].x, Y = to[k].y;
    const double top[9] = {x, y, 1, 0, 0, 0, -X * x, -X * y, X};
    const double bottom[9] = {0, 0, 0, x, y, 1, -Y * x, -Y * y, Y};
    std::copy(top, top + 9, a[2 * k]);
    std::copy(bottom, bottom + 9, a[2 * k + 1]);
  }
  for (int c = 0; c < 8; ++c) {
    int pivot = c;
    for (int r = c + 1; r < 8; ++r) {
      if (std::abs(a[r][c]) > std::abs(a[pivot][c])) pivot = r;
    }
    if (!(std::abs(a[pivot][c]) >= 1e-12)) return std::nullopt;
    if (pivot != c) std::swap(a[pivot], a[c]);
    for (int r = 0; r < 8; ++r) {
      if (r == c) continue;
      const double ratio = a[r][c] / a[c][c];
      if (ratio == 0) continue;
      for (int j = c; j < 9; ++j) a[r][j] -= ratio * a[c][j];
    }
  }
  std::array<double, 9> h;
  for (int i = 0; i < 8; ++i) h[i] = a[i][8] / a[i][i];
  h[8] = 1;
  return h;
}

cv::Point2d mapped(const std::array<double, 9>& h, const cv::Point2d& p) {
  const double w = h[6] * p.x + h[7] * p.y + h[8];
  return {(h[0] * p.x + h[1] * p.y + h[2]) / w, (h[3] * p.x + h[4] * p.y + h[5]) / w};
}

QuadSample fill(const RawQuad& raw, const Quad& reference) {
  cv::Point2d offset(0, 0);
  int known = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (!raw.corners[i]) continue;
    offset += *raw.corners[i] - reference[i];
    known += 1;
  }
  if (known > 0) offset /= static_cast<double>(known);
  QuadSample sample{raw.time, reference, known == 4 && raw.anchored};
  for (size_t i = 0; i < 4; ++i) {
    sample.corners[i] = raw.corners[i] ? *raw.corners[i] : reference[i] + offset;
  }
  return sample;
}

QuadFollow::QuadFollow(const Quad& quad)
    : reference(quad),
      // Only the whole-quad tracker's centre is read (the quad moves by it), so it leaves the
      // size alone too: following it was a third of that tracker's time.
      whole(wholeBox(quad), false, ObjectFollower::Reads::centre),
      patchFollowers(patches(quad)),
      inner(innerOf(quad)),
      current(quad),
      lastCentre(wholeBox(quad).x, wholeBox(quad).y) {}

RawQuad followFrame(QuadFollow& state, const cv::Mat& frame, double time) {
  RawQuad raw{time, {}};
  auto present = [&raw](const Quad& quad) {
    for (size_t i = 0; i < 4; ++i) raw.corners[i] = quad[i];
  };
  if (!state.started) {
    // The frame the quad was placed on: every tracker takes hold here.
    state.started = true;
    state.referenceFrame = frame;
    state.whole.next(frame);
    for (auto& follower : state.patchFollowers) follower.next(frame);
    present(state.reference);
    return raw;
  }
  // The five trackers know nothing of each other, cost about the same and take most of a
  // frame's time: three patches run on a second thread while this one runs the whole-quad
  // tracker and the fourth. Each tracker sees the same frames in the same order, so the answers
  // are those of one thread.
  // The patches' answers go unused once the whole-quad tracker is lost, as it then stays.
  if (state.whole.lost()) return raw;  // and stays so: the rest of the run is lost
  std::array<std::optional<Box>, 4> answers;
  auto followPatches = [&](size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) answers[i] = state.patchFollowers[i].next(frame);
  };
  auto aside = std::async(std::launch::async, followPatches, size_t(0), size_t(3));
  const auto coarse = state.whole.next(frame);
  followPatches(3, 4);
  aside.get();
  if (!coarse) return raw;  // the whole-quad tracker never comes back: the rest is lost too
  const cv::Point2d centre(coarse->x, coarse->y);
  const Quad moved = translated(state.current, centre - state.lastCentre);

  Quad tracked;
  bool allTracked = true;
  for (size_t i = 0; i < 4; ++i) {
    if (answers[i])
      tracked[i] = cv::Point2d(answers[i]->x, answers[i]->y);
    else
      allTracked = false;
  }
  const double diag = std::hypot(moved[0].x - moved[2].x, moved[0].y - moved[2].y);

  bool accepted = false;
  if (allTracked) {
    if (auto h = solveHomography(state.inner, tracked)) {
      Quad warped;
      double dev = 0;
      for (size_t i = 0; i < 4; ++i) {
        warped[i] = mapped(*h, state.current[i]);
        dev = std::max(dev, std::hypot(warped[i].x - moved[i].x, warped[i].y - moved[i].y));
      }
      // The patches must agree with the coarse motion; a patch that slid onto other texture
      // would otherwise bend the quad.
      if (dev < 0.04 * diag) {
        state.current = warped;
        state.inner = tracked;
        accepted = true;
      }
    }
  }
  if (!accepted) reseed(state, moved, frame);
  if (auto corrected =
          anchoredQuad(state.referenceFrame, state.reference, frame, state.current, &state.looks))
    state.current = *corrected;
  else
    raw.anchored = false;
  state.lastCentre = centre;
  present(state.current);
  return raw;
}

std::optional<Quad> anchoredQuad(const cv::Mat& referenceFrame, const Quad& reference,
                                 const cv::Mat& frame, const Quad& estimate, AnchorLooks* looks) {
  if (referenceFrame.empty() || frame.size() != referenceFrame.size()) return std::nullopt;
  const cv::Size size = frame.size();
  auto inPixels = [&](const Quad& quad) {
    std::array<cv::Point2f, 4> points;
    for (size_t i = 0; i < 4; ++i)
      points[i] = cv::Point2f(float(quad[i].x * size.width), float(quad[i].y * size.height));
    return points;
  };
  const auto from = inPixels(reference), to = inPixels(estimate);
  const double diagonal = cv::norm(to[0] - to[2]);
  const cv::Rect within = cv::boundingRect(std::vector<cv::Point2f>(to.begin(), to.end()));
  const int margin = int(0.08 * diagonal);
  const cv::Rect region = cv::Rect(within.x - margin, within.y - margin, within.width + 2 * margin,
                                   within.height + 2 * margin) &
                          cv::Rect(cv::Point(0, 0), size);
  if (!(diagonal >= 24) || region.width < 32 || region.height < 32) return std::nullopt;

  // The plane alone, as the estimate puts it on this frame's region: the reference frame's
  // background would be registered too, and it moves otherwise.
  const cv::Matx33d shift(1, 0, -region.x, 0, 1, -region.y, 0, 0, 1);
  const cv::Matx33d onto = shift * cv::Matx33d(cv::getPerspectiveTransform(from.data(), to.data()));
  cv::Mat plane(referenceFrame.size(), CV_8U, cv::Scalar(0));
  std::vector<cv::Point> outline;
  for (const auto& p : from) outline.emplace_back(cvRound(p.x), cvRound(p.y));
  cv::fillConvexPoly(plane, outline, cv::Scalar(255));
  cv::Mat warped, mask;
  cv::warpPerspective(referenceFrame, warped, onto, region.size(), cv::INTER_LINEAR);
  cv::warpPerspective(plane, mask, onto, region.size(), cv::INTER_NEAREST);
  cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 2);
  warped.setTo(cv::Scalar::all(0), mask == 0);

  // The estimate already puts the plane where it is to within the 5 % of its diagonal that
  // is accepted below.
  const bool look = !looks || looks->worthTrying();
  const NearRegistration registered =
      vision().registeredNear(warped, frame(region), 0.05 * diagonal, mask, look);
  if (looks && look) looks->tried(registered.byLook);
  if (looks && !look) looks->leftOut();
  const auto& lowerLeft = registered.homography;
  if (!lowerLeft) return std::nullopt;
  // The answer maps this frame's pixels to the warped plane's, origin lower left.
  const cv::Matx33d flip(1, 0, 0.5, 0, -1, region.height - 0.5, 0, 0, 1);
  const cv::Matx33d back = (flip.inv() * cv::Matx33d(*lowerLeft) * flip).inv();
  Quad corrected;
  for (size_t i = 0; i < 4; ++i) {
    const cv::Vec3d at = back * cv::Vec3d(to[i].x - region.x, to[i].y - region.y, 1);
    if (!(std::abs(at[2]) > 1e-12)) return std::nullopt;
    const cv::Point2d pixel(at[0] / at[2] + region.x, at[1] / at[2] + region.y);
    if (!(cv::norm(pixel - cv::Point2d(to[i])) <= 0.05 * diagonal)) return std::nullopt;
    corrected[i] = cv::Point2d(pixel.x / size.width, pixel.y / size.height);
  }
  return corrected;
}

TrackResult trackQuad(const TrackJob& job) {
  const auto quad = userQuad(job.args.option("quad").value_or(""));
  if (!quad) fail("--quad x1,y1,\u2026,x4,y4 is required for quad mode");
  const TrackRange& range = job.range;
  const double expected = static_cast<double>(range.expected);

  // Each run is fed as the frames are decoded, so at most one chunk of small grey frames is ever
  // held (the backward run), not the whole range.
  //
  // The trackers and the registration read only the grey of a frame, so every frame but the
  // anchor is handed on grey, made once rather than by each of them. The anchor stays in colour:
  // its plane is warped onto each frame before it is made grey, and must stay so to be the same.
  //
  // When the frames before the anchor fit in one backward chunk, the forward pass reads them
  // too and keeps them for the backward run: the decoder goes through them anyway on its way
  // from the key frame before the anchor, and reading them again costs a second decoding.
  const double forwardFrom = forwardPassStart(job.source, range.start, range.at, range.end);
  const bool keepEarlier = forwardFrom - range.start <= kGreyChunkSeconds;
  std::vector<std::pair<double, cv::Mat>> earlier;
  std::optional<QuadFollow> forwardRun;
  std::vector<RawQuad> forward;
  cv::Mat anchorFrame, grey;
  std::vector<RawQuad> backward;
  auto progress = [&] {
    job.report(static_cast<double>(forward.size() + backward.size()) / expected);
  };
  eachFrame(
      job.source, keepEarlier ? range.start : forwardFrom, range.end,
      [&](const cv::Mat& small, const MediaTime& time) {
        const double t = time.seconds();
        if (t < forwardFrom - 0.0001) {
          cv::Mat kept;
          cv::cvtColor(small, kept, cv::COLOR_BGRA2GRAY);
          earlier.emplace_back(t, std::move(kept));
          return true;
        }
        if (!forwardRun) {
          forwardRun.emplace(*quad);
          anchorFrame = small;
          forward.push_back(followFrame(*forwardRun, small, t));
        } else {
          cv::cvtColor(small, grey, cv::COLOR_BGRA2GRAY);
          forward.push_back(followFrame(*forwardRun, grey, t));
        }
        progress();
        return true;
      },
      smallSize(job.source, 960));
  if (forward.empty()) fail("no frames in that range");

  if (forward.front().time > range.start + 0.0001) {
    QuadFollow backwardRun(*quad);
    followFrame(backwardRun, anchorFrame, forward.front().time);  // the forward run has it
    anchorFrame.release();
    auto followBack = [&](const cv::Mat& small, double time) {
      backward.push_back(followFrame(backwardRun, small, time));
    };
    if (keepEarlier) {
      for (auto it = earlier.rbegin(); it != earlier.rend(); ++it) {
        followBack(it->second, it->first);
        it->second.release();
        progress();
      }
    } else {
      eachChunkBackwards(job.source, range.start, forward.front().time, 960, followBack, progress,
                         ChunkPixels::grey);
    }
  }
  anchorFrame.release();

  std::vector<QuadSample> samples;
  for (auto it = backward.rbegin(); it != backward.rend(); ++it)
    samples.push_back(fill(*it, *quad));
  for (const auto& raw : forward) samples.push_back(fill(raw, *quad));

  std::vector<std::vector<double>> series(8, std::vector<double>(samples.size()));
  for (size_t k = 0; k < samples.size(); ++k) {
    for (size_t i = 0; i < 4; ++i) {
      series[2 * i][k] = samples[k].corners[i].x;
      series[2 * i + 1][k] = samples[k].corners[i].y;
    }
  }
  for (auto& one : series) one = smoothed(one, 0.9);

  TrackResult result;
  for (size_t k = 0; k < samples.size(); ++k) {
    double cx = 0.25 * (series[0][k] + series[2][k] + series[4][k] + series[6][k]);
    double cy = 0.25 * (series[1][k] + series[3][k] + series[5][k] + series[7][k]);
    std::vector<double> payload{roundTo(samples[k].time, 5), roundTo(cx, 5), roundTo(cy, 5), 1, 1,
                                samples[k].found ? 1.0 : 0.0};
    for (const auto& one : series) payload.push_back(roundTo(one[k], 5));
    result.samples.push_back(std::move(payload));
    if (samples[k].found) result.seen += 1;
  }
  result.start = result.samples.front()[0];
  result.end = result.samples.back()[0] + 1 / job.source.fps;
  return result;
}

}  // namespace tv
