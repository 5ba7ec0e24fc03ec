// Grey mattes out: 8-bit RGBA PNG tagged sRGB through libpng, written beside and renamed.
#include "media/picture.h"

#include "base/cancel.h"
#include "base/events.h"
#include "base/files.h"

#include <png.h>

#include <opencv2/imgproc.hpp>

#include <vector>

namespace tv {
namespace {

// libpng reports through these: errors jump back to the encoder, warnings are dropped (nothing
// may reach standard error).
[[noreturn]] void pngFailed(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void pngWarned(png_structp, png_const_charp) {}

void pngAppend(png_structp png, png_bytep data, png_size_t length) {
  bool grown = true;
  try {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    grown = false;  // no exception may cross libpng's C frames
  }
  if (!grown) png_error(png, "out of memory");
}
void pngFlush(png_structp) {}

// Encodes rows of RGBA into `bytes`; false when libpng fails. Only plain data lives across the
// setjmp, so the jump back leaves nothing to unwind.
bool encodePng(const cv::Mat& value, std::string& bytes, std::vector<png_byte>& row) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &bytes, pngAppend, pngFlush);
  png_set_IHDR(png, info, png_uint_32(value.cols), png_uint_32(value.rows), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  // Mattes are long runs of one value: the left-neighbour filter turns them into zeros and
  // run-length deflate packs those at a fraction of the default effort.
  png_set_filter(png, 0, PNG_FILTER_SUB);
  png_set_compression_strategy(png, 3 /* Z_RLE */);
  png_set_compression_level(png, 1);
  png_write_info(png, info);
  for (int y = 0; y < value.rows; ++y) {
    const uint8_t* v = value.ptr<uint8_t>(y);
    png_byte* out = row.data();
    for (int x = 0; x < value.cols; ++x, out += 4) {
      out[0] = out[1] = out[2] = v[x];
      out[3] = 255;
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::string greyPng(const cv::Mat& matte) {
  if (matte.empty()) return {};
  cv::Mat value;
  if (matte.channels() == 1) value = matte;
  else cv::extractChannel(matte, value, matte.channels() >= 3 ? 2 : 0);  // red of BGR(A)
  if (value.depth() != CV_8U) value.convertTo(value, CV_8U);
  std::string bytes;
  std::vector<png_byte> row(size_t(value.cols) * 4);
  try {
    if (!encodePng(value, bytes, row)) return {};
  } catch (const std::bad_alloc&) {
    return {};
  }
  return bytes;
}

void writeGrey(const cv::Mat& matte, const std::string& path) {
  checkCancelled();  // a cancelled run writes nothing
  std::string bytes = greyPng(matte);
  if (bytes.empty()) fail("cannot write " + path + ": cannot encode the PNG");
  if (auto problem = writeFileReplacing(path, bytes)) fail("cannot write " + path + ": " + *problem);
}

}  // namespace tv
