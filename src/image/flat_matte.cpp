#include "image/flat_matte.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tv {
namespace {

constexpr int kB = 0, kG = 1, kR = 2, kA = 3;  // byte order of a BGRA pixel

// Colour premultiplied by alpha, as the platform renderers hand pictures over: the few
// translucent pixels of an otherwise opaque picture then count with the colour they show over
// black. Opaque pictures are used as they are.
cv::Mat premultiplied(const cv::Mat& bgra) {
  bool translucent = false;
  for (int y = 0; y < bgra.rows && !translucent; ++y) {
    const uint8_t* p = bgra.ptr<uint8_t>(y);
    for (int x = 0; x < bgra.cols; ++x)
      if (p[4 * x + kA] != 255) {
        translucent = true;
        break;
      }
  }
  if (!translucent) return bgra;
  cv::Mat out = bgra.clone();
  for (int y = 0; y < out.rows; ++y) {
    uint8_t* p = out.ptr<uint8_t>(y);
    for (int x = 0; x < out.cols; ++x, p += 4)
      for (int c = 0; c < 3; ++c) p[c] = uint8_t((p[c] * p[kA] + 127) / 255);
  }
  return out;
}

struct Samples {
  std::vector<uint8_t> r, g, b;
};

// The upper middle element: for an even count the larger of the two middle values.
double median(std::vector<uint8_t> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2] / 255.0;
}

// The per-channel distances of every byte value to the background, so that the distance of a
// pixel is three look-ups and two comparisons, exactly as computed in double precision.
struct Distance {
  double r[256], g[256], b[256];
  explicit Distance(const std::array<double, 3>& colour) {
    for (int v = 0; v < 256; ++v) {
      r[v] = std::abs(v / 255.0 - colour[0]);
      g[v] = std::abs(v / 255.0 - colour[1]);
      b[v] = std::abs(v / 255.0 - colour[2]);
    }
  }
  double operator()(const uint8_t* pixel) const {
    return std::max({r[pixel[kR]], g[pixel[kG]], b[pixel[kB]]});
  }
};

// Background pixels reachable from the border through 4-connected steps below the threshold.
// Pixels are marked when pushed, so each enters the explicit stack at most once.
void floodFromBorder(const cv::Mat& distance, float thr, cv::Mat& background) {
  const int W = distance.cols, H = distance.rows;
  const float* d = distance.ptr<float>(0);
  uint8_t* marked = background.ptr<uint8_t>(0);
  std::vector<int64_t> stack;
  auto visit = [&](int64_t i) {
    if (!marked[i] && d[i] < thr) {
      marked[i] = 1;
      stack.push_back(i);
    }
  };
  for (int x = 0; x < W; ++x) {
    visit(x);
    visit(int64_t(H - 1) * W + x);
  }
  for (int y = 0; y < H; ++y) {
    visit(int64_t(y) * W);
    visit(int64_t(y) * W + W - 1);
  }
  while (!stack.empty()) {
    const int64_t i = stack.back();
    stack.pop_back();
    const int x = int(i % W), y = int(i / W);
    if (x > 0) visit(i - 1);
    if (x + 1 < W) visit(i + 1);
    if (y > 0) visit(i - W);
    if (y + 1 < H) visit(i + W);
  }
}

}  // namespace

std::vector<std::array<uint8_t, 3>> flatBorderSamples(const cv::Mat& picture) {
  std::vector<std::array<uint8_t, 3>> samples;
  const int W = picture.cols, H = picture.rows;
  if (W <= 0 || H <= 0 || picture.type() != CV_8UC4) return samples;
  auto add = [&](int x, int y) {
    const uint8_t* p = picture.ptr<uint8_t>(y) + 4 * size_t(x);
    samples.push_back({p[kR], p[kG], p[kB]});
  };
  // At most about 400 positions per side, whatever the picture's size.
  const int columnStep = W >= 400 ? W / 400 : 1;
  for (int x = 0; x < W; x += columnStep) {
    add(x, 0);
    add(x, H - 1);
    add(x, std::min(1, H - 1));
    add(x, std::max(H - 2, 0));
  }
  const int rowStep = H >= 400 ? H / 400 : 1;
  for (int y = 0; y < H; y += rowStep) {
    add(0, y);
    add(W - 1, y);
    add(std::min(1, W - 1), y);
    add(std::max(W - 2, 0), y);
  }
  return samples;
}

