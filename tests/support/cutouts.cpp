#include "support/cutouts.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace tvtest {
namespace {

// Outlines traced on the original pictures, in their pixels, clockwise from the top.
const std::vector<cv::Point> kAstronautOutline = {
    {228, 16},  {250, 17},  {275, 28},  {294, 47},  {300, 75},  {294, 106}, {269, 137},
    {275, 153}, {294, 169}, {303, 206}, {306, 237}, {337, 262}, {356, 294}, {362, 337},
    {362, 350}, {325, 362}, {300, 381}, {284, 412}, {279, 450}, {278, 511}, {31, 511},
    {25, 438},  {22, 375},  {25, 313},  {37, 269},  {62, 231},  {94, 213},  {114, 188},
    {125, 169}, {181, 134}, {166, 116}, {156, 94},  {153, 69},  {159, 47},  {181, 25}};
const std::vector<cv::Point> kAdmiralOutline = {
    {262, 25},  {312, 34},  {344, 59},  {366, 88},  {372, 100}, {375, 169}, {372, 206}, {362, 250},
    {341, 294}, {331, 325}, {400, 362}, {475, 387}, {494, 400}, {511, 431}, {511, 599}, {16, 599},
    {19, 475},  {37, 412},  {69, 381},  {131, 356}, {200, 319}, {181, 281}, {166, 244}, {156, 200},
    {153, 162}, {150, 125}, {159, 88},  {181, 59},  {216, 31}};

// A polygon's coverage, antialiased by drawing it four times larger.
cv::Mat polygonAlpha(cv::Size size, const std::vector<cv::Point>& outline) {
  constexpr int kSuper = 4;
  cv::Mat big(size * kSuper, CV_8U, cv::Scalar(0));
  std::vector<cv::Point> scaled;
  for (const auto& p : outline)
    scaled.emplace_back(p.x * kSuper + kSuper / 2, p.y * kSuper + kSuper / 2);
  cv::fillPoly(big, std::vector<std::vector<cv::Point>>{scaled}, cv::Scalar(255));
  cv::Mat alpha;
  cv::resize(big, alpha, size, 0, 0, cv::INTER_AREA);
  return alpha;
}

Cutout traced(const std::string& name, const std::vector<cv::Point>& outline) {
  std::string path = samplePicture(name);
  if (path.empty()) return {};
  Cutout c;
  c.bgr = cv::imread(path, cv::IMREAD_COLOR);
  if (c.bgr.empty()) return {};
  c.alpha = polygonAlpha(c.bgr.size(), outline);
  return c;
}

}  // namespace

std::string samplePicture(const std::string& name) {
  const char* folders[] = {"/usr/lib/python3/dist-packages/skimage/data/",
                           "/usr/share/matplotlib/mpl-data/sample_data/",
                           "/usr/share/doc/opencv-doc/examples/data/"};
  for (const char* folder : folders) {
    std::string path = std::string(folder) + name;
    if (std::filesystem::exists(path)) return path;
  }
  return {};
}

Cutout astronaut() {
  return traced("astronaut.png", kAstronautOutline);
}
Cutout admiral() {
  return traced("grace_hopper.jpg", kAdmiralOutline);
}

Cutout cup() {
  std::string path = samplePicture("coffee.png");
  if (path.empty()) return {};
  Cutout c;
  c.bgr = cv::imread(path, cv::IMREAD_COLOR);
  if (c.bgr.empty()) return {};
  // Traced as two ellipses: the saucer, and the cup's rim where it rises above the saucer.
  constexpr int kSuper = 4;
  cv::Mat big(c.bgr.size() * kSuper, CV_8U, cv::Scalar(0));
  cv::ellipse(big, cv::Point(277, 232) * kSuper, cv::Size(202, 157) * kSuper, 0, 0, 360,
              cv::Scalar(255), cv::FILLED);
  cv::ellipse(big, cv::Point(291, 107) * kSuper, cv::Size(118, 89) * kSuper, 0, 0, 360,
              cv::Scalar(255), cv::FILLED);
  cv::resize(big, c.alpha, c.bgr.size(), 0, 0, cv::INTER_AREA);
  return c;
}

Cutout device(const std::string& name) {
  const std::string path = "/usr/share/icons/oxygen/base/256x256/devices/" + name + ".png";
  cv::Mat rgba = cv::imread(path, cv::IMREAD_UNCHANGED);
  if (rgba.type() != CV_8UC4) return {};
  Cutout c;
  cv::cvtColor(rgba, c.bgr, cv::COLOR_BGRA2BGR);
  cv::extractChannel(rgba, c.alpha, 3);
  return c;
}

Composite composite(const cv::Mat& background, cv::Size size,
                    const std::vector<Placement>& placed) {
  Composite out;
  // Fill `size` with the background, keeping its aspect.
  double scale =
      std::max(double(size.width) / background.cols, double(size.height) / background.rows);
  cv::Mat bigger;
  cv::resize(background, bigger, cv::Size(), scale, scale, cv::INTER_LINEAR);
  cv::Rect middle((bigger.cols - size.width) / 2, (bigger.rows - size.height) / 2, size.width,
                  size.height);
  cv::Mat canvas;
  bigger(middle).convertTo(canvas, CV_32FC3);
  for (const auto& p : placed) {
    double s = double(p.height) / p.cutout->bgr.rows;
    cv::Mat fg, a;
    cv::resize(p.cutout->bgr, fg, cv::Size(), s, s, cv::INTER_AREA);
    cv::resize(p.cutout->alpha, a, fg.size(), 0, 0, cv::INTER_AREA);
    cv::Rect where(p.at, fg.size());
    cv::Rect visible = where & cv::Rect(0, 0, size.width, size.height);
    cv::Mat full(size, CV_8U, cv::Scalar(0));
    cv::Rect inner(visible.tl() - where.tl(), visible.size());
    a(inner).copyTo(full(visible));
    for (auto& earlier : out.alphas) {
      // What a later cut-out covers is no longer seen of the earlier ones.
      cv::Mat hidden;
      cv::subtract(cv::Scalar(255), full, hidden);
      cv::multiply(earlier, hidden, earlier, 1.0 / 255);
    }
    cv::Mat fgF, aF, region = canvas(visible);
    fg(inner).convertTo(fgF, CV_32FC3);
    a(inner).convertTo(aF, CV_32F, 1.0 / 255);
    cv::Mat a3;
    cv::merge(std::vector<cv::Mat>{aF, aF, aF}, a3);
    cv::Mat blended = fgF.mul(a3) + region.mul(cv::Scalar(1, 1, 1) - a3);
    blended.copyTo(region);
    out.alphas.push_back(full);
  }
  cv::Mat bgr;
  canvas.convertTo(bgr, CV_8UC3);
  cv::cvtColor(bgr, out.image, cv::COLOR_BGR2BGRA);
  return out;
}

double iou(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat fitted;
  cv::resize(a, fitted, b.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat ia = fitted >= 128, ib = b >= 128;
  double inter = cv::countNonZero(ia & ib), uni = cv::countNonZero(ia | ib);
  return uni > 0 ? inter / uni : 1.0;
}

}  // namespace tvtest
