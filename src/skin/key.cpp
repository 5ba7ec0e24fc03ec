#include "skin/key.h"

#include <algorithm>
#include <cmath>

namespace tv {
namespace {

constexpr double kTwoPi = 2 * 3.141592653589793;

// Most samples one patch pixel takes along each axis of its footprint.
constexpr int kMaxSamplesPerAxis = 8;

// Bilinear sample of a BGRA image at a position in pixel coordinates (pixel centres at
// half-integers). Neighbours are clamped to `within` (the pixels the crop touches, inside the
// image) so that nothing from around the crop bleeds into its edge; positions outside the image
// are transparent black, as outside a cropped picture.
cv::Vec4d sampleAt(const cv::Mat& bgra, const cv::Rect& within, double x, double y) {
  if (x < 0 || y < 0 || x > bgra.cols || y > bgra.rows) return {0, 0, 0, 0};
  double u = x - 0.5, v = y - 0.5;
  int x0 = static_cast<int>(std::floor(u)), y0 = static_cast<int>(std::floor(v));
  double fx = u - x0, fy = v - y0;
  auto at = [&](int col, int row) {
    col = std::clamp(col, within.x, within.x + within.width - 1);
    row = std::clamp(row, within.y, within.y + within.height - 1);
    const cv::Vec4b& p = bgra.at<cv::Vec4b>(row, col);
    return cv::Vec4d(p[0], p[1], p[2], p[3]);
  };
  return at(x0, y0) * ((1 - fx) * (1 - fy)) + at(x0 + 1, y0) * (fx * (1 - fy)) +
         at(x0, y0 + 1) * ((1 - fx) * fy) + at(x0 + 1, y0 + 1) * (fx * fy);
}

uint8_t toByte(double value) {
  return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

}  // namespace

KeyCoords keyCoords(double r, double g, double b) {
  double max = std::max({r, g, b});
  double min = std::min({r, g, b});
  double delta = max - min;
  KeyCoords c;
  if (delta > 0.000001) {
    double h;
    if (r == max)
      h = std::fmod((g - b) / delta + 6, 6);
    else if (g == max)
      h = (b - r) / delta + 2;
    else
      h = (r - g) / delta + 4;
    c.h = h / 6;
  }
  c.s = max > 0.000001 ? delta / max : 0;
  c.l = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return c;
}

bool keptForKey(const KeyCoords& c) {
  return c.s >= 0.08 && c.l >= 0.1 && c.l <= 0.97;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  double position = std::trunc(p * static_cast<double>(values.size() - 1));
  size_t index = 0;
  if (position > 0) index = std::min(static_cast<size_t>(position), values.size() - 1);
  return values[index];
}

double hueDistance(double a, double b) {
  double d = std::abs(a - b);
  return std::min(d, 1 - d);
}

std::optional<size_t> largestFace(const std::vector<cv::Rect2d>& boxes) {
  std::optional<size_t> best;
  double bestArea = 0;
  for (size_t i = 0; i < boxes.size(); ++i) {
    double area = boxes[i].width * boxes[i].height;
    if (!best || area > bestArea) {
      best = i;
      bestArea = area;
    }
  }
  return best;
}

cv::Rect2d patchRect(const cv::Rect2d& box, cv::Size image) {
  double width = 0.52 * box.width * image.width;
  double height = 0.24 * box.height * image.height;
  double x = (box.x + 0.24 * box.width) * image.width;
  // The band is measured from the bottom of the box; its top edge, counted from the top of the
  // image, is where the lower-left band ends.
  double bottomUp = (box.y + 0.38 * box.height) * image.height;
  double y = image.height - bottomUp - height;
  return {x, y, width, height};
}

void renderPatch(const cv::Mat& bgra, const cv::Rect2d& rect, cv::Mat& rgbaPatch) {
  rgbaPatch.create(kPatchSide, kPatchSide, CV_8UC4);
  rgbaPatch.setTo(cv::Scalar::all(0));
  if (bgra.empty() || bgra.type() != CV_8UC4 || !(rect.width > 0) || !(rect.height > 0) ||
      !std::isfinite(rect.x + rect.y + rect.width + rect.height)) {
    return;
  }
  // The rectangle's edges are far inside int range once it overlaps the image at all.
  cv::Rect image(0, 0, bgra.cols, bgra.rows);
  if (rect.x >= image.width || rect.y >= image.height || rect.x + rect.width <= 0 ||
      rect.y + rect.height <= 0) {
    return;
  }
  int left = static_cast<int>(std::floor(std::max(rect.x, 0.0)));
  int top = static_cast<int>(std::floor(std::max(rect.y, 0.0)));
  int right = static_cast<int>(std::ceil(std::min(rect.x + rect.width, double(image.width))));
  int bottom = static_cast<int>(std::ceil(std::min(rect.y + rect.height, double(image.height))));
  cv::Rect within =
      cv::Rect(left, top, std::max(1, right - left), std::max(1, bottom - top)) & image;
  if (within.empty()) return;
  double stepX = rect.width / kPatchSide, stepY = rect.height / kPatchSide;
  int samplesX = static_cast<int>(std::clamp(std::ceil(stepX), 1.0, double(kMaxSamplesPerAxis)));
  int samplesY = static_cast<int>(std::clamp(std::ceil(stepY), 1.0, double(kMaxSamplesPerAxis)));
  double weight = 1.0 / (samplesX * samplesY);
  for (int row = 0; row < kPatchSide; ++row) {
    for (int col = 0; col < kPatchSide; ++col) {
      cv::Vec4d sum(0, 0, 0, 0);
      for (int j = 0; j < samplesY; ++j) {
        double y = rect.y + (row + (j + 0.5) / samplesY) * stepY;
        for (int i = 0; i < samplesX; ++i) {
          double x = rect.x + (col + (i + 0.5) / samplesX) * stepX;
          sum += sampleAt(bgra, within, x, y);
        }
      }
      sum *= weight;
      rgbaPatch.at<cv::Vec4b>(row, col) =
          cv::Vec4b(toByte(sum[2]), toByte(sum[1]), toByte(sum[0]), toByte(sum[3]));
    }
  }
}

void SkinSamples::add(const KeyCoords& c) {
  hues.push_back(c.h);
  saturations.push_back(c.s);
  lightnesses.push_back(c.l);
  sinSum += std::sin(kTwoPi * c.h);
  cosSum += std::cos(kTwoPi * c.h);
}

void SkinSamples::addPatch(const cv::Mat& rgbaPatch) {
  for (int row = 0; row < rgbaPatch.rows; ++row) {
    for (int col = 0; col < rgbaPatch.cols; ++col) {
      const cv::Vec4b& p = rgbaPatch.at<cv::Vec4b>(row, col);
      KeyCoords c = keyCoords(p[0] / 255.0, p[1] / 255.0, p[2] / 255.0);
      if (keptForKey(c)) add(c);
    }
  }
}

std::optional<SkinKey> skinKey(const SkinSamples& samples) {
  if (samples.size() < kMinSamples) return std::nullopt;
  SkinKey key;
  key.hue = std::atan2(samples.sinSum, samples.cosSum) / kTwoPi;
  if (key.hue < 0) key.hue += 1;
  if (key.hue >= 1) key.hue = 0;  // a tiny negative angle rounds up to a full turn
  std::vector<double> distances;
  distances.reserve(samples.size());
  for (double h : samples.hues) distances.push_back(hueDistance(h, key.hue));
  key.hueSpread = percentile(std::move(distances), 0.97);
  key.satLow = percentile(samples.saturations, 0.03);
  key.satHigh = percentile(samples.saturations, 0.97);
  key.lumLow = percentile(samples.lightnesses, 0.03);
  key.lumHigh = percentile(samples.lightnesses, 0.97);
  return key;
}

}  // namespace tv
