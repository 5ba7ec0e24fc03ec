// The video command's failures: exact error lines, exit status 1, and no file left behind.
#include "support/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using tvtest::runTool;

void expectError(const std::vector<std::string>& args, const std::string& message) {
  auto result = runTool(args);
  EXPECT_EQ(result.status, 1);
  ASSERT_FALSE(result.lines.empty());
  EXPECT_EQ(result.last(), (nlohmann::json{{"error", message}}));
  EXPECT_EQ(result.errors, "");
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int entries(const std::string& dir) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    (void)entry;
    ++count;
  }
  return count;
}

// One second of a flat grey 64 x 48 picture at 10 fps: nothing to segment in it.
std::string flatClip(const std::string& dir) {
  return tvtest::makeVideo(dir, "flat.mp4", "color=c=gray:s=64x48:r=10:d=1",
                           "-c:v libx264 -pix_fmt yuv420p");
}

TEST(VideoErrors, OutputIsCheckedFirst) {
  expectError({"video", "--input", "/no/such/clip.mp4"}, "--output is required");
}

TEST(VideoErrors, ObjectModeNeedsAPoint) {
  std::string dir = tvtest::scratchDir("video-nopoint");
  std::string clip = flatClip(dir);
  ASSERT_FALSE(clip.empty());
  expectError({"video", "--input", clip, "--output", dir + "/m.mp4", "--mode", "object"},
              "--point is required for object mode");
  // A point that is not two numbers is no point.
  expectError(
      {"video", "--input", clip, "--output", dir + "/m.mp4", "--mode", "object", "--point", "0.5"},
      "--point is required for object mode");
  EXPECT_FALSE(fs::exists(dir + "/m.mp4"));
}

TEST(VideoErrors, EmptyRangesWriteNothingAndKeepTheOldFile) {
  std::string dir = tvtest::scratchDir("video-empty");
  std::string clip = flatClip(dir);
  ASSERT_FALSE(clip.empty());
  std::string output = dir + "/m.mp4";
  { std::ofstream(output) << "the previous export"; }
  for (const char* mode : {"person", "subject"}) {
    SCOPED_TRACE(mode);
    expectError({"video", "--input", clip, "--output", output, "--mode", mode, "--start", "5"},
                "no frames in that range");
    expectError({"video", "--input", clip, "--output", output, "--mode", mode, "--start", "0.5",
                 "--end", "0.5"},
                "no frames in that range");
  }
  // The object mode's search pass finds no frame either.
  expectError({"video", "--input", clip, "--output", output, "--mode", "object", "--point",
               "0.5,0.5", "--start", "3"},
              "no frames in that range");
  EXPECT_EQ(slurp(output), "the previous export");
  EXPECT_EQ(entries(dir), 2);  // the clip and the old output: no temporary left
}

TEST(VideoErrors, NothingUnderThePoint) {
  std::string dir = tvtest::scratchDir("video-nothing");
  std::string clip = flatClip(dir);
  ASSERT_FALSE(clip.empty());
  auto result = runTool({"video", "--input", clip, "--output", dir + "/m.mp4", "--mode", "object",
                         "--point", "0.5,0.5", "--at", "0"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.last(), (nlohmann::json{{"error", "nothing-there"}}));
  EXPECT_EQ(result.errors, "");
  EXPECT_FALSE(fs::exists(dir + "/m.mp4"));
}

TEST(VideoErrors, UnwritableOutput) {
  std::string dir = tvtest::scratchDir("video-unwritable");
  std::string clip = flatClip(dir);
  ASSERT_FALSE(clip.empty());
  auto result = runTool({"video", "--input", clip, "--output", dir + "/missing/m.mp4"});
  EXPECT_EQ(result.status, 1);
  // Set-up comes before the first frame: the error is the only line.
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.last(), (nlohmann::json{{"error", "cannot create the matte file"}}));
  EXPECT_EQ(result.errors, "");
}

TEST(VideoErrors, OutputThatCanNeverBeAFile) {
  // A folder stands where the file should go: refused before any frame is worked on, and the
  // folder is left as it was.
  std::string dir = tvtest::scratchDir("video-folder");
  std::string clip = flatClip(dir);
  ASSERT_FALSE(clip.empty());
  std::string output = dir + "/taken";
  fs::create_directory(output);
  { std::ofstream(output + "/keep.txt") << "kept"; }
  for (const std::string& target : {output, output + "/", std::string()}) {
    SCOPED_TRACE("output '" + target + "'");
    auto result = runTool({"video", "--input", clip, "--output", target, "--mode", "subject"});
    EXPECT_EQ(result.status, 1);
    ASSERT_EQ(result.lines.size(), 1u);
    EXPECT_EQ(result.last(), (nlohmann::json{{"error", "cannot create the matte file"}}));
    EXPECT_EQ(result.errors, "");
  }
  EXPECT_EQ(slurp(output + "/keep.txt"), "kept");
  EXPECT_EQ(entries(dir), 2);  // the clip and the folder
}

TEST(VideoErrors, InputThatIsNoVideo) {
  std::string dir = tvtest::scratchDir("video-novideo");
  std::string input = dir + "/notes.txt";
  { std::ofstream(input) << "not a video at all\n"; }
  auto result = runTool({"video", "--input", input, "--output", dir + "/m.mp4"});
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_TRUE(result.last().contains("error"));
  EXPECT_EQ(result.errors, "");
  EXPECT_FALSE(fs::exists(dir + "/m.mp4"));
}

}  // namespace
