#include "media/picture.h"

#include "cli/events.h"
#include "media/files.h"

#include <gif_lib.h>
#include <libheif/heif.h>
#include <png.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace tv {
namespace {

enum class Format { kUnknown, kJpeg, kPng, kGif, kWebp, kTiff, kBmp, kHeif };

bool startsWith(const std::string& bytes, size_t at, const char* text) {
  size_t n = std::strlen(text);
  return bytes.size() >= at + n && bytes.compare(at, n, text) == 0;
}

Format formatOf(const std::string& b) {
  if (b.size() >= 3 && static_cast<unsigned char>(b[0]) == 0xFF &&
      static_cast<unsigned char>(b[1]) == 0xD8 && static_cast<unsigned char>(b[2]) == 0xFF)
    return Format::kJpeg;
  if (startsWith(b, 0, "\x89PNG\r\n\x1a\n")) return Format::kPng;
  if (startsWith(b, 0, "GIF87a") || startsWith(b, 0, "GIF89a")) return Format::kGif;
  if (startsWith(b, 0, "RIFF") && startsWith(b, 8, "WEBP")) return Format::kWebp;
  if (startsWith(b, 0, "II*") || startsWith(b, 0, "MM")) return Format::kTiff;
  if (startsWith(b, 0, "BM")) return Format::kBmp;
  if (startsWith(b, 4, "ftyp")) {
    // The same box starts MP4 and QuickTime files; only still-image brands are pictures.
    for (const char* brand : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1",
                              "avif", "avis"})
      if (startsWith(b, 8, brand)) return Format::kHeif;
  }
  return Format::kUnknown;
}

uint32_t be16(const std::string& b, size_t at) {
  return (uint32_t(uint8_t(b[at])) << 8) | uint8_t(b[at + 1]);
}
uint32_t be32(const std::string& b, size_t at) { return (be16(b, at) << 16) | be16(b, at + 2); }
uint32_t le16(const std::string& b, size_t at) {
  return uint8_t(b[at]) | (uint32_t(uint8_t(b[at + 1])) << 8);
}
uint32_t le32(const std::string& b, size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }

// The largest frame header anywhere in the file. The decoder skips stray bytes to find a frame
// header, so walking the segments alone could miss the one it decodes; entropy-coded data
// cannot hold a marker (0xFF is always stuffed), so scanning every byte finds no false ones.
std::optional<cv::Size> jpegSize(const std::string& b) {
  std::optional<cv::Size> largest;
  for (size_t at = 2; at + 9 <= b.size(); ++at) {
    if (uint8_t(b[at]) != 0xFF) continue;
    uint8_t marker = uint8_t(b[at + 1]);
    bool frameHeader = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (!frameHeader) continue;
    cv::Size size(int(be16(b, at + 7)), int(be16(b, at + 5)));
    if (!largest || double(size.width) * size.height > double(largest->width) * largest->height)
      largest = size;
  }
  return largest;
}

std::optional<cv::Size> tiffSize(const std::string& b) {
  bool little = b[0] == 'I';
  auto u16 = [&](size_t at) { return little ? le16(b, at) : be16(b, at); };
  auto u32 = [&](size_t at) { return little ? le32(b, at) : be32(b, at); };
  if (b.size() < 8) return std::nullopt;
  size_t ifd = u32(4);
  if (ifd + 2 > b.size()) return std::nullopt;
  uint32_t entries = u16(ifd);
  long width = -1, height = -1;
  for (uint32_t i = 0; i < entries; ++i) {
    size_t entry = ifd + 2 + 12 * size_t(i);
    if (entry + 12 > b.size()) break;
    uint32_t tag = u16(entry), type = u16(entry + 2);
    uint32_t value = type == 3 ? u16(entry + 8) : u32(entry + 8);
    if (tag == 256) width = value;
    if (tag == 257) height = value;
  }
  if (width < 0 || height < 0) return std::nullopt;
  return cv::Size(int(std::min<long>(width, 1L << 30)), int(std::min<long>(height, 1L << 30)));
}

std::optional<cv::Size> webpSize(const std::string& b) {
  if (b.size() < 30) return std::nullopt;
  if (startsWith(b, 12, "VP8X"))
    return cv::Size(int((le32(b, 24) & 0xFFFFFF) + 1), int((le32(b, 27) & 0xFFFFFF) + 1));
  if (startsWith(b, 12, "VP8L")) {
    uint32_t bits = le32(b, 21);
    return cv::Size(int((bits & 0x3FFF) + 1), int(((bits >> 14) & 0x3FFF) + 1));
  }
  if (startsWith(b, 12, "VP8 ")) return cv::Size(int(le16(b, 26) & 0x3FFF), int(le16(b, 28) & 0x3FFF));
  return std::nullopt;
}

