// Salient objects through the real network: devices the detector does not know, pasted over
// real photos, are found as regions of their own and cut under a point; textures are not.
#include "support/cutouts.h"
#include "vision/analyses.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using tvtest::iou;

cv::Mat photo(const std::string& name) {
  const std::string path = tvtest::samplePicture(name);
  return path.empty() ? cv::Mat() : cv::imread(path, cv::IMREAD_COLOR);
}

TEST(SalientObjects, ADeviceOverAPhotoIsCutUnderThePoint) {
  const tvtest::Cutout printer = tvtest::device("printer"), camera = tvtest::device("camera-photo");
  const cv::Mat backdrop = photo("building.jpg");
  ASSERT_FALSE(printer.bgr.empty() || camera.bgr.empty() || backdrop.empty())
      << "the Oxygen icon theme or building.jpg is missing";
  auto made = tvtest::composite(backdrop, cv::Size(960, 640),
                                {{&printer, 280, {80, 300}}, {&camera, 220, {640, 120}}});
  // Each device on its own, whichever the whole picture's map favours.
  cv::Mat left = tv::analyses::objectAt(made.image, tv::Point{(80 + 140) / 960.0, 440 / 640.0});
  ASSERT_FALSE(left.empty());
  EXPECT_GE(iou(left, made.alphas[0]), 0.9);
  EXPECT_LT(iou(left, made.alphas[1]), 0.05);
  cv::Mat right = tv::analyses::objectAt(made.image, tv::Point{(640 + 120) / 960.0, 230 / 640.0});
  ASSERT_FALSE(right.empty());
  EXPECT_GE(iou(right, made.alphas[1]), 0.9);

  auto found = tv::analyses::salientObjects(made.image, cv::Mat());
  ASSERT_TRUE(found);
  ASSERT_EQ(found->softMasks.size(), found->allInstances.size());
  // The devices are among the regions, each an instance of its own.
  for (const cv::Mat& alpha : made.alphas) {
    double best = 0;
    for (const cv::Mat& soft : found->softMasks) best = std::max(best, iou(soft, alpha));
    EXPECT_GE(best, 0.85);
  }
}

// A small textured square near the picture's left border, a plain pillar beside it: the
// pillar stands out more, yet the square under the point is the one cut (0.67 now; a look
// moved inside the picture took in the pillar and found nothing there).
TEST(SalientObjects, ASmallThingBesideAPlainPillarIsCutUnderThePoint) {
  const cv::Mat backdrop = photo("building.jpg"), texture = photo("graf3.png");
  ASSERT_FALSE(backdrop.empty() || texture.empty()) << "building.jpg or graf3.png is missing";
  cv::Mat picture, patch;
  cv::resize(backdrop, picture, cv::Size(640, 360), 0, 0, cv::INTER_AREA);
  const cv::Rect part(texture.cols * 3 / 10, texture.rows * 3 / 10, texture.cols * 3 / 10,
                      texture.rows * 4 / 10);
  cv::resize(texture(part), patch, cv::Size(48, 48), 0, 0, cv::INTER_AREA);
  const cv::Rect square(8, 174, 48, 48);
  patch.copyTo(picture(square));
  cv::rectangle(picture, cv::Point(126, 0), cv::Point(222, 360), cv::Scalar(150, 160, 170),
                cv::FILLED);
  cv::Mat truth(picture.size(), CV_8U, cv::Scalar(0));
  truth(square).setTo(255);
  const cv::Mat cut = tv::analyses::objectAt(picture, tv::Point{32 / 640.0, 198 / 360.0});
  ASSERT_FALSE(cut.empty());
  EXPECT_GE(iou(cut, truth), 0.6);
}

TEST(SalientObjects, NothingStandsOutOfATexture) {
  for (const char* name : {"gravel.png", "brick.png", "grass.png"}) {
    cv::Mat texture = photo(name);
    ASSERT_FALSE(texture.empty()) << name;
    cv::Mat bgra;
    cv::cvtColor(texture, bgra, texture.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
    auto found = tv::analyses::salientObjects(bgra, cv::Mat());
    ASSERT_TRUE(found) << name;
    EXPECT_TRUE(found->allInstances.empty()) << name;
    EXPECT_TRUE(tv::analyses::objectAt(bgra, tv::Point{0.5, 0.5}).empty()) << name;
  }
}

TEST(SalientObjects, AnEmptyPictureHasNone) {
  EXPECT_FALSE(tv::analyses::salientObjects(cv::Mat(), cv::Mat()).has_value());
  EXPECT_TRUE(tv::analyses::objectAt(cv::Mat(), tv::Point{0.5, 0.5}).empty());
}

}  // namespace
