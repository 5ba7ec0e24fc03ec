// HEIC and AVIF stills through libheif.
#include "media/picture.h"
#include "media/picture_formats.h"

#include <libheif/heif.h>

#include <opencv2/imgproc.hpp>

#include <memory>

namespace tv::pictures {
namespace {

struct HeifContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifHandleFree {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct HeifImageFree {
  void operator()(heif_image* i) const { heif_image_release(i); }
};

}  // namespace

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

}  // namespace tv::pictures
