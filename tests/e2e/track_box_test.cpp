#include "support/run.h"
#include "track_scenes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using nlohmann::json;

constexpr int kW = 320, kH = 240, kSide = 56, kFrames = 75;

// Where the cat's face patch is centred on frame n, in pixels.
cv::Point2d patchCentre(int n) {
  return {70 + 2.4 * n, 120 + 40 * std::sin(n / 14.0)};
}

std::string movingPatchClip(const std::string& dir) {
  cv::Mat background;
  cv::resize(cv::imread(tvtest::kCoffee), background, cv::Size(kW, kH), 0, 0, cv::INTER_AREA);
  cv::Mat cat = cv::imread(tvtest::kCat);
  cv::Mat patch;
  cv::resize(cat(cv::Rect(130, 40, 200, 200)), patch, cv::Size(kSide, kSide), 0, 0, cv::INTER_AREA);
  return tvtest::writeClip(dir, "patch.mp4", kFrames, 30, [&](int n) {
    cv::Mat frame = background.clone();
    const cv::Point2d c = patchCentre(n);
    // Sub-pixel placement, so the path is not rounded to whole pixels.
    cv::Matx23d place(1, 0, c.x - kSide / 2.0, 0, 1, c.y - kSide / 2.0);
    cv::warpAffine(patch, frame, place, frame.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    return frame;
  });
}

std::vector<std::string> boxArgs(const std::string& clip, const std::string& out, int frame) {
  const cv::Point2d c = patchCentre(frame);
  char box[96];
  std::snprintf(box, sizeof box, "%.6f,%.6f,%.6f,%.6f", c.x / kW, c.y / kH,
                static_cast<double>(kSide) / kW, static_cast<double>(kSide) / kH);
  return {"track",    "--input", clip,
          "--output", out,       "--box",
          box,        "--at",    std::to_string(frame / 30.0)};
}

// Worst corner distance in pixels between the tracked box and the patch.
double cornerError(const json& sample, int n) {
  const cv::Point2d c = patchCentre(n);
  const double x = sample[1].get<double>() * kW, y = sample[2].get<double>() * kH;
  const double w = sample[3].get<double>() * kW, h = sample[4].get<double>() * kH;
  double worst = 0;
  for (int sx : {-1, 1}) {
    for (int sy : {-1, 1}) {
      worst = std::max(worst, std::hypot(x + sx * w / 2 - (c.x + sx * kSide / 2.0),
                                         y + sy * h / 2 - (c.y + sy * kSide / 2.0)));
    }
  }
  return worst;
}

class BoxMode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tvtest::scratchDir("track-box");
    clip_ = movingPatchClip(dir_);
  }
  static std::string dir_, clip_;
};
std::string BoxMode::dir_, BoxMode::clip_;

TEST_F(BoxMode, FollowsAPatchFromTheFirstFrame) {
  ASSERT_FALSE(clip_.empty());
  const std::string out = dir_ + "/first.json";
  auto run = tvtest::runTool(boxArgs(clip_, out, 0));
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  const json& samples = file["samples"];
  ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames));
  EXPECT_EQ(samples[0][5], 1);
  double worst = 0, sum = 0;
  for (int n = 0; n < kFrames; ++n) {
    ASSERT_EQ(samples[n].size(), 6u);
    EXPECT_NEAR(samples[n][0].get<double>(), n / 30.0, 1e-5);
    double e = cornerError(samples[n], n);
    worst = std::max(worst, e);
    sum += e;
  }
  std::printf("box from frame 0: seen %d/%d, corner error mean %.2f px, worst %.2f px\n",
              run.last()["seen"].get<int>(), kFrames, sum / kFrames, worst);
  EXPECT_GE(run.last()["seen"].get<int>(), kFrames - 2);
  EXPECT_LT(sum / kFrames, 4.0);
  EXPECT_LT(worst, 8.0);
}

TEST_F(BoxMode, ABoxDrawnMidwayIsFollowedBackwardsToo) {
  ASSERT_FALSE(clip_.empty());
  const std::string out = dir_ + "/middle.json";
  const int anchor = 40;  // more than one two-second chunk is not needed: 40 frames back
  auto run = tvtest::runTool(boxArgs(clip_, out, anchor));
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  const json& samples = file["samples"];
  ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames));
  EXPECT_NEAR(file["start"].get<double>(), 0, 1e-9);
  double sum = 0;
  for (int n = 0; n < kFrames; ++n) {
    EXPECT_NEAR(samples[n][0].get<double>(), n / 30.0, 1e-5);
    sum += cornerError(samples[n], n);
  }
  std::printf("box from frame %d: seen %d/%d, corner error mean %.2f px\n", anchor,
              run.last()["seen"].get<int>(), kFrames, sum / kFrames);
  EXPECT_LT(sum / kFrames, 4.0);
  EXPECT_GE(run.last()["seen"].get<int>(), kFrames - 2);
}

}  // namespace
