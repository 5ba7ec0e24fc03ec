// Video object mode on objects none of the detector's classes covers: an Oxygen device cut-out
// moving over the real street clip, whose true matte on every frame is the alpha it was pasted
// with.
#include "support/cutouts.h"
#include "support/mattes.h"
#include "track_scenes.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;
using tvtest::Cutout;

const char* kStreet = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";  // 768 x 576, 10 fps

// The first `count` frames of the street clip at `size`, BGR.
std::vector<cv::Mat> streetFrames(const std::string& dir, int count, cv::Size size) {
  std::vector<cv::Mat> frames;
  const std::string folder = dir + "/street";
  fs::create_directories(folder);
  const std::string command = std::string("ffmpeg -v error -y -i '") + kStreet + "' -frames:v " +
                              std::to_string(count) + " -vf scale=" + std::to_string(size.width) +
                              ":" + std::to_string(size.height) + " '" + folder +
                              "/%04d.png' </dev/null";
  if (tvtest::shell(command) != 0) return frames;
  for (int n = 1; n <= count; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "/%04d.png", n);
    cv::Mat frame = cv::imread(folder + name);
    if (frame.empty()) break;
    frames.push_back(frame);
  }
  return frames;
}

// A walk of a cut-out over the street: where its top-left corner is on frame n.
struct Path {
  cv::Point2d from;
  cv::Point2d step;  // pixels per frame
  double sway = 0;   // amplitude of a vertical sway, pixels
  cv::Point2d at(int n) const {
    return {from.x + step.x * n, from.y + step.y * n + sway * std::sin(n / 8.0)};
  }
};

struct Clip {
  std::string path;
  std::vector<cv::Mat> truth;  // the cut-out's alpha on each frame
};

// The cut-out, scaled to `height` pixels, pasted over the street frames along the path.
Clip pasteOver(const std::vector<cv::Mat>& street, const Cutout& object, int height,
               const Path& path, const std::string& dir, const std::string& name) {
  Clip clip;
  const double scale = double(height) / object.alpha.rows;
  cv::Mat bgr, alpha;
  cv::resize(object.bgr, bgr, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::resize(object.alpha, alpha, bgr.size(), 0, 0, cv::INTER_AREA);
  clip.path = tvtest::writeClip(dir, name, int(street.size()), 10, [&](int n) {
    const cv::Point2d at = path.at(n);
    const cv::Matx23d place(1, 0, at.x, 0, 1, at.y);
    cv::Mat moved, movedAlpha;
    cv::warpAffine(bgr, moved, place, street[n].size(), cv::INTER_LINEAR);
    cv::warpAffine(alpha, movedAlpha, place, street[n].size(), cv::INTER_LINEAR);
    cv::Mat a, image;
    cv::Mat a3[] = {movedAlpha, movedAlpha, movedAlpha};
    cv::merge(a3, 3, a);
    a.convertTo(a, CV_32FC3, 1.0 / 255);
    cv::Mat over, under;
    moved.convertTo(over, CV_32FC3);
    street[n].convertTo(under, CV_32FC3);
    image = over.mul(a) + under.mul(cv::Scalar::all(1) - a);
    image.convertTo(image, CV_8UC3);
    clip.truth.push_back(movedAlpha);
    return image;
  });
  return clip;
}

// The point deepest inside a matte, as "x,y" for --point.
std::string deepestPoint(const cv::Mat& matte) {
  cv::Mat distance;
  cv::distanceTransform(matte > 127, distance, cv::DIST_L2, 3);
  cv::Point deepest;
  cv::minMaxLoc(distance, nullptr, nullptr, nullptr, &deepest);
  char text[64];
  std::snprintf(text, sizeof text, "%.5f,%.5f", (deepest.x + 0.5) / matte.cols,
                (deepest.y + 0.5) / matte.rows);
  return text;
}

double cpuSecondsOfChildren() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Followed {
  std::vector<double> iou;  // per frame
  double mean = 0;
};

Followed follow(const Clip& clip, const std::string& output, const std::string& point,
                const std::string& at, const std::vector<std::string>& extra = {}) {
  Followed result;
  std::vector<std::string> args{"video",  "--input", clip.path, "--output", output, "--mode",
                                "object", "--point", point,     "--at",     at};
  args.insert(args.end(), extra.begin(), extra.end());
  const double cpuBefore = cpuSecondsOfChildren();
  const auto began = std::chrono::steady_clock::now();
  auto run = tvtest::runTool(args, 600);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double cpu = cpuSecondsOfChildren() - cpuBefore;
  EXPECT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());
  EXPECT_EQ(run.errors, "");
  if (run.status != 0) return result;
  const auto frames = tvtest::matteFrames(output);
  EXPECT_EQ(frames.size(), clip.truth.size());
  for (size_t k = 0; k < frames.size() && k < clip.truth.size(); ++k)
    result.iou.push_back(tvtest::iou(frames[k], clip.truth[k]));
  for (double v : result.iou) result.mean += v;
  if (!result.iou.empty()) result.mean /= double(result.iou.size());
  std::printf(
      "[ figures  ] %s: mean IoU %.3f over %zu frames, whole run %.1f s wall, %.1f s CPU "
      "(%.2f frames/s of wall time)\n",
      fs::path(output).filename().c_str(), result.mean, result.iou.size(), wall, cpu,
      result.iou.size() / std::max(wall, 1e-3));
  return result;
}

