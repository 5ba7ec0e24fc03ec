#include "occlusion_scenes.h"
#include "support/run.h"
#include "track_scenes.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace {

using nlohmann::json;

constexpr int kW = 320, kH = 240, kFrames = 60;

// The picture's corners on frame n, in pixels: it drifts right and down and turns slowly in
// depth (its right edge grows), so every frame is a different homography.
std::array<cv::Point2f, 4> corners(int n) {
  const float t = static_cast<float>(n);
  return {cv::Point2f(80 + 1.1f * t, 55 + 0.4f * t), cv::Point2f(220 + 1.3f * t, 62 + 0.3f * t),
          cv::Point2f(224 + 1.3f * t, 185 + 0.5f * t), cv::Point2f(84 + 1.1f * t, 172 + 0.4f * t)};
}

std::string warpedPictureClip(const std::string& dir) {
  cv::Mat background;
  cv::resize(cv::imread(tvtest::kCoffee), background, cv::Size(kW, kH), 0, 0, cv::INTER_AREA);
  const cv::Mat picture = cv::imread(tvtest::kGraffiti);
  const std::array<cv::Point2f, 4> source{cv::Point2f(0, 0), cv::Point2f(picture.cols, 0),
                                          cv::Point2f(picture.cols, picture.rows),
                                          cv::Point2f(0, picture.rows)};
  return tvtest::writeClip(dir, "quad.mp4", kFrames, 30, [&](int n) {
    cv::Mat frame = background.clone();
    const auto target = corners(n);
    cv::Mat h = cv::getPerspectiveTransform(source.data(), target.data());
    cv::warpPerspective(picture, frame, h, frame.size(), cv::INTER_AREA, cv::BORDER_TRANSPARENT);
    return frame;
  });
}

std::string quadOption(int n) {
  std::string text;
  for (const auto& p : corners(n)) {
    text += (text.empty() ? "" : ",") + std::to_string(p.x / kW) + "," + std::to_string(p.y / kH);
  }
  return text;
}

struct CornerError {
  double mean = 0, worst = 0;
};

CornerError compare(const json& samples) {
  CornerError error;
  for (int n = 0; n < kFrames; ++n) {
    const auto truth = corners(n);
    for (int i = 0; i < 4; ++i) {
      const double x = samples[n][6 + 2 * i].get<double>() * kW;
      const double y = samples[n][7 + 2 * i].get<double>() * kH;
      const double e = std::hypot(x - truth[i].x, y - truth[i].y);
      error.mean += e / (4 * kFrames);
      error.worst = std::max(error.worst, e);
    }
  }
  return error;
}

class QuadMode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tvtest::scratchDir("track-quad");
    clip_ = warpedPictureClip(dir_);
  }
  static std::string dir_, clip_;
};
std::string QuadMode::dir_, QuadMode::clip_;

// Runs the quad mode anchored on frame `anchor` of a clip of the warped picture at `fps`, checks
// its samples against the true corners and returns them.
json checkRun(const std::string& clip, const std::string& out, int anchor, double fps = 30) {
  auto run = tvtest::runTool({"track", "--input", clip, "--output", out, "--mode", "quad", "--quad",
                              quadOption(anchor), "--at", std::to_string(anchor / fps)});
  json file = tvtest::expectTrack(run, out);
  if (!file.is_object() || file["samples"].size() != static_cast<size_t>(kFrames)) {
    ADD_FAILURE() << "no track file of " << kFrames << " samples";
    return json();
  }
  const json& samples = file["samples"];
  for (int n = 0; n < kFrames; ++n) {
    if (samples[n].size() != 14u) {
      ADD_FAILURE() << "sample " << n << " has " << samples[n].size() << " values";
      return json();
    }
    EXPECT_NEAR(samples[n][0].get<double>(), n / fps, 1e-5);
    EXPECT_EQ(samples[n][3], 1);
    EXPECT_EQ(samples[n][4], 1);
    double cx = 0;
    for (int i = 0; i < 4; ++i) cx += samples[n][6 + 2 * i].get<double>() / 4;
    EXPECT_NEAR(samples[n][1].get<double>(), cx, 2e-5);
  }
  CornerError error = compare(samples);
  std::printf("quad from frame %d: seen %d/%d, corner error mean %.2f px, worst %.2f px\n", anchor,
              run.last()["seen"].get<int>(), kFrames, error.mean, error.worst);
  EXPECT_EQ(run.last()["seen"], kFrames);
  EXPECT_LT(error.mean, 3.0);
  EXPECT_LT(error.worst, 5.0);
  return samples;
}

TEST_F(QuadMode, FollowsAPictureUnderChangingPerspective) {
  ASSERT_FALSE(clip_.empty());
  checkRun(clip_, dir_ + "/first.json", 0);
}

TEST_F(QuadMode, AQuadPlacedMidwayIsFollowedBothWays) {
  ASSERT_FALSE(clip_.empty());
  checkRun(clip_, dir_ + "/middle.json", 35);
}

