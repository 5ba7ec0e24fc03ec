// Frames with a known camera motion for the camera track's accuracy (bench/camera_accuracy).
// Writes 1920 x 1080 raw BGR frames to standard output and, to the truth file, the position
// the camera track must answer at each frame: the content at the frame centre followed through
// the same chain of references the track keeps (renewed every renewalInterval frames or on a
// large jump), so that a perfect registration gives exactly this path.
// Usage: bench_camera_truth <motion> <frames> <truth file> <photo>...
// Motions: pan-rotate, zoom, perspective, handheld, soft (handheld over a blurred, faded scene).
#include "track/camera.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr double kFps = 30;
constexpr double kPi = 3.14159265358979323846;

cv::Matx33d shift(double x, double y) {
  return {1, 0, x, 0, 1, y, 0, 0, 1};
}

cv::Matx33d turn(double degrees, double scale) {
  const double a = degrees * kPi / 180, c = std::cos(a) * scale, s = std::sin(a) * scale;
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

// Hand shake: a few sines at unrelated frequencies, so that it never repeats within a clip.
double shake(double t, double phase) {
  return std::sin(2 * kPi * 0.73 * t + phase) + 0.6 * std::sin(2 * kPi * 1.9 * t + 2 * phase) +
         0.35 * std::sin(2 * kPi * 4.3 * t + 3 * phase);
}

// The camera at frame n: from the frame's own continuous coordinates (pixel (i, j) covers
// [i, i + 1) x [j, j + 1), y down) to the scene's, centred on the scene's middle.
cv::Matx33d camera(const std::string& motion, int n, cv::Size scene) {
  const double t = n / kFps;
  const cv::Matx33d toScene = shift(scene.width * 0.5, scene.height * 0.5);
  const cv::Matx33d fromFrame = shift(-kWidth * 0.5, -kHeight * 0.5);
  cv::Matx33d move = cv::Matx33d::eye();
  if (motion == "pan-rotate") {
    // A steady pan to the right and down while the camera rolls by up to 2 degrees.
    move = shift(-420 + 5.5 * n, -120 + 1.6 * n) * turn(2 * std::sin(2 * kPi * t / 4), 1);
  } else if (motion == "zoom") {
    // Zooming in by a third over six seconds, drifting slowly.
    move = shift(-60 + 1.2 * n, 40 - 0.8 * n) * turn(0, 1 / (1 + 0.33 * t / 6));
  } else if (motion == "perspective") {
    // A pan with the camera yawing and pitching a little: the scene's plane keystones.
    const double px = 0.00005 * std::sin(2 * kPi * t / 5), py = 0.00004 * std::cos(2 * kPi * t / 3);
    const cv::Matx33d keystone(1, 0, 0, 0, 1, 0, px, py, 1);
    move = shift(-300 + 3.5 * n, 60 - 1.0 * n) * keystone;
  } else if (motion == "handheld" || motion == "soft") {
    // Walking slowly forwards and sideways with a shaking hand: up to about 18 px and half a
    // degree of shake on top of the walk.
    const double dx = 10 * shake(t, 0.3), dy = 8 * shake(t * 1.13, 1.7);
    const double roll = 0.3 * shake(t * 0.87, 2.9);
    move = shift(-200 + 2.0 * n + dx, -60 + 0.7 * n + dy) * turn(roll, 1 / (1 + 0.02 * t));
  } else {
    std::fprintf(stderr, "unknown motion %s\n", motion.c_str());
    std::exit(2);
  }
  return toScene * move * fromFrame;
}

// A scene large enough for every motion: the photos enlarged to 1100 x 825 and laid out three
// by three, so that the camera never sees past the edge and no photo is blown up more than about
// twice.
cv::Mat sceneOf(const std::vector<std::string>& photos, bool soft) {
  const cv::Size tile(1100, 825);
  cv::Mat scene(tile.height * 3, tile.width * 3, CV_8UC3, cv::Scalar(90, 110, 130));
  for (int k = 0; k < 9 && !photos.empty(); ++k) {
    cv::Mat photo = cv::imread(photos[k % photos.size()], cv::IMREAD_COLOR);
    if (photo.empty()) {
      std::fprintf(stderr, "cannot read %s\n", photos[k % photos.size()].c_str());
      std::exit(2);
    }
    cv::Mat placed;
    cv::resize(photo, placed, tile, 0, 0, cv::INTER_CUBIC);
    placed.copyTo(
        scene(cv::Rect((k % 3) * tile.width, (k / 3) * tile.height, tile.width, tile.height)));
  }
  if (soft) {
    // Out of focus and washed out: little left for features to hold on to.
    cv::GaussianBlur(scene, scene, cv::Size(), 7);
    scene.convertTo(scene, -1, 0.3, 150);
  }
  return scene;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_camera_truth <motion> <frames> <truth file> <photo>...\n");
    return 2;
  }
  const std::string motion = argv[1];
  const int frames = std::atoi(argv[2]);
  std::ofstream truth(argv[3]);
  const std::vector<std::string> photos(argv + 4, argv + argc);
  const cv::Mat scene = sceneOf(photos, motion == "soft");

  // The same bookkeeping as the camera track, fed the exact motion of the frame centre.
  const int interval = tv::renewalInterval(kFps);
  const cv::Point2d centre(kWidth * 0.5, kHeight * 0.5);
  cv::Matx33d reference = camera(motion, 0, scene.size());
  cv::Point2d referencePosition(0.5, 0.5), position(0.5, 0.5);
  int sinceReference = 0;
  // OpenCV samples at pixel centres on whole numbers: half a pixel off the continuous frame.
  const cv::Matx33d toCentres = shift(-0.5, -0.5), fromCentres = shift(0.5, 0.5);
  cv::Mat frame;
  char line[64];
  for (int n = 0; n < frames; ++n) {
    const cv::Matx33d now = camera(motion, n, scene.size());
    if (n > 0) {
      // Where the content now at the centre sat in the reference frame.
      const cv::Vec3d p = reference.inv() * now * cv::Vec3d(centre.x, centre.y, 1);
      const double nx = (centre.x - p[0] / p[2]) / kWidth, ny = (centre.y - p[1] / p[2]) / kHeight;
      position = referencePosition + cv::Point2d(nx, ny);
      sinceReference += 1;
      if (std::max(std::abs(nx), std::abs(ny)) > 0.12 || sinceReference >= interval) {
        reference = now;
        referencePosition = position;
        sinceReference = 0;
      }
    }
    std::snprintf(line, sizeof line, "%.9f %.9f\n", position.x, position.y);
    truth << line;
    cv::warpPerspective(scene, frame, toCentres * now * fromCentres, cv::Size(kWidth, kHeight),
                        cv::INTER_CUBIC | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
    if (std::fwrite(frame.data, frame.total() * frame.elemSize(), 1, stdout) != 1) return 1;
  }
  return truth.good() ? 0 : 1;
}
