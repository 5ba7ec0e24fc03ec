// Face rectangles and landmarks on real photos: recall against dlib's annotated example faces,
// landmark error against their 68-point annotations, no faces where there are none, and small
// faces in large frames. Every rectangle goes through the lower-left convention, so a flipped
// axis shows up as lost faces.
#include "vision/faces.h"
#include "vision/analyses.h"
#include "vision/blazeface.h"
#include "vision/models.h"
#include "vision/photos.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <future>
#include <iostream>
#include <numeric>

namespace tv {
namespace {

using tvtest::annotatedPhotos;
using tvtest::bgraPhoto;
using tvtest::iou;
using tvtest::topLeftPixels;

const char* const kHopper = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";

#define REQUIRE_DETECTOR()                      \
  if (findModel(blazeface::kModelFile).empty()) \
    GTEST_FAIL() << "the BlazeFace model is not installed (scripts/models)";

#define REQUIRE_PREDICTOR()                                                       \
  REQUIRE_DETECTOR();                                                             \
  if (findModel("/usr/share/dlib/shape_predictor_68_face_landmarks.dat").empty()) \
    GTEST_FAIL() << "libdlib-data is not installed";

std::vector<tvtest::AnnotatedPhoto> allAnnotated() {
  auto photos = annotatedPhotos("training_with_face_landmarks.xml");
  auto more = annotatedPhotos("testing_with_face_landmarks.xml");
  photos.insert(photos.end(), more.begin(), more.end());
  return photos;
}

// The index of the detection best overlapping `box` (pixels, top-left), or -1 under `least`.
int bestMatch(const std::vector<FaceObservation>& faces, const cv::Rect2d& box, cv::Size size,
              double least) {
  int best = -1;
  double bestOverlap = least;
  for (size_t k = 0; k < faces.size(); ++k) {
    double overlap = iou(topLeftPixels(faces[k].boundingBox, size), box);
    if (overlap > bestOverlap) bestOverlap = overlap, best = int(k);
  }
  return best;
}

// How the detections of one photo meet its annotated faces (moved by `offset`, pixels).
struct Matched {
  int found = 0;                  // annotated faces with a detection over 0.3 overlap
  double overlapSum = 0;          // their overlaps
  std::vector<size_t> unmatched;  // detections that match no annotated face
};

Matched matchAnnotated(const std::vector<FaceObservation>& faces,
                       const std::vector<tvtest::AnnotatedFace>& annotated, cv::Point2d offset,
                       cv::Size size) {
  Matched matched;
  std::vector<bool> used(faces.size(), false);
  for (const auto& face : annotated) {
    int k = bestMatch(faces, face.box + offset, size, 0.3);
    if (k < 0) continue;
    ++matched.found;
    used[k] = true;
    matched.overlapSum += iou(topLeftPixels(faces[k].boundingBox, size), face.box + offset);
  }
  for (size_t k = 0; k < faces.size(); ++k)
    if (!used[k]) matched.unmatched.push_back(k);
  return matched;
}

// Hopper's face crop (with some margin) and where the face lies in it.
struct FaceCrop {
  cv::Mat pixels;
  cv::Rect2d face;
};

FaceCrop hopperCrop() {
  cv::Mat photo = bgraPhoto(kHopper);
  if (photo.empty()) return {};
  auto found = analyses::faceRectangles(photo);
  if (found.size() != 1) return {};
  cv::Rect2d face = topLeftPixels(found[0].boundingBox, photo.size());
  cv::Rect crop(int(face.x - 0.3 * face.width), int(face.y - 0.3 * face.height),
                int(1.6 * face.width), int(1.6 * face.height));
  crop &= cv::Rect(0, 0, photo.cols, photo.rows);
  return {photo(crop).clone(), face - cv::Point2d(crop.x, crop.y)};
}

// A picture without people: OpenCV's building photo, scaled to the size asked for.
cv::Mat facelessBackground(cv::Size size) {
  cv::Mat building = bgraPhoto("/usr/share/doc/opencv-doc/examples/data/building.jpg");
  if (building.empty()) return building;
  cv::Mat scaled;
  cv::resize(building, scaled, size, 0, 0, cv::INTER_LINEAR);
  return scaled;
}

TEST(FaceRectangles, FindsTheAnnotatedFacesOfDlibsExamples) {
  REQUIRE_DETECTOR();
  auto photos = allAnnotated();
  if (photos.empty()) GTEST_FAIL() << "dlib's example faces are not installed (libdlib19.1)";
  int annotated = 0, found = 0, extra = 0;
  double overlapSum = 0;
  for (const auto& photo : photos) {
    cv::Mat image = bgraPhoto(photo.path);
    ASSERT_FALSE(image.empty()) << photo.path;
    auto faces = analyses::faceRectangles(image);
    Matched matched = matchAnnotated(faces, photo.faces, {0, 0}, image.size());
    annotated += int(photo.faces.size());
    found += matched.found;
    overlapSum += matched.overlapSum;
    extra += int(matched.unmatched.size());
  }
  ASSERT_EQ(annotated, 43);
  double recall = double(found) / annotated;
  std::cout << "face recall " << found << "/" << annotated << " = " << recall << ", mean IoU "
            << overlapSum / found << ", unmatched detections " << extra << "\n";
  EXPECT_GE(recall, 0.9);
  EXPECT_LE(extra, 1);
  EXPECT_GT(overlapSum / found, 0.6);
}

// The same photos set in the middle of a plain backdrop three times their size (a wall, the sky,
// the bars of a letterboxed frame): the people are then a small patch of the whole, which the
// coarse view of the pyramid must not take for one large face (as the largest face, such a box
// would decide the skin command's key).
TEST(FaceRectangles, FindsTheSameFacesInAPictureThreeTimesLarger) {
  REQUIRE_DETECTOR();
  auto photos = allAnnotated();
  if (photos.empty()) GTEST_FAIL() << "dlib's example faces are not installed (libdlib19.1)";
  int annotated = 0, found = 0, extra = 0;
  for (const auto& photo : photos) {
    cv::Mat image = bgraPhoto(photo.path);
    ASSERT_FALSE(image.empty()) << photo.path;
    cv::Mat canvas(image.size() * 3, CV_8UC4, cv::Scalar(90, 110, 100, 255));
    cv::Point offset(image.cols, image.rows);
    image.copyTo(canvas(cv::Rect(offset, image.size())));
    auto faces = analyses::faceRectangles(canvas);
    Matched matched = matchAnnotated(faces, photo.faces, offset, canvas.size());
    annotated += int(photo.faces.size());
    found += matched.found;
    for (size_t k : matched.unmatched) {
      ++extra;
      ADD_FAILURE() << photo.path << ": a face where there is none, "
                    << topLeftPixels(faces[k].boundingBox, canvas.size());
    }
  }
  ASSERT_EQ(annotated, 43);
  std::cout << "in a picture three times larger: " << found << "/" << annotated << " faces, "
            << extra << " false\n";
  EXPECT_GE(found, 40);
}

TEST(FaceRectangles, FindsNoFaceInPicturesWithoutPeople) {
  REQUIRE_DETECTOR();
  const char* const pictures[] = {
      "/usr/lib/python3/dist-packages/skimage/data/coffee.png",
      "/usr/lib/python3/dist-packages/skimage/data/rocket.jpg",
      "/usr/lib/python3/dist-packages/skimage/data/grass.png",
      "/usr/lib/python3/dist-packages/skimage/data/gravel.png",
      "/usr/lib/python3/dist-packages/skimage/data/brick.png",
      "/usr/share/doc/opencv-doc/examples/data/fruits.jpg",
      "/usr/share/doc/opencv-doc/examples/data/building.jpg",
      "/usr/share/doc/opencv-doc/examples/data/home.jpg",
      "/usr/share/doc/opencv-doc/examples/data/graf1.png",
  };
  int checked = 0;
  for (const char* path : pictures) {
    cv::Mat image = bgraPhoto(path);
    if (image.empty()) continue;
    ++checked;
    EXPECT_TRUE(analyses::faceRectangles(image).empty()) << path;
  }
  // Synthetic texture, flat grey and black: nothing either.
  cv::Mat noise(480, 640, CV_8UC4);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2);
  EXPECT_TRUE(analyses::faceRectangles(noise).empty());
  EXPECT_TRUE(
      analyses::faceRectangles(cv::Mat(480, 640, CV_8UC4, cv::Scalar(128, 128, 128, 255))).empty());
  EXPECT_TRUE(
      analyses::faceRectangles(cv::Mat(1080, 1920, CV_8UC4, cv::Scalar(0, 0, 0, 255))).empty());
  if (checked == 0) GTEST_FAIL() << "no sample pictures installed (python3-skimage, opencv-doc)";
}

TEST(FaceRectangles, RectanglesHaveTheirOriginAtTheLowerLeft) {
  REQUIRE_DETECTOR();
  FaceCrop crop = hopperCrop();
  cv::Mat canvas = facelessBackground({800, 600});
  if (crop.pixels.empty() || canvas.empty()) GTEST_FAIL() << "sample photos not installed";
  cv::Mat face;
  cv::resize(crop.pixels, face, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
  // Near the top left of the picture: small x, and y (from the bottom) near the top.
  face.copyTo(canvas(cv::Rect(40, 20, face.cols, face.rows)));
  auto faces = analyses::faceRectangles(canvas);
  ASSERT_EQ(faces.size(), 1u);
  const cv::Rect2d& r = faces[0].boundingBox;
  cv::Rect2d expected((40 + crop.face.x * 0.5) / 800,
                      1 - (20 + (crop.face.y + crop.face.height) * 0.5) / 600,
                      crop.face.width * 0.5 / 800, crop.face.height * 0.5 / 600);
  EXPECT_NEAR(r.x, expected.x, 0.01);
  EXPECT_NEAR(r.y, expected.y, 0.01);
  EXPECT_NEAR(r.width, expected.width, 0.01);
  EXPECT_NEAR(r.height, expected.height, 0.01);
  EXPECT_GT(r.y, 0.6);
}

TEST(FaceRectangles, FindsA60PixelFaceAnywhereInA1080pFrame) {
  REQUIRE_DETECTOR();
  FaceCrop crop = hopperCrop();
  cv::Mat background = facelessBackground({1920, 1080});
  if (crop.pixels.empty() || background.empty()) GTEST_FAIL() << "sample photos not installed";
  double scale = 60 / crop.face.width;
  cv::Mat small;
  cv::resize(crop.pixels, small, cv::Size(), scale, scale, cv::INTER_AREA);
  // Centres across the frame, on and between the seams of the finer tiles.
  const cv::Point places[] = {{200, 150}, {960, 540}, {1700, 950},
                              {470, 520}, {640, 380}, {1290, 700}};
  for (cv::Point centre : places) {
    cv::Mat frame = background.clone();
    cv::Rect where(centre.x - small.cols / 2, centre.y - small.rows / 2, small.cols, small.rows);
    small.copyTo(frame(where));
    cv::Rect2d truth(where.x + crop.face.x * scale, where.y + crop.face.y * scale,
                     crop.face.width * scale, crop.face.height * scale);
    auto faces = analyses::faceRectangles(frame);
    ASSERT_EQ(faces.size(), 1u) << "face at " << centre;
    EXPECT_GT(iou(topLeftPixels(faces[0].boundingBox, frame.size()), truth), 0.5)
        << "face at " << centre;
  }
}

TEST(FaceRectangles, AFaceFillingTheFrameIsFoundOnce) {
  REQUIRE_DETECTOR();
  FaceCrop crop = hopperCrop();
  if (crop.pixels.empty()) GTEST_FAIL() << "grace_hopper.jpg not installed";
  cv::Mat frame;
  double scale = 1080.0 / crop.pixels.rows * 0.9;
  cv::resize(crop.pixels, frame, cv::Size(), scale, scale, cv::INTER_CUBIC);
  cv::Mat wide = facelessBackground({1920, 1080});
  if (wide.empty()) GTEST_FAIL() << "building.jpg not installed";
  frame.copyTo(wide(cv::Rect(500, 50, frame.cols, frame.rows)));
  auto faces = analyses::faceRectangles(wide);
  ASSERT_EQ(faces.size(), 1u);
  cv::Rect2d truth(500 + crop.face.x * scale, 50 + crop.face.y * scale, crop.face.width * scale,
                   crop.face.height * scale);
  EXPECT_GT(iou(topLeftPixels(faces[0].boundingBox, wide.size()), truth), 0.5);
}

TEST(FaceRectangles, OddInputsGiveNothing) {
  REQUIRE_DETECTOR();
  EXPECT_TRUE(analyses::faceRectangles(cv::Mat()).empty());
  EXPECT_TRUE(analyses::faceRectangles(cv::Mat(2, 2, CV_8UC4, cv::Scalar::all(200))).empty());
  EXPECT_TRUE(analyses::faceRectangles(cv::Mat(1, 4000, CV_8UC4, cv::Scalar::all(90))).empty());
  EXPECT_TRUE(analyses::faceRectangles(cv::Mat(64, 64, CV_32FC4, cv::Scalar::all(0.5))).empty());
  EXPECT_TRUE(analyses::faceLandmarks(cv::Mat()).empty());
}

// A video's frames in time order: a 60-pixel face drifting through a still scene, then a second
// one appearing at once elsewhere. Each answer finds the faces a fresh detection finds, where
// they are (whether the tile ran or carried its face).
TEST(FaceDetector, FollowsAVideoLikeAFreshDetectionOfEachFrame) {
  REQUIRE_DETECTOR();
  FaceCrop crop = hopperCrop();
  cv::Mat background = facelessBackground({1920, 1080});
  if (crop.pixels.empty() || background.empty()) GTEST_FAIL() << "sample photos not installed";
  double scale = 60 / crop.face.width;
  cv::Mat small;
  cv::resize(crop.pixels, small, cv::Size(), scale, scale, cv::INTER_AREA);
  const cv::Rect2d face(crop.face.x * scale, crop.face.y * scale, crop.face.width * scale,
                        crop.face.height * scale);
  blazeface::Detector detector;
  constexpr int kAppears = 5;
  int secondFound = -1;
  for (int k = 0; k < 20; ++k) {
    cv::Mat frame = background.clone();
    const cv::Point first(600 + 3 * k, 400 + k), second(1500, 800);
    small.copyTo(frame(cv::Rect(first, small.size())));
    if (k >= kAppears) small.copyTo(frame(cv::Rect(second, small.size())));
    auto fresh = blazeface::detect(frame);
    auto followed = detector.detect(frame);
    ASSERT_EQ(fresh.size(), size_t(k >= kAppears ? 2 : 1)) << "frame " << k;
    if (secondFound < 0 && followed.size() == 2) secondFound = k;
    ASSERT_EQ(followed.size(), secondFound >= 0 ? 2u : 1u) << "frame " << k;
    for (size_t i = 0; i < followed.size(); ++i) {
      const cv::Rect2d truth = face + cv::Point2d(i == 0 ? first : second);
      auto nearest = [&](const std::vector<blazeface::Face>& faces) {
        cv::Rect2d best;
        for (const auto& f : faces)
          if (iou(f.box, truth) > iou(best, truth)) best = f.box;
        return best;
      };
      const cv::Rect2d ours = nearest(followed), theirs = nearest(fresh);
      EXPECT_GT(iou(ours, truth), 0.75) << "frame " << k;
      EXPECT_GT(iou(ours, truth), iou(theirs, truth) - 0.15) << "frame " << k;
    }
  }
  EXPECT_EQ(secondFound, kAppears);
}

// Between the detector's runs a face is carried by how its pixels move: a face that walks
// towards the camera (growing 2 % a picture) stays where a fresh detection puts it.
TEST(FaceDetector, CarriesAGrowingFaceWhereAFreshDetectionFindsIt) {
  REQUIRE_DETECTOR();
  FaceCrop crop = hopperCrop();
  cv::Mat background = facelessBackground({1920, 1080});
  if (crop.pixels.empty() || background.empty()) GTEST_FAIL() << "sample photos not installed";
  blazeface::Detector detector;
  for (int k = 0; k < 24; ++k) {
    double scale = 70 * std::pow(1.02, k) / crop.face.width;
    cv::Mat face, frame = background.clone();
    cv::resize(crop.pixels, face, cv::Size(), scale, scale, cv::INTER_AREA);
    face.copyTo(frame(
        cv::Rect(500 + 5 * k - face.cols / 2, 500 - 2 * k - face.rows / 2, face.cols, face.rows)));
    const cv::Rect2d truth(500 + 5 * k - face.cols / 2 + crop.face.x * scale,
                           500 - 2 * k - face.rows / 2 + crop.face.y * scale,
                           crop.face.width * scale, crop.face.height * scale);
    auto fresh = blazeface::detect(frame);
    auto followed = detector.detect(frame);
    ASSERT_EQ(fresh.size(), 1u) << "frame " << k;
    ASSERT_EQ(followed.size(), 1u) << "frame " << k;
    EXPECT_GT(iou(followed[0].box, truth), 0.75) << "frame " << k;
    EXPECT_GT(iou(followed[0].box, truth), iou(fresh[0].box, truth) - 0.15) << "frame " << k;
  }
}

// A face that leaves (the wall behind it shows again) is not carried on as a ghost.
TEST(FaceDetector, AFaceThatLeavesIsGoneFromTheNextAnswer) {
  REQUIRE_DETECTOR();
  FaceCrop crop = hopperCrop();
  cv::Mat background = facelessBackground({1920, 1080});
  if (crop.pixels.empty() || background.empty()) GTEST_FAIL() << "sample photos not installed";
  double scale = 80 / crop.face.width;
  cv::Mat small;
  cv::resize(crop.pixels, small, cv::Size(), scale, scale, cv::INTER_AREA);
  for (int leaves = 1; leaves <= 5; ++leaves) {
    blazeface::Detector detector;
    for (int k = 0; k <= leaves; ++k) {
      cv::Mat frame = background.clone();
      if (k < leaves) small.copyTo(frame(cv::Rect(900 + 2 * k, 300, small.cols, small.rows)));
      EXPECT_EQ(detector.detect(frame).size(), k < leaves ? 1u : 0u)
          << "face gone on frame " << leaves << ", frame " << k;
    }
  }
}

// While the camera pans, a small face that comes into view is found within a second.
TEST(FaceDetector, FindsAFaceComingIntoViewWhileTheCameraPans) {
  REQUIRE_DETECTOR();
  FaceCrop crop = hopperCrop();
  cv::Mat scene = facelessBackground({2400, 1200});
  if (crop.pixels.empty() || scene.empty()) GTEST_FAIL() << "sample photos not installed";
  double scale = 60 / crop.face.width;
  cv::Mat small;
  cv::resize(crop.pixels, small, cv::Size(), scale, scale, cv::INTER_AREA);
  blazeface::Detector detector;
  int firstSeen = -1;
  for (int k = 0; k < 30 && firstSeen < 0; ++k) {
    cv::Mat frame = scene(cv::Rect(4 * k, 60, 1920, 1080)).clone();
    if (k >= 4) small.copyTo(frame(cv::Rect(300, 700, small.cols, small.rows)));
    if (!detector.detect(frame).empty()) firstSeen = k;
  }
  ASSERT_GE(firstSeen, 4);
  EXPECT_LE(firstSeen, 4 + 20);
}

// Group pictures made at test time: dlib's annotated faces cut out of their photos, shrunk so
// that the annotated box is 24 to 40 pixels wide, and set in rows over a real backdrop (no
// package ships a group photograph with its faces marked); the truth is where they were put.
// Recall counts the faces the detector finds when the same cut is 64 pixels wide (a few of
// dlib's faces, turned away or half hidden, are missed at any size); no face may be found on
// the backdrop between them.
struct FaceCut {
  cv::Mat pixels;
  cv::Rect2d face;  // in the cut's pixels
};

struct Group {
  cv::Mat picture;
  std::vector<tvtest::AnnotatedFace> faces;
  std::vector<size_t> cutOf;  // the cut each face was made from
  std::vector<cv::Rect> areas;
};

std::vector<FaceCut> faceCuts() {
  std::vector<FaceCut> cuts;
  for (const auto& photo : allAnnotated()) {
    cv::Mat image = bgraPhoto(photo.path);
    if (image.empty()) continue;
    for (const auto& face : photo.faces) {
      // The face with half its size around it, so that the shrunk face keeps its outline.
      cv::Rect around(int(face.box.x - 0.5 * face.box.width),
                      int(face.box.y - 0.5 * face.box.height), int(2 * face.box.width),
                      int(2 * face.box.height));
      if ((around & cv::Rect(0, 0, image.cols, image.rows)) != around) continue;
      cuts.push_back({image(around).clone(), face.box - cv::Point2d(around.x, around.y)});
    }
  }
  return cuts;
}

// Up to `count` cuts from `first` on, faces `width` pixels wide, in rows three face widths apart.
Group groupPicture(const std::vector<FaceCut>& cuts, cv::Size size, double width, size_t first,
                   size_t count) {
  Group group{facelessBackground(size), {}, {}, {}};
  const double pitch = 4 * width;
  size_t next = first;
  for (double y = 2 * width; y + 2 * width < size.height; y += pitch) {
    for (double x = 2 * width; x + 2 * width < size.width; x += pitch) {
      if (group.faces.size() == count) return group;
      const FaceCut& cut = cuts[next % cuts.size()];
      double scale = width / cut.face.width;
      cv::Mat small;
      cv::resize(cut.pixels, small, cv::Size(), scale, scale, cv::INTER_AREA);
      cv::Rect where(int(x), int(y), small.cols, small.rows);
      if ((where & cv::Rect(0, 0, size.width, size.height)) != where) continue;
      small.copyTo(group.picture(where));
      group.faces.push_back({cv::Rect2d(where.x + cut.face.x * scale, where.y + cut.face.y * scale,
                                        cut.face.width * scale, cut.face.height * scale),
                             {}});
      group.cutOf.push_back(next % cuts.size());
      group.areas.push_back(where);
      ++next;
    }
  }
  return group;
}

// What the analysis answers for a picture on its own (one picture per run): a fresh detection,
// not one that follows the previous picture of the same size as a video's next frame.
std::vector<FaceObservation> facesOfOnePicture(const cv::Mat& picture) {
  std::vector<FaceObservation> faces;
  for (const auto& face : blazeface::detect(picture))
    faces.push_back({analyses::normalisedFaceBox(face.box, picture.size()), std::nullopt});
  return faces;
}

TEST(FaceRectangles, FindsFacesFrom24PixelsInGroupPictures) {
  REQUIRE_DETECTOR();
  std::vector<FaceCut> cuts = faceCuts();
  ASSERT_GE(cuts.size(), 30u);
  ASSERT_FALSE(facelessBackground({64, 64}).empty()) << "building.jpg not installed";
  // Which cuts the detector sees at 64 pixels.
  std::vector<bool> visible(cuts.size(), false);
  for (size_t first = 0; first < cuts.size(); first += 20) {
    Group group = groupPicture(cuts, {1920, 1080}, 64, first, 20);
    auto faces = facesOfOnePicture(group.picture);
    for (size_t q = 0; q < group.faces.size(); ++q)
      visible[group.cutOf[q]] =
          bestMatch(faces, group.faces[q].box, group.picture.size(), 0.3) >= 0;
  }
  const int seen = int(std::count(visible.begin(), visible.end(), true));
  std::cout << "faces seen at 64 pixels: " << seen << "/" << cuts.size() << "\n";
  EXPECT_GE(seen, int(0.85 * cuts.size()));

  int placed = 0, found = 0, elsewhere = 0;
  size_t first = 0;
  for (cv::Size size : {cv::Size(1920, 1080), cv::Size(1280, 926)}) {
    for (double width : {24.0, 28.0, 32.0, 40.0}) {
      Group group = groupPicture(cuts, size, width, first, 24);
      first += group.faces.size();
      auto faces = facesOfOnePicture(group.picture);
      int here = 0, count = 0;
      for (size_t q = 0; q < group.faces.size(); ++q) {
        if (!visible[group.cutOf[q]]) continue;
        ++count;
        if (bestMatch(faces, group.faces[q].box, group.picture.size(), 0.3) >= 0) ++here;
      }
      for (const auto& face : faces) {
        cv::Rect2d box = topLeftPixels(face.boundingBox, group.picture.size());
        bool onCut = false;
        for (const cv::Rect& area : group.areas)
          onCut = onCut || (box & cv::Rect2d(area)).area() > 0.5 * box.area();
        if (!onCut) {
          ++elsewhere;
          ADD_FAILURE() << size << ", faces " << width << " px: a face on the backdrop, " << box;
        }
      }
      std::cout << size << ", faces " << width << " px: " << here << "/" << count << "\n";
      placed += count;
      found += here;
    }
  }
  double recall = double(found) / placed;
  std::cout << "group pictures, faces of 24-40 px: " << found << "/" << placed << " = " << recall
            << ", " << elsewhere << " on the backdrop\n";
  EXPECT_GE(recall, 0.9);
}

// In a video the fine level runs only where the levels above hint at a small face: the small
// faces of the first picture are found as in a fresh detection, and one that comes later, where
// nothing was, is hinted at once it changes the picture and found soon after.
TEST(FaceDetector, FindsSmallFacesInAVideoWhereTheyAreHintedAt) {
  REQUIRE_DETECTOR();
  std::vector<FaceCut> cuts = faceCuts();
  ASSERT_GE(cuts.size(), 30u);
  cv::Mat backdrop = facelessBackground({1920, 1080});
  ASSERT_FALSE(backdrop.empty()) << "building.jpg not installed";
  Group group = groupPicture(cuts, {1920, 1080}, 32, 0, 24);
  ASSERT_EQ(group.faces.size(), 24u);
  auto found = [&](const std::vector<blazeface::Face>& faces, const cv::Rect2d& truth) {
    std::vector<FaceObservation> observed;
    for (const auto& face : faces)
      observed.push_back({analyses::normalisedFaceBox(face.box, backdrop.size()), std::nullopt});
    return bestMatch(observed, truth, backdrop.size(), 0.3) >= 0;
  };
  // The newcomer is the last face of the group.
  const size_t last = group.faces.size() - 1;
  cv::Mat before = group.picture.clone();
  backdrop(group.areas[last]).copyTo(before(group.areas[last]));
  ASSERT_FALSE(found(blazeface::detect(before), group.faces[last].box));
  ASSERT_TRUE(found(blazeface::detect(group.picture), group.faces[last].box));

  blazeface::Detector detector;
  auto first = detector.detect(before);
  auto fresh = blazeface::detect(before);
  int inFirst = 0, inFresh = 0;
  for (size_t q = 0; q < last; ++q) {
    inFirst += found(first, group.faces[q].box);
    inFresh += found(fresh, group.faces[q].box);
  }
  EXPECT_EQ(inFirst, inFresh);
  EXPECT_GE(inFirst, int(0.9 * last));
  for (int k = 1; k < 5; ++k) detector.detect(before);
  int seenAfter = -1;
  for (int k = 0; k < 90 && seenAfter < 0; ++k)
    if (found(detector.detect(group.picture), group.faces[last].box)) seenAfter = k;
  EXPECT_GE(seenAfter, 0);
  EXPECT_LE(seenAfter, 60);
}

// A caller with no use for faces under 48 pixels (skin) spares the fine level: the small faces go,
// the answers for larger ones stay exactly what they were.
TEST(FaceRectangles, AFloorOnTheFaceSizeLeavesOutOnlyTheSearchBelowIt) {
  REQUIRE_DETECTOR();
  std::vector<FaceCut> cuts = faceCuts();
  ASSERT_GE(cuts.size(), 30u);
  ASSERT_FALSE(facelessBackground({64, 64}).empty()) << "building.jpg not installed";
  Group group = groupPicture(cuts, {1920, 1080}, 28, 0, 24);
  auto countFound = [&](const std::vector<blazeface::Face>& found) {
    std::vector<FaceObservation> faces;
    for (const auto& face : found)
      faces.push_back({analyses::normalisedFaceBox(face.box, group.picture.size()), std::nullopt});
    int count = 0;
    for (const auto& face : group.faces)
      count += bestMatch(faces, face.box, group.picture.size(), 0.3) >= 0;
    return count;
  };
  // The levels above the fine one see a few of them, seldom.
  const int all = countFound(blazeface::detect(group.picture));
  EXPECT_GE(all, 18);
  EXPECT_LT(countFound(blazeface::detect(group.picture, 48)), all / 2);

  FaceCrop crop = hopperCrop();
  cv::Mat frame = facelessBackground({1920, 1080});
  ASSERT_FALSE(crop.pixels.empty());
  double scale = 60 / crop.face.width;
  cv::Mat small;
  cv::resize(crop.pixels, small, cv::Size(), scale, scale, cv::INTER_AREA);
  small.copyTo(frame(cv::Rect(900, 500, small.cols, small.rows)));
  auto any = blazeface::detect(frame);
  auto large = blazeface::detect(frame, 48);
  ASSERT_EQ(any.size(), 1u);
  ASSERT_EQ(large.size(), 1u);
  EXPECT_EQ(any[0].box, large[0].box);
  // The detector that follows a video starts afresh when the floor changes.
  blazeface::Detector detector;
  EXPECT_LT(countFound(detector.detect(group.picture, 48)), all / 2);
  EXPECT_EQ(countFound(detector.detect(group.picture)), all);
}

TEST(FacePyramid, AFineLevelOnlyWhereTheFinestTilesAreLarge) {
  // A 500-pixel picture is seen whole at twice the fine level's scale already.
  EXPECT_FALSE(blazeface::fineLevel({500, 375}).has_value());
  EXPECT_FALSE(blazeface::fineLevel({560, 420}).has_value());
  auto vga = blazeface::fineLevel({800, 600});
  ASSERT_TRUE(vga.has_value());
  EXPECT_EQ(vga->columns, 3);
  EXPECT_EQ(vga->rows, 2);
  auto hd = blazeface::fineLevel({1920, 1080});
  ASSERT_TRUE(hd.has_value());
  EXPECT_EQ(hd->side, 384);
  EXPECT_EQ(hd->columns, 7);
  EXPECT_EQ(hd->rows, 4);
  auto group = blazeface::fineLevel({1280, 926});
  ASSERT_TRUE(group.has_value());
  EXPECT_EQ(group->columns, 5);
  EXPECT_EQ(group->rows, 3);
}

TEST(FacePyramid, TilesCoverThePictureWithOverlap) {
  auto single = blazeface::pyramid({500, 375});
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].side, 500);
  auto levels = blazeface::pyramid({1920, 1080});
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].side, 1920);
  EXPECT_EQ(levels[0].columns * levels[0].rows, 1);
  EXPECT_NEAR(levels[1].side, 640, 1e-9);
  EXPECT_EQ(levels[1].columns, 4);
  EXPECT_EQ(levels[1].rows, 2);
  // Even spreading: neighbours overlap by at least a quarter of a tile.
  for (const auto& level : blazeface::pyramid({3840, 2160})) {
    if (level.columns > 1) {
      double step = (3840 - level.side) / (level.columns - 1);
      EXPECT_LE(step, level.side * 0.75 + 1e-9);
    }
    if (level.rows > 1) {
      double step = (2160 - level.side) / (level.rows - 1);
      EXPECT_LE(step, level.side * 0.75 + 1e-9);
    }
  }
  auto uhd = blazeface::pyramid({3840, 2160});
  ASSERT_EQ(uhd.size(), 3u);  // 3840 -> 1568 -> 640: never more than 3 times apart
  EXPECT_NEAR(uhd.back().side, 640, 1e-6);
  EXPECT_LE(uhd[0].side / uhd[1].side, 3 + 1e-9);
}

