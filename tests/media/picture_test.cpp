#include "media/picture.h"

#include "media/source.h"
#include "support/child.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <cstring>
#include <fstream>

namespace tv {
namespace {

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A JPEG with an EXIF APP1 segment holding only the orientation tag.
std::string withOrientation(const std::string& jpeg, uint16_t orientation) {
  std::string tiff("II*\0\x08\0\0\0", 8);
  tiff += std::string("\x01\0", 2);                                  // one entry
  tiff += std::string("\x12\x01\x03\0\x01\0\0\0", 8);                // 0x0112, SHORT, count 1
  tiff += std::string(1, char(orientation)) + std::string("\0\0\0", 3);
  tiff += std::string("\0\0\0\0", 4);                                // no next IFD
  std::string payload = std::string("Exif\0\0", 6) + tiff;
  uint16_t length = static_cast<uint16_t>(payload.size() + 2);
  std::string segment = "\xFF\xE1";
  segment += char(length >> 8);
  segment += char(length & 0xFF);
  return jpeg.substr(0, 2) + segment + payload + jpeg.substr(2);
}

class Pictures : public testing::Test {
 protected:
  void SetUp() override { dir_ = tvtest::scratchDir("pictures"); }
  std::string dir_;
};

TEST_F(Pictures, ExifOrientationIsApplied) {
  // Left half red, right half blue; orientation 6 turns it 90 degrees clockwise.
  cv::Mat picture(40, 80, CV_8UC3, cv::Scalar(255, 0, 0));
  picture(cv::Rect(0, 0, 40, 40)).setTo(cv::Scalar(0, 0, 255));
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95}));
  std::string path = dir_ + "/turned.jpg";
  writeBytes(path, withOrientation(std::string(jpeg.begin(), jpeg.end()), 6));
  cv::Mat loaded = loadPicture(path, 4096);
  ASSERT_EQ(loaded.size(), cv::Size(40, 80));
  ASSERT_EQ(loaded.type(), CV_8UC4);
  cv::Vec4b top = loaded.at<cv::Vec4b>(10, 20), bottom = loaded.at<cv::Vec4b>(70, 20);
  EXPECT_GT(top[2], 200);     // red on top
  EXPECT_LT(top[0], 60);
  EXPECT_GT(bottom[0], 200);  // blue below
  EXPECT_EQ(top[3], 255);
}

TEST_F(Pictures, AlphaDepthAndGreyAreNormalised) {
  cv::Mat rgba(10, 20, CV_8UC4, cv::Scalar(10, 20, 30, 255));
  rgba(cv::Rect(0, 0, 10, 10)).setTo(cv::Scalar(10, 20, 30, 7));
  ASSERT_TRUE(cv::imwrite(dir_ + "/alpha.png", rgba));
  cv::Mat alpha = loadPicture(dir_ + "/alpha.png", 4096);
  EXPECT_EQ(alpha.at<cv::Vec4b>(5, 5), cv::Vec4b(10, 20, 30, 7));
  EXPECT_EQ(alpha.at<cv::Vec4b>(5, 15), cv::Vec4b(10, 20, 30, 255));

  cv::Mat deep(4, 4, CV_16UC3, cv::Scalar(257 * 200, 257 * 100, 257 * 50));
  ASSERT_TRUE(cv::imwrite(dir_ + "/deep.png", deep));
  EXPECT_EQ(loadPicture(dir_ + "/deep.png", 4096).at<cv::Vec4b>(1, 1), cv::Vec4b(200, 100, 50, 255));

  cv::Mat grey(4, 4, CV_8UC1, cv::Scalar(77));
  ASSERT_TRUE(cv::imwrite(dir_ + "/grey.tiff", grey));
  EXPECT_EQ(loadPicture(dir_ + "/grey.tiff", 4096).at<cv::Vec4b>(2, 2), cv::Vec4b(77, 77, 77, 255));
}

TEST_F(Pictures, OtherFormats) {
  cv::Mat picture(30, 50, CV_8UC3, cv::Scalar(0, 200, 0));
  ASSERT_TRUE(cv::imwrite(dir_ + "/green.bmp", picture));
  EXPECT_EQ(loadPicture(dir_ + "/green.bmp", 4096).at<cv::Vec4b>(3, 3), cv::Vec4b(0, 200, 0, 255));
  ASSERT_TRUE(cv::imwrite(dir_ + "/green.webp", picture, {cv::IMWRITE_WEBP_QUALITY, 101}));
  cv::Mat webp = loadPicture(dir_ + "/green.webp", 4096);
  EXPECT_EQ(webp.size(), cv::Size(50, 30));
  EXPECT_NEAR(webp.at<cv::Vec4b>(3, 3)[1], 200, 3);
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -f lavfi -i color=red:size=24x12 -frames:v 1 " +
                          dir_ + "/red.gif"),
            0);
  cv::Mat gif = loadPicture(dir_ + "/red.gif", 4096);
  ASSERT_EQ(gif.size(), cv::Size(24, 12));
  EXPECT_GT(gif.at<cv::Vec4b>(5, 5)[2], 200);
  EXPECT_LT(gif.at<cv::Vec4b>(5, 5)[1], 40);
}

