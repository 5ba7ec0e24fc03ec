#include "media/grab.h"

#include "base/cancel.h"
#include "media/frames.h"
#include "media/orientation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace tv {
namespace {

// Decoding stops once the demuxer is this far past the requested time in decode order, even
// when the decoder has not delivered the frame yet (a broken stream must not be read to its end).
constexpr double kReadAhead = 2.0;

double secondsOf(int64_t stamp, AVRational base, double origin) {
  return static_cast<double>(stamp) * av_q2d(base) - origin;
}

int64_t stampOf(const AVFrame* frame) {
  return frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
}

}  // namespace

FrameGrabber::FrameGrabber(const Source& source, double maxSide, int decoderThreads)
    : source_(source), maxSide_(maxSide) {
  FormatPtr format;
  if (reopenInput(source.path, format, source.track) < 0 || source.track < 0 ||
      source.track >= static_cast<int>(format->nb_streams)) {
    return;
  }
  CodecPtr codec;
  if (openDecoder(format->streams[source.track], codec, decoderThreads) < 0) return;
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  best_.reset(av_frame_alloc());
  if (!packet_ || !frame_ || !best_) return;
  // Only the wanted stream is demuxed; the others would be read and thrown away on every grab.
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (static_cast<int>(i) != source.track) format->streams[i]->discard = AVDISCARD_ALL;
  format_ = std::move(format);
  codec_ = std::move(codec);
}

bool FrameGrabber::seekBefore(double seconds) {
  double fileTime = seconds + source_.origin;
  if (fileTime > 0) {
    landing_ = seekToKeyAtOrBefore(format_.get(), source_.track, fileTime);
  } else {
    landing_ = Landing{};
    landing_.fromStart = true;
    if (!rewindToStart(format_.get())) {
      fromStart_ = false;
      return false;
    }
  }
  fromStart_ = landing_.fromStart;
  return true;
}

bool FrameGrabber::nextPacket() {
  if (landing_.packets.empty()) return av_read_frame(format_.get(), packet_.get()) >= 0;
  av_packet_unref(packet_.get());
  av_packet_move_ref(packet_.get(), landing_.packets.front().get());
  landing_.packets.pop_front();
  return true;
}

std::optional<double> FrameGrabber::keyFrameBefore(double seconds) {
  if (!seekBefore(seconds)) return std::nullopt;
  if (landing_.keyTime) return *landing_.keyTime - source_.origin;
  const AVStream* stream = format_->streams[source_.track];
  while (nextPacket()) {
    bool ours = packet_->stream_index == source_.track;
    std::optional<double> shown;
    if (ours && (packet_->flags & AV_PKT_FLAG_KEY) && packet_->pts != AV_NOPTS_VALUE)
      shown = secondsOf(packet_->pts, stream->time_base, source_.origin);
    av_packet_unref(packet_.get());
    if (ours) return shown;
  }
  return std::nullopt;
}

std::optional<cv::Mat> FrameGrabber::grab(double seconds) {
  // Times beyond any real file would overflow the stream's timestamps.
  constexpr double kLongest = 1e9;
  if (!format_ || !codec_ || !(std::abs(seconds) < kLongest)) return std::nullopt;

  // A key frame within the tolerance is the answer for the price of one decoded frame; with
  // the usual key frame every second or two there nearly always is one, and grabs cost the same
  // however long the file. The one at or before the time shows the same scene as the time,
  // since encoders put a key frame at every cut. The one after it is taken only when it keeps
  // the file's rhythm, so that it is not the first frame of a new scene. Without either,
  // decoding runs from the key frame before the time to the frame nearest it.
  double start = seconds;
  auto before = keyFrameBefore(seconds);
  if (before && seconds - *before > kGrabTolerance) {
    auto after = keyFrameBefore(seconds + kGrabTolerance);
    if (after && *after > seconds && *after - seconds <= kGrabTolerance) {
      double frame = 1 / source_.fps;
      auto earlier = keyFrameBefore(*before - frame / 2);
      bool rhythm = earlier && *earlier < *before - frame / 2 &&
                    *after - *before >= *before - *earlier - frame / 2;
      if (rhythm) start = *after + frame / 4;  // a little past it, so the seek lands on it
    }
  }
  return decodeFrom(start, seconds);
}

