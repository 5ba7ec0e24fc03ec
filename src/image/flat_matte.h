// The matte of a picture on a plain background (or with its own transparency), without a model.
#pragma once

#include <opencv2/core/mat.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

struct FlatMatte {
  cv::Mat matte;  // CV_8UC1 at the picture's size, 255 = subject
  // The background colour (red, green, blue, 0..1) estimated from the border; absent when the
  // matte is the picture's own alpha.
  std::optional<std::array<double, 3>> background;
};

// Cuts the subject out of a BGRA picture: by its alpha when more than 0.5 % of the pixels are
// below 250, else by the colour distance to the border's median colour, with `tolerance`
// widening what counts as background and `inner` also cutting out background-coloured holes.
// Nothing when the border is not plain (the caller reports "not-flat").
std::optional<FlatMatte> flatMatte(const cv::Mat& picture, double tolerance, bool inner);

// The border colours (red, green, blue) the background colour is estimated from: the two
// outermost rows and columns, every pixel read kept, in reading order.
std::vector<std::array<uint8_t, 3>> flatBorderSamples(const cv::Mat& picture);

// The threshold on the colour distance below which a pixel is background.
float flatThreshold(double tolerance);

}  // namespace tv
