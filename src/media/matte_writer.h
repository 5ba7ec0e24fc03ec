// The matte video writer: grey mattes in, one H.264 track in an MP4 file out, frames stamped
// from zero. The file is written beside the output path and renamed over it only once it is
// complete, so a failed run never replaces a good file with a truncated one.
#pragma once

#include "media/ffmpeg.h"
#include "media/source.h"

#include <opencv2/core/mat.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tv {

// Ticks per second of the track's time base: fine enough for any common frame rate.
constexpr int kMatteTimescale = 600000;

// The encoder settings that follow from the output size.
int64_t matteBitRate(int width, int height);  // max(3 * width * height, 1500000) bits/s
constexpr int kMatteKeyInterval = 15;         // a key frame at least every this many frames

class MatteWriter {
 public:
  // Set-up for an even width x height (at least 2 each). Fails with "cannot create the matte
  // file" or "cannot start writing: <reason>".
  MatteWriter(const std::string& path, int width, int height, double fps);
  // A writer dropped before finish() removes its unfinished file.
  ~MatteWriter();
  MatteWriter(const MatteWriter&) = delete;
  MatteWriter& operator=(const MatteWriter&) = delete;

  // Appends one matte (grey BGRA, or one byte per pixel) shown at `time`; the first frame
  // appended is stamped zero. A matte of another size is scaled to the output, each axis on its
  // own: area-averaged when it is reduced both ways, else linearly. The frame is encoded on the
  // writer's own thread while the caller goes on; this blocks only while kMattesAhead sized
  // mattes wait for it. Fails with "no pixel buffer pool", "cannot allocate a frame" or "cannot write a
  // frame: <reason>", here or at a later append or finish() when encoding an earlier frame
  // failed.
  void append(const cv::Mat& matte, const MediaTime& time);

  // Ends the track one frame duration after the last frame and moves the file into place.
  // Fails with "cannot finish the matte file: <reason>".
  void finish();

  int framesWritten() const { return framesWritten_; }
  // The source time of the first appended frame, if any.
  const std::optional<MediaTime>& firstTime() const { return firstTime_; }
  // The latest frame's time relative to the first, in seconds.
  double latestRelative() const { return static_cast<double>(latestStamp_) / kMatteTimescale; }

 private:
  struct OutputCloser {
    void operator()(AVFormatContext* context) const;
  };
  using OutputPtr = std::unique_ptr<AVFormatContext, OutputCloser>;

  // Mattes handed to the encoding thread and not yet taken by it (it works on one more).
  static constexpr size_t kMattesAhead = 1;
  struct Pending {
    cv::Mat matte;
    int64_t stamp = 0;
  };

  int64_t stampOf(const MediaTime& time) const;
  // The encoding thread's loop, and one frame of it.
  void encodeAll();
  void encode(const Pending& pending);
  // Waits until the encoding thread has taken every matte, then ends it; rethrows its failure.
  void stopEncoding();
  // The matte at the output size, in a buffer of its own.
  cv::Mat sized(const cv::Mat& matte) const;
  void fill(const cv::Mat& sized);
  // Takes every packet the encoder has ready and writes it; returns FFmpeg's status.
  int drain();
  int writeHeld(int64_t duration);

  std::string path_;
  std::string temporary_;
  int width_ = 0;
  int height_ = 0;
  double fps_ = 30;
  OutputPtr output_;
  CodecPtr encoder_;
  AVStream* stream_ = nullptr;  // owned by output_
  FramePtr frame_;              // the one picture buffer, reused for every frame
  PacketPtr packet_;
  PacketPtr held_;  // the latest packet, written once the next stamp gives its duration
  bool holding_ = false;
  std::optional<MediaTime> firstTime_;
  int64_t latestStamp_ = -1;
  int framesWritten_ = 0;
  bool finished_ = false;

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Pending> pending_;
  bool closing_ = false;         // no more mattes come; the thread ends once it has them all
  std::exception_ptr failure_;   // the encoding thread's failure, reported on the caller's side
  std::thread encoding_;         // started on the first append
};

}  // namespace tv
