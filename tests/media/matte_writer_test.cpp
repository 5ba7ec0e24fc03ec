// The matte writer, read back with libavformat and the tool's own frame reader.
#include "media/matte_writer.h"
#include "media/ffmpeg.h"
#include "media/frames.h"
#include "media/source.h"
#include "support/run.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The tool silences FFmpeg in main; the tests that drive the writer directly do the same.
const bool kQuiet = [] {
  av_log_set_level(AV_LOG_QUIET);
  return true;
}();

struct PacketInfo {
  int64_t pts = 0;
  int64_t dts = 0;
  int64_t duration = 0;
  bool key = false;
  std::string bytes;
};

struct FileInfo {
  int streams = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0, height = 0;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  int videoDelay = -1;
  AVRational timeBase{0, 1};
  double streamSeconds = 0;  // the track's length
  std::vector<PacketInfo> packets;
};

FileInfo readBack(const std::string& path) {
  FileInfo info;
  tv::FormatPtr format;
  if (tv::openInput(path, format) < 0) return info;
  info.streams = static_cast<int>(format->nb_streams);
  int index = tv::firstVideoStream(format.get());
  if (index < 0) return info;
  const AVStream* stream = format->streams[index];
  info.codec = stream->codecpar->codec_id;
  info.width = stream->codecpar->width;
  info.height = stream->codecpar->height;
  info.range = stream->codecpar->color_range;
  info.videoDelay = stream->codecpar->video_delay;
  info.timeBase = stream->time_base;
  info.streamSeconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
  tv::PacketPtr packet(av_packet_alloc());
  while (av_read_frame(format.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      info.packets.push_back({packet->pts, packet->dts, packet->duration,
                              (packet->flags & AV_PKT_FLAG_KEY) != 0,
                              std::string(reinterpret_cast<const char*>(packet->data),
                                          static_cast<size_t>(packet->size))});
    }
    av_packet_unref(packet.get());
  }
  return info;
}

