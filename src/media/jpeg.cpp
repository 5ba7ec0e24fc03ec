// JPEG in and out through libjpeg-turbo: pictures decoded straight to BGRA (reduced by the
// decoder when asked) with their EXIF orientation applied, and frames kept in memory as JPEG.
#include "media/orientation.h"
#include "media/picture.h"
#include "media/picture_formats.h"

#include <opencv2/core.hpp>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include <jpeglib.h>

namespace tv {
namespace {

// libjpeg reports through these: errors jump back to the caller, messages are dropped.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf back;
};

[[noreturn]] void jpegFailed(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->back, 1);
}
void jpegMessage(j_common_ptr) {}

void quietErrors(JpegErrors& errors) {
  jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jpegFailed;
  errors.manager.output_message = jpegMessage;
}

// The orientation tag of the EXIF block (a TIFF header and its first directory), read the way
// the pictures' orientation has always been read here: the first orientation entry counts, and
// the directory is read in order until an entry whose value lies outside the block, after
// which nothing more is read (an orientation met before it still counts). 1 when there is none.
class ExifOrientation {
 public:
  ExifOrientation(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  int value() {
    if (size_ == 0) return 1;
    const bool same = size_ < 2 || data_[0] == data_[1];
    little_ = same && data_[0] == 'I';
    int orientation = 0;
    bool found = false;
    try {
      if (u16(2) != 0x002A) return 1;
      size_t offset = u32(4);
      const size_t entries = u16(offset);
      offset += 2;
      for (size_t entry = 0; entry < entries; ++entry, offset += 12) {
        const uint16_t tag = u16(offset);
        if (tag == 0x0112) {
          const uint16_t value = u16(offset + 8);
          if (!found) orientation = value;
          found = true;
        } else {
          checkValue(tag, offset);
        }
      }
    } catch (const OutOfBlock&) {
    }
    return found ? orientation : 1;
  }

 private:
  struct OutOfBlock {};

  uint32_t u16(size_t at) const {
    if (at + 1 >= size_) throw OutOfBlock{};
    return little_ ? data_[at] | (data_[at + 1] << 8) : (data_[at] << 8) | data_[at + 1];
  }
  uint32_t u32(size_t at) const {
    if (at + 3 >= size_) throw OutOfBlock{};
    return little_ ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
  }
  void rationals(size_t offset, int count) const {
    uint32_t at = u32(offset + 8);
    for (int i = 0; i < count; ++i, at += 8) {
      u32(at);
      u32(at + 4);
    }
  }
  // Reads the value of the entries whose value is looked at, so that one pointing outside the
  // block ends the directory.
  void checkValue(uint16_t tag, size_t offset) const {
    switch (tag) {
      case 0x010E:
      case 0x010F:
      case 0x0110:
      case 0x0131:
      case 0x0132:
      case 0x8298: {
        const size_t length = u32(offset + 4);
        const size_t at = length > 4 ? u32(offset + 8) : 8;
        if (at > size_ || at + length > size_) throw OutOfBlock{};
        break;
      }
      case 0x011A:
      case 0x011B:
        rationals(offset, 1);
        break;
      case 0x0128:
      case 0x0213:
        u16(offset + 8);
        break;
      case 0x013E:
        rationals(offset, 2);
        break;
      case 0x013F:
      case 0x0214:
        rationals(offset, 6);
        break;
      case 0x0211:
        rationals(offset, 3);
        break;
      default:
        break;
    }
  }

  const uint8_t* data_;
  size_t size_;
  bool little_ = false;
};

struct Decompressor {
  jpeg_decompress_struct info{};
  ~Decompressor() { jpeg_destroy_decompress(&info); }
};

// The decoding itself; only plain data and objects owned by the caller live across the setjmp,
// so the jump back leaves nothing to unwind. False when libjpeg fails.
bool decodeInto(Decompressor& d, JpegErrors& errors, const uint8_t* bytes, size_t size,
                int reduction, cv::Mat& picture, int& orientation) {
  if (setjmp(errors.back)) return false;
  jpeg_create_decompress(&d.info);
  jpeg_mem_src(&d.info, bytes, static_cast<unsigned long>(size));
  jpeg_save_markers(&d.info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&d.info, TRUE);
  d.info.scale_num = 1;
  d.info.scale_denom = static_cast<unsigned>(reduction);
  // Four components are CMYK (or YCCK, which libjpeg turns into CMYK); anything else comes out
  // as BGRA straight from the decoder.
  const bool cmyk = d.info.num_components == 4;
  d.info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  for (jpeg_saved_marker_ptr marker = d.info.marker_list; marker; marker = marker->next) {
    if (marker->marker != JPEG_APP0 + 1) continue;
    // The block starts after "Exif\0\0"; only the first APP1 segment is looked at.
    if (marker->data_length > 6)
      orientation = ExifOrientation(marker->data + 6, marker->data_length - 6).value();
    break;
  }
  jpeg_calc_output_dimensions(&d.info);
  if (double(d.info.output_width) * d.info.output_height > kMaxPicturePixels) return false;
  jpeg_start_decompress(&d.info);
  picture.create(static_cast<int>(d.info.output_height), static_cast<int>(d.info.output_width),
                 CV_8UC4);
  while (d.info.output_scanline < d.info.output_height) {
    JSAMPROW row = picture.ptr<uint8_t>(static_cast<int>(d.info.output_scanline));
    if (jpeg_read_scanlines(&d.info, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(&d.info);
  return true;
}

// CMYK as Adobe stores it (inverted) to BGRA, in place.
void cmykToBgra(cv::Mat& picture) {
  for (int y = 0; y < picture.rows; ++y) {
    uint8_t* p = picture.ptr<uint8_t>(y);
    for (int x = 0; x < picture.cols; ++x, p += 4) {
      const int c = p[0], m = p[1], yellow = p[2], k = p[3];
      p[0] = static_cast<uint8_t>(k - ((255 - yellow) * k >> 8));
      p[1] = static_cast<uint8_t>(k - ((255 - m) * k >> 8));
      p[2] = static_cast<uint8_t>(k - ((255 - c) * k >> 8));
      p[3] = 255;
    }
  }
}

struct Compressor {
  jpeg_compress_struct info{};
  unsigned char* out = nullptr;
  unsigned long size = 0;
  ~Compressor() {
    jpeg_destroy_compress(&info);
    std::free(out);
  }
};

bool encodeInto(Compressor& c, JpegErrors& errors, const cv::Mat& bgra, int quality) {
  if (setjmp(errors.back)) return false;
  jpeg_create_compress(&c.info);
  jpeg_mem_dest(&c.info, &c.out, &c.size);
  c.info.image_width = static_cast<JDIMENSION>(bgra.cols);
  c.info.image_height = static_cast<JDIMENSION>(bgra.rows);
  c.info.input_components = 4;
  c.info.in_color_space = JCS_EXT_BGRA;
  jpeg_set_defaults(&c.info);
  jpeg_set_quality(&c.info, quality, TRUE);
  jpeg_start_compress(&c.info, TRUE);
  while (c.info.next_scanline < c.info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(bgra.ptr<uint8_t>(static_cast<int>(c.info.next_scanline)));
    jpeg_write_scanlines(&c.info, &row, 1);
  }
  jpeg_finish_compress(&c.info);
  return true;
}

cv::Mat decodeJpegBytes(const uint8_t* bytes, size_t size, int reduction) {
  JpegErrors errors;
  quietErrors(errors);
  Decompressor d;
  d.info.err = &errors.manager;
  cv::Mat picture;
  int orientation = 1;
  if (!decodeInto(d, errors, bytes, size, reduction, picture, orientation)) return {};
  if (d.info.num_components == 4) cmykToBgra(picture);
  return upright(picture, orientation);
}

}  // namespace

namespace pictures {

cv::Mat decodeJpeg(const std::string& bytes, int reduction) {
  return decodeJpegBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), reduction);
}

}  // namespace pictures

std::vector<uint8_t> jpegOf(const cv::Mat& bgra, int quality) {
  CV_Assert(bgra.type() == CV_8UC4);
  JpegErrors errors;
  quietErrors(errors);
  Compressor c;
  c.info.err = &errors.manager;
  if (!encodeInto(c, errors, bgra, quality)) throw std::bad_alloc();
  return std::vector<uint8_t>(c.out, c.out + c.size);
}

cv::Mat pictureOfJpeg(const std::vector<uint8_t>& bytes) {
  return decodeJpegBytes(bytes.data(), bytes.size(), 1);
}

}  // namespace tv
