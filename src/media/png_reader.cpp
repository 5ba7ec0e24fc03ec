// PNG in through libpng, to 8-bit BGRA with the stored values as they are (no gamma applied).
//
// Transparency follows the colour type: grey and grey-alpha, RGB-alpha carry their alpha; a
// palette or RGB picture has alpha only when it has a tRNS chunk; a grey picture's tRNS is not
// read (it stays opaque). 16-bit samples are rounded to the nearest 8-bit value (v / 257).
#include "media/picture.h"
#include "media/picture_formats.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <vector>

namespace tv::pictures {
namespace {

[[noreturn]] void pngFailed(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void pngWarned(png_structp, png_const_charp) {}

struct MemoryReader {
  const std::string* bytes;
  size_t at = 0;
};

void pngRead(png_structp png, png_bytep into, png_size_t length) {
  auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (reader->bytes->size() - reader->at < length) png_error(png, "truncated");
  std::memcpy(into, reader->bytes->data() + reader->at, length);
  reader->at += length;
}

struct Reader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~Reader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

// 16-bit big-endian samples, four to a pixel, to 8-bit ones, rounded.
void narrowRow(const uint8_t* wide, uint8_t* narrow, size_t samples) {
  for (size_t i = 0; i < samples; ++i) {
    const unsigned value = (unsigned(wide[2 * i]) << 8) | wide[2 * i + 1];
    narrow[i] = static_cast<uint8_t>((value + 128) / 257);
  }
}

// Only plain data and objects owned by the caller live across the setjmp, so the jump back
// leaves nothing to unwind. False when libpng fails.
bool decodeInto(Reader& r, MemoryReader& source, cv::Mat& picture, std::vector<uint8_t>& wide) {
  if (setjmp(png_jmpbuf(r.png))) return false;
  png_set_read_fn(r.png, &source, pngRead);
  png_read_info(r.png, r.info);
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0;
  png_get_IHDR(r.png, r.info, &width, &height, &depth, &colour, nullptr, nullptr, nullptr);
  if (width == 0 || height == 0 || double(width) * height > kMaxPicturePixels) return false;

  bool alpha = colour == PNG_COLOR_TYPE_GRAY_ALPHA || colour == PNG_COLOR_TYPE_RGB_ALPHA;
  if (colour == PNG_COLOR_TYPE_RGB || colour == PNG_COLOR_TYPE_PALETTE) {
    png_bytep trans = nullptr;
    int transCount = 0;
    png_color_16p transValues = nullptr;
    png_get_tRNS(r.png, r.info, &trans, &transCount, &transValues);
    alpha = transCount > 0;
  }
  if (alpha)
    png_set_tRNS_to_alpha(r.png);
  else
    png_set_strip_alpha(r.png);
  if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(r.png);
  if ((colour & PNG_COLOR_MASK_COLOR) == 0 && depth < 8) png_set_expand_gray_1_2_4_to_8(r.png);
  if (colour & PNG_COLOR_MASK_COLOR)
    png_set_bgr(r.png);
  else
    png_set_gray_to_rgb(r.png);
  if (!alpha) png_set_filler(r.png, depth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
  const int passes = png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);
  if (png_get_channels(r.png, r.info) != 4) return false;

  picture.create(static_cast<int>(height), static_cast<int>(width), CV_8UC4);
  const size_t samples = size_t(width) * 4;
  if (depth != 16) {
    for (int pass = 0; pass < passes; ++pass)
      for (int y = 0; y < picture.rows; ++y) png_read_row(r.png, picture.ptr<uint8_t>(y), nullptr);
  } else if (passes == 1) {
    wide.resize(samples * 2);
    for (int y = 0; y < picture.rows; ++y) {
      png_read_row(r.png, wide.data(), nullptr);
      narrowRow(wide.data(), picture.ptr<uint8_t>(y), samples);
    }
  } else {
    // An interlaced picture's rows fill in over the passes: the whole 16-bit picture is kept.
    wide.resize(samples * 2 * height);
    for (int pass = 0; pass < passes; ++pass)
      for (png_uint_32 y = 0; y < height; ++y)
        png_read_row(r.png, wide.data() + samples * 2 * y, nullptr);
    for (int y = 0; y < picture.rows; ++y)
      narrowRow(wide.data() + samples * 2 * size_t(y), picture.ptr<uint8_t>(y), samples);
  }
  png_read_end(r.png, nullptr);
  return true;
}

}  // namespace

cv::Mat decodePng(const std::string& bytes) {
  Reader r;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
  if (!r.png) return {};
  r.info = png_create_info_struct(r.png);
  if (!r.info) return {};
  MemoryReader source{&bytes};
  cv::Mat picture;
  std::vector<uint8_t> wide;
  if (!decodeInto(r, source, picture, wide)) return {};
  return picture;
}

}  // namespace tv::pictures
