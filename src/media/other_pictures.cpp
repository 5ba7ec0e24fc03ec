// TIFF, BMP and the other still formats through FFmpeg's image decoders: the file is probed
// from memory, only FFmpeg's single-image demuxers are let in (a video is not a picture), and
// the first image comes out as 8-bit BGRA.
#include "media/ffmpeg.h"
#include "media/picture.h"
#include "media/picture_formats.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace tv::pictures {
namespace {

// FFmpeg names the demuxers that read one image from a stream "<codec>_pipe".
bool imageDemuxer(const AVInputFormat* format) {
  if (!format || !format->name) return false;
  const std::string_view name(format->name);
  const std::string_view suffix("_pipe");
  return name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

const AVInputFormat* probedImageFormat(const std::string& bytes) {
  // The probe reads past its data: it is handed a zero-padded copy of the first bytes.
  const size_t size = std::min<size_t>(bytes.size(), 1 << 16);
  std::vector<uint8_t> padded(size + AVPROBE_PADDING_SIZE, 0);
  std::memcpy(padded.data(), bytes.data(), size);
  AVProbeData probe{};
  probe.filename = "";
  probe.buf = padded.data();
  probe.buf_size = static_cast<int>(size);
  const AVInputFormat* format = av_probe_input_format(&probe, 1);
  return imageDemuxer(format) ? format : nullptr;
}

struct MemoryInput {
  const std::string* bytes;
  int64_t at = 0;
};

int readInput(void* opaque, uint8_t* into, int length) {
  auto* input = static_cast<MemoryInput*>(opaque);
  const int64_t left = static_cast<int64_t>(input->bytes->size()) - input->at;
  if (left <= 0) return AVERROR_EOF;
  const int n = static_cast<int>(std::min<int64_t>(length, left));
  std::memcpy(into, input->bytes->data() + input->at, static_cast<size_t>(n));
  input->at += n;
  return n;
}

int64_t seekInput(void* opaque, int64_t offset, int whence) {
  auto* input = static_cast<MemoryInput*>(opaque);
  const auto size = static_cast<int64_t>(input->bytes->size());
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return size;
    case SEEK_SET:
      break;
    case SEEK_CUR:
      offset += input->at;
      break;
    case SEEK_END:
      offset += size;
      break;
    default:
      return -1;
  }
  if (offset < 0 || offset > size) return -1;
  input->at = offset;
  return offset;
}

struct IoCloser {
  void operator()(AVIOContext* io) const {
    if (!io) return;
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

// The decoded frame as BGRA through swscale; empty when it has no usable size or format.
cv::Mat bgraOf(const AVFrame* frame) {
  if (frame->width <= 0 || frame->height <= 0 ||
      double(frame->width) * frame->height > kMaxPicturePixels)
    return {};
  const auto format = static_cast<AVPixelFormat>(frame->format);
  ScalerPtr scaler(sws_getContext(
      frame->width, frame->height, format, frame->width, frame->height, AV_PIX_FMT_BGRA,
      SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP, nullptr, nullptr,
      nullptr));
  if (!scaler) return {};
  cv::Mat picture(frame->height, frame->width, CV_8UC4);
  uint8_t* planes[4] = {picture.data, nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(picture.step), 0, 0, 0};
  if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) !=
      frame->height)
    return {};
  // A format without alpha leaves it as swscale sets it; an opaque picture is opaque.
  if (!(av_pix_fmt_desc_get(format)->flags & AV_PIX_FMT_FLAG_ALPHA)) {
    for (int y = 0; y < picture.rows; ++y) {
      uint8_t* p = picture.ptr<uint8_t>(y);
      for (int x = 0; x < picture.cols; ++x) p[4 * x + 3] = 255;
    }
  }
  return picture;
}

}  // namespace

bool otherPicture(const std::string& head) {
  return probedImageFormat(head) != nullptr;
}

cv::Mat decodeOther(const std::string& bytes) {
  const AVInputFormat* probed = probedImageFormat(bytes);
  if (!probed) return {};
  constexpr int kBufferSize = 1 << 16;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (!buffer) return {};
  MemoryInput input{&bytes};
  std::unique_ptr<AVIOContext, IoCloser> io(
      avio_alloc_context(buffer, kBufferSize, 0, &input, readInput, nullptr, seekInput));
  if (!io) {
    av_free(buffer);
    return {};
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return {};
  raw->pb = io.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&raw, nullptr, probed, nullptr) < 0) return {};  // frees raw
  FormatPtr format(raw);
  if (format->nb_streams < 1) return {};
  const AVStream* stream = format->streams[0];
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!decoder) return {};
  CodecPtr codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) return {};
  codec->thread_count = 1;
  // The decoder refuses a picture over the bound before allocating it.
  codec->max_pixels = static_cast<int64_t>(kMaxPicturePixels);
  if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return {};

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) return {};
  bool flushed = false;
  while (true) {
    const int received = avcodec_receive_frame(codec.get(), frame.get());
    if (received == 0) return bgraOf(frame.get());
    if (received != AVERROR(EAGAIN) || flushed) return {};
    if (av_read_frame(format.get(), packet.get()) < 0) {
      avcodec_send_packet(codec.get(), nullptr);
      flushed = true;
      continue;
    }
    const int sent = packet->stream_index == 0 ? avcodec_send_packet(codec.get(), packet.get()) : 0;
    av_packet_unref(packet.get());
    if (sent < 0) return {};
  }
}

}  // namespace tv::pictures