TEST(FaceLandmarks, MatchDlibsAnnotationsWithinAFewPercentOfTheEyeDistance) {
  REQUIRE_PREDICTOR();
  auto photos = allAnnotated();
  if (photos.empty()) GTEST_FAIL() << "dlib's example faces are not installed (libdlib19.1)";
  std::vector<double> errors;
  for (const auto& photo : photos) {
    cv::Mat image = bgraPhoto(photo.path);
    auto faces = analyses::faceLandmarks(image);
    for (const auto& truth : photo.faces) {
      ASSERT_EQ(truth.parts.size(), 68u);
      int k = bestMatch(faces, truth.box, image.size(), 0.3);
      if (k < 0 || !faces[k].landmarks) continue;
      const FaceLandmarks& marks = *faces[k].landmarks;
      // Back to top-left pixel indices, in the order of the 68-point scheme.
      std::vector<cv::Point2d> ours(68);
      auto put = [&](const LandmarkRegion& region, size_t first) {
        ASSERT_LE(first + region.size(), 68u);
        for (size_t i = 0; i < region.size(); ++i)
          ours[first + i] = {region[i].x - 0.5, image.rows - region[i].y - 0.5};
      };
      put(marks.faceContour, 0);
      put(marks.nose, 27);
      put(marks.rightEye, 36);
      put(marks.leftEye, 42);
      put(marks.outerLips, 48);
      put(marks.innerLips, 60);
      cv::Point2d eye1(0, 0), eye2(0, 0);
      for (int i = 36; i < 42; ++i) eye1 += truth.parts[i] * (1.0 / 6);
      for (int i = 42; i < 48; ++i) eye2 += truth.parts[i] * (1.0 / 6);
      double ocular = cv::norm(eye1 - eye2);
      // Points 17-26 (the brows) have no region; the others are compared.
      double sum = 0;
      int count = 0;
      for (int i = 0; i < 68; ++i) {
        if (i >= 17 && i <= 26) continue;
        sum += cv::norm(ours[i] - truth.parts[i]);
        ++count;
      }
      errors.push_back(sum / count / ocular);
    }
  }
  ASSERT_GE(errors.size(), 38u);
  double mean = std::accumulate(errors.begin(), errors.end(), 0.0) / errors.size();
  std::sort(errors.begin(), errors.end());
  std::cout << "landmark error / inter-ocular distance over " << errors.size() << " faces: mean "
            << mean << ", median " << errors[errors.size() / 2] << ", max " << errors.back()
            << "\n";
  EXPECT_LT(mean, 0.05);
  EXPECT_LT(errors[errors.size() / 2], 0.03);
}

