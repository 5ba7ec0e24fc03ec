#include "media/frames.h"

#include "media/ffmpeg.h"
#include "media/shrink.h"
#include "support/child.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

namespace tv {
namespace {

using tvtest::inChild;
using tvtest::makeVideo;
using tvtest::shell;

// How far grey frames may lie from the BGRA frames' grey, in grey levels: they are its pixels.
constexpr double kGreyMeanTolerance = 0, kGreyWorstTolerance = 0;

class Frames : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = tvtest::scratchDir("frames");
    // 20 frames at 10 fps: times 0.0, 0.1, ... 1.9.
    plain_ = makeVideo(dir_, "plain.mp4", "testsrc2=size=96x64:rate=10:duration=2",
                       "-c:v libx264 -pix_fmt yuv420p -g 5 -bf 0");
    bframes_ = makeVideo(dir_, "bframes.mp4", "testsrc2=size=96x64:rate=25:duration=2",
                         "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 25");
  }
  static std::vector<double> times(const Source& source, double from, double to) {
    std::vector<double> seen;
    eachFrame(source, from, to, [&](const cv::Mat& frame, const MediaTime& time) {
      EXPECT_EQ(frame.type(), CV_8UC4);
      EXPECT_EQ(frame.cols, static_cast<int>(source.size.width));
      EXPECT_EQ(frame.rows, static_cast<int>(source.size.height));
      seen.push_back(time.seconds());
      return true;
    });
    return seen;
  }
  static std::string dir_, plain_, bframes_;
};
std::string Frames::dir_, Frames::plain_, Frames::bframes_;

TEST_F(Frames, SourceProperties) {
  ASSERT_FALSE(plain_.empty());
  Source source = openSource(plain_);
  EXPECT_EQ(source.orientation, 1);
  EXPECT_EQ(source.size, cv::Size2d(96, 64));
  EXPECT_NEAR(source.duration, 2.0, 0.05);
  EXPECT_DOUBLE_EQ(source.fps, 10);
}

