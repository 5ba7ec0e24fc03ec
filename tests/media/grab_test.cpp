#include "media/grab.h"

#include "media/frames.h"

#include "support/run.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tv {
namespace {

// Ten frames a second, each frame's number painted into its brightness (Y = 16 + 3 N), with
// B-frames and a key frame every three seconds, so that a grab must seek and decode forwards.
class NumberedVideo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(tvtest::scratchDir("grab"));
    path_ = new std::string(tvtest::makeVideo(
        *dir_, "numbered.mp4", "color=black:s=64x48:r=10:d=6,geq=lum='16+3*N':cb=128:cr=128",
        "-c:v libx264 -qp 2 -g 30 -x264-params b-adapt=0:bframes=3 -pix_fmt yuv420p"));
  }
  static void TearDownTestSuite() {
    delete path_;
    delete dir_;
  }

  // The frame number a grabbed frame shows.
  static int numberOf(const cv::Mat& frame) {
    const cv::Vec4b& p = frame.at<cv::Vec4b>(frame.rows / 2, frame.cols / 2);
    return static_cast<int>(std::lround(p[0] * 219.0 / 255.0 / 3.0));
  }

  static std::string* dir_;
  static std::string* path_;
};
std::string* NumberedVideo::dir_ = nullptr;
std::string* NumberedVideo::path_ = nullptr;

// A key frame at most half a second before the time is taken as it is; otherwise the frame
// nearest the time. Key frames here: 0 and 3 s.
TEST_F(NumberedVideo, GrabsTheNearestFrameOrAKeyFrameJustBeforeInAnyOrder) {
  ASSERT_FALSE(path_->empty());
  Source source = openSource(*path_);
  FrameGrabber grabber(source, 1280);
  struct Case {
    double time;
    int frame;
  };
  for (Case c : {Case{2.34, 23}, Case{0, 0}, Case{5.9, 59}, Case{3.0, 30}, Case{2.96, 30},
                 Case{1.04, 10}, Case{4.51, 45}, Case{0.26, 0}, Case{3.45, 30}, Case{3.57, 36}}) {
    auto frame = grabber.grab(c.time);
    ASSERT_TRUE(frame) << c.time;
    EXPECT_EQ(frame->type(), CV_8UC4);
    EXPECT_EQ(frame->size(), cv::Size(64, 48));
    EXPECT_EQ(numberOf(*frame), c.frame) << c.time;
  }
}

// Key frames at 0, 1, 2, then 2.9 (as at a cut), 3.9 and 4.9 s.
TEST(FrameGrabber, TakesTheNextKeyFrameOnlyWhenItKeepsTheRhythm) {
  std::string dir = tvtest::scratchDir("grab-rhythm");
  std::string path = tvtest::makeVideo(
      dir, "keys.mp4", "color=black:s=64x48:r=10:d=6,geq=lum='16+3*N':cb=128:cr=128",
      "-c:v libx264 -qp 2 -g 1000 -sc_threshold 0 -force_key_frames 0,1,2,2.9,3.9,4.9 "
      "-pix_fmt yuv420p");
  ASSERT_FALSE(path.empty());
  FrameGrabber grabber(openSource(path), 1280);
  auto numberOf = [](const cv::Mat& frame) {
    const cv::Vec4b& p = frame.at<cv::Vec4b>(frame.rows / 2, frame.cols / 2);
    return static_cast<int>(std::lround(p[0] * 219.0 / 255.0 / 3.0));
  };
  struct Case {
    double time;
    int frame;
  };
  for (Case c : {Case{1.7, 20},     // 2 s follows 1 s as 1 s followed 0
                 Case{0.7, 7},      // nothing before 0 s to judge the rhythm by: the nearest
                 Case{2.6, 26},     // 2.9 s comes early, as a cut would: the nearest
                 Case{3.5, 39},     // 3.9 s is a second after 2.9 s, as 2.9 s was after 2 s
                 Case{2.2, 20}}) {  // the key frame before is near enough
    auto frame = grabber.grab(c.time);
    ASSERT_TRUE(frame) << c.time;
    EXPECT_EQ(numberOf(*frame), c.frame) << c.time;
  }
}

TEST_F(NumberedVideo, NothingFartherThanHalfASecond) {
  ASSERT_FALSE(path_->empty());
  FrameGrabber grabber(openSource(*path_), 1280);
  auto last = grabber.grab(6.3);  // the last frame is at 5.9
  ASSERT_TRUE(last);
  EXPECT_EQ(numberOf(*last), 59);
  EXPECT_FALSE(grabber.grab(6.5));
  EXPECT_FALSE(grabber.grab(60));
  EXPECT_FALSE(grabber.grab(-0.6));
  EXPECT_FALSE(grabber.grab(std::nan("")));
  EXPECT_FALSE(grabber.grab(1e300));
  EXPECT_FALSE(grabber.grab(-1e300));
  auto again = grabber.grab(1.2);  // a failed grab leaves the grabber usable
  ASSERT_TRUE(again);
  EXPECT_EQ(numberOf(*again), 12);
}