TEST(FaceLandmarks, RegionsAreTheSubjectsOwnInLowerLeftPixels) {
  REQUIRE_PREDICTOR();
  cv::Mat photo = bgraPhoto(kHopper);
  if (photo.empty()) GTEST_FAIL() << "grace_hopper.jpg not installed";
  auto faces = analyses::faceLandmarks(photo);
  ASSERT_EQ(faces.size(), 1u);
  ASSERT_TRUE(faces[0].landmarks.has_value());
  const FaceLandmarks& m = *faces[0].landmarks;
  EXPECT_EQ(m.faceContour.size(), 17u);
  EXPECT_EQ(m.nose.size(), 9u);
  EXPECT_EQ(m.leftEye.size(), 6u);
  EXPECT_EQ(m.rightEye.size(), 6u);
  EXPECT_EQ(m.outerLips.size(), 12u);
  EXPECT_EQ(m.innerLips.size(), 8u);
  auto centre = [](const LandmarkRegion& r) {
    cv::Point2d sum(0, 0);
    for (const auto& p : r) sum += p * (1.0 / r.size());
    return sum;
  };
  // She faces the camera: her left eye is on the picture's right.
  EXPECT_GT(centre(m.leftEye).x, centre(m.rightEye).x + 20);
  // y counts up from the bottom: eyes above the nose tip, the nose above the lips, the chin
  // (contour point 8) lowest.
  EXPECT_GT(centre(m.leftEye).y, centre(m.outerLips).y + 40);
  EXPECT_GT(m.nose.back().y, centre(m.outerLips).y);
  EXPECT_LT(m.faceContour[8].y, centre(m.outerLips).y);
  // Every point lies inside (a little margin around) the face rectangle, in pixels.
  cv::Rect2d box = faces[0].boundingBox;
  cv::Rect2d pixels(box.x * photo.cols, box.y * photo.rows, box.width * photo.cols,
                    box.height * photo.rows);
  cv::Rect2d margin(pixels.x - 0.15 * pixels.width, pixels.y - 0.15 * pixels.height,
                    1.3 * pixels.width, 1.3 * pixels.height);
  for (const auto* region :
       {&m.leftEye, &m.rightEye, &m.nose, &m.outerLips, &m.innerLips, &m.faceContour})
    for (const auto& p : *region) EXPECT_TRUE(margin.contains(p)) << p;
}