TEST_F(Pictures, ScaledOnlyBelowTheLongerSide) {
  cv::Mat picture(300, 400, CV_8UC3, cv::Scalar(1, 2, 3));
  ASSERT_TRUE(cv::imwrite(dir_ + "/p.png", picture));
  EXPECT_EQ(loadPicture(dir_ + "/p.png", 400).size(), cv::Size(400, 300));
  EXPECT_EQ(loadPicture(dir_ + "/p.png", 1000).size(), cv::Size(400, 300));
  EXPECT_EQ(loadPicture(dir_ + "/p.png", 100).size(), cv::Size(100, 75));
  EXPECT_EQ(loadPicture(dir_ + "/p.png", 128).size(), cv::Size(128, 96));
  // A large JPEG decoded at a fraction of its size still comes out at the exact target.
  cv::Mat big(2000, 3000, CV_8UC3, cv::Scalar(40, 80, 120));
  ASSERT_TRUE(cv::imwrite(dir_ + "/big.jpg", big));
  cv::Mat reduced = loadPicture(dir_ + "/big.jpg", 350);
  EXPECT_EQ(reduced.size(), cv::Size(350, 233));
  EXPECT_NEAR(reduced.at<cv::Vec4b>(100, 100)[2], 120, 3);
}

TEST_F(Pictures, UnreadableAndHugePicturesAreRefused) {
  writeBytes(dir_ + "/empty.png", "");
  writeBytes(dir_ + "/text.jpg", "not a picture at all");
  // A PNG header that declares 60000 x 60000 pixels.
  std::string huge("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\xea\x60\0\0\xea\x60\x08\x06\0\0\0", 29);
  writeBytes(dir_ + "/huge.png", huge + std::string(64, '\0'));
  for (const char* name : {"empty.png", "text.jpg", "huge.png", "missing.png"}) {
    EXPECT_FALSE(tryLoadPicture(dir_ + "/" + name, 4096)) << name;
  }
  ASSERT_TRUE(declaredSize(huge));
  EXPECT_EQ(*declaredSize(huge), cv::Size(60000, 60000));
  auto outcome = tvtest::inChild([&] { loadPicture(dir_ + "/text.jpg", 4096); });
  EXPECT_EQ(outcome.status, 1);
  ASSERT_EQ(outcome.lines.size(), 1u);
  EXPECT_EQ(outcome.lines[0], R"({"error":"cannot read the picture"})");
}

TEST_F(Pictures, GifFrameLargerThanItsScreenCostsNoMemory) {
  // A 4 x 4 screen whose one frame claims 65535 x 65535 pixels, with almost no data behind it.
  std::string gif("GIF89a\x04\0\x04\0\x80\0\0", 13);
  gif += std::string("\0\0\0\xff\xff\xff", 6);                      // two colours
  gif += std::string("\x2c\0\0\0\0\xff\xff\xff\xff\0", 10);          // the frame
  gif += std::string("\x02\x02\x44\x01\0\x3b", 6);                   // a few codes, trailer
  writeBytes(dir_ + "/liar.gif", gif);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  auto picture = tryLoadPicture(dir_ + "/liar.gif", 4096);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 100 * 1024) << "KiB";
  if (picture) {
    EXPECT_EQ(picture->size(), cv::Size(4, 4));
  }
}

TEST_F(Pictures, JpegFrameHeaderBehindStrayBytesIsStillChecked) {
  cv::Mat picture(64, 64, CV_8UC3, cv::Scalar(20, 120, 220));
  std::vector<uchar> encoded;
  ASSERT_TRUE(cv::imencode(".jpg", picture, encoded));
  std::string jpeg(encoded.begin(), encoded.end());
  // Stray bytes before the frame header: the decoder skips them, a segment walk cannot.
  size_t header = jpeg.find("\xFF\xC0");
  ASSERT_NE(header, std::string::npos);
  std::string stray = jpeg.substr(0, header) + std::string(24, '\x11') + jpeg.substr(header);
  writeBytes(dir_ + "/stray.jpg", stray);
  auto recovered = tryLoadPicture(dir_ + "/stray.jpg", 4096);
  ASSERT_TRUE(recovered);
  EXPECT_EQ(recovered->size(), cv::Size(64, 64));
  // The same file with its frame header claiming 13080 x 32792 pixels (over the bound, under
  // the decoder's own) is refused unread.
  size_t sof = stray.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  stray[sof + 5] = '\x80';
  stray[sof + 6] = '\x18';
  stray[sof + 7] = '\x33';
  stray[sof + 8] = '\x18';
  writeBytes(dir_ + "/giant.jpg", stray);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  EXPECT_FALSE(tryLoadPicture(dir_ + "/giant.jpg", 4096));
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 100 * 1024) << "KiB";
}

