#include "media/frames.h"

#include "base/events.h"
#include "media/convert.h"
#include "media/ffmpeg.h"

#include <opencv2/core.hpp>

#include <cmath>

namespace tv {

cv::Mat upright(const cv::Mat& decoded, int orientation) {
  cv::Mat turned;
  switch (orientation) {
    case 3: cv::rotate(decoded, turned, cv::ROTATE_180); return turned;
    case 6: cv::rotate(decoded, turned, cv::ROTATE_90_CLOCKWISE); return turned;
    case 8: cv::rotate(decoded, turned, cv::ROTATE_90_COUNTERCLOCKWISE); return turned;
    default: return decoded;
  }
}

void eachFrame(const Source& source, double from, double to, const FrameVisitor& visitor) {
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
  if (start > 0) {
    auto target = stampAtOrBefore(start + source.origin, stream->time_base);
    if (!target || av_seek_frame(format.get(), source.track, *target, AVSEEK_FLAG_BACKWARD) < 0) {
      av_seek_frame(format.get(), -1, 0, AVSEEK_FLAG_BACKWARD);  // read from the beginning
    }
  }

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) fail("cannot decode the video: " + describeError(AVERROR(ENOMEM)));
  BgraConverter converter;
  const AVRational base = stream->time_base;
  int64_t lastStamp = AV_NOPTS_VALUE;

  // Delivers every frame the decoder has ready; false once the pass is over.
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
      cv::Mat image = upright(converter.convert(frame.get()), source.orientation);
      av_frame_unref(frame.get());
      if (!visitor(image, time)) return false;
    }
  };

  while (true) {
    int read = av_read_frame(format.get(), packet.get());
    if (read < 0) break;  // end of file, or damage: flush what was decoded and stop
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
}

}  // namespace tv
