// The picture decoders against OpenCV's own readers: the same pixels, format by format.
#include "media/picture.h"
#include "media/picture_formats.h"

#include "support/bytes.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <png.h>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace tv {
namespace {

using tvtest::openCvBgra;
using tvtest::readBytes;
using tvtest::withOrientation;
using tvtest::writeBytes;

const std::string kPhotos = "/usr/lib/python3/dist-packages/skimage/data/";

std::string bytesOf(const std::vector<uchar>& v) {
  return std::string(v.begin(), v.end());
}

void expectSame(const cv::Mat& ours, const cv::Mat& theirs, const std::string& what) {
  ASSERT_FALSE(theirs.empty()) << what;
  ASSERT_FALSE(ours.empty()) << what;
  ASSERT_EQ(ours.type(), CV_8UC4) << what;
  ASSERT_EQ(ours.size(), theirs.size()) << what;
  cv::Mat difference;
  cv::absdiff(ours, theirs, difference);
  double largest = 0;
  cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
  EXPECT_EQ(largest, 0) << what;
}

class Decoders : public testing::Test {
 protected:
  void SetUp() override { dir_ = tvtest::scratchDir("decoders"); }
  std::string dir_;
};

TEST_F(Decoders, JpegEveryOrientationAndReduction) {
  cv::Mat photo = cv::imread(kPhotos + "chelsea.png", cv::IMREAD_COLOR);
  ASSERT_FALSE(photo.empty()) << "python3-skimage's photos are part of the set-up";
  std::vector<uchar> encoded;
  ASSERT_TRUE(cv::imencode(".jpg", photo, encoded, {cv::IMWRITE_JPEG_QUALITY, 90}));
  const int reduced[] = {cv::IMREAD_COLOR, cv::IMREAD_REDUCED_COLOR_2, cv::IMREAD_REDUCED_COLOR_4,
                         cv::IMREAD_REDUCED_COLOR_8};
  for (bool motorola : {false, true}) {
    for (uint16_t orientation = 0; orientation <= 9; ++orientation) {
      const std::string jpeg = withOrientation(bytesOf(encoded), orientation, motorola);
      for (int r = 0; r < 4; ++r) {
        const std::string what = "orientation " + std::to_string(orientation) + " reduction " +
                                 std::to_string(1 << r) + (motorola ? " MM" : " II");
        expectSame(pictures::decodeJpeg(jpeg, 1 << r), openCvBgra(jpeg, reduced[r]), what);
      }
    }
  }
  // Through the loader too: orientation 6 stands the 451 x 300 photo up.
  const std::string path = dir_ + "/turned.jpg";
  writeBytes(path, withOrientation(bytesOf(encoded), 6, false));
  expectSame(loadPicture(path, 4096), openCvBgra(readBytes(path), cv::IMREAD_COLOR), "loader");
  EXPECT_EQ(loadPicture(path, 4096).size(), cv::Size(photo.rows, photo.cols));
}

TEST_F(Decoders, JpegFromPackagesGreyAndCmyk) {
  // A real camera JPEG, a grey one, and a CMYK one written here through libjpeg.
  const std::string hubble = readBytes(kPhotos + "hubble_deep_field.jpg");
  ASSERT_FALSE(hubble.empty());
  expectSame(pictures::decodeJpeg(hubble, 1), openCvBgra(hubble, cv::IMREAD_COLOR), "hubble");
  expectSame(pictures::decodeJpeg(hubble, 4), openCvBgra(hubble, cv::IMREAD_REDUCED_COLOR_4),
             "hubble / 4");
  cv::Mat camera = cv::imread(kPhotos + "camera.png", cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(camera.empty());
  std::vector<uchar> grey;
  ASSERT_TRUE(cv::imencode(".jpg", camera, grey));
  expectSame(pictures::decodeJpeg(bytesOf(grey), 1), openCvBgra(bytesOf(grey), cv::IMREAD_COLOR),
             "grey");

  cv::Mat photo = cv::imread(kPhotos + "coffee.png", cv::IMREAD_COLOR);
  ASSERT_FALSE(photo.empty());
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = static_cast<JDIMENSION>(photo.cols);
  info.image_height = static_cast<JDIMENSION>(photo.rows);
  info.input_components = 4;
  info.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(size_t(photo.cols) * 4);
  while (info.next_scanline < info.image_height) {
    const auto* bgr = photo.ptr<uint8_t>(static_cast<int>(info.next_scanline));
    for (int x = 0; x < photo.cols; ++x) {
      row[4 * x] = bgr[3 * x + 2];
      row[4 * x + 1] = bgr[3 * x + 1];
      row[4 * x + 2] = bgr[3 * x];
      row[4 * x + 3] = uint8_t(200 + x % 56);
    }
    JSAMPROW pointer = row.data();
    jpeg_write_scanlines(&info, &pointer, 1);
  }
  jpeg_finish_compress(&info);
  const std::string cmyk(reinterpret_cast<char*>(out), size);
  jpeg_destroy_compress(&info);
  std::free(out);
  expectSame(pictures::decodeJpeg(cmyk, 1), openCvBgra(cmyk, cv::IMREAD_COLOR), "cmyk");
}

// A PNG written through libpng from 16-bit samples (`samples` per pixel), at `depth` bits.
std::string pngOf(int width, int height, int colour, int depth, bool interlaced,
                  const std::vector<png_color>& palette, const std::vector<png_byte>& paletteAlpha,
                  const png_color_16* transparent) {
  std::string bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(
      png, &bytes,
      [](png_structp p, png_bytep data, png_size_t length) {
        static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char*>(data), length);
      },
      nullptr);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), depth, colour,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
  if (!paletteAlpha.empty())
    png_set_tRNS(png, info, paletteAlpha.data(), int(paletteAlpha.size()), nullptr);
  if (transparent) png_set_tRNS(png, info, nullptr, 0, const_cast<png_color_16*>(transparent));
  png_set_gAMA(png, info, 0.7);  // a gamma that must not be applied
  png_write_info(png, info);
  const int channels = png_get_channels(png, info);
  const int bits = depth * channels;
  std::vector<png_byte> row(size_t(width * bits + 7) / 8 + 8);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < height; ++y) {
      std::fill(row.begin(), row.end(), 0);
      for (int x = 0; x < width; ++x) {
        for (int c = 0; c < channels; ++c) {
          const unsigned maximum = (1u << depth) - 1;
          unsigned value = unsigned(x * 37 + y * 101 + c * 59 + (x * y) % 7) * 2654435761u >> 7;
          value %= maximum + 1;
          if (colour == PNG_COLOR_TYPE_PALETTE) value %= unsigned(palette.size());
          if (c == 0 && x % 5 == 0 && transparent) value = transparent->gray;  // the grey key
          if (transparent && colour == PNG_COLOR_TYPE_RGB && x % 5 == 0)
            value = c == 0 ? transparent->red : c == 1 ? transparent->green : transparent->blue;
          const size_t bit = size_t(x * channels + c) * depth;
          if (depth == 16) {
            row[bit / 8] = png_byte(value >> 8);
            row[bit / 8 + 1] = png_byte(value);
          } else if (depth == 8) {
            row[bit / 8] = png_byte(value);
          } else {
            row[bit / 8] |= png_byte(value << (8 - depth - bit % 8));
          }
        }
      }
      png_write_row(png, row.data());
    }
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

