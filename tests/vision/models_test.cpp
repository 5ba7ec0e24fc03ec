// Where models are looked up, and the one error a missing or unreadable model gives. The
// analyses load their models once per process, so a failure is checked in a child that has
// loaded nothing yet: a forked one, or, where this process may hold the model already, a fresh
// run of this program (a death test in the "threadsafe" style, which reads the error line on
// standard error).
#include "base/events.h"
#include "vision/analyses.h"
#include "vision/blazeface.h"
#include "vision/models.h"
#include "support/child.h"
#include "support/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>

namespace tv {
namespace {

namespace fs = std::filesystem;

// Sets TARNEL_MODELS for the scope of one test.
class ModelsFolder {
 public:
  explicit ModelsFolder(const std::string& folder) {
    const char* old = std::getenv("TARNEL_MODELS");
    if (old) saved_ = old, had_ = true;
    ::setenv("TARNEL_MODELS", folder.c_str(), 1);
  }
  ~ModelsFolder() {
    if (had_)
      ::setenv("TARNEL_MODELS", saved_.c_str(), 1);
    else
      ::unsetenv("TARNEL_MODELS");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string errorOf(const tvtest::ChildOutcome& outcome) {
  if (outcome.lines.size() != 1) return "(" + std::to_string(outcome.lines.size()) + " lines)";
  auto line = nlohmann::json::parse(outcome.lines[0], nullptr, false);
  if (!line.is_object() || !line.contains("error") || !line["error"].is_string())
    return outcome.lines[0];
  return line["error"];
}

TEST(Models, ARelativeNameThatExistsNowhereIsNotFound) {
  std::string empty = tvtest::scratchDir("models-empty");
  ModelsFolder folder(empty);
  EXPECT_EQ(findModel("no-such-folder/no-such-model.onnx"), "");
  EXPECT_EQ(findModel("/no/such/absolute/model.dat"), "");
  auto outcome =
      tvtest::inChild([] { requireModel("no-such-folder/no-such-model.onnx", "test model"); });
  EXPECT_EQ(outcome.status, 1);
  std::string error = errorOf(outcome);
  EXPECT_EQ(
      error.rfind(
          "cannot load the model test model: no-such-folder/no-such-model.onnx not found in " +
              empty,
          0),
      0u)
      << error;
}

TEST(Models, TheEnvironmentFolderComesFirst) {
  std::string dir = tvtest::scratchDir("models-first");
  writeFile(fs::path(dir) / blazeface::kModelFile, "x");
  ModelsFolder folder(dir);
  EXPECT_EQ(findModel(blazeface::kModelFile), (fs::path(dir) / blazeface::kModelFile).string());
}

// Runs `call` the way the tool ends a failed run, with the error line sent to standard error
// for the death test to read.
[[noreturn]] void endingAsTheTool(const std::function<void()>& call) {
  ::dup2(2, 1);
  int status = 0;
  try {
    call();
  } catch (const Failure& failure) {
    status = finishWithError(failure.message);
  }
  ::_exit(status);
}

// Earlier face tests in this process may have loaded the face models already, and a forked
// child would inherit them: the checks below run in a fresh run of the test program instead.
TEST(Models, AnUnreadableFaceModelIsAnErrorNotNoFaces) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string dir = tvtest::scratchDir("models-broken-detector");
  writeFile(fs::path(dir) / blazeface::kModelFile, "this is not an ONNX graph");
  ModelsFolder folder(dir);
  cv::Mat picture(120, 160, CV_8UC4, cv::Scalar(40, 80, 120, 255));
  const char* error =
      "\"error\": ?\"cannot load the model face detector: [^\"]*models-broken-detector/npm/";
  EXPECT_EXIT(endingAsTheTool([&] { analyses::faceRectangles(picture); }),
              ::testing::ExitedWithCode(1), error);
  EXPECT_EXIT(endingAsTheTool([&] { analyses::faceLandmarks(picture); }),
              ::testing::ExitedWithCode(1), error);
}

TEST(Models, AnUnreadableLandmarkModelIsAnError) {
  std::string dir = tvtest::scratchDir("models-broken-predictor");
  writeFile(fs::path(dir) / "shape_predictor_68_face_landmarks.dat", "not a dlib shape predictor");
  ModelsFolder folder(dir);
  // Even on a picture without faces: the landmark model is needed, and it is broken.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  cv::Mat picture(120, 160, CV_8UC4, cv::Scalar(40, 80, 120, 255));
  EXPECT_EXIT(endingAsTheTool([&] { analyses::faceLandmarks(picture); }),
              ::testing::ExitedWithCode(1),
              "\"error\": ?\"cannot load the model face landmarks: "
              "[^\"]*models-broken-predictor/shape_predictor");
}

}  // namespace
}  // namespace tv
