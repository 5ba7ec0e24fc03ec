#include "media/convert.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace tv {

cv::Mat BgraConverter::convert(const AVFrame* frame, cv::Size size) {
  if (frame->width <= 0 || frame->height <= 0) return {};
  if (size.empty() || size.width > frame->width || size.height > frame->height)
    size = {frame->width, frame->height};
  auto format = static_cast<AVPixelFormat>(frame->format);
  if (!scaler_ || format != format_ || frame->width != width_ || frame->height != height_ ||
      frame->color_range != range_ || frame->colorspace != space_ || size != size_) {
    configure(frame, size);
  }
  // Rows padded to 64 pixels, and one spare row below; swscale sets every pixel of the frame,
  // alpha included, so the buffer is not cleared first.
  bool shared = buffer_.u && buffer_.u->refcount > 1;
  const int paddedWidth = (size.width + 63) / 64 * 64;
  if (shared || buffer_.rows != size.height + 1 || buffer_.cols != paddedWidth)
    buffer_ = cv::Mat(size.height + 1, paddedWidth, CV_8UC4);
  cv::Mat bgra = buffer_(cv::Rect(0, 0, size.width, size.height));
  if (!scaler_) {
    bgra.setTo(cv::Scalar(0, 0, 0, 255));
    return bgra;
  }
  uint8_t* planes[4] = {buffer_.data, nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(buffer_.step[0]), 0, 0, 0};
  sws_scale(scaler_.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
  return bgra;
}

void BgraConverter::configure(const AVFrame* frame, cv::Size size) {
  format_ = static_cast<AVPixelFormat>(frame->format);
  width_ = frame->width;
  height_ = frame->height;
  size_ = size;
  range_ = frame->color_range;
  space_ = frame->colorspace;
  scaler_.reset(sws_alloc_context());
  if (!scaler_) return;
  av_opt_set_int(scaler_.get(), "srcw", width_, 0);
  av_opt_set_int(scaler_.get(), "srch", height_, 0);
  av_opt_set_int(scaler_.get(), "src_format", format_, 0);
  av_opt_set_int(scaler_.get(), "dstw", size.width, 0);
  av_opt_set_int(scaler_.get(), "dsth", size.height, 0);
  av_opt_set_int(scaler_.get(), "dst_format", AV_PIX_FMT_BGRA, 0);
  av_opt_set_int(scaler_.get(), "sws_flags", SWS_BILINEAR, 0);
  av_opt_set_int(scaler_.get(), "threads", threads_, 0);
  if (sws_init_context(scaler_.get(), nullptr, nullptr) < 0) {
    scaler_.reset();
    return;
  }

  // Untagged video follows the usual habit: BT.709 from 720 lines up, BT.601 below.
  int space = SWS_CS_ITU601;
  if (space_ == AVCOL_SPC_BT709)
    space = SWS_CS_ITU709;
  else if (space_ == AVCOL_SPC_BT2020_NCL || space_ == AVCOL_SPC_BT2020_CL)
    space = SWS_CS_BT2020;
  else if (space_ == AVCOL_SPC_UNSPECIFIED && height_ >= 720)
    space = SWS_CS_ITU709;
  bool fullRange = range_ == AVCOL_RANGE_JPEG || format_ == AV_PIX_FMT_YUVJ420P ||
                   format_ == AV_PIX_FMT_YUVJ422P || format_ == AV_PIX_FMT_YUVJ444P;
  int* inverse = nullptr;
  int* table = nullptr;
  int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
  if (sws_getColorspaceDetails(scaler_.get(), &inverse, &srcRange, &table, &dstRange, &brightness,
                               &contrast, &saturation) >= 0) {
    sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(space), fullRange ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, brightness, contrast,
                             saturation);
  }
}

}  // namespace tv
