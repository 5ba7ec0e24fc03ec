// Mattes kept in memory: the rows deflated as one zlib stream behind their width and height.
// Mattes are mostly runs of 0 and 255, which run-length deflate at its fastest level packs as
// tightly as PNG does, without PNG's filtering and chunks.
#include "media/picture.h"

#include <zlib.h>

#include <opencv2/core.hpp>

#include <cstring>
#include <new>

namespace tv {
namespace {

constexpr size_t kHeader = 8;  // width and height, 32 bits each, little-endian

void putU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t getU32(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

}  // namespace

std::vector<uint8_t> packedMatte(const cv::Mat& matte) {
  CV_Assert(matte.type() == CV_8UC1);
  const cv::Mat whole = matte.isContinuous() ? matte : matte.clone();
  const uLong size = static_cast<uLong>(whole.total());
  z_stream stream{};
  if (deflateInit2(&stream, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) throw std::bad_alloc();
  std::vector<uint8_t> packed(kHeader + deflateBound(&stream, size));
  putU32(packed.data(), static_cast<uint32_t>(whole.cols));
  putU32(packed.data() + 4, static_cast<uint32_t>(whole.rows));
  stream.next_in = const_cast<Bytef*>(whole.data);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = packed.data() + kHeader;
  stream.avail_out = static_cast<uInt>(packed.size() - kHeader);
  const int status = deflate(&stream, Z_FINISH);
  const size_t written = stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::bad_alloc();
  packed.resize(kHeader + written);
  packed.shrink_to_fit();
  return packed;
}

cv::Mat unpackedMatte(const std::vector<uint8_t>& packed) {
  if (packed.size() < kHeader) return {};
  const uint32_t width = getU32(packed.data()), height = getU32(packed.data() + 4);
  if (width == 0 || height == 0 || double(width) * height > kMaxPicturePixels) return {};
  cv::Mat matte(static_cast<int>(height), static_cast<int>(width), CV_8UC1);
  uLongf size = static_cast<uLongf>(matte.total());
  const int status = uncompress(matte.data, &size, packed.data() + kHeader,
                                static_cast<uLong>(packed.size() - kHeader));
  if (status != Z_OK || size != matte.total()) return {};
  return matte;
}

}  // namespace tv
