// The skin-tone key: colour coordinates of face pixels, which of them count as skin, and the
// hue, saturation and lightness bounds drawn from all kept pixels.
#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <vector>

namespace tv {

// Side of the square patch each face is reduced to, in pixels.
constexpr int kPatchSide = 40;

// Fewer kept pixels than this over all faces give no key.
constexpr size_t kMinSamples = 51;

// A colour as the key measures it: hue in turns (0 red, 1/3 green, 2/3 blue, 0 <= h < 1),
// saturation as delta / max, lightness as Rec. 709 luma of the sRGB values as they are.
struct KeyCoords {
  double h = 0;
  double s = 0;
  double l = 0;
};

// r, g, b from 0 to 1.
KeyCoords keyCoords(double r, double g, double b);

// Skin candidates are coloured enough and neither near black nor blown out.
bool keptForKey(const KeyCoords& c);

// The element at index trunc(p * (n - 1)) of the values sorted ascending (index clamped);
// 0 for an empty list.
double percentile(std::vector<double> values, double p);

// The distance of two hues around the hue circle, 0 to 0.5.
double hueDistance(double a, double b);

// The face with the largest box area; the earlier one wins a tie. Nothing for no faces.
std::optional<size_t> largestFace(const std::vector<cv::Rect2d>& boxes);

// The patch of a face, in image pixels with the origin at the top left: the middle 52 % of the
// box across and the band from 38 % to 62 % of its height. `box` is normalised with the origin
// at the LOWER left, as the face detector gives it.
cv::Rect2d patchRect(const cv::Rect2d& box, cv::Size image);

// Renders the rectangle of a BGRA image into a kPatchSide square RGBA patch, scaled to fill it
// (each axis on its own). Every patch pixel averages samples spread over its footprint, so a
// large face is reduced without aliasing; outside the image the picture is transparent black.
void renderPatch(const cv::Mat& bgra, const cv::Rect2d& rect, cv::Mat& rgbaPatch);

// The samples of all faces and the sums the circular mean hue needs.
struct SkinSamples {
  std::vector<double> hues, saturations, lightnesses;
  double sinSum = 0;
  double cosSum = 0;

  // Adds the kept pixels of an RGBA patch (alpha ignored).
  void addPatch(const cv::Mat& rgbaPatch);
  void add(const KeyCoords& c);
  size_t size() const { return hues.size(); }
};

// The reported key.
struct SkinKey {
  double hue = 0;        // circular mean, 0 <= hue < 1
  double hueSpread = 0;  // 97th percentile of the hue distances to `hue`
  double satLow = 0, satHigh = 0, lumLow = 0, lumHigh = 0;
};

// The key of the samples, or nothing when there are fewer than kMinSamples.
std::optional<SkinKey> skinKey(const SkinSamples& samples);

}  // namespace tv
