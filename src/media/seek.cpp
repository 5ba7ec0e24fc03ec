#include "media/seek.h"

#include <cmath>

namespace tv {
namespace {

// How far past the wanted time the demuxer may read looking for a key frame, seconds of the
// file's clock: far enough for the longest groups of pictures encoders write (10 s), and a bound
// on the reading a damaged file without key frames can cause.
constexpr double kKeySearch = 12;
// How much later than it is decoded a frame may be shown, seconds: B-frames delay a reference
// frame by a few frames only.
constexpr double kReorderLeeway = 1;
// The times a seek that landed too late steps back by, doubling: 1, 2, 4, ... seconds.
constexpr int kRetreats = 8;

// The display time of a packet in seconds of the file's clock, or its decoding time.
std::optional<double> packetSeconds(const AVPacket* packet, AVRational base) {
  int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  if (stamp == AV_NOPTS_VALUE) return std::nullopt;
  return static_cast<double>(stamp) * av_q2d(base);
}

}  // namespace

bool rewindToStart(AVFormatContext* format) {
  return av_seek_frame(format, -1, 0, AVSEEK_FLAG_BACKWARD) >= 0 ||
         av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE) >= 0;
}

Landing seekToKeyAtOrBefore(AVFormatContext* format, int track, double fileSeconds) {
  const AVStream* stream = format->streams[track];
  const AVRational base = stream->time_base;
  double firstSeconds = 0;
  if (stream->start_time != AV_NOPTS_VALUE) firstSeconds = stream->start_time * av_q2d(base);

  double target = fileSeconds;
  double retreat = 1;
  for (int attempt = 0; attempt <= kRetreats && target > firstSeconds; ++attempt) {
    auto stamp = stampAtOrBefore(target, base);
    if (!stamp || av_seek_frame(format, track, *stamp, AVSEEK_FLAG_BACKWARD) < 0) break;

    Landing landing;
    PacketPtr packet(av_packet_alloc());
    if (!packet) break;
    bool late = false;
    while (av_read_frame(format, packet.get()) >= 0) {
      if (packet->stream_index != track) {
        av_packet_unref(packet.get());
        continue;
      }
      auto shown = packetSeconds(packet.get(), base);
      if (!(packet->flags & AV_PKT_FLAG_KEY)) {
        // Before the first key frame nothing can be decoded; a stream that has none for this
        // long sends the search further back.
        av_packet_unref(packet.get());
        if (shown && *shown > fileSeconds + kKeySearch) {
          late = true;
          break;
        }
        continue;
      }
      // A key frame stored without a presentation time (MPEG-2 in a program stream does that)
      // is shown some frames after it is decoded: only one decoded well before the time
      // certainly shows before it, and its frames cannot be placed in time anyway.
      if (packet->pts == AV_NOPTS_VALUE && shown) *shown += kReorderLeeway;
      if (shown && *shown > fileSeconds + 1e-6) {
        late = true;
        av_packet_unref(packet.get());
        break;
      }
      if (packet->pts != AV_NOPTS_VALUE) landing.keyTime = shown;
      landing.packets.push_back(std::move(packet));
      return landing;
    }
    if (!late) break;  // the end of the file came first: read it from the start
    target -= retreat;
    retreat *= 2;
  }
  Landing start;
  start.fromStart = true;
  rewindToStart(format);
  return start;
}

}  // namespace tv