std::optional<cv::Mat> FrameGrabber::decodeFrom(double start, double seconds) {
  AVStream* stream = format_->streams[source_.track];
  const AVRational base = stream->time_base;
  const double origin = source_.origin;
  if (!seekBefore(start)) return std::nullopt;
  const bool sought = !fromStart_;
  avcodec_flush_buffers(codec_.get());
  av_frame_unref(best_.get());

  double bestDistance = std::numeric_limits<double>::infinity();
  int64_t lastStamp = AV_NOPTS_VALUE;
  const int64_t frameStep = std::max<int64_t>(1, std::llround(1.0 / source_.fps / av_q2d(base)));

  // Takes every frame the decoder has ready, keeping the nearest; false once a frame at or past
  // the time has been seen (frames come out in presentation order, so later ones are farther).
  auto drain = [&]() -> bool {
    while (true) {
      int got = avcodec_receive_frame(codec_.get(), frame_.get());
      if (got < 0) return got == AVERROR(EAGAIN);
      int64_t stamp = stampOf(frame_.get());
      // Without timestamps, frames count on at the nominal rate from the start of the file; in
      // the middle of one there is no telling where they are.
      if (stamp == AV_NOPTS_VALUE && lastStamp != AV_NOPTS_VALUE) stamp = lastStamp + frameStep;
      if (stamp == AV_NOPTS_VALUE && !sought) stamp = 0;
      if (stamp == AV_NOPTS_VALUE) {
        av_frame_unref(frame_.get());
        continue;  // a frame that cannot be placed in time is of no use here
      }
      lastStamp = stamp;
      double t = secondsOf(stamp, base, origin);
      double distance = std::abs(t - seconds);
      if (distance < bestDistance) {
        bestDistance = distance;
        av_frame_unref(best_.get());
        av_frame_move_ref(best_.get(), frame_.get());
      } else {
        av_frame_unref(frame_.get());
      }
      if (t >= seconds) return false;
    }
  };

  const double nearSpan = 1.5 / source_.fps;
  bool going = true;
  bool first = true;
  while (going) {
    if (!nextPacket()) break;  // end of file or damage: flush below
    if (packet_->stream_index != source_.track) {
      av_packet_unref(packet_.get());
      continue;
    }
    int64_t order = packet_->dts != AV_NOPTS_VALUE ? packet_->dts : packet_->pts;
    if (order != AV_NOPTS_VALUE &&
        secondsOf(order, base, origin) > seconds + kGrabTolerance + kReadAhead) {
      av_packet_unref(packet_.get());
      break;
    }
    double shown = packet_->pts != AV_NOPTS_VALUE ? secondsOf(packet_->pts, base, origin)
                                                  : std::numeric_limits<double>::quiet_NaN();
    // Only a frame within a frame and a half of the time can be the nearest; of the others, the
    // frames no other frame refers to need not be decoded at all, which halves the work across
    // a long group of pictures. A frame whose time is unknown is decoded.
    bool far = std::abs(shown - seconds) > nearSpan;
    codec_->skip_frame = far ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    bool keyInWindow =
        first && (packet_->flags & AV_PKT_FLAG_KEY) && std::abs(shown - seconds) <= kGrabTolerance;
    first = false;
    int sent = avcodec_send_packet(codec_.get(), packet_.get());
    while (sent == AVERROR(EAGAIN) && going) {  // the decoder wants its output taken first
      going = drain();
      sent = avcodec_send_packet(codec_.get(), packet_.get());
    }
    av_packet_unref(packet_.get());
    // The key frame alone is wanted: end the stream here, so that the decoder hands it out
    // without waiting for the frames its threads would decode next.
    if (keyInWindow) break;
    // A damaged packet is skipped; the decoder conceals and goes on with the next one.
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) break;
    if (going) going = drain();
  }
  if (going) {
    codec_->skip_frame = AVDISCARD_DEFAULT;
    avcodec_send_packet(codec_.get(), nullptr);
    drain();
  }
  // Whatever is still queued belongs to this grab; the next one seeks and starts afresh.
  avcodec_flush_buffers(codec_.get());

  if (!(bestDistance <= kGrabTolerance + 1e-9) || !best_->data[0]) return std::nullopt;
  cv::Mat image = convert(best_.get());
  av_frame_unref(best_.get());
  if (image.empty()) return std::nullopt;
  return upright(image, source_.orientation);
}

cv::Mat FrameGrabber::convert(const AVFrame* frame) {
  int width = frame->width, height = frame->height;
  if (width <= 0 || height <= 0) return {};
  int longer = std::max(width, height);
  cv::Size target(width, height);
  if (maxSide_ > 0 && longer > maxSide_) {
    double scale = maxSide_ / longer;
    target = {std::clamp(static_cast<int>(std::lround(width * scale)), 1, width),
              std::clamp(static_cast<int>(std::lround(height * scale)), 1, height)};
  }
  cv::Mat image = converter_.convert(frame, target);
  return image.empty() ? image : image.clone();
}

void grabEach(const Source& source, const std::vector<double>& times, double maxSide,
              const std::function<void(cv::Mat& frame)>& visit) {
  // A grab is mostly the decoding of one frame, which a decoder cannot spread over threads;
  // grabs at different times can run side by side, each with a file and decoder of its own.
  // The caller's thread works on the frames meanwhile, so one worker per core is enough.
  constexpr unsigned kMostWorkers = 4;
  unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  size_t workers = std::min<size_t>({cores, kMostWorkers, times.size()});
  if (workers == 0) return;

  struct Slot {
    bool ready = false;
    std::optional<cv::Mat> frame;
  };
  std::vector<Slot> slots(times.size());
  std::mutex lock;
  std::condition_variable readied;
  std::atomic<size_t> next{0};

  auto work = [&] {
    FrameGrabber grabber(source, maxSide, 1);
    // Times are taken in order, so the frame the caller waits for is always among the first.
    for (size_t i = next++; i < times.size(); i = next++) {
      std::optional<cv::Mat> frame = grabber.grab(times[i]);
      std::lock_guard<std::mutex> guard(lock);
      slots[i].frame = std::move(frame);
      slots[i].ready = true;
      readied.notify_all();
    }
  };
  // Whatever way this function is left, the workers stop after their current grab and are
  // joined before the slots they write to go away.
  struct Workers {
    std::vector<std::thread> threads;
    std::atomic<size_t>& next;
    size_t end;
    ~Workers() {
      next = end;
      for (std::thread& thread : threads) thread.join();
    }
  } running{{}, next, times.size()};
  try {
    for (size_t w = 0; w < workers; ++w) running.threads.emplace_back(work);
  } catch (const std::system_error&) {
    if (running.threads.empty()) work();  // no thread to be had: grab them all here
  }

  for (size_t i = 0; i < times.size(); ++i) {
    std::optional<cv::Mat> frame;
    {
      std::unique_lock<std::mutex> guard(lock);
      readied.wait(guard, [&] { return slots[i].ready; });
      frame = std::move(slots[i].frame);
      slots[i].frame.reset();
    }
    checkCancelled();
    if (frame) visit(*frame);
  }
}

}  // namespace tv
