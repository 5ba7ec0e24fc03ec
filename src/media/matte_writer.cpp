#include "media/matte_writer.h"

#include "base/events.h"
#include "base/cancel.h"
#include "base/files.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tv {
namespace {

// The quickest preset: mattes are flat pictures with sharp edges that any setting codes almost
// losslessly at the matte bit rate (luma PSNR near 69 dB at 1080p, alike for the slower presets),
// and the time belongs to segmentation. It also keeps no lookahead, so the encoder holds only
// the frames its threads are working on.
constexpr const char* kPreset = "ultrafast";

}  // namespace

int64_t matteBitRate(int width, int height) {
  return std::max<int64_t>(3 * static_cast<int64_t>(width) * height, 1500000);
}

void MatteWriter::OutputCloser::operator()(AVFormatContext* context) const {
  if (context->pb && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
  avformat_free_context(context);
}

MatteWriter::MatteWriter(const std::string& path, int width, int height, double fps)
    : path_(path), width_(width), height_(height), fps_(fps > 0 && std::isfinite(fps) ? fps : 30) {
  // A name that can never become the file is refused before any frame is worked on.
  std::error_code error;
  if (path_.empty() || path_.back() == '/' || std::filesystem::is_directory(path_, error)) {
    fail("cannot create the matte file");
  }
  temporary_ = temporaryBeside(path_);

  AVFormatContext* raw = nullptr;
  // The container is named, not guessed: the temporary name has no .mp4 ending.
  if (avformat_alloc_output_context2(&raw, nullptr, "mp4", temporary_.c_str()) < 0 || !raw) {
    fail("cannot create the matte file");
  }
  output_.reset(raw);
  if (avio_open(&output_->pb, temporary_.c_str(), AVIO_FLAG_WRITE) < 0) {
    fail("cannot create the matte file");
  }

  // 4:2:0 needs even sides; the video command only ever asks for even ones.
  if (width_ < 2 || height_ < 2 || width_ % 2 || height_ % 2) {
    fail("cannot start writing: " + describeError(AVERROR(EINVAL)));
  }
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) fail("cannot start writing: " + describeError(AVERROR_ENCODER_NOT_FOUND));
  encoder_.reset(avcodec_alloc_context3(codec));
  stream_ = avformat_new_stream(output_.get(), nullptr);
  if (!encoder_ || !stream_) fail("cannot start writing: " + describeError(AVERROR(ENOMEM)));

  encoder_->width = width_;
  encoder_->height = height_;
  encoder_->sample_aspect_ratio = AVRational{1, 1};
  encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
  // Full range: a matte value v is stored as luma v with neutral chroma, so 0, 128 and 255
  // survive exactly; the tag tells decoders not to stretch 16..235.
  encoder_->color_range = AVCOL_RANGE_JPEG;
  encoder_->colorspace = AVCOL_SPC_BT709;
  encoder_->color_primaries = AVCOL_PRI_BT709;
  encoder_->color_trc = AVCOL_TRC_BT709;
  encoder_->time_base = AVRational{1, kMatteTimescale};
  encoder_->framerate = av_d2q(fps_, 1 << 20);
  encoder_->bit_rate = matteBitRate(width_, height_);
  encoder_->gop_size = kMatteKeyInterval;
  encoder_->max_b_frames = 0;  // no reordering: decode order is display order
  encoder_->thread_count = 0;
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) {
    encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  av_opt_set(encoder_->priv_data, "preset", kPreset, 0);
  int status = avcodec_open2(encoder_.get(), codec, nullptr);
  if (status < 0) fail("cannot start writing: " + describeError(status));

  status = avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
  if (status < 0) fail("cannot start writing: " + describeError(status));
  stream_->time_base = encoder_->time_base;
  stream_->avg_frame_rate = encoder_->framerate;
  status = avformat_write_header(output_.get(), nullptr);
  if (status < 0) fail("cannot start writing: " + describeError(status));

  packet_.reset(av_packet_alloc());
  held_.reset(av_packet_alloc());
  if (!packet_ || !held_) fail("cannot start writing: " + describeError(AVERROR(ENOMEM)));
}

MatteWriter::~MatteWriter() {
  if (encoding_.joinable()) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      pending_.clear();  // abandoned: what waits is not worth encoding
      closing_ = true;
    }
    changed_.notify_all();
    encoding_.join();
  }
  if (finished_) return;
  // Abandoned before it was complete: the good file (if any) stays where it was.
  output_.reset();
  std::remove(temporary_.c_str());
  forgetOnSuccess(temporary_);
}