float flatThreshold(double tolerance) {
  // Written so that a tolerance that is no number also gives the narrowest threshold.
  double thr = tolerance >= 0 ? 0.04 + 0.4 * std::min(tolerance, 1.0) : 0.04;
  return float(thr);
}

std::optional<FlatMatte> flatMatte(const cv::Mat& source, double tolerance, bool inner) {
  const int W = source.cols, H = source.rows;
  if (W <= 0 || H <= 0 || source.type() != CV_8UC4) return std::nullopt;
  const double pixels = double(W) * H;

  long translucent = 0;
  for (int y = 0; y < H; ++y) {
    const uint8_t* p = source.ptr<uint8_t>(y);
    for (int x = 0; x < W; ++x) translucent += p[4 * x + kA] < 250;
  }
  if (translucent > 0.005 * pixels) {
    cv::Mat alpha;
    cv::extractChannel(source, alpha, kA);
    return FlatMatte{alpha, std::nullopt};
  }
  const cv::Mat picture = premultiplied(source);

  Samples border;
  for (const auto& rgb : flatBorderSamples(picture)) {
    border.r.push_back(rgb[0]);
    border.g.push_back(rgb[1]);
    border.b.push_back(rgb[2]);
  }
  const std::array<double, 3> colour{median(border.r), median(border.g), median(border.b)};
  const Distance distanceTo(colour);

  size_t close = 0;
  for (size_t i = 0; i < border.r.size(); ++i) {
    const uint8_t pixel[4] = {border.b[i], border.g[i], border.r[i], 255};
    close += distanceTo(pixel) < 0.1;
  }
  if (close < 0.6 * double(border.r.size())) return std::nullopt;

  cv::Mat distance(H, W, CV_32F);
  for (int y = 0; y < H; ++y) {
    const uint8_t* p = picture.ptr<uint8_t>(y);
    float* d = distance.ptr<float>(y);
    for (int x = 0; x < W; ++x) d[x] = float(distanceTo(p + 4 * x));
  }

  const float thr = flatThreshold(tolerance);
  cv::Mat background(H, W, CV_8U, cv::Scalar(0));
  if (inner) {
    for (int y = 0; y < H; ++y) {
      const float* d = distance.ptr<float>(y);
      uint8_t* b = background.ptr<uint8_t>(y);
      for (int x = 0; x < W; ++x) b[x] = d[x] < thr;
    }
  } else {
    floodFromBorder(distance, thr, background);
  }

  // Over every 5 x 5 window clipped to the picture: is any pixel background, and the largest
  // distance of its subject pixels (distances are never negative, so background pixels can
  // stand in as 0). Dilation ignores what lies outside the picture.
  const cv::Mat window = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5));
  cv::Mat nearBackground, strongest = distance.clone();
  cv::dilate(background, nearBackground, window);
  strongest.setTo(0.0f, background);
  cv::dilate(strongest, strongest, window);  // in place: one float map fewer on huge pictures

  const float floorDistance = std::min(0.35f * thr, 0.03f);
  const float low = thr - 0.03f;
  const float span = thr - low;
  const float s = span > 0.001f ? span : 0.001f;
  cv::Mat matte(H, W, CV_8U);
  for (int y = 0; y < H; ++y) {
    const float* d = distance.ptr<float>(y);
    const float* m = strongest.ptr<float>(y);
    const uint8_t* near = nearBackground.ptr<uint8_t>(y);
    const uint8_t* isBackground = background.ptr<uint8_t>(y);
    uint8_t* out = matte.ptr<uint8_t>(y);
    for (int x = 0; x < W; ++x) {
      if (!near[x]) {
        out[x] = 255;
        continue;
      }
      float a;
      if (m[x] <= 0) {
        a = d[x] <= low ? 0.0f : std::min((d[x] - low) / s, 1.0f);
      } else {
        a = std::min(d[x] / (m[x] > 0.001f ? m[x] : 0.001f), 1.0f);
        if (isBackground[x] && d[x] <= floorDistance) a = 0;
      }
      out[x] = uint8_t(std::round(a * 255.0f));
    }
  }
  return FlatMatte{matte, colour};
}

}  // namespace tv
