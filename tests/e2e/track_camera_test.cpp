#include "support/run.h"
#include "track_scenes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

namespace {

using nlohmann::json;

// A 320 x 240 window over the astronaut photo, moving (dx, dy) pixels a frame: the camera pans
// right and tilts down when dx, dy > 0, so the content moves left and up.
std::string panningClip(const std::string& dir, const std::string& name, double dx, double dy,
                        int count) {
  const cv::Mat photo = cv::imread(tvtest::kAstronaut);
  return tvtest::writeClip(dir, name, count, 30, [&](int n) {
    // Sub-pixel steps: the window is resampled, not cut at whole pixels.
    cv::Matx23d shift(1, 0, -(40 + dx * n), 0, 1, -(60 + dy * n));
    cv::Mat frame;
    cv::warpAffine(photo, frame, shift, cv::Size(320, 240), cv::INTER_CUBIC);
    return frame;
  });
}

struct PathError {
  double maxPixels = 0;   // worst distance from the true position, in pixels of the clip
  double lastPixels = 0;  // at the last frame
};

PathError compare(const json& samples, double dx, double dy) {
  PathError error;
  for (size_t n = 0; n < samples.size(); ++n) {
    const double x = samples[n][1].get<double>(), y = samples[n][2].get<double>();
    // The position follows the content: it moves opposite to the camera.
    const double ex = (x - (0.5 - dx * n / 320)) * 320, ey = (y - (0.5 - dy * n / 240)) * 240;
    error.lastPixels = std::hypot(ex, ey);
    error.maxPixels = std::max(error.maxPixels, error.lastPixels);
  }
  return error;
}

class CameraMode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = tvtest::scratchDir("track-camera"); }
  static std::string dir_;
};
std::string CameraMode::dir_;

TEST_F(CameraMode, PanRightAndTiltDownMoveThePositionLeftAndUp) {
  const double dx = 2.3, dy = 1.1;
  const std::string clip = panningClip(dir_, "pan.mp4", dx, dy, 60);
  ASSERT_FALSE(clip.empty());
  const std::string out = dir_ + "/pan.json";
  auto run = tvtest::runTool({"track", "--input", clip, "--output", out, "--mode", "camera"});
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  const json& samples = file["samples"];
  ASSERT_EQ(samples.size(), 60u);
  EXPECT_EQ(samples[0], json::parse("[0,0.5,0.5,1,1,1]"));
  EXPECT_EQ(run.last()["seen"], 60);
  for (size_t n = 0; n < samples.size(); ++n) {
    ASSERT_EQ(samples[n].size(), 6u);
    EXPECT_NEAR(samples[n][0].get<double>(), n / 30.0, 1e-6);
    EXPECT_EQ(samples[n][3], 1);
    if (n > 0) {
      EXPECT_LT(samples[n][1].get<double>(), samples[n - 1][1].get<double>()) << n;
      EXPECT_LT(samples[n][2].get<double>(), samples[n - 1][2].get<double>()) << n;
    }
  }
  PathError error = compare(samples, dx, dy);
  std::printf("camera pan: worst %.3f px, last %.3f px over %zu frames (%.1f px travelled)\n",
              error.maxPixels, error.lastPixels, samples.size(), std::hypot(dx, dy) * 59);
  // Under a pixel after 59 registrations of sub-pixel steps: the renewals do not accumulate drift.
  EXPECT_LT(error.maxPixels, 0.75);
  EXPECT_NEAR(file["end"].get<double>(), samples.back()[0].get<double>() + 1.0 / 30, 1e-9);
}

TEST_F(CameraMode, SignOneReversesTheHomographicDirection) {
  const double dx = 2, dy = 0;
  const std::string clip = panningClip(dir_, "sign.mp4", dx, dy, 20);
  ASSERT_FALSE(clip.empty());
  const std::string out = dir_ + "/sign.json";
  auto run = tvtest::runTool(
      {"track", "--input", clip, "--output", out, "--mode", "camera", "--sign", "1"});
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  const json& last = file["samples"].back();
  EXPECT_NEAR(last[1].get<double>(), 0.5 + dx * 19 / 320, 0.01);
}

TEST_F(CameraMode, StillPictureStaysAtTheCentre) {
  const cv::Mat photo = cv::imread(tvtest::kAstronaut);
  const std::string clip = tvtest::writeClip(
      dir_, "still.mp4", 15, 30, [&](int) { return photo(cv::Rect(100, 100, 320, 240)).clone(); });
  ASSERT_FALSE(clip.empty());
  const std::string out = dir_ + "/still.json";
  auto run = tvtest::runTool({"track", "--input", clip, "--output", out, "--mode", "camera"});
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  for (const auto& sample : file["samples"]) {
    EXPECT_NEAR(sample[1].get<double>(), 0.5, 0.002);
    EXPECT_NEAR(sample[2].get<double>(), 0.5, 0.002);
  }
}

// Real footage from a fixed camera with people walking through it: the moving people must not
// pass for camera motion.
TEST_F(CameraMode, FixedCameraWithPeopleWalkingStaysPut) {
  const std::string clip = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
  if (!std::filesystem::exists(clip)) GTEST_FAIL() << "no " << clip;
  const std::string out = dir_ + "/fixed.json";
  auto run = tvtest::runTool(
      {"track", "--input", clip, "--output", out, "--mode", "camera", "--end", "4"});
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  ASSERT_EQ(file["samples"].size(), 40u);  // 10 fps
  for (const auto& sample : file["samples"]) {
    EXPECT_NEAR(sample[1].get<double>(), 0.5, 0.002);
    EXPECT_NEAR(sample[2].get<double>(), 0.5, 0.002);
  }
}

}  // namespace
