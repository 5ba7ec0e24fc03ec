// The skin command's own decisions, with a stand-in face detector that sees a face wherever the
// middle of the picture is coloured.
#include "skin/skin.h"

#include "base/options.h"
#include "skin/key.h"
#include "support/blank_vision.h"
#include "support/child.h"
#include "support/run.h"
#include "vision/vision.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <fstream>
#include <functional>

namespace tv {
namespace {

class FakeFaces final : public tvtest::BlankVision {
 public:
  std::function<std::vector<FaceObservation>(const cv::Mat&)> faces;
  int calls = 0;

  std::vector<FaceObservation> faceRectangles(const cv::Mat& image) override {
    ++calls;
    return faces(image);
  }
};

// One face covering the middle half of the picture when its centre pixel is coloured.
std::vector<FaceObservation> faceWhereColoured(const cv::Mat& image) {
  const cv::Vec4b& p = image.at<cv::Vec4b>(image.rows / 2, image.cols / 2);
  KeyCoords c = keyCoords(p[2] / 255.0, p[1] / 255.0, p[0] / 255.0);
  if (c.s < 0.2) return {};
  FaceObservation face;
  face.boundingBox = {0.25, 0.25, 0.5, 0.5};
  return {face};
}

struct Outcome {
  int status = -1;
  nlohmann::json last;
  size_t lines = 0;
};

Outcome runSkinOn(const std::string& input, const std::map<std::string, std::string>& extra,
                  const std::function<std::vector<FaceObservation>(const cv::Mat&)>& faces) {
  auto child = tvtest::inChild([&] {
    CommandLine g;
    g.command = "skin";
    g.options = extra;
    g.options["input"] = input;
    g.inputURL = input;
    FakeFaces fake;
    fake.faces = faces;
    useVisionForTesting(&fake);
    runSkin(g);
  });
  Outcome outcome;
  outcome.status = child.status;
  outcome.lines = child.lines.size();
  if (!child.lines.empty())
    outcome.last = nlohmann::json::parse(child.lines.back(), nullptr, false);
  return outcome;
}

// The colour of the stand-in skin, as RGB bytes, and its key.
constexpr int kR = 0xC8, kG = 0x90, kB = 0x70;
const KeyCoords kSkin = keyCoords(kR / 255.0, kG / 255.0, kB / 255.0);

std::string skinVideo(const std::string& dir, const std::string& name, const std::string& graph) {
  return tvtest::makeVideo(dir, name, graph,
                           "-c:v libx264 -preset ultrafast -qp 4 -pix_fmt yuv420p");
}

TEST(SkinCommand, PictureGivesTheKeyOfItsFace) {
  std::string dir = tvtest::scratchDir("skin-picture");
  cv::Mat picture(240, 320, CV_8UC3, cv::Scalar(kB, kG, kR));
  ASSERT_TRUE(cv::imwrite(dir + "/face.png", picture));
  Outcome run = runSkinOn(dir + "/face.png", {{"start", "5"}, {"end", "x"}}, faceWhereColoured);
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(run.lines, 1u);
  EXPECT_EQ(run.last.size(), 8u);
  EXPECT_EQ(run.last["done"], true);
  EXPECT_TRUE(run.last["faces"].is_number_integer());
  EXPECT_EQ(run.last["faces"], 1);
  EXPECT_NEAR(run.last["hue"].get<double>(), kSkin.h, 1e-12);
  EXPECT_NEAR(run.last["hueSpread"].get<double>(), 0, 1e-12);
  EXPECT_DOUBLE_EQ(run.last["satLow"].get<double>(), kSkin.s);
  EXPECT_DOUBLE_EQ(run.last["satHigh"].get<double>(), kSkin.s);
  EXPECT_DOUBLE_EQ(run.last["lumLow"].get<double>(), kSkin.l);
  EXPECT_DOUBLE_EQ(run.last["lumHigh"].get<double>(), kSkin.l);
}

TEST(SkinCommand, LargestFaceIsMeasured) {
  std::string dir = tvtest::scratchDir("skin-largest");
  cv::Mat picture(200, 400, CV_8UC3, cv::Scalar(kB, kG, kR));
  picture(cv::Rect(200, 0, 200, 200)).setTo(cv::Scalar(60, 120, 220));  // a redder right half
  ASSERT_TRUE(cv::imwrite(dir + "/two.png", picture));
  Outcome run = runSkinOn(dir + "/two.png", {}, [](const cv::Mat&) {
    FaceObservation small, large;
    small.boundingBox = {0.05, 0.2, 0.3, 0.5};
    large.boundingBox = {0.55, 0.1, 0.4, 0.8};
    return std::vector<FaceObservation>{small, large};
  });
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.last["faces"], 1);
  EXPECT_NEAR(run.last["hue"].get<double>(), keyCoords(220 / 255.0, 120 / 255.0, 60 / 255.0).h,
              1e-12);
}

// A large picture is first looked at as a small copy; the picture itself is searched only when
// the copy shows no face, and the patch is always taken from the picture at its own size.
TEST(SkinCommand, LargePicturesAreGlancedAtFirst) {
  std::string dir = tvtest::scratchDir("skin-glance");
  // Skin-coloured but for a red band across the middle of the patch.
  cv::Mat picture(1200, 1600, CV_8UC3, cv::Scalar(kB, kG, kR));
  picture.rowRange(590, 610).setTo(cv::Scalar(0, 0, 255));
  ASSERT_TRUE(cv::imwrite(dir + "/large.png", picture));
  auto centralFace = [](const cv::Mat&) {
    FaceObservation face;
    face.boundingBox = {0.25, 0.25, 0.5, 0.5};
    return std::vector<FaceObservation>{face};
  };

  // Found at a glance: one look, at 512 pixels.
  std::string sizes = dir + "/sizes.txt";
  auto logged = [&](bool onlyLarge) {
    return [=](const cv::Mat& image) {
      FILE* log = std::fopen(sizes.c_str(), "a");
      if (log) {
        std::fprintf(log, "%dx%d\n", image.cols, image.rows);
        std::fclose(log);
      }
      if (onlyLarge && image.cols < 1000) return std::vector<FaceObservation>{};
      return centralFace(image);
    };
  };
  auto looks = [&] {
    std::ifstream in(sizes);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    std::remove(sizes.c_str());
    return all;
  };
  Outcome glance = runSkinOn(dir + "/large.png", {}, logged(false));
  ASSERT_EQ(glance.status, 0);
  EXPECT_EQ(looks(), (std::vector<std::string>{"512x384"}));
  EXPECT_EQ(glance.last["faces"], 1);

  // A face only the picture itself shows: a second look, at its own size.
  Outcome close = runSkinOn(dir + "/large.png", {}, logged(true));
  ASSERT_EQ(close.status, 0);
  EXPECT_EQ(looks(), (std::vector<std::string>{"512x384", "1600x1200"}));
  EXPECT_EQ(close.last, glance.last);

  // The same face box, so the same patch, whichever look found it; the band is in it.
  EXPECT_GT(glance.last["satHigh"].get<double>(), kSkin.s + 0.1);
  EXPECT_DOUBLE_EQ(glance.last["satLow"].get<double>(), kSkin.s);
}

// Faces too small to measure are not asked for: the floor is the same width of the picture at
// the glance and at full size, in the pixels of the image searched.
TEST(SkinCommand, AsksOnlyForFacesLargeEnoughToMeasure) {
  std::string dir = tvtest::scratchDir("skin-floor");
  cv::Mat picture(1000, 2000, CV_8UC3, cv::Scalar(128, 128, 128));
  ASSERT_TRUE(cv::imwrite(dir + "/large.png", picture));
  std::string log = dir + "/floors.txt";
  class Floors final : public tvtest::BlankVision {
   public:
    std::string path;
    std::vector<FaceObservation> faceRectanglesFrom(const cv::Mat& image,
                                                    double smallest) override {
      if (FILE* out = std::fopen(path.c_str(), "a")) {
        std::fprintf(out, "%d %.6f\n", image.cols, smallest);
        std::fclose(out);
      }
      return {};
    }
  };
  auto child = tvtest::inChild([&] {
    CommandLine g;
    g.command = "skin";
    g.options["input"] = dir + "/large.png";
    g.inputURL = dir + "/large.png";
    Floors fake;
    fake.path = log;
    useVisionForTesting(&fake);
    runSkin(g);
  });
  EXPECT_EQ(child.status, 1);
  std::ifstream floors(log);
  std::vector<std::pair<int, double>> asked;
  int width = 0;
  double smallest = 0;
  while (floors >> width >> smallest) asked.emplace_back(width, smallest);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].first, 512);
  EXPECT_NEAR(asked[0].second, 48 * 512 / 2000.0, 1e-6);
  EXPECT_EQ(asked[1].first, 2000);
  EXPECT_NEAR(asked[1].second, 48, 1e-6);
}