// Turns any decoded OpenCV picture into 8-bit BGRA.
cv::Mat toBgra8(const cv::Mat& decoded) {
  cv::Mat eight;
  if (decoded.depth() == CV_8U) eight = decoded;
  else if (decoded.depth() == CV_16U) decoded.convertTo(eight, CV_8U, 1.0 / 257.0);
  else if (decoded.depth() == CV_32F || decoded.depth() == CV_64F) decoded.convertTo(eight, CV_8U, 255.0);
  else decoded.convertTo(eight, CV_8U);
  cv::Mat bgra;
  switch (eight.channels()) {
    case 1: cv::cvtColor(eight, bgra, cv::COLOR_GRAY2BGRA); break;
    case 3: cv::cvtColor(eight, bgra, cv::COLOR_BGR2BGRA); break;
    case 4: bgra = eight; break;
    default: return {};
  }
  return bgra;
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

struct MemoryReader {
  const std::string* bytes;
  size_t at = 0;
};

int readGifBytes(GifFileType* gif, GifByteType* into, int length) {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  size_t n = std::min(static_cast<size_t>(length), reader->bytes->size() - reader->at);
  std::memcpy(into, reader->bytes->data() + reader->at, n);
  reader->at += n;
  return static_cast<int>(n);
}

// The first frame of a GIF, drawn on its transparent logical screen.
cv::Mat decodeGif(const std::string& bytes) {
  MemoryReader reader{&bytes};
  int error = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&reader, readGifBytes, &error));
  if (!gif) return {};
  GifFileType* g = gif.get();
  if (g->SWidth <= 0 || g->SHeight <= 0 ||
      double(g->SWidth) * g->SHeight > kMaxPicturePixels)
    return {};
  // Read records up to the first image only; the rest of an animation is never decoded.
  int transparent = -1;
  while (true) {
    GifRecordType record;
    if (DGifGetRecordType(g, &record) == GIF_ERROR) return {};
    if (record == TERMINATE_RECORD_TYPE) return {};
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(g, &code, &block) == GIF_ERROR) return {};
      while (block) {
        if (code == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4 && (block[1] & 1)) transparent = block[4];
        if (DGifGetExtensionNext(g, &block) == GIF_ERROR) return {};
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(g) == GIF_ERROR) return {};
    const GifImageDesc& desc = g->Image;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : g->SColorMap;
    if (!map || desc.Width <= 0 || desc.Height <= 0) return {};
    // Lines are drawn onto the screen as they are read: a frame that claims to be larger than
    // its screen costs one line of memory, not its claimed size.
    cv::Mat canvas(g->SHeight, g->SWidth, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    std::vector<GifByteType> line(static_cast<size_t>(desc.Width));
    auto draw = [&](int row) {
      int y = desc.Top + row;
      if (y < 0 || y >= canvas.rows) return;
      for (int col = 0; col < desc.Width; ++col) {
        int x = desc.Left + col;
        if (x < 0 || x >= canvas.cols) continue;
        int index = line[static_cast<size_t>(col)];
        if (index == transparent || index >= map->ColorCount) continue;
        const GifColorType& c = map->Colors[index];
        canvas.at<cv::Vec4b>(y, x) = cv::Vec4b(c.Blue, c.Green, c.Red, 255);
      }
    };
    if (desc.Interlace) {
      static const int offsets[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int row = offsets[pass]; row < desc.Height; row += steps[pass]) {
          if (DGifGetLine(g, line.data(), desc.Width) == GIF_ERROR) return {};
          draw(row);
        }
    } else {
      for (int row = 0; row < desc.Height; ++row) {
        if (DGifGetLine(g, line.data(), desc.Width) == GIF_ERROR) return {};
        draw(row);
      }
    }
    return canvas;
  }
}

struct HeifContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifHandleFree {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct HeifImageFree {
  void operator()(heif_image* i) const { heif_image_release(i); }
};

// HEIC and AVIF through libheif, with the file's rotation and mirroring applied.
cv::Mat decodeHeif(const std::string& bytes) {
  std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
  if (!context) return {};
  if (heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(),
                                                 nullptr).code != heif_error_Ok)
    return {};
  heif_image_handle* rawHandle = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
    return {};
  std::unique_ptr<heif_image_handle, HeifHandleFree> handle(rawHandle);
  double pixels = double(heif_image_handle_get_width(rawHandle)) *
                  heif_image_handle_get_height(rawHandle);
  if (!(pixels > 0) || pixels > kMaxPicturePixels) return {};
  heif_image* rawImage = nullptr;
  if (heif_decode_image(rawHandle, &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                        nullptr).code != heif_error_Ok)
    return {};
  std::unique_ptr<heif_image, HeifImageFree> image(rawImage);
  int stride = 0;
  const uint8_t* data = heif_image_get_plane_readonly(rawImage, heif_channel_interleaved, &stride);
  int width = heif_image_get_width(rawImage, heif_channel_interleaved);
  int height = heif_image_get_height(rawImage, heif_channel_interleaved);
  if (!data || width <= 0 || height <= 0) return {};
  cv::Mat rgba(height, width, CV_8UC4, const_cast<uint8_t*>(data), size_t(stride));
  cv::Mat bgra;
  cv::cvtColor(rgba, bgra, cv::COLOR_RGBA2BGRA);
  return bgra;
}

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  bytes = buffer.str();
  return true;
}

}  // namespace

