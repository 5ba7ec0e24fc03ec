// Milliseconds per call of the face, registration and tracking analyses on 1080p and 512-pixel
// frames made from real photos (a portrait pasted on a street scene, shifted and turned a
// little between frames). Wall time is the median of the runs; CPU time is the mean over all
// threads, which is what a loaded machine pays. Model loading is timed apart.
// Usage: bench_vision [runs]   (default 15)
#include "vision/analyses.h"
#include "base/quiet.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

const char* const kPortrait = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
const char* const kScene = "/usr/share/doc/opencv-doc/examples/data/building.jpg";

double milliseconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
      .count();
}

cv::Mat bgra(const char* path) {
  cv::Mat picture = cv::imread(path, cv::IMREAD_COLOR);
  if (picture.empty()) {
    std::fprintf(stderr, "bench_vision: %s is missing\n", path);
    std::exit(1);
  }
  cv::cvtColor(picture, picture, cv::COLOR_BGR2BGRA);
  return picture;
}

// The scene at `size` with the portrait (face about a sixth of the height) pasted in, moved by
// `shift` pixels and turned by `degrees` about the centre.
cv::Mat frameOf(cv::Size size, cv::Point2d shift, double degrees) {
  static const cv::Mat scene = bgra(kScene), portrait = bgra(kPortrait);
  cv::Mat frame;
  cv::resize(scene, frame, size, 0, 0, cv::INTER_AREA);
  double scale = size.height * 0.45 / portrait.rows;
  cv::Mat small;
  cv::resize(portrait, small, cv::Size(), scale, scale, cv::INTER_AREA);
  small.copyTo(frame(cv::Rect(size.width / 3, size.height / 4, small.cols, small.rows)));
  cv::Mat moved;
  cv::Mat turn =
      cv::getRotationMatrix2D(cv::Point2f(size.width / 2.f, size.height / 2.f), degrees, 1);
  turn.at<double>(0, 2) += shift.x;
  turn.at<double>(1, 2) += shift.y;
  cv::warpAffine(frame, moved, turn, size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
  return moved;
}

void report(const char* what, cv::Size size, int runs, const std::function<void(int)>& call) {
  std::vector<double> wall;
  std::clock_t cpuStart = std::clock();
  for (int k = 0; k < runs; ++k) {
    auto start = std::chrono::steady_clock::now();
    call(k);
    wall.push_back(milliseconds(start));
  }
  double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC * 1000 / runs;
  std::sort(wall.begin(), wall.end());
  std::printf("%-26s %4dx%-4d %8.1f ms/call wall (median) %8.1f ms/call CPU\n", what, size.width,
              size.height, wall[wall.size() / 2], cpu);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  using namespace tv::analyses;
  cv::Mat warmup = frameOf({512, 288}, {0, 0}, 0);  // reports missing photos while it still can
  tv::silenceLibraries();

  auto start = std::chrono::steady_clock::now();
  faceRectangles(warmup);
  std::printf("face detector load + first call %8.1f ms\n", milliseconds(start));
  start = std::chrono::steady_clock::now();
  faceLandmarks(warmup);
  std::printf("landmark model load + first call %7.1f ms\n", milliseconds(start));

  for (cv::Size size : {cv::Size(512, 288), cv::Size(1920, 1080)}) {
    std::vector<cv::Mat> frames;
    for (int k = 0; k < runs + 1; ++k)
      frames.push_back(frameOf(size, {1.7 * k, -0.9 * k}, 0.1 * k));
    size_t faces = faceRectangles(frames[0]).size();
    report(("faceRectangles (" + std::to_string(faces) + " face)").c_str(), size, runs,
           [&](int k) { faceRectangles(frames[k]); });
    report("faceLandmarks", size, runs, [&](int k) { faceLandmarks(frames[k]); });
    // The camera mode keeps one reference for several frames: its features are reused.
    report("homography (same ref)", size, runs,
           [&](int k) { homography(frames[0], frames[k + 1]); });
    report("homography (new pair)", size, runs,
           [&](int k) { homography(frames[k], frames[k + 1]); });
    report("translation", size, runs, [&](int k) { translation(frames[0], frames[k + 1]); });
    cv::Rect2d start(1.0 / 3, 0.35, 0.15, 0.3);
    auto tracker = objectTracking(start);
    tracker->next(frames[0]);
    report("objectTracking next", size, runs, [&](int k) { tracker->next(frames[k + 1]); });
  }
  return 0;
}
