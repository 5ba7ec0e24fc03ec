// Picture decoding, the flat-background matte and the picture kind on arbitrary file contents.
#include "image/flat_matte.h"
#include "image/picture_kind.h"
#include "media/picture.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/tarnel-picture-fuzz-" + std::to_string(::getpid());
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  auto picture = tv::tryLoadPicture(path, 256);
  if (!picture) return 0;
  if (picture->type() != CV_8UC4 || picture->cols > 256 || picture->rows > 256) __builtin_trap();
  tv::PictureKind kind = tv::pictureKind(*picture);
  (void)kind;
  if (auto flat = tv::flatMatte(*picture, 0.25, true)) {
    if (flat->matte.size() != picture->size() || flat->matte.type() != CV_8UC1) __builtin_trap();
  }
  (void)tv::flatMatte(*picture, 0.9, false);
  return 0;
}
