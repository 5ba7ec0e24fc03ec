// Still pictures in: format by the first bytes, bounded before decoding, upright, 8-bit BGRA.
#include "media/picture.h"
#include "media/picture_formats.h"

#include "base/cancel.h"
#include "base/events.h"
#include "base/files.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

namespace tv {
namespace {

using pictures::Format;
using pictures::formatOf;

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  bytes = buffer.str();
  return true;
}

// The picture as loadPicture gives it (`size`), and its pixels at that size or, when
// `workSide` is below its longer side, at workSide on that side.
std::optional<WorkingPicture> decodePicture(const std::string& path, double maxSide,
                                            double workSide) {
  if (notAnInputFile(path)) return std::nullopt;
  // Only a file that starts like a picture is read whole: a long video handed in by mistake
  // costs a few bytes, not its size in memory.
  std::string head;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    head.resize(4096);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
  }
  if (head.empty()) return std::nullopt;
  if (formatOf(head) == Format::kUnknown && !pictures::otherPicture(head)) return std::nullopt;
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
  std::optional<WorkingPicture> result;
  try {
    switch (format) {
      case Format::kJpeg: {
        // The decoder scales by 1/2, 1/4 or 1/8 when the analysis needs far fewer pixels.
        int reduction = 1;
        const double needed = std::min(maxSide, workSide);
        if (declared && needed > 0) {
          double side = std::max(declared->width, declared->height);
          if (side >= needed * 8) reduction = 8;
          else if (side >= needed * 4) reduction = 4;
          else if (side >= needed * 2) reduction = 2;
        }
        picture = pictures::decodeJpeg(bytes, reduction);
        if (picture.empty() && reduction != 1) picture = pictures::decodeJpeg(bytes, 1);
        break;
      }
      case Format::kPng: picture = pictures::decodePng(bytes); break;
      case Format::kWebp: picture = pictures::decodeWebp(bytes); break;
      case Format::kGif: picture = pictures::decodeGif(bytes); break;
      case Format::kHeif: picture = pictures::decodeHeif(bytes); break;
      default: picture = pictures::decodeOther(bytes); break;
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
    cv::Size size = full;
    if (maxSide < side) {
      double scale = maxSide / side;
      size = cv::Size(std::max(1, int(std::trunc(full.width * scale))),
                      std::max(1, int(std::trunc(full.height * scale))));
    }
    // The working size is rounded as the analyses round theirs, so that they take these
    // pixels as they are.
    cv::Size target = size;
    const double sizeSide = std::max(size.width, size.height);
    if (workSide < sizeSide) {
      double scale = workSide / sizeSide;
      target = cv::Size(std::max(1, int(std::lround(size.width * scale))),
                        std::max(1, int(std::lround(size.height * scale))));
    }
    if (target != picture.size()) {
      cv::Mat scaled;
      cv::resize(picture, scaled, target, 0, 0, cv::INTER_AREA);
      picture = scaled;
    }
    result = WorkingPicture{picture, size};
  } catch (const cv::Exception&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return result;
}

}  // namespace

std::optional<cv::Mat> tryLoadPicture(const std::string& path, double maxSide) {
  auto loaded = decodePicture(path, maxSide, maxSide);
  if (!loaded) return std::nullopt;
  return loaded->pixels;
}

WorkingPicture loadWorkingPicture(const std::string& path, double maxSide, double workSide) {
  auto loaded = decodePicture(path, maxSide, workSide);
  if (!loaded) fail("cannot read the picture");
  checkCancelled();  // a large picture takes a while to decode
  return *loaded;
}

cv::Mat loadPicture(const std::string& path, double maxSide) {
  auto picture = tryLoadPicture(path, maxSide);
  if (!picture) fail("cannot read the picture");
  checkCancelled();  // a large picture takes a while to decode
  return *picture;
}

}  // namespace tv
