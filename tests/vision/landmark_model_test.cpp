// The landmark predictor's raw form, which the build converts from dlib's file: it reads back
// into a predictor that places every point where dlib's own file does, and a damaged copy is
// refused (the analysis then falls back to dlib's file) rather than read as numbers.
#include "vision/landmark_model.h"
#include "vision/photos.h"

#include <gtest/gtest.h>

#include <dlib/opencv/cv_image.h>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tv {
namespace {

namespace fs = std::filesystem;

const std::string kDlibFile = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
const std::string kRawFile =
    std::string(TARNEL_GENERATED_MODEL_DIR) + "/" + landmarkmodel::kRawName;

TEST(LandmarkModel, TheRawFormPredictsWhatDlibsFileDoes) {
  if (!fs::exists(kDlibFile)) GTEST_FAIL() << "libdlib-data is not installed";
  if (!fs::exists(kRawFile)) GTEST_FAIL() << kRawFile << " was not made by the build";
  auto raw = landmarkmodel::readRaw(kRawFile);
  ASSERT_TRUE(raw.has_value());
  dlib::shape_predictor original = landmarkmodel::readDlib(kDlibFile);
  ASSERT_EQ(raw->num_parts(), 68u);
  ASSERT_EQ(raw->num_features(), original.num_features());

  auto photos = tvtest::annotatedPhotos("training_with_face_landmarks.xml");
  auto more = tvtest::annotatedPhotos("testing_with_face_landmarks.xml");
  photos.insert(photos.end(), more.begin(), more.end());
  if (photos.empty()) GTEST_FAIL() << "dlib's example faces are not installed (libdlib19.1)";
  int faces = 0;
  for (const auto& photo : photos) {
    cv::Mat grey;
    cv::cvtColor(tvtest::bgraPhoto(photo.path), grey, cv::COLOR_BGRA2GRAY);
    dlib::cv_image<unsigned char> view(grey);
    for (const auto& face : photo.faces) {
      dlib::rectangle box(long(face.box.x), long(face.box.y), long(face.box.x + face.box.width),
                          long(face.box.y + face.box.height));
      dlib::full_object_detection ours = (*raw)(view, box), theirs = original(view, box);
      ASSERT_EQ(ours.num_parts(), theirs.num_parts());
      for (unsigned long k = 0; k < ours.num_parts(); ++k)
        EXPECT_EQ(ours.part(k), theirs.part(k)) << photo.path << " point " << k;
      ++faces;
    }
  }
  EXPECT_EQ(faces, 43);
}

// The predictor as the analysis holds it, read from either file, places every point of dlib's
// example faces, and of boxes over noise reaching past the picture, exactly where dlib does.
TEST(LandmarkModel, TheBlockPredictorPlacesDlibsPoints) {
  if (!fs::exists(kDlibFile)) GTEST_FAIL() << "libdlib-data is not installed";
  if (!fs::exists(kRawFile)) GTEST_FAIL() << kRawFile << " was not made by the build";
  auto fromRaw = landmarkmodel::Predictor::fromRaw(kRawFile);
  ASSERT_TRUE(fromRaw.has_value());
  const landmarkmodel::Predictor fromDlib = landmarkmodel::Predictor::fromDlib(kDlibFile);
  const dlib::shape_predictor original = landmarkmodel::readDlib(kDlibFile);
  ASSERT_EQ(fromRaw->parts(), 68u);
  ASSERT_EQ(fromDlib.parts(), 68u);

  auto expectSame = [&](const dlib::cv_image<unsigned char>& view, const dlib::rectangle& box,
                        const std::string& where) {
    const dlib::full_object_detection theirs = original(view, box);
    const std::vector<const landmarkmodel::Predictor*> both{&*fromRaw, &fromDlib};
    for (const landmarkmodel::Predictor* ours : both) {
      const dlib::full_object_detection mine = (*ours)(view, box);
      ASSERT_EQ(mine.num_parts(), theirs.num_parts());
      ASSERT_EQ(mine.get_rect(), theirs.get_rect());
      for (unsigned long k = 0; k < mine.num_parts(); ++k)
        ASSERT_EQ(mine.part(k), theirs.part(k)) << where << " point " << k;
    }
  };
  auto photos = tvtest::annotatedPhotos("training_with_face_landmarks.xml");
  if (photos.empty()) GTEST_FAIL() << "dlib's example faces are not installed (libdlib19.1)";
  int faces = 0;
  for (const auto& photo : photos) {
    cv::Mat grey;
    cv::cvtColor(tvtest::bgraPhoto(photo.path), grey, cv::COLOR_BGRA2GRAY);
    dlib::cv_image<unsigned char> view(grey);
    for (const auto& face : photo.faces) {
      expectSame(view,
                 dlib::rectangle(long(face.box.x), long(face.box.y),
                                 long(face.box.x + face.box.width),
                                 long(face.box.y + face.box.height)),
                 photo.path);
      ++faces;
    }
  }
  EXPECT_GT(faces, 0);
  cv::Mat noise(240, 320, CV_8U);
  cv::randu(noise, 0, 256);
  cv::resize(noise, noise, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
  dlib::cv_image<unsigned char> view(noise);
  for (int k = 0; k < 30; ++k) {
    const long side = 30 + 13 * k, x = (41 * k) % 600 - 40, y = (29 * k) % 440 - 40;
    expectSame(view, dlib::rectangle(x, y, x + side - 1, y + side - 1),
               "noise box " + std::to_string(k));
  }
}

TEST(LandmarkModel, ADamagedRawFormIsRefused) {
  if (!fs::exists(kRawFile)) GTEST_FAIL() << kRawFile << " was not made by the build";
  const fs::path dir = fs::temp_directory_path() / "tarnel-landmark-model-test";
  fs::create_directories(dir);
  EXPECT_FALSE(landmarkmodel::readRaw((dir / "missing.raw").string()).has_value());

  std::ifstream in(kRawFile, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1000u);
  auto write = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << content;
    return (dir / name).string();
  };
  EXPECT_FALSE(landmarkmodel::readRaw(write("short.raw", bytes.substr(0, bytes.size() - 4))));
  EXPECT_FALSE(landmarkmodel::readRaw(write("text.raw", "not a model")));
  std::string wrongMagic = bytes;
  wrongMagic[0] = 'X';
  EXPECT_FALSE(landmarkmodel::readRaw(write("magic.raw", wrongMagic)));
  // A split comparing a pixel the cascade does not have: the first split follows the header
  // (28 bytes), the initial shape (136 floats) and the first cascade's pixels (2 floats each).
  std::string badSplit = bytes;
  std::uint32_t features;
  std::memcpy(&features, bytes.data() + 24, 4);
  const size_t firstSplit = 28 + 4 * 136 + 8 * size_t(features);
  ASSERT_LT(firstSplit + 4, bytes.size());
  const std::uint32_t absurd = 0xfffffff0u;
  std::memcpy(&badSplit[firstSplit], &absurd, 4);
  EXPECT_FALSE(landmarkmodel::readRaw(write("split.raw", badSplit)));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tv
