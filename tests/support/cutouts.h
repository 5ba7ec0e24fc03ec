// Real cut-outs with a known alpha, composited over real photographs, for the segmentation
// tests. The pictures come from Debian packages (scikit-image's and matplotlib's sample data,
// OpenCV's documentation, the Oxygen icon theme); the outlines of the people were traced by hand
// for these tests, so a composite's true matte is exactly the alpha it was made with.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tvtest {

struct Cutout {
  cv::Mat bgr;    // CV_8UC3
  cv::Mat alpha;  // CV_8UC1, 255 inside
};

// Paths of the sample pictures (empty when not installed).
std::string samplePicture(const std::string& name);

// The astronaut (without the helmet she holds, which is an object of its own) and the admiral,
// from their portraits; the espresso cup on its saucer. Empty when the picture is not installed.
Cutout astronaut();
Cutout admiral();
Cutout cup();

// A device from the Oxygen icon theme's 256-pixel pictures (camera-photo, printer, ...), none of
// them among the detector's classes: shaded like a photograph, with an exact alpha. Empty when
// the theme is not installed.
Cutout device(const std::string& name);

// A composite: the background resized to `size` (cropped to keep its aspect), and each cut-out
// scaled to `height` pixels tall with its top-left corner at `at`.
struct Placement {
  const Cutout* cutout;
  int height;
  cv::Point at;
};
struct Composite {
  cv::Mat image;                // CV_8UC4, BGRA
  std::vector<cv::Mat> alphas;  // one CV_8UC1 per placement, as seen (later ones on top)
};
Composite composite(const cv::Mat& background, cv::Size size, const std::vector<Placement>& placed);

// Intersection over union of two masks, each thresholded at a half (128); `a` is resized to
// `b`'s size first.
double iou(const cv::Mat& a, const cv::Mat& b);

}  // namespace tvtest
