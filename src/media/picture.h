// Still pictures in (any common format, upright, bounded) and grey mattes out (sRGB PNG).
#pragma once

#include <opencv2/core/mat.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tv {

// Pictures with more pixels than this are refused before decoding.
constexpr double kMaxPicturePixels = 268435456.0;  // 2^28

// Decodes JPEG, PNG, WebP, TIFF, BMP, GIF (first frame), HEIC/AVIF and the other stills
// FFmpeg's image decoders read (PNM, EXR, JPEG 2000, ...), with the EXIF orientation applied,
// to 8-bit BGRA; only when `maxSide` is below the longer side is it scaled by maxSide / side
// (sizes truncated). Fails with "cannot read the picture".
cv::Mat loadPicture(const std::string& path, double maxSide);

// A picture for analyses that look at no more than `workSide` pixels on its longer side: `size`
// is the analysed picture's, as loadPicture(path, maxSide) gives it, and `pixels` the picture at
// that size or, when it is larger, shrunk to workSide on its longer side (a JPEG is decoded
// reduced on the way). Fails with "cannot read the picture".
struct WorkingPicture {
  cv::Mat pixels;  // 8-bit BGRA
  cv::Size size;
};
WorkingPicture loadWorkingPicture(const std::string& path, double maxSide, double workSide);

// As loadPicture, but answers nothing instead of failing.
std::optional<cv::Mat> tryLoadPicture(const std::string& path, double maxSide);

// The width and height a picture file declares in its header, when its format is known.
std::optional<cv::Size> declaredSize(const std::string& bytes);

// Writes a matte (CV_8UC1, or BGRA/BGR whose first channel carries the value) as an 8-bit RGBA
// PNG tagged sRGB, grey and opaque, values unchanged. Fails with
// "cannot write <path>: <reason>".
void writeGrey(const cv::Mat& matte, const std::string& path);

// The PNG bytes writeGrey writes.
std::string greyPng(const cv::Mat& matte);

// A BGRA frame as baseline JPEG at `quality` (libjpeg's defaults otherwise: 4:2:0, accurate
// integer DCT), for frames kept in memory; and such bytes back as BGRA (empty when damaged).
std::vector<uint8_t> jpegOf(const cv::Mat& bgra, int quality);
cv::Mat pictureOfJpeg(const std::vector<uint8_t>& bytes);

// A matte (CV_8UC1) kept in memory losslessly deflated, and back; the same pixels come back.
std::vector<uint8_t> packedMatte(const cv::Mat& matte);
cv::Mat unpackedMatte(const std::vector<uint8_t>& packed);

}  // namespace tv
