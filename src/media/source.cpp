#include "media/source.h"

#include "base/events.h"
#include "media/ffmpeg.h"
#include "base/files.h"

extern "C" {
#include <libavutil/display.h>
}

#include <algorithm>
#include <cmath>

namespace tv {
namespace {

// The end of the video stream's last frame on the source's timeline, found by reading every
// packet of the file (no decoding) for files that do not declare how long they are: a WebM
// written as a stream, a raw H.264 or HEVC stream. Nothing when the stream has no packets.
std::optional<double> scannedEnd(const Source& source) {
  FormatPtr format;
  if (reopenInput(source.path, format, source.track) < 0 ||
      source.track >= static_cast<int>(format->nb_streams))
    return std::nullopt;
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (static_cast<int>(i) != source.track) format->streams[i]->discard = AVDISCARD_ALL;
  const AVRational base = format->streams[source.track]->time_base;
  PacketPtr packet(av_packet_alloc());
  if (!packet) return std::nullopt;
  // A raw stream's packets carry no times, only durations: they follow each other from zero.
  std::optional<double> end;
  double next = -source.origin;
  while (av_read_frame(format.get(), packet.get()) >= 0) {
    if (packet->stream_index == source.track) {
      int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      double length = packet->duration > 0 ? packet->duration * av_q2d(base) : 1 / source.fps;
      if (stamp != AV_NOPTS_VALUE) next = stamp * av_q2d(base) - source.origin;
      next += length;
      if (std::isfinite(next)) end = std::max(end.value_or(next), next);
    }
    av_packet_unref(packet.get());
  }
  return end;
}

}  // namespace

int orientationFromMatrix(double a, double b) {
  double degrees = std::atan2(b, a) * 180.0 / 3.141592653589793;
  if (!std::isfinite(degrees)) return 1;
  long angle = std::lround(degrees) % 360;  // lround: halves away from zero
  if (angle < 0) angle += 360;
  switch (angle) {
    case 90: return 6;
    case 180: return 3;
    case 270: return 8;
    default: return 1;
  }
}

Source openSource(const std::string& path) {
  if (auto problem = notAnInputFile(path)) fail(*problem);
  FormatPtr format;
  int status = openInput(path, format);
  if (status < 0) fail(describeError(status));

  Source source;
  source.path = path;
  source.track = firstVideoStream(format.get());
  if (source.track < 0) fail("no video track in the file");
  const AVStream* stream = format->streams[source.track];

  source.natural = cv::Size(stream->codecpar->width, stream->codecpar->height);
  const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (matrix) {
    // The file's a, b are the first two entries (16.16 fixed point; the scale cancels out).
    const auto* m = reinterpret_cast<const int32_t*>(matrix);
    source.orientation = orientationFromMatrix(m[0], m[1]);
  }
  bool sideways = source.orientation == 6 || source.orientation == 8;
  source.size = sideways ? cv::Size2d(source.natural.height, source.natural.width)
                         : cv::Size2d(source.natural.width, source.natural.height);

  double rate = av_q2d(stream->avg_frame_rate);
  if (!(rate > 0) || !std::isfinite(rate)) rate = av_q2d(stream->r_frame_rate);
  source.fps = (rate > 0 && std::isfinite(rate)) ? rate : 30;

  // The timeline: containers that carry their own clock from zero (MP4 and QuickTime with their
  // edit lists, Matroska, AVI, raw streams) are read on it, so an MP4 whose first frame comes
  // after an empty edit starts late, as a player shows it. The broadcast containers (MPEG-TS,
  // MPEG-PS, M2TS) carry a free-running clock whose value at the first packet means nothing:
  // there the first timestamp of the file is time zero.
  if ((format->iformat->flags & AVFMT_TS_DISCONT) && format->start_time != AV_NOPTS_VALUE &&
      format->start_time > 0)
    source.origin = static_cast<double>(format->start_time) / AV_TIME_BASE;
  // A duration guessed from the bit rate is no duration: the real one is read off the packets.
  const bool declared = format->duration != AV_NOPTS_VALUE && format->duration > 0 &&
                        format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
  if (stream->start_time != AV_NOPTS_VALUE) {
    const double first = static_cast<double>(stream->start_time) * av_q2d(stream->time_base);
    if (std::isfinite(first)) source.begins = std::max(0.0, first - source.origin);
  }
  if (declared) {
    source.duration = static_cast<double>(format->duration) / AV_TIME_BASE;
    // The header's length may stop short of the last frame (B-frames without an edit list
    // shift every frame later): the video stream's own end counts too.
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
      source.duration = std::max(
          source.duration,
          source.begins + static_cast<double>(stream->duration) * av_q2d(stream->time_base));
  } else if (auto end = scannedEnd(source)) {
    source.duration = *end;
  } else if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    source.duration = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
  }
  if (!std::isfinite(source.duration) || source.duration < 0) source.duration = 0;
  return source;
}

}  // namespace tv
