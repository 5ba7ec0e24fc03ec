// An --at at or past the last frame anchors the box and quad modes on the last frame.
#include "support/run.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

TEST(TrackAnchor, AnInstantPastTheLastFrameAnchorsOnIt) {
  std::string dir = tvtest::scratchDir("track-anchor");
  std::string clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc2=size=320x240:rate=25:duration=2",
                                       "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{"--box", "0.5,0.5,0.2,0.2"},
        std::vector<std::string>{"--mode", "quad", "--quad", "0.3,0.3,0.7,0.3,0.7,0.7,0.3,0.7"}}) {
    for (const char* at : {"1e9", "2", "1.99"}) {
      std::vector<std::string> args{"track", "--input", clip, "--output", dir + "/t.json", "--at", at};
      args.insert(args.end(), mode.begin(), mode.end());
      auto result = tvtest::runTool(args);
      SCOPED_TRACE(mode.back() + " at " + at);
      ASSERT_EQ(result.status, 0) << result.lines.back();
      EXPECT_EQ(result.last()["frames"], 50);
      nlohmann::json track;
      std::ifstream(dir + "/t.json") >> track;
      const auto& last = track["samples"].back();
      EXPECT_NEAR(last[0].get<double>(), 1.96, 1e-9);
      EXPECT_EQ(last[5], 1) << "the anchor holds the user's own box or quad";
    }
  }
}

// The frame shown at an instant in the last half frame of the range, or past its end, is the
// range's last frame: both modes anchor on it rather than finding no frames.
TEST(TrackAnchor, AnInstantInTheLastHalfFrameOrPastTheEndAnchorsOnTheRangesLastFrame) {
  std::string dir = tvtest::scratchDir("track-anchor-range");
  std::string clip = tvtest::makeVideo(dir, "clip.mp4", "testsrc2=size=320x240:rate=25:duration=4",
                                       "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(clip.empty());
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{"--box", "0.5,0.5,0.2,0.2"},
        std::vector<std::string>{"--mode", "quad", "--quad", "0.3,0.3,0.7,0.3,0.7,0.7,0.3,0.7"}}) {
    for (const char* at : {"1.99", "2", "3.5"}) {
      std::vector<std::string> args{"track", "--input", clip, "--output", dir + "/t.json",
                                    "--start", "0", "--end", "2", "--at", at};
      args.insert(args.end(), mode.begin(), mode.end());
      auto result = tvtest::runTool(args);
      SCOPED_TRACE(mode.back() + " at " + at);
      ASSERT_EQ(result.status, 0) << result.lines.back();
      EXPECT_EQ(result.last()["frames"], 50);
      nlohmann::json track;
      std::ifstream(dir + "/t.json") >> track;
      const auto& last = track["samples"].back();
      EXPECT_NEAR(last[0].get<double>(), 1.96, 1e-9);
      EXPECT_EQ(last[5], 1) << "the anchor holds the user's own box or quad";
    }
  }
}

}  // namespace
