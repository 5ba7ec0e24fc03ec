#include "vision/face_motion.h"
#include "vision/pixels.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tv::facemotion {
namespace {

// The face is followed at this many pixels across or up to twice that, with as much again
// around it: enough texture for the flow, little enough to cost a fraction of a millisecond.
constexpr double kFaceSide = 64;
constexpr int kGrid = 10;  // points across and down the face
// A point counts when it comes back within this many patch pixels of where it started; the
// move counts when at least this share of the points do, and they agree on it.
constexpr double kRoundTrip = 1.0;
constexpr double kFollowedShare = 0.5;
constexpr double kMaxResidual = 1.5;      // patch pixels, the median point off the move
constexpr double kMaxScaleChange = 0.15;  // between two pictures

double median(std::vector<double> values) {
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// The area grey, shrunk by a whole factor (1 / scale): cv::resize's fast path, a fraction of
// the cost of any other ratio.
cv::Mat greyArea(const cv::Mat& image, const cv::Rect& area, double scale) {
  cv::Mat grey = greyOf(image(area));
  const int factor = std::max(1, int(std::lround(1 / scale)));
  // A grey picture gives a view of itself, which must not outlive the call.
  if (factor == 1) return image.channels() == 1 ? grey.clone() : grey;
  cv::Mat scaled;
  cv::resize(grey, scaled, cv::Size(area.width / factor, area.height / factor), 0, 0,
             cv::INTER_AREA);
  return scaled;
}

}  // namespace

cv::Rect2d Motion::apply(const cv::Rect2d& box) const {
  cv::Point2d topLeft = apply(box.tl()), bottomRight = apply(box.br());
  return {topLeft, bottomRight};
}

Patch patchPlace(cv::Size size, const cv::Rect2d& face) {
  Patch patch;
  patch.face = face;
  double side = std::max(face.width, face.height);
  if (!(side > 0) || size.empty()) return patch;
  const int factor = std::max(1, int(side / kFaceSide));
  patch.scale = 1.0 / factor;
  cv::Rect around(cv::Point(int(std::floor(face.x - side / 2)), int(std::floor(face.y - side / 2))),
                  cv::Point(int(std::ceil(face.x + face.width + side / 2)),
                            int(std::ceil(face.y + face.height + side / 2))));
  patch.area = around & cv::Rect(0, 0, size.width, size.height);
  patch.area.width -= patch.area.width % factor;
  patch.area.height -= patch.area.height % factor;
  return patch;
}

void fillPatch(Patch& patch, const cv::Mat& areaPixels) {
  if (patch.area.width < 8 || patch.area.height < 8 || areaPixels.size() != patch.area.size())
    return;
  patch.grey = greyArea(areaPixels, cv::Rect(cv::Point(0, 0), patch.area.size()), patch.scale);
}

Patch patchOf(const cv::Mat& image, const cv::Rect2d& face) {
  Patch patch = patchPlace(image.size(), face);
  if (patch.area.width >= 8 && patch.area.height >= 8) fillPatch(patch, image(patch.area));
  return patch;
}

std::optional<Motion> motionOf(const Patch& before, const cv::Mat& image) {
  return motionOf(before, image, cv::Mat(), cv::Rect());
}

std::optional<Motion> motionOf(const Patch& before, const cv::Mat& image, const cv::Mat& grey,
                               const cv::Rect& region) {
  if (before.grey.empty() || image.empty() ||
      (before.area & cv::Rect(0, 0, image.cols, image.rows)) != before.area)
    return std::nullopt;
  const bool made =
      !grey.empty() && grey.size() == region.size() && (before.area & region) == before.area;
  cv::Mat now = made ? greyArea(grey, before.area - region.tl(), before.scale)
                     : greyArea(image, before.area, before.scale);
  if (now.size() != before.grey.size()) return std::nullopt;

  // A grid over the middle of the face, in patch pixels.
  auto toPatch = [&](const cv::Point2d& p) {
    return cv::Point2f(float((p.x - before.area.x) * before.scale),
                       float((p.y - before.area.y) * before.scale));
  };
  std::vector<cv::Point2f> start;
  for (int row = 0; row < kGrid; ++row)
    for (int column = 0; column < kGrid; ++column)
      start.push_back(
          toPatch({before.face.x + before.face.width * (0.1 + 0.8 * column / (kGrid - 1)),
                   before.face.y + before.face.height * (0.1 + 0.8 * row / (kGrid - 1))}));
  std::vector<cv::Point2f> there, back;
  std::vector<unsigned char> wentThere, cameBack;
  std::vector<float> errors;
  const cv::Size window(11, 11);
  const cv::TermCriteria stop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.03);
  cv::calcOpticalFlowPyrLK(before.grey, now, start, there, wentThere, errors, window, 2, stop);
  cv::calcOpticalFlowPyrLK(now, before.grey, there, back, cameBack, errors, window, 2, stop);

  std::vector<size_t> kept;
  for (size_t i = 0; i < start.size(); ++i)
    if (wentThere[i] && cameBack[i] && cv::norm(back[i] - start[i]) < kRoundTrip) kept.push_back(i);
  if (kept.size() < kFollowedShare * double(start.size())) return std::nullopt;

  std::vector<double> dx, dy, ratios;
  for (size_t i : kept) {
    dx.push_back(there[i].x - start[i].x);
    dy.push_back(there[i].y - start[i].y);
  }
  for (size_t a = 0; a < kept.size(); ++a) {
    for (size_t b = a + 1; b < kept.size(); ++b) {
      double was = cv::norm(start[kept[a]] - start[kept[b]]);
      if (was > 4) ratios.push_back(cv::norm(there[kept[a]] - there[kept[b]]) / was);
    }
  }
  if (ratios.empty()) return std::nullopt;
  Motion patchMove;
  patchMove.centre =
      toPatch({before.face.x + before.face.width / 2, before.face.y + before.face.height / 2});
  patchMove.scale = median(ratios);
  // The centre's own shift: the points' median shift less what the scaling moved them by.
  cv::Point2d meanStart(0, 0);
  for (size_t i : kept) meanStart += cv::Point2d(start[i]) * (1.0 / double(kept.size()));
  cv::Point2d scaledAway = (meanStart - patchMove.centre) * (patchMove.scale - 1);
  patchMove.shift = cv::Point2d(median(dx), median(dy)) - scaledAway;
  if (!(std::abs(patchMove.scale - 1) < kMaxScaleChange)) return std::nullopt;

  std::vector<double> residuals;
  for (size_t i : kept)
    residuals.push_back(cv::norm(patchMove.apply(cv::Point2d(start[i])) - cv::Point2d(there[i])));
  if (!(median(residuals) < kMaxResidual)) return std::nullopt;

  // Back to the picture's pixels.
  Motion motion;
  motion.centre = {before.face.x + before.face.width / 2, before.face.y + before.face.height / 2};
  motion.shift = patchMove.shift * (1.0 / before.scale);
  motion.scale = patchMove.scale;
  return motion;
}

}  // namespace tv::facemotion
