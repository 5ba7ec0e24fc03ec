#include "media/source.h"

#include "base/events.h"
#include "media/ffmpeg.h"
#include "base/files.h"

extern "C" {
#include <libavutil/display.h>
}

#include <cmath>

namespace tv {

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

  if (format->start_time != AV_NOPTS_VALUE && format->start_time > 0)
    source.origin = static_cast<double>(format->start_time) / AV_TIME_BASE;
  if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
    source.duration = static_cast<double>(format->duration) / AV_TIME_BASE;
  } else if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    source.duration = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
  }

  double rate = av_q2d(stream->avg_frame_rate);
  if (!(rate > 0) || !std::isfinite(rate)) rate = av_q2d(stream->r_frame_rate);
  source.fps = (rate > 0 && std::isfinite(rate)) ? rate : 30;
  return source;
}

}  // namespace tv
