#include "image/picture_kind.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace tv {
namespace {

constexpr int kB = 0, kG = 1, kR = 2, kA = 3;  // byte order of a BGRA pixel
constexpr double kSide = 384;

// The picture's size scaled to at most 384 a side, truncated (never enlarged).
cv::Size scaledSize(cv::Size picture) {
  const double side = std::max(picture.width, picture.height);
  const double scale = std::min(kSide / side, 1.0);
  return {int(std::trunc(picture.width * scale)), int(std::trunc(picture.height * scale))};
}

// The small copy, w x h with each side at least 2; where it is raised beyond the picture the
// bitmap stays transparent black, and colour is premultiplied by alpha as a render gives it.
cv::Mat smallCopy(const cv::Mat& picture) {
  const cv::Size scaled = scaledSize(picture.size());
  const cv::Size size = pictureKindSize(picture.size());
  cv::Mat bitmap(size, CV_8UC4, cv::Scalar(0, 0, 0, 0));
  const cv::Size drawn(std::max(scaled.width, 1), std::max(scaled.height, 1));
  cv::Mat copy;
  if (drawn == picture.size())
    copy = picture;
  else
    cv::resize(picture, copy, drawn, 0, 0, cv::INTER_AREA);
  copy.copyTo(bitmap(cv::Rect(cv::Point(0, 0), drawn)));
  for (int y = 0; y < drawn.height; ++y) {
    uint8_t* p = bitmap.ptr<uint8_t>(y);
    for (int x = 0; x < drawn.width; ++x, p += 4)
      if (p[kA] != 255)
        for (int c = 0; c < 3; ++c) p[c] = uint8_t((p[c] * p[kA] + 127) / 255);
  }
  return bitmap;
}

int upperMedian(std::vector<int> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

cv::Size pictureKindSize(cv::Size picture) {
  const cv::Size scaled = scaledSize(picture);
  return {std::max(scaled.width, 2), std::max(scaled.height, 2)};
}

PictureKind pictureKind(const cv::Mat& picture) {
  PictureKind kind;
  if (picture.empty() || picture.type() != CV_8UC4) return kind;
  const cv::Mat bitmap = smallCopy(picture);
  const int w = bitmap.cols, h = bitmap.rows;
  const double pixels = double(w) * h;

  long transparentCount = 0;
  std::vector<int64_t> histogram(4096, 0);
  for (int y = 0; y < h; ++y) {
    const uint8_t* p = bitmap.ptr<uint8_t>(y);
    for (int x = 0; x < w; ++x, p += 4) {
      transparentCount += p[kA] < 250;
      ++histogram[(p[kR] / 16) * 256 + (p[kG] / 16) * 16 + p[kB] / 16];
    }
  }

  // The fewest cells that together hold 94 % of the pixels.
  std::sort(histogram.begin(), histogram.end(), std::greater<int64_t>());
  int64_t sum = 0;
  int k = 0;
  for (int64_t count : histogram) {
    if (double(sum) >= 0.94 * pixels) break;
    sum += count;
    ++k;
  }

  std::vector<int> r, g, b;
  auto sample = [&](int x, int y) {
    const uint8_t* p = bitmap.ptr<uint8_t>(y) + 4 * size_t(x);
    r.push_back(p[kR]);
    g.push_back(p[kG]);
    b.push_back(p[kB]);
  };
  for (int x = 0; x < w; ++x) {
    sample(x, 0);
    sample(x, h - 1);
  }
  for (int y = 0; y < h; ++y) {
    sample(0, y);
    sample(w - 1, y);
  }
  const int mr = upperMedian(r), mg = upperMedian(g), mb = upperMedian(b);
  size_t matching = 0;
  for (size_t i = 0; i < r.size(); ++i)
    matching += std::abs(r[i] - mr) <= 25 && std::abs(g[i] - mg) <= 25 && std::abs(b[i] - mb) <= 25;

  kind.transparent = transparentCount > 0.005 * pixels;
  kind.plainBorder = matching > 0.6 * double(r.size());
  kind.fewColours = k < 25;
  return kind;
}

}  // namespace tv