TEST_F(Frames, HalfOpenRangeWithTolerance) {
  Source source = openSource(plain_);
  auto all = times(source, 0, 100);
  ASSERT_EQ(all.size(), 20u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_NEAR(all[i], 0.1 * i, 1e-9);
  // The frame exactly at `from` comes, the one exactly at `to` does not.
  auto middle = times(source, 0.3, 0.6);
  ASSERT_EQ(middle.size(), 3u);
  EXPECT_NEAR(middle.front(), 0.3, 1e-9);
  EXPECT_NEAR(middle.back(), 0.5, 1e-9);
  // A frame less than 0.0001 s before `to` is out as well.
  EXPECT_EQ(times(source, 0.3, 0.60005).size(), 3u);
  EXPECT_TRUE(times(source, 0.6, 0.6).empty());
  EXPECT_TRUE(times(source, 0.9, 0.2).empty());
  EXPECT_EQ(times(source, 1.95, 5).size(), 0u);
  EXPECT_EQ(times(source, 1.9, 5).size(), 1u);
}

TEST_F(Frames, SeekingLandsOnTheRightFrames) {
  Source source = openSource(plain_);
  // Key frames every 5 frames: starting at 1.3 needs a seek back to 1.0 and dropped frames.
  auto late = times(source, 1.3, 1.75);
  ASSERT_EQ(late.size(), 5u);
  EXPECT_NEAR(late.front(), 1.3, 1e-9);
  EXPECT_NEAR(late.back(), 1.7, 1e-9);
}

TEST_F(Frames, VisitorCanStop) {
  Source source = openSource(plain_);
  int calls = 0;
  eachFrame(source, 0, 10, [&](const cv::Mat&, const MediaTime&) {
    ++calls;
    return false;
  });
  EXPECT_EQ(calls, 1);
}

TEST_F(Frames, KeptFramesAreNotOverwritten) {
  Source source = openSource(plain_);
  std::vector<cv::Mat> kept, copies;
  eachFrame(source, 0, 0.35, [&](const cv::Mat& frame, const MediaTime&) {
    kept.push_back(frame);
    copies.push_back(frame.clone());
    return true;
  });
  ASSERT_EQ(kept.size(), 4u);
  for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(cv::norm(kept[i], copies[i], cv::NORM_INF), 0);
  EXPECT_GT(cv::norm(copies[0], copies[3], cv::NORM_INF), 0);  // the frames do differ
}

// Grey frames are the BGRA frames' grey, each in a buffer the visitor may keep.
TEST_F(Frames, GreyFramesAreTheBrightnessOfTheColourOnesAndMayBeKept) {
  Source source = openSource(plain_);
  std::vector<cv::Mat> colour, grey, copies;
  eachFrame(source, 0, 0.35, [&](const cv::Mat& frame, const MediaTime&) {
    colour.push_back(frame.clone());
    return true;
  });
  eachFrame(
      source, 0, 0.35,
      [&](const cv::Mat& frame, const MediaTime&) {
        EXPECT_EQ(frame.type(), CV_8UC1);
        grey.push_back(frame);
        copies.push_back(frame.clone());
        return true;
      },
      {}, FramePixels::grey);
  ASSERT_EQ(colour.size(), 4u);
  ASSERT_EQ(grey.size(), 4u);
  for (size_t i = 0; i < grey.size(); ++i) {
    EXPECT_EQ(grey[i].size(), colour[i].size());
    EXPECT_EQ(cv::norm(grey[i], copies[i], cv::NORM_INF), 0);
    cv::Mat expected;
    cv::cvtColor(colour[i], expected, cv::COLOR_BGRA2GRAY);
    cv::Mat difference;
    cv::absdiff(grey[i], expected, difference);
    EXPECT_LE(cv::mean(difference)[0], kGreyMeanTolerance) << i;
    EXPECT_LE(cv::norm(difference, cv::NORM_INF), kGreyWorstTolerance) << i;
  }
}

TEST_F(Frames, BFramesComeInPresentationOrder) {
  ASSERT_FALSE(bframes_.empty());
  Source source = openSource(bframes_);
  auto all = times(source, 0, 100);
  ASSERT_EQ(all.size(), 50u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_NEAR(all[i], 0.04 * i, 1e-6);
  auto part = times(source, 1.0, 1.2);
  ASSERT_EQ(part.size(), 5u);
  EXPECT_NEAR(part.front(), 1.0, 1e-6);
}

TEST_F(Frames, VariableFrameRateKeepsTheFileTimes) {
  // Frame n at n/10 s, with a 0.35 s pause after frame 4.
  std::string path = makeVideo(dir_, "vfr.mp4", "testsrc2=size=64x48:rate=10:duration=1",
                               "-vf \"settb=1/1000,setpts='(N/10+gt(N\\,4)*0.35)/TB'\" "
                               "-fps_mode vfr -enc_time_base 1:1000 "
                               "-c:v libx264 -pix_fmt yuv420p -bf 0");
  ASSERT_FALSE(path.empty());
  auto all = times(openSource(path), 0, 100);
  ASSERT_EQ(all.size(), 10u);
  EXPECT_NEAR(all[4], 0.4, 1e-3);
  EXPECT_NEAR(all[5], 0.85, 1e-3);
  EXPECT_NEAR(all[9], 1.25, 1e-3);
}

TEST_F(Frames, RotationMetadataGivesUprightFrames) {
  // An asymmetric picture; ffmpeg's own decoder turns it upright, which is the reference.
  std::string base = makeVideo(dir_, "base.mp4", "testsrc=size=80x48:rate=5:duration=0.4",
                               "-c:v libx264 -pix_fmt yuv444p -qp 0 -bf 0");
  ASSERT_FALSE(base.empty());
  struct Case {
    int rotate, orientation;
  };
  for (Case c : {Case{270, 6}, Case{90, 8}, Case{180, 3}}) {
    std::string rotated = dir_ + "/rot" + std::to_string(c.rotate) + ".mp4";
    ASSERT_EQ(shell("ffmpeg -v error -y -i " + base + " -c copy -metadata:s:v:0 rotate=" +
                    std::to_string(c.rotate) + " " + rotated),
              0);
    Source source = openSource(rotated);
    EXPECT_EQ(source.orientation, c.orientation) << c.rotate;
    bool sideways = c.orientation != 3;
    EXPECT_EQ(source.size, sideways ? cv::Size2d(48, 80) : cv::Size2d(80, 48));
    std::string raw = rotated + ".bgra";
    ASSERT_EQ(shell("ffmpeg -v error -y -i " + rotated +
                    " -frames:v 1 -f rawvideo -pix_fmt bgra " + raw),
              0);
    std::ifstream in(raw, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 80u * 48u * 4u);
    cv::Mat reference(static_cast<int>(source.size.height), static_cast<int>(source.size.width),
                      CV_8UC4, bytes.data());
    cv::Mat first;
    eachFrame(source, 0, 10, [&](const cv::Mat& frame, const MediaTime&) {
      first = frame.clone();
      return false;
    });
    ASSERT_EQ(first.size(), reference.size());
    cv::Mat difference;
    cv::absdiff(first, reference, difference);
    EXPECT_LT(cv::mean(difference)[0], 4.0) << "rotate=" << c.rotate;
  }
}

TEST_F(Frames, BadFilesFailWithClearErrors) {
  auto missing = inChild([&] { openSource(dir_ + "/missing.mp4"); });
  EXPECT_EQ(missing.status, 1);
  ASSERT_EQ(missing.lines.size(), 1u);
  EXPECT_EQ(missing.lines[0], R"({"error":"No such file or directory"})");

  std::string audio = dir_ + "/sound.m4a";
  ASSERT_EQ(shell("ffmpeg -v error -y -f lavfi -i sine=duration=0.5 -c:a aac " + audio), 0);
  auto noVideo = inChild([&] { openSource(audio); });
  EXPECT_EQ(noVideo.status, 1);
  ASSERT_EQ(noVideo.lines.size(), 1u);
  EXPECT_EQ(noVideo.lines[0], R"({"error":"no video track in the file"})");

  std::string text = dir_ + "/notes.mp4";
  std::ofstream(text) << "this is not a video\n";
  auto notVideo = inChild([&] { openSource(text); });
  EXPECT_EQ(notVideo.status, 1);
  ASSERT_EQ(notVideo.lines.size(), 1u);
  EXPECT_EQ(notVideo.lines[0], R"({"error":"Invalid data found when processing input"})");
}

TEST_F(Frames, TruncatedFileDeliversTheFramesBeforeTheDamage) {
  std::string whole = makeVideo(dir_, "whole.mp4", "testsrc2=size=96x64:rate=10:duration=3",
                                "-c:v libx264 -pix_fmt yuv420p -g 10 -bf 0 -movflags +faststart");
  ASSERT_FALSE(whole.empty());
  std::string cut = dir_ + "/cut.mp4";
  auto size = std::filesystem::file_size(whole);
  std::filesystem::copy_file(whole, cut);
  std::filesystem::resize_file(cut, size * 6 / 10);
  auto outcome = inChild([&] {
    Source source = openSource(cut);
    int frames = 0;
    eachFrame(source, 0, 100, [&](const cv::Mat&, const MediaTime&) { return ++frames, true; });
    std::printf("%d\n", frames);
    std::fflush(stdout);
  });
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.lines.size(), 1u);
  int frames = std::stoi(outcome.lines[0]);
  EXPECT_GT(frames, 5);
  EXPECT_LT(frames, 30);
}

TEST(Shrunk, SizesFollowTheLongerSide) {
  EXPECT_EQ(shrunkSize({1920, 1080}, 960), cv::Size(960, 540));
  EXPECT_EQ(shrunkSize({1920, 1080}), cv::Size(512, 288));
  EXPECT_EQ(shrunkSize({1080, 1920}), cv::Size(288, 512));
  EXPECT_EQ(shrunkSize({400, 300}, 960), cv::Size(400, 300));
  EXPECT_EQ(shrunkSize({3, 1}), cv::Size(3, 2));
  EXPECT_EQ(shrunkSize({1000, 3}), cv::Size(512, 2));
  cv::Mat frame(1080, 1920, CV_8UC4, cv::Scalar(10, 20, 30, 255));
  cv::Mat small = shrunk(frame, 960);
  EXPECT_EQ(small.size(), cv::Size(960, 540));
  EXPECT_EQ(small.type(), CV_8UC4);
  EXPECT_EQ(small.at<cv::Vec4b>(100, 100), cv::Vec4b(10, 20, 30, 255));
  EXPECT_EQ(black({7, 3}).at<cv::Vec4b>(2, 6), cv::Vec4b(0, 0, 0, 255));
}

// Seek targets: a time the stream's time base cannot count in 64 bits is refused instead of being
// converted (undefined behaviour, in practice a wild timestamp), and the reader then starts from
// the beginning of the file.
TEST(SeekStamps, ExactWhereTheTimeBaseHoldsTheTime) {
  EXPECT_EQ(stampAtOrBefore(1.5, AVRational{1, 90000}), std::optional<int64_t>(135000));
  EXPECT_EQ(stampAtOrBefore(0.0999, AVRational{1, 10}), std::optional<int64_t>(0));
  EXPECT_EQ(stampAtOrBefore(-0.05, AVRational{1, 10}), std::optional<int64_t>(-1));
}

TEST(SeekStamps, NothingForTimesBeyondTheTimeBase) {
  // 1e12 s (a damaged file's duration) counted in ticks of 1/4e9 s needs 4e21 ticks.
  EXPECT_EQ(stampAtOrBefore(1e12, AVRational{1, 2000000000}), std::nullopt);
  EXPECT_EQ(stampAtOrBefore(-1e12, AVRational{1, 2000000000}), std::nullopt);
  EXPECT_EQ(stampAtOrBefore(std::ldexp(1.0, 63), AVRational{1, 1}), std::nullopt);
  EXPECT_EQ(stampAtOrBefore(std::numeric_limits<double>::quiet_NaN(), AVRational{1, 25}),
            std::nullopt);
  EXPECT_EQ(stampAtOrBefore(std::numeric_limits<double>::infinity(), AVRational{1, 25}),
            std::nullopt);
  EXPECT_EQ(stampAtOrBefore(1.0, AVRational{0, 1}), std::nullopt);
  EXPECT_EQ(stampAtOrBefore(1.0, AVRational{1, 0}), std::nullopt);
}

}  // namespace
}  // namespace tv