int64_t MatteWriter::stampOf(const MediaTime& time) const {
  const MediaTime& first = *firstTime_;
  if (time.timescaleNum == first.timescaleNum && time.timescaleDen == first.timescaleDen &&
      time.timescaleDen > 0) {
    // Exact rational difference in the source's time base, rounded once into ours.
    return av_rescale_q_rnd(time.value - first.value,
                            AVRational{time.timescaleNum, time.timescaleDen},
                            AVRational{1, kMatteTimescale},
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  }
  return std::llround((time.seconds() - first.seconds()) * kMatteTimescale);
}

cv::Mat MatteWriter::sized(const cv::Mat& matte) const {
  if (matte.cols == width_ && matte.rows == height_) return matte.clone();
  const bool reducing = width_ <= matte.cols && height_ <= matte.rows;
  cv::Mat resized;
  cv::resize(matte, resized, cv::Size(width_, height_), 0, 0,
             reducing ? cv::INTER_AREA : cv::INTER_LINEAR);
  return resized;
}

void MatteWriter::fill(const cv::Mat& sized) {
  cv::Mat luma(height_, width_, CV_8UC1, frame_->data[0], static_cast<size_t>(frame_->linesize[0]));
  // A colour matte carries its value in every channel; red is taken, the same channel grey()
  // reads, so both kinds of matte store the same value.
  if (sized.channels() == 1) {
    sized.copyTo(luma);
  } else {
    cv::extractChannel(sized, luma, 2);
  }
  for (int plane = 1; plane <= 2; ++plane) {
    for (int row = 0; row < height_ / 2; ++row) {
      std::memset(frame_->data[plane] + static_cast<ptrdiff_t>(row) * frame_->linesize[plane], 128,
                  static_cast<size_t>(width_ / 2));
    }
  }
}

void MatteWriter::append(const cv::Mat& matte, const MediaTime& time) {
  if (!firstTime_) firstTime_ = time;
  // Stamps must rise strictly for the container; a source with repeated times is nudged on.
  const int64_t stamp = std::max(stampOf(time), latestStamp_ + 1);
  // Sized here, on the caller's thread: OpenCV's workers are the analysis', and a second thread
  // asking them for a resize only waits for them. The copy is the writer's own, so the caller
  // may reuse its matte's pixels once this returns.
  Pending next{sized(matte), stamp};
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (!encoding_.joinable()) encoding_ = std::thread([this] { encodeAll(); });
    changed_.wait(hold, [&] { return failure_ || pending_.size() < kMattesAhead; });
    if (failure_) std::rethrow_exception(failure_);
    pending_.push_back(std::move(next));
  }
  changed_.notify_all();
  latestStamp_ = stamp;
  ++framesWritten_;
}

void MatteWriter::encodeAll() {
  try {
    while (true) {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [&] { return closing_ || !pending_.empty(); });
      if (pending_.empty()) return;
      const Pending pending = std::move(pending_.front());
      pending_.pop_front();
      hold.unlock();
      changed_.notify_all();
      encode(pending);
    }
  } catch (...) {
    std::lock_guard<std::mutex> hold(lock_);
    failure_ = std::current_exception();
    pending_.clear();
    changed_.notify_all();
  }
}

void MatteWriter::encode(const Pending& pending) {
  if (!frame_) {
    frame_.reset(av_frame_alloc());
    if (!frame_) fail("no pixel buffer pool");
    frame_->format = encoder_->pix_fmt;
    frame_->width = width_;
    frame_->height = height_;
    frame_->color_range = encoder_->color_range;
    frame_->colorspace = encoder_->colorspace;
    frame_->color_primaries = encoder_->color_primaries;
    frame_->color_trc = encoder_->color_trc;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) fail("cannot allocate a frame");
  }
  // The encoder may still refer to the previous picture; only then is a new buffer made.
  if (av_frame_make_writable(frame_.get()) < 0) fail("cannot allocate a frame");
  fill(pending.matte);
  frame_->pts = pending.stamp;
  frame_->pict_type = AV_PICTURE_TYPE_NONE;

  // The encoder takes frames synchronously and holds at most its lookahead and thread delay;
  // when it is full it asks for its packets first, which is the back-pressure.
  int status;
  while ((status = avcodec_send_frame(encoder_.get(), frame_.get())) == AVERROR(EAGAIN)) {
    status = drain();
    if (status < 0) break;
  }
  if (status >= 0) status = drain();
  if (status < 0) fail("cannot write a frame: " + describeError(status));
}

void MatteWriter::stopEncoding() {
  if (!encoding_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    closing_ = true;
  }
  changed_.notify_all();
  encoding_.join();
  if (failure_) std::rethrow_exception(failure_);
}

int MatteWriter::drain() {
  while (true) {
    int status = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return 0;
    if (status < 0) return status;
    if (holding_) {
      status = writeHeld(std::max<int64_t>(packet_->pts - held_->pts, 1));
      if (status < 0) {
        av_packet_unref(packet_.get());
        return status;
      }
    }
    av_packet_move_ref(held_.get(), packet_.get());
    holding_ = true;
  }
}

int MatteWriter::writeHeld(int64_t duration) {
  held_->duration = duration;
  held_->stream_index = stream_->index;
  av_packet_rescale_ts(held_.get(), encoder_->time_base, stream_->time_base);
  holding_ = false;
  return av_interleaved_write_frame(output_.get(), held_.get());  // takes the packet's data
}

void MatteWriter::finish() {
  stopEncoding();
  checkCancelled();  // the half-written file goes, it is never renamed into place
  auto failFinishing = [](int status) {
    fail("cannot finish the matte file: " + describeError(status));
  };
  int status = avcodec_send_frame(encoder_.get(), nullptr);
  if (status < 0 && status != AVERROR_EOF) failFinishing(status);
  status = drain();
  if (status < 0) failFinishing(status);
  // The last frame lasts one frame duration, so the track ends 1 / fps after its stamp.
  int64_t lastDuration = std::max<int64_t>(std::llround(kMatteTimescale / fps_), 1);
  if (holding_) {
    status = writeHeld(lastDuration);
    if (status < 0) failFinishing(status);
  }
  status = av_write_trailer(output_.get());
  if (status < 0) failFinishing(status);
  status = avio_closep(&output_->pb);
  if (status < 0) failFinishing(status);
  if (auto problem = moveIntoPlace(temporary_, path_)) {
    fail("cannot finish the matte file: " + *problem);
  }
  finished_ = true;
}

}  // namespace tv
