// The picture formats the loader tells apart by their first bytes, the sizes their headers
// declare, and the decoders it runs itself (GIF and HEIF; the others go through OpenCV).
// Internal to the picture loader.
#pragma once

#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace tv::pictures {

enum class Format { kUnknown, kJpeg, kPng, kGif, kWebp, kTiff, kBmp, kHeif };

// The format a file's first bytes announce.
Format formatOf(const std::string& bytes);

// The first frame of a GIF, drawn on its transparent logical screen, as 8-bit BGRA; empty when
// it cannot be decoded.
cv::Mat decodeGif(const std::string& bytes);

// HEIC and AVIF through libheif, with the file's rotation and mirroring applied, as 8-bit BGRA;
// empty when it cannot be decoded or declares too many pixels.
cv::Mat decodeHeif(const std::string& bytes);

}  // namespace tv::pictures
