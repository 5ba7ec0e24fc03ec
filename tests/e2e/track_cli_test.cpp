#include "support/run.h"
#include "track_scenes.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using nlohmann::json;
using tvtest::runTool;

void expectError(const std::vector<std::string>& args, const std::string& message) {
  auto result = runTool(args);
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(result.lines.size(), 1u) << (result.lines.empty() ? "" : result.lines.back());
  EXPECT_EQ(result.last(), (json{{"error", message}}));
  EXPECT_EQ(result.errors, "");
}

class TrackCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tvtest::scratchDir("track-cli");
    // 2 s of a moving test pattern at 30 fps.
    clip_ = tvtest::makeVideo(dir_, "pattern.mp4", "testsrc2=size=160x120:rate=30:duration=2",
                              "-c:v libx264 -pix_fmt yuv420p");
  }
  static std::string dir_, clip_;
};
std::string TrackCommand::dir_, TrackCommand::clip_;

TEST_F(TrackCommand, OutputIsCheckedBeforeTheVideoIsOpened) {
  expectError({"track", "--input", "missing.mov"}, "--output is required");
  expectError({"track", "--input", clip_, "--mode", "camera"}, "--output is required");
}

TEST_F(TrackCommand, BoxModeIsTheDefaultAndNeedsFourNumbers) {
  const std::string out = dir_ + "/box.json";
  const std::string message = "--box cx,cy,w,h is required for box mode";
  expectError({"track", "--input", clip_, "--output", out}, message);
  expectError({"track", "--input", clip_, "--output", out, "--mode", "Camera"}, message);
  expectError({"track", "--input", clip_, "--output", out, "--box", "0.5,0.5,0.2"}, message);
  expectError({"track", "--input", clip_, "--output", out, "--box", "0.5,0.5,0.2,0.2,0.1"},
              message);
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(TrackCommand, ModeOptionsAreRequired) {
  const std::string out = dir_ + "/mode.json";
  expectError(
      {"track", "--input", clip_, "--output", out, "--mode", "quad", "--quad", "0,0,1,0,1,1,0"},
      "--quad x1,y1,\u2026,x4,y4 is required for quad mode");
  expectError(
      {"track", "--input", clip_, "--output", out, "--mode", "quad", "--quad", "0,0,1,0,1,1,0,1,1"},
      "--quad x1,y1,\u2026,x4,y4 is required for quad mode");
  expectError({"track", "--input", clip_, "--output", out, "--mode", "marks"},
              "--point is required for marks mode");
  expectError({"track", "--input", clip_, "--output", out, "--mode", "face", "--point", "0.5"},
              "--point is required for face mode");
}

TEST_F(TrackCommand, NoFramesInTheRange) {
  const std::string out = dir_ + "/none.json";
  for (const std::string mode : {"camera", "box", "quad", "face", "marks"}) {
    expectError(
        {"track", "--input", clip_, "--output", out, "--mode", mode, "--start", "2", "--box",
         "0.5,0.5,0.2,0.2", "--quad", "0.2,0.2,0.8,0.2,0.8,0.8,0.2,0.8", "--point", "0.5,0.5"},
        "no frames in that range");
    expectError({"track", "--input", clip_, "--output", out, "--mode", mode, "--start", "1",
                 "--end", "0.5", "--box", "0.5,0.5,0.2,0.2", "--quad",
                 "0.2,0.2,0.8,0.2,0.8,0.8,0.2,0.8", "--point", "0.5,0.5"},
                "no frames in that range");
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

// One camera frame needs no registration: the whole run is deterministic.
TEST_F(TrackCommand, OneCameraFrameGivesTheExactTrackAndEvents) {
  const std::string out = dir_ + "/one.json";
  auto run = runTool({"track", "--input", clip_, "--output", out, "--mode", "camera", "--start",
                      "1", "--end", "1.01"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors, "");
  ASSERT_EQ(run.lines.size(), 2u);
  // Expected frames: round(0.01 x 30) = 0, raised to 1.
  EXPECT_EQ(json::parse(run.lines[0]), (json{{"progress", 1.0}}));
  const double end = 1 + 1.0 / 30;
  EXPECT_EQ(json::parse(run.lines[1]),
            (json{{"done", true}, {"start", 1.0}, {"end", end}, {"frames", 1}, {"seen", 1}}));
  EXPECT_EQ(tvtest::readJson(out),
            (json{{"start", 1.0},
                  {"end", end},
                  {"fps", 30.0},
                  {"samples", json::array({json::array({1.0, 0.5, 0.5, 1, 1, 1})})}}));
}

TEST_F(TrackCommand, TheTrackFileReplacesAnOldOneAndAFailedWriteSaysWhy) {
  const std::string out = dir_ + "/replaced.json";
  {
    std::ofstream old(out);
    old << "old contents that are longer than the new track file ......";
  }
  auto run =
      runTool({"track", "--input", clip_, "--output", out, "--mode", "camera", "--end", "0.02"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(tvtest::readJson(out)["samples"].size(), 1u);

  auto failed = runTool({"track", "--input", clip_, "--output", dir_ + "/no/such/dir/out.json",
                         "--mode", "camera", "--end", "0.02"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.errors, "");
  ASSERT_EQ(failed.lines.size(), 2u);  // the first frame's progress, then the error
  EXPECT_EQ(failed.last(), (json{{"error", "cannot write the track: No such file or directory"}}));
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
  }
}

TEST_F(TrackCommand, RelativeOutputResolvesAgainstTheWorkingDirectory) {
  const std::string sub = dir_ + "/cwd";
  std::filesystem::create_directories(sub);
  std::string command = "cd '" + sub + "' && '" TARNEL_BINARY "' track --input '" + clip_ +
                        "' --output rel.json --mode camera --end 0.02 >/dev/null 2>&1";
  EXPECT_EQ(tvtest::shell(command), 0);
  EXPECT_TRUE(std::filesystem::exists(sub + "/rel.json"));
}

}  // namespace