// The frames of a video whose landmarks are placed while the next frames are looked at (the
// caller's frame buffer overwritten as soon as each call returns) answer exactly what each
// frame answers when its landmarks are placed before the next one comes, in BGRA and in grey.
TEST(FaceLandmarks, PlacedAheadTheyAreThoseOfEachFrameInTurn) {
  REQUIRE_PREDICTOR();
  FaceCrop crop = hopperCrop();
  cv::Mat background = facelessBackground({1920, 1080});
  cv::Mat grass = bgraPhoto("/usr/lib/python3/dist-packages/skimage/data/grass.png");
  if (crop.pixels.empty() || background.empty() || grass.empty())
    GTEST_FAIL() << "sample photos not installed";
  cv::Mat large, small;
  cv::resize(crop.pixels, large, cv::Size(), 220 / crop.face.width, 220 / crop.face.width,
             cv::INTER_AREA);
  cv::resize(crop.pixels, small, cv::Size(), 90 / crop.face.width, 90 / crop.face.width,
             cv::INTER_AREA);
  auto frameAt = [&](int k, bool grey) {
    cv::Mat frame = background.clone();
    large.copyTo(frame(cv::Rect(cv::Point(500 + 7 * k, 300 + 3 * k), large.size())));
    small.copyTo(frame(cv::Rect(cv::Point(1400 - 4 * k, 700), small.size())));
    if (grey) cv::cvtColor(frame, frame, cv::COLOR_BGRA2GRAY);
    return frame;
  };
  auto pointsOf = [](const std::vector<FaceObservation>& faces) {
    std::vector<double> all;
    for (const auto& face : faces) {
      all.insert(all.end(), {face.boundingBox.x, face.boundingBox.y, face.boundingBox.width,
                             face.boundingBox.height});
      if (!face.landmarks) continue;
      const FaceLandmarks& m = *face.landmarks;
      for (const auto* region :
           {&m.leftEye, &m.rightEye, &m.nose, &m.outerLips, &m.innerLips, &m.faceContour})
        for (const auto& p : *region) all.insert(all.end(), {p.x, p.y});
    }
    return all;
  };
  constexpr int kFrames = 14;
  for (bool grey : {false, true}) {
    // A small picture without faces first, so that both passes start the detector afresh.
    analyses::faceLandmarks(grass);
    std::vector<std::vector<double>> inTurn;
    for (int k = 0; k < kFrames; ++k)
      inTurn.push_back(pointsOf(analyses::faceLandmarks(frameAt(k, grey))));

    analyses::faceLandmarks(grass);
    std::vector<std::future<std::vector<FaceObservation>>> ahead;
    cv::Mat frame;
    for (int k = 0; k < kFrames; ++k) {
      frameAt(k, grey).copyTo(frame);
      ahead.push_back(analyses::faceLandmarksAhead(frame));
      frame.setTo(cv::Scalar::all(0));
    }
    for (int k = 0; k < kFrames; ++k) {
      std::vector<double> placed = pointsOf(ahead[k].get());
      // Both faces with their 58 points.
      EXPECT_EQ(inTurn[k].size(), 2u * (4 + 2 * 58)) << "frame " << k << ", grey " << grey;
      EXPECT_EQ(placed, inTurn[k]) << "frame " << k << ", grey " << grey;
    }
  }
}

TEST(FaceLandmarks, NoFacesNoLandmarks) {
  REQUIRE_PREDICTOR();
  cv::Mat grass = bgraPhoto("/usr/lib/python3/dist-packages/skimage/data/grass.png");
  if (grass.empty()) GTEST_FAIL() << "python3-skimage not installed";
  EXPECT_TRUE(analyses::faceLandmarks(grass).empty());
}

}  // namespace
}  // namespace tv
