// The image command reads every picture format to the pixels OpenCV's own reader gives: the
// matte of a file is the matte of a lossless copy of what OpenCV decodes from it.
#include "support/bytes.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

const std::string kPhotos = "/usr/lib/python3/dist-packages/skimage/data/";

using tvtest::readBytes;
using tvtest::writeBytes;

// A JPEG with an EXIF orientation tag.
std::string withOrientation(const std::vector<uchar>& jpeg, uint16_t orientation) {
  return tvtest::withOrientation(std::string(jpeg.begin(), jpeg.end()), orientation);
}

// OpenCV's reading of the file, made 8-bit BGRA, written as a PNG beside it.
std::string referenceCopy(const std::string& path, int flags) {
  const cv::Mat bgra = tvtest::openCvBgra(readBytes(path), flags);
  if (bgra.empty()) return {};
  const std::string copy = path + ".reference.png";
  return cv::imwrite(copy, bgra) ? copy : std::string();
}

class PictureFormats : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = tvtest::scratchDir("picture-formats");
    // A real photo on a white backdrop (flat finds it) and on a transparent one.
    cv::Mat photo = cv::imread(kPhotos + "chelsea.png", cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty()) << "python3-skimage's photos are part of the set-up";
    white_ = cv::Mat(420, 640, CV_8UC3, cv::Scalar(255, 255, 255));
    photo.copyTo(white_(cv::Rect(120, 70, photo.cols, photo.rows)));
    clear_ = cv::Mat(420, 640, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    cv::Mat opaque;
    cv::cvtColor(photo, opaque, cv::COLOR_BGR2BGRA);
    opaque.copyTo(clear_(cv::Rect(120, 70, photo.cols, photo.rows)));
  }

  // The flat matte of `path` and of OpenCV's reading of it are the same file.
  void expectSameMatte(const std::string& path, int flags) {
    const std::string reference = referenceCopy(path, flags);
    ASSERT_FALSE(reference.empty()) << path;
    auto ours = tvtest::runTool(
        {"image", "--input", path, "--output", dir_ + "/ours.png", "--mode", "flat"});
    auto theirs = tvtest::runTool(
        {"image", "--input", reference, "--output", dir_ + "/theirs.png", "--mode", "flat"});
    ASSERT_EQ(ours.status, 0) << path << ": " << (ours.lines.empty() ? "" : ours.lines.back());
    ASSERT_EQ(theirs.status, 0) << reference;
    EXPECT_EQ(ours.errors, "");
    EXPECT_EQ(ours.last(), theirs.last()) << path;
    EXPECT_EQ(readBytes(dir_ + "/ours.png"), readBytes(dir_ + "/theirs.png")) << path;
  }

  std::string dir_;
  cv::Mat white_, clear_;
};

TEST_F(PictureFormats, JpegInEveryOrientation) {
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", white_, jpeg, {cv::IMWRITE_JPEG_QUALITY, 92}));
  for (uint16_t orientation = 1; orientation <= 8; ++orientation) {
    const std::string path = dir_ + "/turned" + std::to_string(orientation) + ".jpg";
    writeBytes(path, withOrientation(jpeg, orientation));
    expectSameMatte(path, cv::IMREAD_COLOR);
  }
}

TEST_F(PictureFormats, PngOfSixteenBitsAndWithAPalette) {
  // 16 bits whose low byte matters for the rounding to 8.
  cv::Mat deep;
  white_.convertTo(deep, CV_16UC3, 257.0);
  for (int y = 0; y < deep.rows; ++y)
    for (int x = 0; x < deep.cols; ++x) {
      cv::Vec3w& p = deep.at<cv::Vec3w>(y, x);
      for (int c = 0; c < 3; ++c)
        p[c] = static_cast<uint16_t>(std::max(0, p[c] - (x * 7 + y * 3 + c) % 250));
    }
  ASSERT_TRUE(cv::imwrite(dir_ + "/deep.png", deep));
  expectSameMatte(dir_ + "/deep.png", cv::IMREAD_UNCHANGED);
  // A palette with transparent entries, as ffmpeg writes it.
  ASSERT_TRUE(cv::imwrite(dir_ + "/clear.png", clear_));
  ASSERT_EQ(
      tvtest::shell("ffmpeg -v error -y -i " + dir_ +
                    "/clear.png -vf \"split[a][b];"
                    "[a]palettegen=reserve_transparent=1[p];[b][p]paletteuse\" -pix_fmt pal8 " +
                    dir_ + "/palette.png </dev/null"),
      0);
  const std::string palette = readBytes(dir_ + "/palette.png");
  ASSERT_NE(palette.find("PLTE"), std::string::npos);
  ASSERT_NE(palette.find("tRNS"), std::string::npos);
  expectSameMatte(dir_ + "/palette.png", cv::IMREAD_UNCHANGED);
}

TEST_F(PictureFormats, WebpLossyAndLosslessWithAlpha) {
  ASSERT_TRUE(cv::imwrite(dir_ + "/lossy.webp", white_, {cv::IMWRITE_WEBP_QUALITY, 85}));
  expectSameMatte(dir_ + "/lossy.webp", cv::IMREAD_UNCHANGED);
  ASSERT_TRUE(cv::imwrite(dir_ + "/lossless.webp", clear_, {cv::IMWRITE_WEBP_QUALITY, 101}));
  expectSameMatte(dir_ + "/lossless.webp", cv::IMREAD_UNCHANGED);
}

}  // namespace
