// Clips of a textured target that walks behind a plain pillar and out again over a real photo,
// for the re-acquisition tests: every frame's true box, and whether the target is hidden, is
// known exactly.
#pragma once

#include "track_scenes.h"

#include <cmath>
#include <string>

namespace tvtest {

inline const char* kStreetClip = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
inline const char* kDocData = "/usr/share/doc/opencv-doc/examples/data/";
inline const char* kSkimageData = "/usr/lib/python3/dist-packages/skimage/data/";

struct Occlusion {
  std::string backdrop;    // a photo, or "" for a frame of the street clip
  std::string target;      // the photo the target is cut from
  cv::Rect2d cut;          // its part of that photo, as fractions of its size
  int side = 48;           // target side, pixels of the 640 x 360 frame
  double speed = 4;        // pixels per frame to the right
  double sway = 0;         // amplitude of a slow vertical sway, pixels
  int hidden = 20;         // frames fully behind the pillar
  bool backward = false;   // the clip runs the other way: the backward pass must find it again
  bool lookAlike = false;  // a mirrored copy of the target stands still above its path
};

constexpr int kSceneW = 640, kSceneH = 360;
constexpr int kBefore = 20, kAfter = 30;  // frames fully visible before the pillar and after

// The layout of a scene, in steps of the target's walk (step 0: frame 0, or the last frame of
// a backward clip).
struct Walk {
  Occlusion scene;
  double x0 = 0, wallLeft = 0, wallRight = 0;
  int steps = 0;

  explicit Walk(const Occlusion& s) : scene(s) {
    x0 = s.side / 2.0 + 8;
    wallLeft = x0 + s.side / 2.0 + s.speed * kBefore;
    wallRight = wallLeft + s.side + s.speed * s.hidden;
    const int crossing = int(std::ceil(s.side / s.speed));
    steps = kBefore + 2 * crossing + s.hidden + kAfter;
  }
  cv::Point2d centre(int step) const {
    return {x0 + scene.speed * step, kSceneH * 0.55 + scene.sway * std::sin(step / 15.0)};
  }
  bool hidden(int step) const {
    const double x = centre(step).x, half = scene.side / 2.0;
    return x - half >= wallLeft - 0.5 && x + half <= wallRight + 0.5;
  }
  bool clearOfWall(int step) const { return centre(step).x - scene.side / 2.0 >= wallRight; }
  int stepOf(int frame) const { return scene.backward ? steps - 1 - frame : frame; }
  // The true box of a frame, normalised (x, y of the top left corner, width, height).
  cv::Rect2d truth(int frame) const {
    const cv::Point2d c = centre(stepOf(frame));
    return {(c.x - scene.side / 2.0) / kSceneW, (c.y - scene.side / 2.0) / kSceneH,
            double(scene.side) / kSceneW, double(scene.side) / kSceneH};
  }
  cv::Rect2d lookAlikeBox() const {
    return {0.6, 0.08, double(scene.side) / kSceneW, double(scene.side) / kSceneH};
  }
};

inline cv::Mat backdropFor(const Occlusion& scene, const std::string& dir) {
  cv::Mat photo;
  if (scene.backdrop.empty()) {
    const std::string still = dir + "/street.png";
    shell("ffmpeg -v error -y -ss 2 -i '" + std::string(kStreetClip) + "' -frames:v 1 '" + still +
          "' </dev/null");
    photo = cv::imread(still);
  } else {
    photo = cv::imread(scene.backdrop);
  }
  if (photo.empty()) return photo;
  cv::Mat backdrop;
  cv::resize(photo, backdrop, cv::Size(kSceneW, kSceneH), 0, 0, cv::INTER_AREA);
  return backdrop;
}

// Writes the clip of a scene; "" when a photo is missing or ffmpeg failed.
inline std::string occlusionClip(const Walk& walk, const std::string& dir,
                                 const std::string& name) {
  const Occlusion& scene = walk.scene;
  const cv::Mat backdrop = backdropFor(scene, dir);
  const cv::Mat photo = cv::imread(scene.target);
  if (backdrop.empty() || photo.empty()) return "";
  const cv::Rect cut(int(scene.cut.x * photo.cols), int(scene.cut.y * photo.rows),
                     int(scene.cut.width * photo.cols), int(scene.cut.height * photo.rows));
  cv::Mat patch;
  cv::resize(photo(cut), patch, cv::Size(scene.side, scene.side), 0, 0, cv::INTER_AREA);
  cv::Mat mirrored;
  cv::flip(patch, mirrored, 1);
  return writeClip(dir, name, walk.steps, 30, [&](int frame) {
    cv::Mat image = backdrop.clone();
    if (scene.lookAlike) {
      const cv::Rect2d at = walk.lookAlikeBox();
      mirrored.copyTo(
          image(cv::Rect(int(at.x * kSceneW), int(at.y * kSceneH), scene.side, scene.side)));
    }
    const cv::Point2d c = walk.centre(walk.stepOf(frame));
    cv::Matx23d place(1, 0, c.x - scene.side / 2.0, 0, 1, c.y - scene.side / 2.0);
    cv::warpAffine(patch, image, place, image.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    cv::rectangle(image, cv::Point(int(walk.wallLeft), 0), cv::Point(int(walk.wallRight), kSceneH),
                  cv::Scalar(150, 160, 170), cv::FILLED);
    return image;
  });
}

}  // namespace tvtest
