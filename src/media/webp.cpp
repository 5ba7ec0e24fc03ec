// WebP stills through libwebp, to 8-bit BGRA (opaque where the file has no alpha).
#include "media/picture.h"
#include "media/picture_formats.h"

#include <webp/decode.h>

namespace tv::pictures {

cv::Mat decodeWebp(const std::string& bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data, bytes.size(), &features) != VP8_STATUS_OK) return {};
  if (features.width <= 0 || features.height <= 0 ||
      double(features.width) * features.height > kMaxPicturePixels)
    return {};
  cv::Mat picture(features.height, features.width, CV_8UC4);
  if (!WebPDecodeBGRAInto(data, bytes.size(), picture.data, picture.total() * 4,
                          static_cast<int>(picture.step)))
    return {};
  return picture;
}

}  // namespace tv::pictures
