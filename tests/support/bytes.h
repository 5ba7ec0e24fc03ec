// Picture files as bytes, for tests that build odd pictures by hand.
#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>

#include <string>

namespace tvtest {

// The whole file (empty when it cannot be read), and a file written with exactly these bytes.
std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);

// The JPEG with an EXIF APP1 segment added after its start marker, holding the orientation tag
// behind another entry; the TIFF header is big-endian when `motorola`.
std::string withOrientation(const std::string& jpeg, uint16_t orientation, bool motorola = false);

// What OpenCV's own reader gives for the bytes (imdecode `flags`), made 8-bit BGRA the way the
// tool's loader makes any picture: the reference the tool's decoders are held to.
cv::Mat openCvBgra(const std::string& bytes, int flags);

}  // namespace tvtest