// The grey matte used throughout: three vertical bands of 0, 128 and 255.
cv::Mat bands(int width, int height) {
  cv::Mat matte(height, width, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  int third = width / 3;
  matte(cv::Rect(third, 0, third, height)).setTo(cv::Scalar(128, 128, 128, 255));
  matte(cv::Rect(2 * third, 0, width - 2 * third, height)).setTo(cv::Scalar(255, 255, 255, 255));
  return matte;
}

// Source times in a 1/15360 time base (a common one for 30 fps files), from a given frame on.
tv::MediaTime sourceTime(int64_t frame, double fps = 30) {
  return tv::MediaTime{static_cast<int64_t>(std::llround(frame * 15360 / fps)), 1, 15360, 0.25};
}

std::string writeBands(const std::string& path, int width, int height, int frames,
                       int64_t firstFrame, double fps = 30) {
  tv::MatteWriter writer(path, width, height, fps);
  for (int k = 0; k < frames; ++k)
    writer.append(bands(width, height), sourceTime(firstFrame + k, fps));
  writer.finish();
  return path;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(MatteWriter, BitRateGrowsWithAreaAboveTheFloor) {
  EXPECT_EQ(tv::matteBitRate(1920, 1080), 3 * 1920 * 1080);
  EXPECT_EQ(tv::matteBitRate(320, 240), 1500000);
  EXPECT_EQ(tv::matteBitRate(2, 2), 1500000);
  // Exactly at the floor: 500000 pixels.
  EXPECT_EQ(tv::matteBitRate(1000, 500), 1500000);
  EXPECT_EQ(tv::matteBitRate(1000, 502), 1506000);
}

TEST(MatteWriter, OneH264TrackStampedFromZeroWhateverTheStart) {
  std::string dir = tvtest::scratchDir("writer-stamps");
  // The range starts at source frame 150 (5 s); the file must still start at 0.
  std::string path = writeBands(dir + "/matte.mp4", 64, 48, 40, 150);
  FileInfo info = readBack(path);
  ASSERT_EQ(info.streams, 1);
  EXPECT_EQ(info.codec, AV_CODEC_ID_H264);
  EXPECT_EQ(info.width, 64);
  EXPECT_EQ(info.height, 48);
  ASSERT_EQ(info.packets.size(), 40u);
  ASSERT_EQ(info.timeBase.num, 1);
  ASSERT_EQ(info.timeBase.den, tv::kMatteTimescale);
  for (size_t k = 0; k < info.packets.size(); ++k) {
    // 1/30 s is 20000 ticks of 1/600000 s.
    EXPECT_EQ(info.packets[k].pts, static_cast<int64_t>(k) * 20000) << "frame " << k;
  }
  // The track ends one frame after the last stamp.
  EXPECT_NEAR(info.streamSeconds, 39.0 / 30 + 1.0 / 30, 1e-6);
}

TEST(MatteWriter, OddRateEndsOneFrameAfterTheLastStamp) {
  std::string dir = tvtest::scratchDir("writer-ntsc");
  double fps = 30000.0 / 1001;
  std::string path = writeBands(dir + "/matte.mp4", 32, 32, 12, 7, fps);
  FileInfo info = readBack(path);
  ASSERT_EQ(info.packets.size(), 12u);
  EXPECT_EQ(info.packets.front().pts, 0);
  double last = static_cast<double>(info.packets.back().pts) * av_q2d(info.timeBase);
  // The source's own stamps (1/15360 s steps) carried over to the nearest tick.
  double sourceLast = sourceTime(18, fps).seconds() - sourceTime(7, fps).seconds();
  EXPECT_NEAR(last, sourceLast, 1.0 / tv::kMatteTimescale);
  EXPECT_NEAR(info.streamSeconds, last + 1 / fps, 2.0 / tv::kMatteTimescale);
}

TEST(MatteWriter, KeyFramesAtLeastEvery15FramesAndNoReordering) {
  std::string dir = tvtest::scratchDir("writer-gop");
  std::string path = writeBands(dir + "/matte.mp4", 96, 64, 61, 0);
  FileInfo info = readBack(path);
  ASSERT_EQ(info.packets.size(), 61u);
  EXPECT_EQ(info.videoDelay, 0);
  ASSERT_TRUE(info.packets.front().key);
  int sinceKey = 0;
  int keys = 0;
  for (size_t k = 0; k < info.packets.size(); ++k) {
    const auto& packet = info.packets[k];
    // Without reordering, decode order is display order.
    EXPECT_EQ(packet.dts, packet.pts) << "frame " << k;
    if (k > 0) {
      EXPECT_GT(packet.pts, info.packets[k - 1].pts);
    }
    if (packet.key) {
      ++keys;
      sinceKey = 0;
    } else {
      ++sinceKey;
    }
    EXPECT_LT(sinceKey, tv::kMatteKeyInterval) << "frame " << k;
  }
  EXPECT_GE(keys, 5);  // frames 0, 15, 30, 45, 60 at the least
}

TEST(MatteWriter, EncoderSettingsRecordedInTheStream) {
  // The encoder writes its settings into the first frame; they must show the average bit rate
  // in kbit/s, the key-frame interval and no B-frames.
  std::string dir = tvtest::scratchDir("writer-settings");
  int width = 1280, height = 720;
  std::string path = writeBands(dir + "/matte.mp4", width, height, 3, 0);
  FileInfo info = readBack(path);
  ASSERT_FALSE(info.packets.empty());
  const std::string& first = info.packets.front().bytes;
  std::string expectedRate =
      " bitrate=" + std::to_string(tv::matteBitRate(width, height) / 1000) + " ";
  EXPECT_NE(first.find(expectedRate), std::string::npos) << expectedRate;
  EXPECT_NE(first.find(" bframes=0 "), std::string::npos);
  EXPECT_NE(first.find(" keyint=15 "), std::string::npos);
  EXPECT_NE(first.find(" rc=abr "), std::string::npos);
}

TEST(MatteWriter, GreyValuesSurviveTheRoundTrip) {
  std::string dir = tvtest::scratchDir("writer-values");
  int width = 192, height = 64;
  std::string path = writeBands(dir + "/matte.mp4", width, height, 5, 30);
  FileInfo info = readBack(path);
  EXPECT_EQ(info.range, AVCOL_RANGE_JPEG);  // tagged full range

  tv::Source source = tv::openSource(path);
  int frames = 0;
  tv::eachFrame(source, 0, source.duration + 1, [&](const cv::Mat& frame, const tv::MediaTime&) {
    ++frames;
    const int expected[] = {0, 128, 255};
    for (int band = 0; band < 3; ++band) {
      // The middle of each band, clear of the chroma and block edges.
      cv::Rect middle(band * width / 3 + 16, 16, width / 3 - 32, height - 32);
      cv::Scalar mean = cv::mean(frame(middle));
      for (int channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(mean[channel], expected[band], 3) << "band " << band << " channel " << channel;
      }
      double low, high;
      cv::Mat red;
      cv::extractChannel(frame(middle), red, 2);
      cv::minMaxLoc(red, &low, &high);
      EXPECT_GE(low, expected[band] - 3);
      EXPECT_LE(high, expected[band] + 3);
    }
    return true;
  });
  EXPECT_EQ(frames, 5);
}

TEST(MatteWriter, OneByteMattesAreTakenAsTheyAre) {
  std::string dir = tvtest::scratchDir("writer-onebyte");
  std::string path = dir + "/matte.mp4";
  {
    tv::MatteWriter writer(path, 32, 32, 25);
    writer.append(cv::Mat(32, 32, CV_8UC1, cv::Scalar(200)), sourceTime(0, 25));
    writer.finish();
  }
  tv::Source source = tv::openSource(path);
  int frames = 0;
  tv::eachFrame(source, 0, source.duration + 1, [&](const cv::Mat& frame, const tv::MediaTime&) {
    ++frames;
    EXPECT_NEAR(cv::mean(frame)[2], 200, 3);
    return true;
  });
  EXPECT_EQ(frames, 1);
}

TEST(MatteWriter, AGoodFileIsReplacedOnlyByAFinishedOne) {
  std::string dir = tvtest::scratchDir("writer-replace");
  std::string path = dir + "/matte.mp4";
  { std::ofstream(path) << "the previous export"; }
  {
    tv::MatteWriter writer(path, 32, 32, 30);
    writer.append(bands(32, 32), sourceTime(0));
    // While writing, the old file is untouched.
    EXPECT_EQ(slurp(path), "the previous export");
    // Dropped unfinished: the old file stays and nothing is left beside it.
  }
  EXPECT_EQ(slurp(path), "the previous export");
  int entries = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);

  writeBands(path, 32, 32, 4, 0);
  EXPECT_EQ(readBack(path).packets.size(), 4u);
  entries = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(MatteWriter, RepeatedSourceTimesStillRise) {
  std::string dir = tvtest::scratchDir("writer-repeat");
  std::string path = dir + "/matte.mp4";
  {
    tv::MatteWriter writer(path, 32, 32, 30);
    writer.append(bands(32, 32), sourceTime(3));
    writer.append(bands(32, 32), sourceTime(3));
    writer.append(bands(32, 32), sourceTime(4));
    EXPECT_EQ(writer.framesWritten(), 3);
    ASSERT_TRUE(writer.firstTime().has_value());
    EXPECT_EQ(writer.firstTime()->value, sourceTime(3).value);
    EXPECT_NEAR(writer.latestRelative(), 1.0 / 30, 1e-6);
    writer.finish();
  }
  FileInfo info = readBack(path);
  ASSERT_EQ(info.packets.size(), 3u);
  EXPECT_EQ(info.packets[0].pts, 0);
  EXPECT_EQ(info.packets[1].pts, 1);
  EXPECT_EQ(info.packets[2].pts, 20000);
}

long peakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(MatteWriter, MemoryStaysFlatOverALongRun) {
  // The encoder holds a bounded number of frames: after it has filled its lookahead, hundreds
  // more frames do not raise the peak memory.
  std::string dir = tvtest::scratchDir("writer-memory");
  int width = 320, height = 240;
  tv::MatteWriter writer(dir + "/matte.mp4", width, height, 30);
  cv::Mat matte(height, width, CV_8UC1);
  auto frame = [&](int k) {
    matte.setTo(cv::Scalar(0));
    matte(cv::Rect((k * 3) % (width - 40), 60, 40, 120)).setTo(cv::Scalar(255));
    writer.append(matte, sourceTime(k));
  };
  for (int k = 0; k < 100; ++k) frame(k);
  long settled = peakKiB();
  for (int k = 100; k < 1600; ++k) frame(k);
  // 1500 frames of 320 x 240 would be over 170 MiB if they were kept.
  EXPECT_LT(peakKiB() - settled, 8 * 1024);
  writer.finish();
  EXPECT_EQ(writer.framesWritten(), 1600);
}

}  // namespace
