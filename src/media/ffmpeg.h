// RAII owners for the FFmpeg objects the media code uses, and FFmpeg's error texts.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tv {

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerFreer {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFreer>;

// FFmpeg's own description of an error code, or "unknown".
std::string describeError(int code);

// Opens a file for reading and reads its stream information; returns the error code on failure.
int openInput(const std::string& path, FormatPtr& format);

// As openInput, for a file already opened once whose stream `track` is to be decoded: a
// container whose header describes that stream fully (MP4, QuickTime) is not probed again,
// which would decode its first frame.
int reopenInput(const std::string& path, FormatPtr& format, int track);

// The first video stream that is not an attached cover picture, or -1.
int firstVideoStream(const AVFormatContext* format);

// The stream timestamp at or before a file time in seconds, or nothing when it does not fit in 64
// bits (a damaged or crafted file can declare durations and time bases whose product does not).
std::optional<int64_t> stampAtOrBefore(double seconds, AVRational base);

// A decoder for the stream, opened with FFmpeg's own frame and slice threading on `threads`
// threads (0: one per core).
int openDecoder(const AVStream* stream, CodecPtr& codec, int threads = 0);

}  // namespace tv