TEST(SkinCommand, NoFaceAndTooFewSkinPixels) {
  std::string dir = tvtest::scratchDir("skin-none");
  ASSERT_TRUE(cv::imwrite(dir + "/grey.png", cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(128))));
  Outcome none = runSkinOn(dir + "/grey.png", {}, faceWhereColoured);
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.lines, 1u);
  EXPECT_EQ(none.last, nlohmann::json({{"error", "no-face"}}));

  // A face is found but its patch is grey: no pixel is kept.
  Outcome grey = runSkinOn(dir + "/grey.png", {}, [](const cv::Mat&) {
    FaceObservation face;
    face.boundingBox = {0.2, 0.2, 0.6, 0.6};
    return std::vector<FaceObservation>{face};
  });
  EXPECT_EQ(grey.status, 1);
  EXPECT_EQ(grey.last, nlohmann::json({{"error", "no-face"}}));
}

TEST(SkinCommand, VideoCountsTheFramesWithFaces) {
  std::string dir = tvtest::scratchDir("skin-video");
  // Skin for the first 3 of 14 seconds: the slice centres 0.5, 1.5 and 2.5 see it.
  std::string path = skinVideo(dir, "some.mp4",
                               "color=c=0xC89070:s=160x120:r=25:d=3[a];"
                               "color=c=gray:s=160x120:r=25:d=11[b];[a][b]concat=n=2");
  ASSERT_FALSE(path.empty());
  Outcome run = runSkinOn(path, {}, faceWhereColoured);
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.last["faces"], 3);
  EXPECT_NEAR(run.last["hue"].get<double>(), kSkin.h, 0.01);
  EXPECT_LT(run.last["hueSpread"].get<double>(), 0.01);
  EXPECT_NEAR(run.last["satLow"].get<double>(), kSkin.s, 0.03);
  EXPECT_NEAR(run.last["lumHigh"].get<double>(), kSkin.l, 0.03);

  // --start below zero becomes 0 and --end past the end becomes the duration: the same frames.
  Outcome clamped = runSkinOn(path, {{"start", "-3"}, {"end", "100"}}, faceWhereColoured);
  ASSERT_EQ(clamped.status, 0);
  EXPECT_EQ(clamped.last, run.last);

  // Options that are no numbers fall back to the whole video.
  Outcome words = runSkinOn(path, {{"start", " 1"}, {"end", "ten"}}, faceWhereColoured);
  ASSERT_EQ(words.status, 0);
  EXPECT_EQ(words.last, run.last);

  // The range 2..7 puts three of its 14 centres (2.18, 2.54 and 2.89) before 3 s.
  Outcome part = runSkinOn(path, {{"start", "2"}, {"end", "7"}}, faceWhereColoured);
  ASSERT_EQ(part.status, 0);
  EXPECT_EQ(part.last["faces"], 3);
}

