// Mattes kept in memory: each row as its difference from the row above (PNG's "up" filter),
// deflated as one zlib stream behind the width and height. A matte's soft edges move little
// from row to row, so the differences are mostly runs of zeros, which run-length deflate packs
// smaller than a PNG of the matte and at least as fast.
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
  const uLong size = static_cast<uLong>(matte.total());
  std::vector<uint8_t> rows(size);
  const size_t width = static_cast<size_t>(matte.cols);
  for (int y = 0; y < matte.rows; ++y) {
    const uint8_t* row = matte.ptr<uint8_t>(y);
    uint8_t* out = rows.data() + width * size_t(y);
    if (y == 0) {
      std::memcpy(out, row, width);
      continue;
    }
    const uint8_t* above = matte.ptr<uint8_t>(y - 1);
    for (size_t x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(row[x] - above[x]);
  }
  z_stream stream{};
  if (deflateInit2(&stream, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) throw std::bad_alloc();
  std::vector<uint8_t> packed(kHeader + deflateBound(&stream, size));
  putU32(packed.data(), static_cast<uint32_t>(matte.cols));
  putU32(packed.data() + 4, static_cast<uint32_t>(matte.rows));
  stream.next_in = rows.data();
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
  for (int y = 1; y < matte.rows; ++y) {
    uint8_t* row = matte.ptr<uint8_t>(y);
    const uint8_t* above = matte.ptr<uint8_t>(y - 1);
    for (int x = 0; x < matte.cols; ++x) row[x] = static_cast<uint8_t>(row[x] + above[x]);
  }
  return matte;
}

}  // namespace tv