TEST_F(Decoders, PngEveryColourTypeDepthAndTransparency) {
  std::vector<png_color> palette;
  std::vector<png_byte> paletteAlpha;
  for (int i = 0; i < 13; ++i)
    palette.push_back({png_byte(i * 19), png_byte(255 - i * 7), png_byte(i * i)});
  for (int i = 0; i < 9; ++i) paletteAlpha.push_back(png_byte(i * 30));
  png_color_16 key{};
  key.gray = 1;
  key.red = 3, key.green = 2, key.blue = 1;
  struct Case {
    int colour;
    std::vector<int> depths;
  };
  const Case cases[] = {{PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}},
                        {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
                        {PNG_COLOR_TYPE_RGB, {8, 16}},
                        {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}},
                        {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}}};
  int checked = 0;
  for (const Case& c : cases) {
    for (int depth : c.depths) {
      for (bool interlaced : {false, true}) {
        for (bool trns : {false, true}) {
          const bool palettised = c.colour == PNG_COLOR_TYPE_PALETTE;
          if (trns && (c.colour & PNG_COLOR_MASK_ALPHA)) continue;
          std::vector<png_color> colours;
          if (palettised)
            colours.assign(palette.begin(), palette.begin() + std::min(13, 1 << depth));
          std::vector<png_byte> alphas;
          if (palettised && trns)
            alphas.assign(paletteAlpha.begin(), paletteAlpha.begin() + std::min(9, 1 << depth));
          const std::string bytes = pngOf(37, 23, c.colour, depth, interlaced, colours, alphas,
                                          trns && !palettised ? &key : nullptr);
          ASSERT_FALSE(bytes.empty());
          const std::string what = "colour type " + std::to_string(c.colour) + " depth " +
                                   std::to_string(depth) + (interlaced ? " interlaced" : "") +
                                   (trns ? " tRNS" : "");
          expectSame(pictures::decodePng(bytes), openCvBgra(bytes, cv::IMREAD_UNCHANGED), what);
          ++checked;
        }
      }
    }
  }
  EXPECT_EQ(checked, 52);
  // Pictures as packages ship them: RGBA, palette, grey, an indexed one.
  for (const char* name :
       {"logo.png", "green_palette.png", "camera.png", "foo3x5x4indexed.png", "astronaut.png"}) {
    const std::string bytes = readBytes(kPhotos + name);
    ASSERT_FALSE(bytes.empty()) << name;
    expectSame(pictures::decodePng(bytes), openCvBgra(bytes, cv::IMREAD_UNCHANGED), name);
  }
  // Cut short after its data, a PNG is not read.
  const std::string whole = readBytes(kPhotos + "camera.png");
  EXPECT_TRUE(pictures::decodePng(whole.substr(0, whole.size() - 12)).empty());
}

