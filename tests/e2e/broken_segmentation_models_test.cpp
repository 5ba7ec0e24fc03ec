// A broken segmentation or detection model is an error of the image command, never an empty
// matte: the real binary with TARNEL_MODELS pointing at a folder whose model is unreadable.
#include "support/run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// A picture without anyone in it: the analyses would not need their second network there.
const std::string kStreet = "/usr/share/doc/opencv-doc/examples/data/building.jpg";

// TARNEL_MODELS set, for one test, to a folder holding one unreadable model file.
class BrokenModel {
 public:
  BrokenModel(const std::string& name, const std::string& file) {
    dir_ = tvtest::scratchDir(name);
    std::ofstream(fs::path(dir_) / file, std::ios::binary) << "not a model";
    if (const char* old = std::getenv("TARNEL_MODELS")) saved_ = old;
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

void expectError(const tvtest::RunResult& run, const std::string& start) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "");
  ASSERT_EQ(run.lines.size(), 1u);
  auto line = run.last();
  ASSERT_TRUE(line.is_object() && line.contains("error") && line["error"].is_string())
      << run.lines[0];
  std::string error = line["error"];
  EXPECT_EQ(error.rfind(start, 0), 0u) << error;
}

TEST(SegmentationModels, ABrokenPersonModelIsAnErrorEvenWithoutPeople) {
  if (!fs::exists(kStreet)) GTEST_FAIL() << "building.jpg not installed";
  BrokenModel broken("broken-selfie", "selfie.onnx");
  std::string out = broken.dir() + "/matte.png";
  expectError(tvtest::runTool({"image", "--input", kStreet, "--output", out, "--mode", "person"}),
              "cannot load the model person segmentation: " + broken.dir() + "/selfie.onnx: ");
  EXPECT_FALSE(fs::exists(out));
}

// The matting network refines a whole figure in a photo: person mode on such a picture needs
// it (and says so), a picture without one and a video's frames do not load it.
TEST(SegmentationModels, ABrokenMattingModelIsAnErrorForAFigureInAPhoto) {
  const std::string stamp = "/usr/share/tuxpaint/stamps/people/fireman240a.png";
  if (!fs::exists(kStreet)) GTEST_FAIL() << "building.jpg not installed";
  if (!fs::exists(stamp)) GTEST_FAIL() << "tuxpaint-stamps-default is not installed";
  BrokenModel broken("broken-rvm", "rvm.onnx");
  const std::string figure = broken.dir() + "/figure.png";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -i '" + kStreet + "' -i '" + stamp +
                          "' -filter_complex '[0:v]scale=1280:720[b];[1:v]scale=-1:600[p];"
                          "[b][p]overlay=200:80' -frames:v 1 '" + figure + "'"),
            0);
  std::string out = broken.dir() + "/matte.png";
  expectError(tvtest::runTool({"image", "--input", figure, "--output", out, "--mode", "person"}),
              "cannot load the model person matting: " + broken.dir() + "/rvm.onnx: ");
  EXPECT_FALSE(fs::exists(out));
  auto street = tvtest::runTool({"image", "--input", kStreet, "--output", out, "--mode", "person"});
  EXPECT_EQ(street.status, 0) << street.lines.back();
  const std::string clip = tvtest::makeVideo(broken.dir(), "clip.mp4",
                                             "testsrc2=size=160x120:rate=10:duration=1");
  const std::string video = broken.dir() + "/matte.mp4";
  auto run = tvtest::runTool({"video", "--input", clip, "--output", video, "--mode", "person"});
  EXPECT_EQ(run.status, 0) << run.lines.back();
  EXPECT_TRUE(fs::exists(video));
}

TEST(SegmentationModels, ABrokenDetectorIsAnErrorForTheForeground) {
  if (!fs::exists(kStreet)) GTEST_FAIL() << "building.jpg not installed";
  BrokenModel broken("broken-centernet", "centernet.onnx");
  std::string out = broken.dir() + "/matte.png";
  expectError(tvtest::runTool({"image", "--input", kStreet, "--output", out, "--mode", "all"}),
              "cannot load the model object detector: " + broken.dir() + "/centernet.onnx: ");
  EXPECT_FALSE(fs::exists(out));
}

TEST(SegmentationModels, ABrokenSalientModelIsAnErrorForSubjectAndObject) {
  if (!fs::exists(kStreet)) GTEST_FAIL() << "building.jpg not installed";
  BrokenModel broken("broken-u2netp", "u2netp.onnx");
  std::string out = broken.dir() + "/matte.png";
  const std::string error =
      "cannot load the model salient objects: " + broken.dir() + "/u2netp.onnx: ";
  expectError(tvtest::runTool({"image", "--input", kStreet, "--output", out, "--mode", "subject"}),
              error);
  // The sky holds no detector instance: the salient objects are asked.
  expectError(tvtest::runTool({"image", "--input", kStreet, "--output", out, "--mode", "object",
                               "--point", "0.1,0.05"}),
              error);
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
