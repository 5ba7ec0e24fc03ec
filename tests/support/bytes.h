// Picture files as bytes, for tests that build odd pictures by hand.
#pragma once

#include <cstdint>
#include <string>

namespace tvtest {

// The whole file (empty when it cannot be read), and a file written with exactly these bytes.
std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);

// The JPEG with an EXIF APP1 segment added after its start marker, holding the orientation tag
// behind another entry; the TIFF header is big-endian when `motorola`.
std::string withOrientation(const std::string& jpeg, uint16_t orientation, bool motorola = false);

}  // namespace tvtest
