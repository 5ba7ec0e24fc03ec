#include "support/bytes.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fstream>
#include <iterator>

namespace tvtest {

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string withOrientation(const std::string& jpeg, uint16_t orientation, bool motorola) {
  auto u16 = [&](uint16_t v) {
    return motorola ? std::string{char(v >> 8), char(v & 0xFF)}
                    : std::string{char(v & 0xFF), char(v >> 8)};
  };
  auto u32 = [&](uint32_t v) {
    return motorola ? u16(uint16_t(v >> 16)) + u16(uint16_t(v))
                    : u16(uint16_t(v)) + u16(uint16_t(v >> 16));
  };
  std::string tiff = std::string(motorola ? "MM" : "II") + u16(42) + u32(8) + u16(2);
  tiff += u16(0x0110) + u16(2) + u32(4) + std::string("cam\0", 4);  // model, inline
  tiff += u16(0x0112) + u16(3) + u32(1) + u16(orientation) + u16(0);
  tiff += u32(0);
  std::string payload = std::string("Exif\0\0", 6) + tiff;
  const auto length = static_cast<uint16_t>(payload.size() + 2);
  std::string segment = "\xFF\xE1";
  segment += char(length >> 8);
  segment += char(length & 0xFF);
  return jpeg.substr(0, 2) + segment + payload + jpeg.substr(2);
}

cv::Mat openCvBgra(const std::string& bytes, int flags) {
  cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
  cv::Mat decoded = cv::imdecode(raw, flags);
  if (decoded.empty()) return {};
  cv::Mat eight;
  if (decoded.depth() == CV_16U)
    decoded.convertTo(eight, CV_8U, 1.0 / 257.0);
  else
    eight = decoded;
  cv::Mat bgra;
  if (eight.channels() == 1)
    cv::cvtColor(eight, bgra, cv::COLOR_GRAY2BGRA);
  else if (eight.channels() == 3)
    cv::cvtColor(eight, bgra, cv::COLOR_BGR2BGRA);
  else
    bgra = eight;
  return bgra;
}

}  // namespace tvtest
