// The picture formats the loader tells apart by their first bytes, the sizes their headers
// declare, and the decoders it runs for each.
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

// JPEG through libjpeg-turbo as 8-bit BGRA, decoded at 1 / `reduction` of its size (1, 2, 4 or
// 8) with its EXIF orientation applied; empty when it cannot be decoded.
cv::Mat decodeJpeg(const std::string& bytes, int reduction);

// PNG through libpng as 8-bit BGRA; empty when it cannot be decoded.
cv::Mat decodePng(const std::string& bytes);

// WebP through libwebp as 8-bit BGRA; empty when it cannot be decoded.
cv::Mat decodeWebp(const std::string& bytes);

// Whether a file starting with `head` is a still picture one of FFmpeg's image decoders reads
// (TIFF, BMP, the PNM family, EXR, JPEG 2000, ...).
bool otherPicture(const std::string& head);

// Such a picture's first image through FFmpeg as 8-bit BGRA; empty when it cannot be decoded or
// has more than kMaxPicturePixels.
cv::Mat decodeOther(const std::string& bytes);

// The first frame of a GIF, drawn on its transparent logical screen, as 8-bit BGRA; empty when
// it cannot be decoded.
cv::Mat decodeGif(const std::string& bytes);

// HEIC and AVIF through libheif, with the file's rotation and mirroring applied, as 8-bit BGRA;
// empty when it cannot be decoded or declares too many pixels.
cv::Mat decodeHeif(const std::string& bytes);

}  // namespace tv::pictures
