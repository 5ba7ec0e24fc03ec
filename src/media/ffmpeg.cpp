#include "media/ffmpeg.h"

#include <cmath>
#include <string_view>

namespace tv {

std::string describeError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  if (av_strerror(code, text, sizeof text) < 0 || text[0] == 0) return "unknown";
  return text;
}

int reopenInput(const std::string& path, FormatPtr& format, int track) {
  AVFormatContext* raw = nullptr;
  // The input is a file and nothing else: a name with a colon ("data:x.mp4", "pipe:1", "http:")
  // is a file name, and no other protocol is let in, not even by a playlist inside the file.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  int status = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (status < 0) return status;
  format.reset(raw);
  // The MP4 family lists every stream with its decoder set-up in the header; other containers
  // may find streams or their sizes only by reading packets.
  bool described = std::string_view(raw->iformat->name).rfind("mov,mp4", 0) == 0 && track >= 0 &&
                   track < static_cast<int>(raw->nb_streams);
  if (described) {
    const AVCodecParameters* codec = raw->streams[track]->codecpar;
    described = codec->codec_type == AVMEDIA_TYPE_VIDEO && codec->codec_id != AV_CODEC_ID_NONE &&
                codec->width > 0 && codec->height > 0;
  }
  if (described) return 0;
  status = avformat_find_stream_info(raw, nullptr);
  return status < 0 ? status : 0;
}

int openInput(const std::string& path, FormatPtr& format) {
  return reopenInput(path, format, -1);
}

int firstVideoStream(const AVFormatContext* format) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
    return static_cast<int>(i);
  }
  return -1;
}

std::optional<int64_t> stampAtOrBefore(double seconds, AVRational base) {
  if (base.num <= 0 || base.den <= 0) return std::nullopt;
  const double ticks = std::floor(seconds / av_q2d(base));
  // Converting a double outside int64's range is undefined; 2^63 itself is already outside.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(ticks > -kLimit && ticks < kLimit)) return std::nullopt;
  return static_cast<int64_t>(ticks);
}

int openDecoder(const AVStream* stream, CodecPtr& codec, int threads) {
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!decoder) return AVERROR_DECODER_NOT_FOUND;
  codec.reset(avcodec_alloc_context3(decoder));
  if (!codec) return AVERROR(ENOMEM);
  int status = avcodec_parameters_to_context(codec.get(), stream->codecpar);
  if (status < 0) return status;
  codec->pkt_timebase = stream->time_base;
  codec->thread_count = threads > 0 ? threads : 0;  // 0: one per core
  codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  return avcodec_open2(codec.get(), decoder, nullptr);
}

}  // namespace tv