TEST_F(Decoders, WebpLossyLosslessAndAlpha) {
  cv::Mat photo = cv::imread(kPhotos + "astronaut.png", cv::IMREAD_COLOR);
  cv::Mat logo = cv::imread(kPhotos + "logo.png", cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(photo.empty());
  ASSERT_EQ(logo.type(), CV_8UC4);
  for (int quality : {80, 101}) {
    for (const cv::Mat* picture : {&photo, &logo}) {
      std::vector<uchar> encoded;
      ASSERT_TRUE(cv::imencode(".webp", *picture, encoded, {cv::IMWRITE_WEBP_QUALITY, quality}));
      const std::string what =
          "quality " + std::to_string(quality) + " channels " + std::to_string(picture->channels());
      expectSame(pictures::decodeWebp(bytesOf(encoded)),
                 openCvBgra(bytesOf(encoded), cv::IMREAD_UNCHANGED), what);
    }
  }
}

TEST_F(Decoders, OtherFormatsThroughFfmpeg) {
  cv::Mat photo = cv::imread(kPhotos + "chelsea.png", cv::IMREAD_COLOR);
  cv::Mat grey = cv::imread(kPhotos + "camera.png", cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(photo.empty());
  ASSERT_FALSE(grey.empty());
  // Lossless formats come back as they were written.
  for (const char* name : {"p.ppm", "p.bmp", "p.tiff", "p.ras", "g.pgm", "g.tiff", "g.bmp"}) {
    const std::string path = dir_ + "/" + name;
    ASSERT_TRUE(cv::imwrite(path, name[0] == 'p' ? photo : grey)) << name;
    const auto loaded = tryLoadPicture(path, 8192);
    ASSERT_TRUE(loaded) << name;
    expectSame(*loaded, openCvBgra(readBytes(path), cv::IMREAD_UNCHANGED), name);
  }
  // A 16-bit grey TIFF from a package, scaled to 8 bits.
  const auto deep = tryLoadPicture(kPhotos + "chessboard_GRAY_U16.tif", 8192);
  ASSERT_TRUE(deep);
  cv::Mat reference =
      openCvBgra(readBytes(kPhotos + "chessboard_GRAY_U16.tif"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(deep->size(), reference.size());
  cv::Mat difference;
  cv::absdiff(*deep, reference, difference);
  double largest = 0;
  cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
  EXPECT_LE(largest, 1);
  // A video is not a picture, even one whose first frame an image decoder could read.
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=5:duration=1 "
                          "-c:v mjpeg " +
                          dir_ + "/clip.avi </dev/null"),
            0);
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=5:duration=1 "
                          "-c:v libx264 " +
                          dir_ + "/clip.mp4 </dev/null"),
            0);
  EXPECT_FALSE(tryLoadPicture(dir_ + "/clip.avi", 4096));
  EXPECT_FALSE(tryLoadPicture(dir_ + "/clip.mp4", 4096));
}

TEST_F(Decoders, KeptFramesAndMattes) {
  cv::Mat photo = cv::imread(kPhotos + "astronaut.png", cv::IMREAD_COLOR);
  ASSERT_FALSE(photo.empty());
  cv::Mat bgra;
  cv::cvtColor(photo, bgra, cv::COLOR_BGR2BGRA);
  // The same bytes as OpenCV's writer at that quality, and the same pixels back.
  std::vector<uchar> theirs;
  ASSERT_TRUE(cv::imencode(".jpg", photo, theirs, {cv::IMWRITE_JPEG_QUALITY, 95}));
  const std::vector<uint8_t> ours = jpegOf(bgra, 95);
  EXPECT_EQ(std::vector<uint8_t>(theirs.begin(), theirs.end()), ours);
  expectSame(pictureOfJpeg(ours), openCvBgra(bytesOf(theirs), cv::IMREAD_COLOR), "kept frame");

  cv::Mat matte(300, 401, CV_8UC1, cv::Scalar(0));
  cv::circle(matte, {200, 150}, 90, cv::Scalar(255), -1, cv::LINE_AA);
  matte(cv::Rect(0, 0, 17, 300)).setTo(cv::Scalar(77));
  const std::vector<uint8_t> packed = packedMatte(matte);
  EXPECT_LT(packed.size(), matte.total() / 10);
  std::vector<uchar> png;  // what the mattes were kept as before: no more memory than that
  ASSERT_TRUE(cv::imencode(".png", matte, png));
  EXPECT_LE(packed.size(), png.size());
  const cv::Mat back = unpackedMatte(packed);
  ASSERT_EQ(back.type(), CV_8UC1);
  ASSERT_EQ(back.size(), matte.size());
  EXPECT_EQ(cv::countNonZero(back != matte), 0);
  EXPECT_TRUE(unpackedMatte(std::vector<uint8_t>(packed.begin(), packed.begin() + 20)).empty());
}

}  // namespace
}  // namespace tv
