// Format sniffing and the sizes that the six header readers find before anything is decoded.
#include "media/picture.h"
#include "media/picture_formats.h"

#include <cstdlib>
#include <cstring>

namespace tv {
namespace {

bool startsWith(const std::string& bytes, size_t at, const char* text) {
  size_t n = std::strlen(text);
  return bytes.size() >= at + n && bytes.compare(at, n, text) == 0;
}

}  // namespace

namespace pictures {

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

}  // namespace pictures

namespace {

using pictures::Format;
using pictures::formatOf;



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

}  // namespace tv
