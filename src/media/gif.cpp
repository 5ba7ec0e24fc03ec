// GIF's first frame through giflib, drawn line by line onto its logical screen.
#include "media/picture.h"
#include "media/picture_formats.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tv::pictures {
namespace {


struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

struct MemoryReader {
  const std::string* bytes;
  size_t at = 0;
};

int readGifBytes(GifFileType* gif, GifByteType* into, int length) {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  size_t n = std::min(static_cast<size_t>(length), reader->bytes->size() - reader->at);
  std::memcpy(into, reader->bytes->data() + reader->at, n);
  reader->at += n;
  return static_cast<int>(n);
}

}  // namespace

cv::Mat decodeGif(const std::string& bytes) {
  MemoryReader reader{&bytes};
  int error = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&reader, readGifBytes, &error));
  if (!gif) return {};
  GifFileType* g = gif.get();
  if (g->SWidth <= 0 || g->SHeight <= 0 ||
      double(g->SWidth) * g->SHeight > kMaxPicturePixels)
    return {};
  // Read records up to the first image only; the rest of an animation is never decoded.
  int transparent = -1;
  while (true) {
    GifRecordType record;
    if (DGifGetRecordType(g, &record) == GIF_ERROR) return {};
    if (record == TERMINATE_RECORD_TYPE) return {};
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(g, &code, &block) == GIF_ERROR) return {};
      while (block) {
        if (code == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4 && (block[1] & 1)) transparent = block[4];
        if (DGifGetExtensionNext(g, &block) == GIF_ERROR) return {};
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(g) == GIF_ERROR) return {};
    const GifImageDesc& desc = g->Image;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : g->SColorMap;
    if (!map || desc.Width <= 0 || desc.Height <= 0) return {};
    // Lines are drawn onto the screen as they are read: a frame that claims to be larger than
    // its screen costs one line of memory, not its claimed size.
    cv::Mat canvas(g->SHeight, g->SWidth, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    std::vector<GifByteType> line(static_cast<size_t>(desc.Width));
    auto draw = [&](int row) {
      int y = desc.Top + row;
      if (y < 0 || y >= canvas.rows) return;
      for (int col = 0; col < desc.Width; ++col) {
        int x = desc.Left + col;
        if (x < 0 || x >= canvas.cols) continue;
        int index = line[static_cast<size_t>(col)];
        if (index == transparent || index >= map->ColorCount) continue;
        const GifColorType& c = map->Colors[index];
        canvas.at<cv::Vec4b>(y, x) = cv::Vec4b(c.Blue, c.Green, c.Red, 255);
      }
    };
    if (desc.Interlace) {
      static const int offsets[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int row = offsets[pass]; row < desc.Height; row += steps[pass]) {
          if (DGifGetLine(g, line.data(), desc.Width) == GIF_ERROR) return {};
          draw(row);
        }
    } else {
      for (int row = 0; row < desc.Height; ++row) {
        if (DGifGetLine(g, line.data(), desc.Width) == GIF_ERROR) return {};
        draw(row);
      }
    }
    return canvas;
  }
}

}  // namespace tv::pictures