TEST(SkinCommand, EndBeforeStartSamplesBackwards) {
  std::string dir = tvtest::scratchDir("skin-backwards");
  // Skin only from 4.5 to 10 s of 20: --start 10 --end 5 puts all 14 times in there.
  std::string path = skinVideo(dir, "middle.mp4",
                               "color=c=gray:s=160x120:r=25:d=4.5[a];"
                               "color=c=0xC89070:s=160x120:r=25:d=5.5[b];"
                               "color=c=gray:s=160x120:r=25:d=10[c];[a][b][c]concat=n=3");
  ASSERT_FALSE(path.empty());
  Outcome backwards = runSkinOn(path, {{"start", "10"}, {"end", "5"}}, faceWhereColoured);
  ASSERT_EQ(backwards.status, 0);
  EXPECT_EQ(backwards.last["faces"], 14);
  Outcome whole = runSkinOn(path, {}, faceWhereColoured);
  ASSERT_EQ(whole.status, 0);
  EXPECT_EQ(whole.last["faces"], 4);  // of the centres 20 (i + 0.5) / 14: 5.0, 6.43, 7.86, 9.29
}

TEST(SkinCommand, NotAPictureNorAVideo) {
  std::string dir = tvtest::scratchDir("skin-text");
  ASSERT_EQ(tvtest::shell("echo 'no pixels here' > '" + dir + "/notes.txt'"), 0);
  Outcome run = runSkinOn(dir + "/notes.txt", {}, faceWhereColoured);
  EXPECT_EQ(run.status, 1);
  ASSERT_TRUE(run.last.contains("error"));
  EXPECT_NE(run.last["error"], "no-face");
}

}  // namespace
}  // namespace tv
