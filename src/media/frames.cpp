#include "media/frames.h"
#include "media/orientation.h"

#include "base/cancel.h"
#include "base/events.h"
#include "media/convert.h"
#include "media/ffmpeg.h"
#include "media/seek.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

namespace tv {

namespace {

// How many converted frames the decoding thread may have ready ahead of the visitor: enough to
// ride out a slow frame on either side, few enough that memory stays a handful of frames (with
// the one being converted and the visitor's, four 1080p frames are 33 MB).
constexpr size_t kFramesAhead = 2;

struct Decoded {
  cv::Mat image;
  MediaTime time;
};

// The frames between the decoding thread and the visitor's. push() waits while it is full and
// answers false once the visitor's side has stopped; pop() waits for a frame and answers nothing
// once the decoding side has closed it and it is empty.
class FrameQueue {
 public:
  bool push(Decoded frame) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return stopped_ || frames_.size() < kFramesAhead; });
    if (stopped_) return false;
    frames_.push_back(std::move(frame));
    changed_.notify_all();
    return true;
  }
  std::optional<Decoded> pop() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return closed_ || !frames_.empty(); });
    if (frames_.empty()) return std::nullopt;
    Decoded frame = std::move(frames_.front());
    frames_.pop_front();
    changed_.notify_all();
    return frame;
  }
  void close(std::exception_ptr failure = nullptr) {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    failure_ = failure;
    changed_.notify_all();
  }
  void stop() {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
    changed_.notify_all();
  }
  std::exception_ptr failure() {
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Decoded> frames_;
  bool closed_ = false, stopped_ = false;
  std::exception_ptr failure_;
};

}  // namespace

void eachFrame(const Source& source, double from, double to, const FrameVisitor& visitor,
               cv::Size deliver, FramePixels pixels) {
  FormatPtr format;
  if (openInput(source.path, format) < 0 || source.track < 0 ||
      source.track >= static_cast<int>(format->nb_streams)) {
    fail("cannot open the video");
  }
  AVStream* stream = format->streams[source.track];
  CodecPtr codec;
  int status = openDecoder(stream, codec);
  if (status < 0) fail("cannot decode the video: " + describeError(status));
  if (!(to - 0.0001 > from - 0.0001)) return;  // an empty range decodes nothing

  // Start a frame and a half early, at the key frame before that; the early frames are dropped.
  double start = from - 1.5 / source.fps;
  if (!(start >= 0)) start = 0;
  Landing landing;
  if (start > 0) landing = seekToKeyAtOrBefore(format.get(), source.track, start + source.origin);

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) fail("cannot decode the video: " + describeError(AVERROR(ENOMEM)));
  // Frames are scaled in the same step that converts them, on the stream's own axes.
  const bool sideways = source.orientation == 6 || source.orientation == 8;
  const cv::Size scaled = sideways ? cv::Size(deliver.height, deliver.width) : deliver;

  // Decoding and conversion run on a thread of their own, a few frames ahead, so that the
  // visitor's analysis of one frame overlaps the decoding of the next ones; the visitor still
  // sees one frame at a time, in presentation order, on the calling thread.
  FrameQueue queue;
  auto decodeAll = [&] {
    BgraConverter converter;
    const AVRational base = stream->time_base;
    int64_t lastStamp = AV_NOPTS_VALUE;

    // Hands on every frame the decoder has ready; false once the pass is over.
    auto drain = [&]() -> bool {
      while (true) {
        int got = avcodec_receive_frame(codec.get(), frame.get());
        if (got == AVERROR(EAGAIN)) return true;
        if (got < 0) return false;  // end of stream or a decoder failure: the pass ends here
        int64_t stamp = frame->best_effort_timestamp;
        if (stamp == AV_NOPTS_VALUE) stamp = frame->pts;
        if (stamp == AV_NOPTS_VALUE) {
          // No timestamp at all: count on from the previous frame at the nominal rate.
          stamp = lastStamp == AV_NOPTS_VALUE
                      ? 0
                      : lastStamp + std::max<int64_t>(1, llround(1.0 / source.fps / av_q2d(base)));
        }
        lastStamp = stamp;
        MediaTime time{stamp, base.num, base.den, source.origin};
        double t = time.seconds();
        if (t < from - 0.0001) {
          av_frame_unref(frame.get());
          continue;
        }
        if (t >= to - 0.0001) return false;
        cv::Mat image = converter.convert(frame.get(), scaled);
        av_frame_unref(frame.get());
        if (pixels == FramePixels::grey && !image.empty()) {
          // Before turning upright: a quarter of the bytes to turn, and the same pixels.
          cv::Mat grey;
          cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
          image = grey;
        }
        image = upright(image, source.orientation);
        if (!queue.push({std::move(image), time})) return false;
      }
    };

    while (true) {
      if (!landing.packets.empty()) {
        av_packet_move_ref(packet.get(), landing.packets.front().get());
        landing.packets.pop_front();
      } else if (av_read_frame(format.get(), packet.get()) < 0) {
        break;  // end of file, or damage: flush what was decoded and stop
      }
      if (packet->stream_index == source.track) {
        int sent = avcodec_send_packet(codec.get(), packet.get());
        av_packet_unref(packet.get());
        // A damaged packet is skipped; the decoder conceals and goes on with the next one.
        if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) return;
        if (!drain()) return;
      } else {
        av_packet_unref(packet.get());
      }
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
  };

  std::thread decoding([&] {
    try {
      decodeAll();
      queue.close();
    } catch (...) {  // memory for a frame, OpenCV's own exceptions: reported on the caller's side
      queue.close(std::current_exception());
    }
  });
  // However the visitor's side is left (done, stopped, failed), the decoding thread stops at its
  // next frame and is joined before what it uses goes away.
  struct Joined {
    FrameQueue& queue;
    std::thread& thread;
    ~Joined() {
      queue.stop();
      thread.join();
    }
  } joined{queue, decoding};

  while (auto next = queue.pop()) {
    checkCancelled();
    if (!visitor(next->image, next->time)) return;
  }
  if (auto failure = queue.failure()) std::rethrow_exception(failure);
}

}  // namespace tv