std::optional<cv::Size> declaredSize(const std::string& b) {
  switch (formatOf(b)) {
    case Format::kJpeg: return jpegSize(b);
    case Format::kPng:
      if (b.size() < 24) return std::nullopt;
      return cv::Size(int(std::min<uint32_t>(be32(b, 16), 1u << 30)),
                      int(std::min<uint32_t>(be32(b, 20), 1u << 30)));
    case Format::kGif:
      if (b.size() < 10) return std::nullopt;
      return cv::Size(int(le16(b, 6)), int(le16(b, 8)));
    case Format::kWebp: return webpSize(b);
    case Format::kTiff: return tiffSize(b);
    case Format::kBmp: {
      if (b.size() < 26) return std::nullopt;
      auto height = static_cast<int32_t>(le32(b, 22));
      long rows = std::labs(long(height));
      return cv::Size(int(std::min<uint32_t>(le32(b, 18), 1u << 30)), int(std::min(rows, 1L << 30)));
    }
    default: return std::nullopt;
  }
}

std::optional<cv::Mat> tryLoadPicture(const std::string& path, double maxSide) {
  if (notAnInputFile(path)) return std::nullopt;
  // Only a file that starts like a picture is read whole: a long video handed in by mistake
  // costs a few bytes, not its size in memory.
  std::string head;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    head.resize(64);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
  }
  if (head.empty()) return std::nullopt;
  try {
    if (formatOf(head) == Format::kUnknown && !cv::haveImageReader(path)) return std::nullopt;
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  std::string bytes;
  if (!readWholeFile(path, bytes) || bytes.empty()) return std::nullopt;
  Format format = formatOf(bytes);
  auto declared = declaredSize(bytes);
  if (declared) {
    double pixels = double(declared->width) * declared->height;
    if (!(pixels > 0) || pixels > kMaxPicturePixels) return std::nullopt;
  } else if (format == Format::kJpeg || format == Format::kTiff || format == Format::kBmp) {
    return std::nullopt;  // a size its decoder would find but the header check cannot: refused
  }

  cv::Mat picture;
  try {
    if (format == Format::kGif) {
      picture = decodeGif(bytes);
    } else if (format == Format::kHeif) {
      picture = decodeHeif(bytes);
    } else {
      cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8U, bytes.data());
      int flags = cv::IMREAD_UNCHANGED;
      if (format == Format::kJpeg) {
        // JPEG has no alpha: decode in colour so that the EXIF orientation is applied, and let
        // the decoder scale by 1/2, 1/4 or 1/8 when the analysis needs far fewer pixels.
        flags = cv::IMREAD_COLOR;
        if (declared && maxSide > 0) {
          double side = std::max(declared->width, declared->height);
          if (side >= maxSide * 8) flags = cv::IMREAD_REDUCED_COLOR_8;
          else if (side >= maxSide * 4) flags = cv::IMREAD_REDUCED_COLOR_4;
          else if (side >= maxSide * 2) flags = cv::IMREAD_REDUCED_COLOR_2;
        }
      }
      picture = cv::imdecode(raw, flags);
      if (picture.empty() && format == Format::kJpeg && flags != cv::IMREAD_COLOR)
        picture = cv::imdecode(raw, cv::IMREAD_COLOR);
      if (!picture.empty()) picture = toBgra8(picture);
    }
    bytes.clear();
    bytes.shrink_to_fit();
    if (picture.empty() || picture.cols <= 0 || picture.rows <= 0) return std::nullopt;

    // The scale follows the picture's full size, even when the decoder already reduced it.
    cv::Size full = picture.size();
    if (declared && format == Format::kJpeg && picture.cols < declared->width &&
        picture.rows < declared->height) {
      bool turned = (picture.cols > picture.rows) != (declared->width > declared->height);
      full = turned ? cv::Size(declared->height, declared->width) : *declared;
    }
    double side = std::max(full.width, full.height);
    if (maxSide < side) {
      double scale = maxSide / side;
      cv::Size target(std::max(1, int(std::trunc(full.width * scale))),
                      std::max(1, int(std::trunc(full.height * scale))));
      if (target != picture.size()) {
        cv::Mat scaled;
        cv::resize(picture, scaled, target, 0, 0, cv::INTER_AREA);
        picture = scaled;
      }
    } else if (full != picture.size()) {
      return std::nullopt;  // cannot happen: reduced decoding only when scaling down
    }
  } catch (const cv::Exception&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return picture;
}

cv::Mat loadPicture(const std::string& path, double maxSide) {
  auto picture = tryLoadPicture(path, maxSide);
  if (!picture) fail("cannot read the picture");
  return *picture;
}

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
  std::string bytes = greyPng(matte);
  if (bytes.empty()) fail("cannot write " + path + ": cannot encode the PNG");
  if (auto problem = writeFileReplacing(path, bytes)) fail("cannot write " + path + ": " + *problem);
}

}  // namespace tv
