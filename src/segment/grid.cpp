#include "segment/grid.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tv {

Grid labelGrid(const cv::Mat& buffer) {
  constexpr int G = GRID;
  Grid grid(size_t(G) * G, 0);
  if (buffer.empty() || buffer.dims != 2) return grid;
  // 64-bit products: r * H overflows nothing, even for the largest buffers.
  const long long W = buffer.cols, H = buffer.rows;
  std::array<int, G> columns;
  for (int c = 0; c < G; ++c) columns[c] = int(std::min((c * W + W / 2) / G, W - 1));
  const size_t pixelBytes = buffer.elemSize();
  for (int r = 0; r < G; ++r) {
    const long long y = std::min((r * H + H / 2) / G, H - 1);
    const uint8_t* row = buffer.ptr<uint8_t>(int(y));
    for (int c = 0; c < G; ++c) grid[size_t(r) * G + c] = row[columns[c] * pixelBytes];
  }
  return grid;
}

namespace {

// x * G truncated toward zero, then kept on the grid; NaN lands on cell 0.
int cellOf(double fraction) {
  double scaled = fraction * GRID;
  if (!(scaled >= 0)) return 0;
  if (scaled >= GRID - 1) return GRID - 1;
  return int(scaled);
}

}  // namespace

uint8_t label(Point at, const Grid& in) {
  constexpr int G = GRID;
  if (in.size() != size_t(G) * G) return 0;
  const int cx = cellOf(at.x), cy = cellOf(at.y);
  for (int d = 0; d <= 5; ++d) {
    for (int y = cy - d; y <= cy + d; ++y) {
      if (y < 0 || y >= G) continue;
      for (int x = cx - d; x <= cx + d; ++x) {
        if (x < 0 || x >= G) continue;
        if (uint8_t value = in[size_t(y) * G + x]) return value;
      }
    }
  }
  return 0;
}

uint8_t follow(const Grid& previous, const Grid& in) {
  std::array<long, 256> size{}, shared{};
  long sizePrevious = 0;
  const size_t cells = std::min(previous.size(), in.size());
  for (size_t i = 0; i < cells; ++i) {
    ++size[in[i]];
    if (previous[i]) {
      ++sizePrevious;
      ++shared[in[i]];
    }
  }
  int best = 0;
  double bestScore = 0;
  for (int l = 1; l < 256; ++l) {
    if (shared[l] < 1) continue;
    double score = double(shared[l]) / double(sizePrevious + size[l] - shared[l]);
    if (best == 0 || score > bestScore) {
      best = l;
      bestScore = score;
    }
  }
  return best != 0 && bestScore >= 0.12 ? uint8_t(best) : 0;
}

Grid only(uint8_t label, const Grid& of) {
  Grid mask(of.size());
  for (size_t i = 0; i < of.size(); ++i) mask[i] = of[i] == label ? 1 : 0;
  return mask;
}

}  // namespace tv
