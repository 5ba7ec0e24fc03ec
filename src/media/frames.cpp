#include "media/frames.h"

#include "cli/events.h"
#include "media/ffmpeg.h"

#include <opencv2/core.hpp>

extern "C" {
#include <libavutil/opt.h>
}

#include <cmath>

namespace tv {
namespace {

// Converts decoded frames of any pixel format to BGRA, honouring their colour range and matrix.
class BgraConverter {
 public:
  cv::Mat convert(const AVFrame* frame) {
    auto format = static_cast<AVPixelFormat>(frame->format);
    if (!scaler_ || format != format_ || frame->width != width_ || frame->height != height_ ||
        frame->color_range != range_ || frame->colorspace != space_) {
      configure(frame);
    }
    // The buffer is reused while nobody else holds it: a visitor that keeps a frame keeps it
    // intact, and a pass that keeps none touches no fresh memory per frame.
    // swscale's vector code writes whole blocks of pixels, past the end of a row whose width is
    // not a multiple of the block: rows are padded to 64 pixels (and one spare row added), and
    // the frame is the unpadded view of that buffer.
    bool shared = buffer_.u && buffer_.u->refcount > 1;
    const int paddedWidth = (frame->width + 63) / 64 * 64;
    if (shared || buffer_.rows != frame->height + 1 || buffer_.cols != paddedWidth)
      buffer_ = cv::Mat(frame->height + 1, paddedWidth, CV_8UC4);
    cv::Mat bgra = buffer_(cv::Rect(0, 0, frame->width, frame->height));
    if (!scaler_) {
      bgra.setTo(cv::Scalar(0, 0, 0, 255));
      return bgra;
    }
    uint8_t* planes[4] = {buffer_.data, nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(buffer_.step[0]), 0, 0, 0};
    sws_scale(scaler_.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
    return bgra;
  }

 private:
  void configure(const AVFrame* frame) {
    format_ = static_cast<AVPixelFormat>(frame->format);
    width_ = frame->width;
    height_ = frame->height;
    range_ = frame->color_range;
    space_ = frame->colorspace;
    scaler_.reset(sws_alloc_context());
    av_opt_set_int(scaler_.get(), "srcw", width_, 0);
    av_opt_set_int(scaler_.get(), "srch", height_, 0);
    av_opt_set_int(scaler_.get(), "src_format", format_, 0);
    av_opt_set_int(scaler_.get(), "dstw", width_, 0);
    av_opt_set_int(scaler_.get(), "dsth", height_, 0);
    av_opt_set_int(scaler_.get(), "dst_format", AV_PIX_FMT_BGRA, 0);
    av_opt_set_int(scaler_.get(), "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(scaler_.get(), "threads", 0, 0);
    if (sws_init_context(scaler_.get(), nullptr, nullptr) < 0) scaler_.reset();

    // Untagged video follows the usual habit: BT.709 from 720 lines up, BT.601 below.
    int space = SWS_CS_ITU601;
    if (space_ == AVCOL_SPC_BT709) space = SWS_CS_ITU709;
    else if (space_ == AVCOL_SPC_BT2020_NCL || space_ == AVCOL_SPC_BT2020_CL) space = SWS_CS_BT2020;
    else if (space_ == AVCOL_SPC_UNSPECIFIED && height_ >= 720) space = SWS_CS_ITU709;
    bool fullRange = range_ == AVCOL_RANGE_JPEG || format_ == AV_PIX_FMT_YUVJ420P ||
                     format_ == AV_PIX_FMT_YUVJ422P || format_ == AV_PIX_FMT_YUVJ444P;
    if (!scaler_) return;
    int* inverse = nullptr;
    int* table = nullptr;
    int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(scaler_.get(), &inverse, &srcRange, &table, &dstRange,
                                 &brightness, &contrast, &saturation) >= 0) {
      sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(space), fullRange ? 1 : 0,
                               sws_getCoefficients(SWS_CS_DEFAULT), 1, brightness, contrast,
                               saturation);
    }
  }

  ScalerPtr scaler_;
  cv::Mat buffer_;
  AVPixelFormat format_ = AV_PIX_FMT_NONE;
  int width_ = 0, height_ = 0;
  AVColorRange range_ = AVCOL_RANGE_UNSPECIFIED;
  AVColorSpace space_ = AVCOL_SPC_UNSPECIFIED;
};

}  // namespace

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