// The grabs run on worker threads, with one-thread decoders, but the frames reach the caller on
// its own thread in the order asked for, and are the very frames one grabber gives.
TEST_F(NumberedVideo, GrabEachHandsOverTheFramesInOrderOnTheCallersThread) {
  ASSERT_FALSE(path_->empty());
  Source source = openSource(*path_);
  const std::vector<double> times = {2.34, 0, 5.9, 60, 3.0, 1.04, -0.6, 4.51, 3.57, 0.26, 2.34};
  std::vector<cv::Mat> alone;
  FrameGrabber grabber(source, 1280);
  for (double t : times)
    if (auto frame = grabber.grab(t)) alone.push_back(*frame);
  ASSERT_EQ(alone.size(), times.size() - 2);  // nothing near 60 s or -0.6 s

  for (int run = 0; run < 3; ++run) {  // the workers finish in a different order each time
    std::vector<cv::Mat> handed;
    const auto caller = std::this_thread::get_id();
    grabEach(source, times, 1280, [&](cv::Mat& frame) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      handed.push_back(frame.clone());
    });
    ASSERT_EQ(handed.size(), alone.size());
    std::vector<int> numbers;
    for (size_t i = 0; i < handed.size(); ++i) {
      numbers.push_back(numberOf(handed[i]));
      EXPECT_EQ(cv::norm(handed[i], alone[i], cv::NORM_INF), 0) << i;
    }
    EXPECT_EQ(numbers, (std::vector<int>{23, 0, 59, 30, 10, 45, 36, 0, 23}));
  }

  int visits = 0;
  grabEach(source, {}, 1280, [&](cv::Mat&) { ++visits; });
  Source missing = source;
  missing.path += ".gone";
  grabEach(missing, times, 1280, [&](cv::Mat&) { ++visits; });
  EXPECT_EQ(visits, 0);
}

// Leaving early (here by an exception from the caller's work) stops and joins the workers.
TEST_F(NumberedVideo, GrabEachCanBeLeftEarly) {
  ASSERT_FALSE(path_->empty());
  Source source = openSource(*path_);
  std::vector<double> times(40, 1.0);
  int visits = 0;
  EXPECT_THROW(grabEach(source, times, 1280,
                        [&](cv::Mat&) {
                          if (++visits == 2) throw std::runtime_error("enough");
                        }),
               std::runtime_error);
  EXPECT_EQ(visits, 2);
}

TEST(FrameGrabber, TurnsFramesUprightAndBoundsTheLongerSide) {
  std::string dir = tvtest::scratchDir("grab-size");
  std::string wide = tvtest::makeVideo(dir, "wide.mp4", "testsrc2=s=1920x1080:r=25:d=1",
                                       "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  ASSERT_FALSE(wide.empty());
  auto frame = FrameGrabber(openSource(wide), 1280).grab(0.5);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->size(), cv::Size(1280, 720));

  std::string turned = dir + "/turned.mp4";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -i '" + wide +
                          "' -c copy -metadata:s:v:0 rotate=90 '" + turned + "' </dev/null"),
            0);
  Source source = openSource(turned);
  ASSERT_TRUE(source.orientation == 6 || source.orientation == 8);
  auto upright = FrameGrabber(source, 1280).grab(0.8);
  ASSERT_TRUE(upright);
  ASSERT_EQ(upright->size(), cv::Size(720, 1280));

  // Turned the same way as the frame reader's frames, only smaller.
  cv::Mat read;
  eachFrame(source, 0.8, 0.9, [&](const cv::Mat& frame, const MediaTime&) {
    read = frame.clone();
    return false;
  });
  ASSERT_EQ(read.size(), cv::Size(1080, 1920));
  cv::Mat reduced;
  cv::resize(read, reduced, upright->size(), 0, 0, cv::INTER_AREA);
  cv::Mat difference;
  cv::absdiff(reduced, *upright, difference);
  EXPECT_LT(cv::mean(difference)[0], 4);
  EXPECT_LT(cv::mean(difference)[2], 4);
}

TEST(FrameGrabber, StreamWithoutTimestampsCountsFromItsStart) {
  std::string dir = tvtest::scratchDir("grab-raw");
  std::string raw = tvtest::makeVideo(dir, "raw.h264", "testsrc2=s=64x48:r=10:d=2",
                                      "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  ASSERT_FALSE(raw.empty());
  FrameGrabber grabber(openSource(raw), 1280);
  auto first = grabber.grab(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), cv::Size(64, 48));
  EXPECT_TRUE(grabber.grab(0));  // and again, from the first byte
}

TEST(FrameGrabber, UnreadableFileGrabsNothing) {
  Source source;
  source.path = tvtest::scratchDir("grab-missing") + "/missing.mp4";
  source.track = 0;
  EXPECT_FALSE(FrameGrabber(source, 1280).grab(0));
}

}  // namespace
}  // namespace tv