TEST_F(Pictures, GreyPngStoresEveryValueUnchanged) {
  cv::Mat ramp(2, 256, CV_8UC1);
  for (int i = 0; i < 256; ++i) ramp.at<uchar>(0, i) = ramp.at<uchar>(1, 255 - i) = uchar(i);
  std::string path = dir_ + "/ramp.png";
  writeGrey(ramp, path);
  std::string bytes = readBytes(path);
  EXPECT_NE(bytes.find("sRGB"), std::string::npos);
  EXPECT_EQ(bytes.substr(12, 4), "IHDR");
  EXPECT_EQ(bytes[24], 8);  // bit depth
  EXPECT_EQ(bytes[25], 6);  // colour type RGBA
  cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC4);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(back.at<cv::Vec4b>(0, i), cv::Vec4b(uchar(i), uchar(i), uchar(i), 255));
    EXPECT_EQ(back.at<cv::Vec4b>(1, i)[1], 255 - i);
  }
  // A BGRA matte carries its value in every colour channel; it is written the same way.
  cv::Mat bgra;
  cv::cvtColor(ramp, bgra, cv::COLOR_GRAY2BGRA);
  EXPECT_EQ(greyPng(bgra), greyPng(ramp));
}

// A matte of several megapixels is deflated in bands on several threads and joined into one
// stream: every pixel must come back, and the stream's checksum must hold for a strict reader.
TEST_F(Pictures, ALargeGreyPngComesBackWhole) {
  cv::Mat matte(1600, 2400, CV_8UC1);
  cv::RNG random(7);
  random.fill(matte, cv::RNG::UNIFORM, 0, 256);
  cv::rectangle(matte, cv::Rect(300, 200, 900, 1000), cv::Scalar(255), cv::FILLED);
  std::string path = dir_ + "/large.png";
  writeGrey(matte, path);
  cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC4);
  std::vector<cv::Mat> channels;
  cv::split(back, channels);
  EXPECT_EQ(cv::countNonZero(channels[0] != matte), 0);
  EXPECT_EQ(cv::countNonZero(channels[2] != matte), 0);
  EXPECT_EQ(cv::countNonZero(channels[3] != 255), 0);
  const std::string decoded = dir_ + "/large.gray";
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -i " + path + " -f rawvideo -pix_fmt gray " + decoded),
            0);
  const std::string raw = readBytes(decoded);
  ASSERT_EQ(raw.size(), matte.total());
  EXPECT_EQ(std::memcmp(raw.data(), matte.data, raw.size()), 0);
}

TEST_F(Pictures, FailedWriteLeavesTheOldFileAlone) {
  std::string path = dir_ + "/keep.png";
  writeBytes(path, "old");
  auto missingFolder = tvtest::inChild([&] { writeGrey(cv::Mat(2, 2, CV_8UC1), dir_ + "/no/x.png"); });
  EXPECT_EQ(missingFolder.status, 1);
  ASSERT_EQ(missingFolder.lines.size(), 1u);
  EXPECT_EQ(missingFolder.lines[0],
            "{\"error\":\"cannot write " + dir_ + "/no/x.png: No such file or directory\"}");
  auto intoFolder = tvtest::inChild([&] { writeGrey(cv::Mat(2, 2, CV_8UC1), dir_); });
  EXPECT_EQ(intoFolder.status, 1);
  EXPECT_EQ(readBytes(path), "old");
}

TEST(Orientation, FromTheDisplayMatrix) {
  EXPECT_EQ(orientationFromMatrix(1, 0), 1);
  EXPECT_EQ(orientationFromMatrix(0, 1), 6);
  EXPECT_EQ(orientationFromMatrix(0, -1), 8);
  EXPECT_EQ(orientationFromMatrix(-1, 0), 3);
  EXPECT_EQ(orientationFromMatrix(0.7071, 0.7071), 1);  // 45 degrees
  EXPECT_EQ(orientationFromMatrix(0, 65536), 6);        // 16.16 fixed point
}

}  // namespace
}  // namespace tv