// The same encoded frames at 4 frames/s put the anchor 8.75 s in: the frames before it are then
// read back in chunks rather than kept from the forward pass, and must give the same corners.
TEST_F(QuadMode, FramesFarBeforeTheAnchorReadBackInChunksGiveTheKeptFramesCorners) {
  ASSERT_FALSE(clip_.empty());
  const std::string slow = dir_ + "/slow.mp4";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -itsscale 7.5 -i '" + clip_ + "' -c copy '" + slow +
                          "' </dev/null"),
            0);
  const json kept = checkRun(clip_, dir_ + "/kept.json", 35);
  const json chunked = checkRun(slow, dir_ + "/chunked.json", 35, 4);
  ASSERT_EQ(kept.size(), chunked.size());
  for (size_t n = 0; n < kept.size(); ++n) {
    for (size_t i = 5; i < 14; ++i) {
      EXPECT_EQ(kept[n][i], chunked[n][i]) << "frame " << n << ", value " << i;
    }
  }
}

// A box cover carried over a street frame by a smooth sequence of homographies: it grows to
// 1.3 times its size, turns, tilts in depth and drifts, at 960 x 540.
constexpr int kWideW = 960, kWideH = 540;

std::array<cv::Point2f, 4> carried(int n, int frames) {
  const double t = double(n) / (frames - 1);
  const double scale = 1 + 0.3 * (0.5 - 0.5 * std::cos(M_PI * t));
  const double turn = 0.15 * std::sin(2 * M_PI * t);  // radians
  const double tilt = 0.18 * std::sin(3 * M_PI * t);  // the right edge nearer, then further
  const cv::Point2d centre(480 + 90 * std::sin(M_PI * t), 270 + 40 * std::sin(2 * M_PI * t));
  const double halfW = 150 * scale, halfH = 105 * scale;
  const cv::Point2d unit[4] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
  std::array<cv::Point2f, 4> out;
  for (int i = 0; i < 4; ++i) {
    const double depth = 1 + tilt * unit[i].x;  // nearer side larger
    const double x = unit[i].x * halfW * depth, y = unit[i].y * halfH * depth;
    out[i] = cv::Point2f(float(centre.x + x * std::cos(turn) - y * std::sin(turn)),
                         float(centre.y + x * std::sin(turn) + y * std::cos(turn)));
  }
  return out;
}

std::string carriedCoverClip(const std::string& dir, int frames) {
  const cv::Mat street = tvtest::backdropFor(tvtest::Occlusion{}, dir);
  const cv::Mat cover = cv::imread(tvtest::kGraffiti);
  if (street.empty() || cover.empty()) return "";
  cv::Mat backdrop;
  cv::resize(street, backdrop, cv::Size(kWideW, kWideH), 0, 0, cv::INTER_LINEAR);
  const std::array<cv::Point2f, 4> source{cv::Point2f(0, 0), cv::Point2f(cover.cols, 0),
                                          cv::Point2f(cover.cols, cover.rows),
                                          cv::Point2f(0, cover.rows)};
  return tvtest::writeClip(dir, "carried.mp4", frames, 30, [&](int n) {
    cv::Mat frame = backdrop.clone();
    const auto target = carried(n, frames);
    cv::Mat h = cv::getPerspectiveTransform(source.data(), target.data());
    cv::warpPerspective(cover, frame, h, frame.size(), cv::INTER_AREA, cv::BORDER_TRANSPARENT);
    return frame;
  });
}

TEST(QuadDrift, TheWorstCornerStaysWithinOnePercentAndDoesNotGrow) {
  const int frames = 90;
  const std::string dir = tvtest::scratchDir("track-quad-drift");
  const std::string clip = carriedCoverClip(dir, frames);
  ASSERT_FALSE(clip.empty());
  std::string quad;
  for (const auto& p : carried(0, frames))
    quad += (quad.empty() ? "" : ",") + std::to_string(p.x / kWideW) + "," +
            std::to_string(p.y / kWideH);
  const std::string out = dir + "/carried.json";
  auto run = tvtest::runTool(
      {"track", "--input", clip, "--output", out, "--mode", "quad", "--quad", quad, "--at", "0"});
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  const json& samples = file["samples"];
  ASSERT_EQ(samples.size(), size_t(frames));
  std::vector<double> worst(frames, 0);  // share of the diagonal
  for (int n = 0; n < frames; ++n) {
    const auto truth = carried(n, frames);
    const double diagonal = cv::norm(truth[0] - truth[2]);
    for (int i = 0; i < 4; ++i) {
      const double x = samples[n][6 + 2 * i].get<double>() * kWideW;
      const double y = samples[n][7 + 2 * i].get<double>() * kWideH;
      worst[n] = std::max(worst[n], std::hypot(x - truth[i].x, y - truth[i].y) / diagonal);
    }
  }
  auto mean = [&](int from, int to) {
    double sum = 0;
    for (int n = from; n < to; ++n) sum += worst[n];
    return sum / (to - from);
  };
  std::printf(
      "carried cover, %d frames: seen %d, worst corner %.2f %% of the diagonal on "
      "average, %.2f %% over the first 30 frames, %.2f %% over the last 30, at most "
      "%.2f %%\n",
      frames, run.last()["seen"].get<int>(), 100 * mean(0, frames), 100 * mean(0, 30),
      100 * mean(frames - 30, frames), 100 * *std::max_element(worst.begin(), worst.end()));
  EXPECT_LE(mean(0, frames), 0.01);
  EXPECT_LE(mean(frames - 30, frames), mean(0, 30) + 0.002);
  EXPECT_GE(run.last()["seen"].get<int>(), frames - 5);
}

}  // namespace
