// Normalised boxes (centre and size, y from the top) and the series helpers the trackers share.
#pragma once

#include <opencv2/core/types.hpp>

#include <optional>
#include <vector>

namespace tv {

struct Box {
  double x = 0;  // centre, fraction of the frame width from the left
  double y = 0;  // centre, fraction of the frame height from the TOP
  double w = 0;
  double h = 0;

  // From a vision rectangle (normalised, origin at the lower left); negative sizes are
  // normalised first.
  static Box fromVision(const cv::Rect2d& rect);
  // Back to a vision rectangle.
  cv::Rect2d vision() const;

  double overlap(const Box& other) const;   // intersection over union
  double distance(const Box& other) const;  // between the centres, normalised units
};

// Gaussian smoothing with edge values repeated; series under 3 values or sigma <= 0 come back
// unchanged.
std::vector<double> smoothed(const std::vector<double>& series, double sigma);

// Gaps filled: held before the first and after the last known box, linear in between. Empty
// when no box is known.
std::vector<Box> bridged(const std::vector<std::optional<Box>>& series);

// A box series with its centres smoothed at one sigma and its sizes at another, each of the
// four coordinates as its own series.
std::vector<Box> smoothedBoxes(const std::vector<Box>& boxes, double centreSigma, double sizeSigma);

// Rounds to the given number of decimals, halves away from zero.
double roundTo(double value, int decimals);

}  // namespace tv
