#include "track/series.h"

#include <algorithm>
#include <cmath>

namespace tv {

Box Box::fromVision(const cv::Rect2d& rect) {
  double width = std::abs(rect.width), height = std::abs(rect.height);
  double left = rect.width < 0 ? rect.x + rect.width : rect.x;
  double bottom = rect.height < 0 ? rect.y + rect.height : rect.y;
  return Box{left + width / 2, 1 - (bottom + height / 2), width, height};
}

cv::Rect2d Box::vision() const {
  return {x - w * 0.5, (1 - y) - h * 0.5, w, h};
}

double Box::overlap(const Box& b) const {
  double ix = std::min(x + w / 2, b.x + b.w / 2) - std::max(x - w / 2, b.x - b.w / 2);
  double iy = std::min(y + h / 2, b.y + b.h / 2) - std::max(y - h / 2, b.y - b.h / 2);
  if (!(ix >= 0)) ix = 0;
  if (!(iy >= 0)) iy = 0;
  double inter = ix * iy;
  double uni = b.w * b.h + w * h - inter;
  return inter / std::max(uni, 1e-9);
}

double Box::distance(const Box& b) const {
  return std::hypot(b.x - x, b.y - y);
}

std::vector<double> smoothed(const std::vector<double>& series, double sigma) {
  if (series.size() < 3 || !(sigma > 0)) return series;
  const int r = static_cast<int>(std::ceil(3 * sigma));
  std::vector<double> kernel;
  kernel.reserve(2 * r + 1);
  for (int i = -r; i <= r; ++i)
    kernel.push_back(std::exp(-static_cast<double>(i * i) / (sigma * (sigma + sigma))));
  const long n = static_cast<long>(series.size());
  std::vector<double> out(series.size());
  for (long j = 0; j < n; ++j) {
    double sum = 0, total = 0;
    for (int k = 0; k <= 2 * r; ++k) {
      long source = std::clamp<long>(j + k - r, 0, n - 1);
      sum += kernel[k] * series[source];
      total += kernel[k];
    }
    out[j] = sum / total;
  }
  return out;
}

std::vector<Box> bridged(const std::vector<std::optional<Box>>& series) {
  const size_t n = series.size();
  size_t first = 0;
  while (first < n && !series[first]) ++first;
  if (first == n) return {};
  std::vector<Box> out(n, *series[first]);
  size_t last = first;
  for (size_t i = first; i < n; ++i) {
    if (!series[i]) continue;
    if (i > last + 1) {
      const Box& a = *series[last];
      const Box& b = *series[i];
      for (size_t k = 1; k < i - last; ++k) {
        double t = static_cast<double>(k) / static_cast<double>(i - last);
        out[last + k] = Box{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.w + (b.w - a.w) * t,
                            a.h + (b.h - a.h) * t};
      }
    }
    out[i] = *series[i];
    last = i;
  }
  for (size_t i = last + 1; i < n; ++i) out[i] = *series[last];
  return out;
}

std::vector<Box> smoothedBoxes(const std::vector<Box>& boxes, double centreSigma,
                               double sizeSigma) {
  std::vector<double> xs, ys, ws, hs;
  for (const Box& b : boxes) {
    xs.push_back(b.x);
    ys.push_back(b.y);
    ws.push_back(b.w);
    hs.push_back(b.h);
  }
  xs = smoothed(xs, centreSigma);
  ys = smoothed(ys, centreSigma);
  ws = smoothed(ws, sizeSigma);
  hs = smoothed(hs, sizeSigma);
  std::vector<Box> out(boxes.size());
  for (size_t k = 0; k < boxes.size(); ++k) out[k] = Box{xs[k], ys[k], ws[k], hs[k]};
  return out;
}

double roundTo(double value, int decimals) {
  double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;  // std::round: halves away from zero
}

}  // namespace tv