constexpr int kFrames = 40;
const cv::Size kSize(1280, 720);

TEST(VideoAnyObject, ADeviceMovingOverTheStreetIsFollowed) {
  const std::string dir = tvtest::scratchDir("video-any-object");
  const auto street = streetFrames(dir, kFrames, kSize);
  ASSERT_EQ(street.size(), size_t(kFrames)) << "no " << kStreet;
  const Cutout printer = tvtest::device("printer");
  ASSERT_FALSE(printer.bgr.empty()) << "the Oxygen icon theme is not installed";
  const Clip clip = pasteOver(street, printer, 220, {{150, 280}, {18, 1}, 50}, dir, "printer.mp4");
  ASSERT_FALSE(clip.path.empty());
  const Followed followed =
      follow(clip, dir + "/printer-matte.mp4", deepestPoint(clip.truth[0]), "0");
  ASSERT_EQ(followed.iou.size(), size_t(kFrames));
  EXPECT_GE(followed.mean, 0.7);
  // Not one frame lost on the way, nor far off.
  for (int k = 0; k < kFrames; ++k) EXPECT_GE(followed.iou[k], 0.5) << "frame " << k;
}

// Picked in the middle of the range: the frames before the pick are carried back to the start.
TEST(VideoAnyObject, ADevicePickedMidwayIsCarriedBack) {
  const std::string dir = tvtest::scratchDir("video-any-object-back");
  const auto street = streetFrames(dir, kFrames, kSize);
  ASSERT_EQ(street.size(), size_t(kFrames)) << "no " << kStreet;
  const Cutout camera = tvtest::device("camera-photo");
  ASSERT_FALSE(camera.bgr.empty()) << "the Oxygen icon theme is not installed";
  const Clip clip = pasteOver(street, camera, 200, {{1000, 380}, {-16, -2}, 30}, dir, "camera.mp4");
  ASSERT_FALSE(clip.path.empty());
  const int pick = 20;
  const Followed followed = follow(clip, dir + "/camera-matte.mp4", deepestPoint(clip.truth[pick]),
                                   std::to_string(pick / 10.0));
  ASSERT_EQ(followed.iou.size(), size_t(kFrames));
  EXPECT_GE(followed.mean, 0.7);
  for (int k = 0; k < kFrames; ++k) EXPECT_GE(followed.iou[k], 0.5) << "frame " << k;
}

}  // namespace
