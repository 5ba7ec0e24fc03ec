// Person segmentation and foreground instances on composites of real cut-outs over real
// photographs: the mattes must follow the cut-outs' alpha.
#include "support/cutouts.h"
#include "support/run.h"
#include "vision/analyses.h"
#include "vision/models.h"
#include "vision/segmodels.h"
#include "vision/vision.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <set>

namespace {

using tvtest::Composite;
using tvtest::Cutout;
using tvtest::iou;

bool haveModels() {
  return !tv::findModel("selfie.onnx").empty() && !tv::findModel("centernet.onnx").empty();
}

#define REQUIRE_MODELS()                                                                         \
  do {                                                                                           \
    if (!haveModels()) GTEST_FAIL() << "selfie.onnx / centernet.onnx not made (scripts/models)"; \
  } while (0)

cv::Mat background(const std::string& name) {
  std::string path = tvtest::samplePicture(name);
  return path.empty() ? cv::Mat() : cv::imread(path, cv::IMREAD_COLOR);
}

#define REQUIRE(mat, what)                                       \
  do {                                                           \
    if ((mat).empty()) GTEST_FAIL() << what << " not installed"; \
  } while (0)

double coverage(const cv::Mat& matte) {
  return double(cv::countNonZero(matte >= 128)) / double(matte.total());
}

// The overlap around one cut-out only: its box with a tenth more on each side.
double localIou(const cv::Mat& matte, const cv::Mat& alpha) {
  cv::Rect box = cv::boundingRect(alpha >= 128);
  box = cv::Rect(box.x - box.width / 10, box.y - box.height / 10, box.width * 6 / 5,
                 box.height * 6 / 5) &
        cv::Rect(0, 0, alpha.cols, alpha.rows);
  cv::Mat fitted;
  cv::resize(matte, fitted, alpha.size(), 0, 0, cv::INTER_LINEAR);
  return iou(fitted(box), alpha(box));
}

void expectConsistent(const tv::Instances& found);

cv::Mat personMatte(const cv::Mat& image) {
  return tv::analyses::personSegmentation()->next(image);
}

TEST(PersonSegmentation, LargePortraitsFollowTheirCutout) {
  REQUIRE_MODELS();
  Cutout people[] = {tvtest::astronaut(), tvtest::admiral()};
  const char* backs[] = {"building.jpg", "home.jpg"};
  for (int p = 0; p < 2; ++p) {
    const Cutout& person = people[p];
    REQUIRE(person.bgr, "a portrait");
    for (const char* name : backs) {
      cv::Mat back = background(name);
      REQUIRE(back, name);
      Composite c = tvtest::composite(back, {1280, 720}, {{&person, 680, {300, 40}}});
      cv::Mat matte = personMatte(c.image);
      ASSERT_FALSE(matte.empty());
      ASSERT_EQ(matte.type(), CV_8UC1);
      double score = iou(matte, c.alphas[0]);
      RecordProperty((p ? "admiral_" : "astronaut_") + std::string(name), std::to_string(score));
      EXPECT_GE(score, 0.9) << name;
    }
  }
}

TEST(PersonSegmentation, SmallPeopleGetCleanSilhouettes) {
  REQUIRE_MODELS();
  Cutout a = tvtest::astronaut(), b = tvtest::admiral();
  REQUIRE(a.bgr, "a portrait");
  REQUIRE(b.bgr, "a portrait");
  cv::Mat back = background("building.jpg");
  REQUIRE(back, "a background photo");
  // Four people a quarter of a 1080p frame tall, in front of the camera: their portraits end
  // at the frame's lower edge, as a person's body would.
  Composite c = tvtest::composite(back, {1920, 1080},
                                  {{&a, 250, {200, 830}},
                                   {&b, 280, {700, 800}},
                                   {&a, 230, {1250, 850}},
                                   {&b, 300, {1550, 780}}});
  cv::Mat all(c.image.size(), CV_8U, cv::Scalar(0));
  for (const auto& alpha : c.alphas) cv::max(all, alpha, all);
  cv::Mat matte = personMatte(c.image);
  ASSERT_FALSE(matte.empty());
  double score = iou(matte, all);
  RecordProperty("iou", std::to_string(score));
  EXPECT_GE(score, 0.8);
  // Every one of them is drawn, not only the whole.
  for (size_t i = 0; i < c.alphas.size(); ++i) {
    double local = localIou(matte, c.alphas[i]);
    RecordProperty("person" + std::to_string(i), std::to_string(local));
    EXPECT_GE(local, 0.8) << "person " << i;
  }
}

TEST(PersonSegmentation, AWidePedestrianShotGivesEachWalkerASilhouette) {
  REQUIRE_MODELS();
  const std::string clip = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
  if (!std::filesystem::exists(clip)) GTEST_FAIL() << "vtest.avi not installed";
  std::string dir = tvtest::scratchDir("pedestrians");
  // Two seconds in, four people walk across the square, each about a seventh of the frame tall.
  ASSERT_EQ(tvtest::shell("ffmpeg -v error -y -ss 2 -i '" + clip + "' -frames:v 1 '" + dir +
                          "/frame.png' </dev/null"),
            0);
  cv::Mat frame = cv::imread(dir + "/frame.png", cv::IMREAD_COLOR);
  ASSERT_FALSE(frame.empty());
  cv::Mat bgra;
  cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
  cv::Mat matte = personMatte(bgra);
  ASSERT_FALSE(matte.empty());
  cv::Mat labels, stats, centroids;
  int count = cv::connectedComponentsWithStats(matte >= 128, labels, stats, centroids);
  int walkers = 0;
  for (int i = 1; i < count; ++i) {
    int area = stats.at<int>(i, cv::CC_STAT_AREA);
    if (area < 0.0005 * matte.total()) continue;
    ++walkers;
    // A silhouette (legs apart, arms) fills well under three quarters of its box; the
    // whole-frame pass alone gives round blobs that fill most of it.
    double fill =
        double(area) / (stats.at<int>(i, cv::CC_STAT_WIDTH) * stats.at<int>(i, cv::CC_STAT_HEIGHT));
    EXPECT_LT(fill, 0.7) << "piece " << i;
    EXPECT_GT(stats.at<int>(i, cv::CC_STAT_HEIGHT), stats.at<int>(i, cv::CC_STAT_WIDTH))
        << "piece " << i;
  }
  RecordProperty("walkers", walkers);
  EXPECT_GE(walkers, 3);
  auto found = tv::analyses::foregroundInstances(bgra);
  ASSERT_TRUE(found.has_value());
  expectConsistent(*found);
  EXPECT_GE(found->allInstances.size(), 4u);
}

TEST(PersonSegmentation, PhotosWithoutPeopleGiveAnEmptyMatte) {
  REQUIRE_MODELS();
  for (const char* name : {"building.jpg", "home.jpg", "coffee.png", "fruits.jpg"}) {
    cv::Mat photo = background(name);
    REQUIRE(photo, name);
    cv::Mat bgra;
    cv::cvtColor(photo, bgra, cv::COLOR_BGR2BGRA);
    cv::Mat matte = personMatte(bgra);
    ASSERT_FALSE(matte.empty()) << name;
    RecordProperty(name, std::to_string(coverage(matte)));
    EXPECT_LT(coverage(matte), 0.01) << name;
  }
}

TEST(PersonSegmentation, ASequenceFollowsAPersonLeavingTheFrame) {
  REQUIRE_MODELS();
  Cutout a = tvtest::astronaut();
  cv::Mat back = background("home.jpg");
  REQUIRE(a.bgr, "a portrait");
  REQUIRE(back, "a background photo");
  Composite with = tvtest::composite(back, {960, 540}, {{&a, 500, {200, 40}}});
  Composite without = tvtest::composite(back, {960, 540}, {});
  auto sequence = tv::analyses::personSegmentation();
  cv::Mat first = sequence->next(with.image);
  cv::Mat second = sequence->next(with.image);
  cv::Mat third = sequence->next(without.image);
  RecordProperty("first", std::to_string(iou(first, with.alphas[0])));
  RecordProperty("second", std::to_string(iou(second, with.alphas[0])));
  RecordProperty("gone", std::to_string(coverage(third)));
  EXPECT_GE(iou(first, with.alphas[0]), 0.9);
  EXPECT_GE(iou(second, with.alphas[0]), 0.9);
  // Smoothing never keeps a ghost of someone who has gone.
  EXPECT_LT(coverage(third), 0.01);
}

TEST(PersonSegmentation, ASequenceDrawsAPersonWhereTheyAreBetweenDetections) {
  REQUIRE_MODELS();
  Cutout person = tvtest::admiral();
  cv::Mat back = background("building.jpg");
  REQUIRE(person.bgr, "a portrait");
  REQUIRE(back, "a background photo");
  auto at = [&](int x) { return tvtest::composite(back, {960, 540}, {{&person, 300, {x, 200}}}); };
  Composite nobody = tvtest::composite(back, {960, 540}, {});
  auto sequence = tv::analyses::personSegmentation();
  // Nobody there: the detector looks on every frame, so she is found on the frame she comes in.
  EXPECT_LT(coverage(sequence->next(nobody.image)), 0.01);
  EXPECT_LT(coverage(sequence->next(nobody.image)), 0.01);
  Composite left = at(100);
  double entering = iou(sequence->next(left.image), left.alphas[0]);
  // Found: the next frame is one the detector skips, and it keeps her as she stands.
  double kept = iou(sequence->next(left.image), left.alphas[0]);
  // Two frames before the detector's next turn she is across the picture, far out of the crop
  // of her detection: the picture changed there, so the detector looks again.
  Composite right = at(600);
  double moved = iou(sequence->next(right.image), right.alphas[0]);
  RecordProperty("entering", std::to_string(entering));
  RecordProperty("kept", std::to_string(kept));
  RecordProperty("moved", std::to_string(moved));
  EXPECT_GE(entering, 0.9);
  EXPECT_GE(kept, 0.9);
  EXPECT_GE(moved, 0.9);
}

TEST(PersonSegmentation, APersonLeavingTheFrameIsKeptWhileLittleIsLeft) {
  REQUIRE_MODELS();
  Cutout person = tvtest::admiral();
  cv::Mat back = background("building.jpg");
  REQUIRE(person.bgr, "a portrait");
  REQUIRE(back, "a background photo");
  auto at = [&](int x) { return tvtest::composite(back, {960, 540}, {{&person, 300, {x, 240}}}); };
  auto personScore = [](const cv::Mat& image) {
    float best = 0;
    for (const auto& d : tv::segmodels::detectObjects(image, 0.05f))
      if (d.label == tv::segmodels::kPerson) best = std::max(best, d.score);
    return best;
  };
  // The first position, walking out on the right, where so little of her is left that the
  // detector's score falls between the one that keeps a person already found (0.15) and the
  // one that admits a new person (0.3).
  int last = 0;
  for (int x = 820; x <= 920 && !last; x += 10) {
    float score = personScore(at(x).image);
    if (score > 0.17f && score < 0.28f) last = x;
  }
  if (!last) GTEST_SKIP() << "no position puts the person between the two scores";
  Composite leaving = at(last);
  // Seen on its own, that frame has nobody in it...
  EXPECT_LT(coverage(personMatte(leaving.image)), 0.01);
  // ...but at the end of her walk out, she stays in the matte.
  auto sequence = tv::analyses::personSegmentation();
  for (int x = 600; x < last; x += 40) {
    Composite step = at(x);
    EXPECT_GE(iou(sequence->next(step.image), step.alphas[0]), 0.9) << "at " << x;
  }
  double kept = iou(sequence->next(leaving.image), leaving.alphas[0]);
  RecordProperty("kept", std::to_string(kept));
  EXPECT_GE(kept, 0.8);
}

// The instance whose mask overlaps `alpha` best, and that overlap.
double bestInstance(const tv::Instances& found, const cv::Mat& alpha, int* which = nullptr) {
  double best = 0;
  for (int index : found.allInstances) {
    cv::Mat mask = tv::scaledMask(found, {index});
    double score = iou(mask, alpha);
    if (score > best) {
      best = score;
      if (which) *which = index;
    }
  }
  return best;
}

void expectConsistent(const tv::Instances& found) {
  ASSERT_EQ(found.instanceMask.type(), CV_8UC1);
  ASSERT_EQ(found.softMasks.size(), found.allInstances.size());
  for (size_t i = 0; i < found.allInstances.size(); ++i)
    EXPECT_EQ(found.allInstances[i], int(i + 1));
  std::set<int> seen;
  for (auto it = found.instanceMask.begin<uchar>(); it != found.instanceMask.end<uchar>(); ++it)
    seen.insert(*it);
  for (int value : seen) {
    if (value) {
      EXPECT_LE(value, int(found.allInstances.size())) << "a label with no instance";
    }
  }
  for (size_t i = 0; i < found.allInstances.size(); ++i) {
    int index = found.allInstances[i];
    EXPECT_TRUE(seen.count(index)) << "instance " << index << " owns no pixel";
    // The instance's own pixels and its soft mask agree.
    cv::Mat own = found.instanceMask == index;
    cv::Mat soft;
    cv::resize(found.softMasks[i], soft, own.size(), 0, 0, cv::INTER_NEAREST);
    EXPECT_GE(iou(soft, own), 0.9) << "instance " << index;
  }
  cv::Mat everything =
      tv::scaledMask(found, {found.allInstances.begin(), found.allInstances.end()});
  EXPECT_EQ(everything.size(), found.imageSize);
}

TEST(ForegroundInstances, PersonAndObjectBecomeSeparateInstances) {
  REQUIRE_MODELS();
  Cutout person = tvtest::admiral(), object = tvtest::cup();
  REQUIRE(person.bgr, "a portrait");
  REQUIRE(object.bgr, "the cup");
  for (const char* name : {"grass.png", "fruits.jpg", "chelsea.png", "stuff.jpg"}) {
    cv::Mat back = background(name);
    REQUIRE(back, name);
    Composite c = tvtest::composite(back, {1280, 720},
                                    {{&person, 560, {120, 160}}, {&object, 300, {800, 400}}});
    auto found = tv::analyses::foregroundInstances(c.image);
    ASSERT_TRUE(found.has_value()) << name;
    EXPECT_EQ(found->imageSize, c.image.size());
    expectConsistent(*found);
    int personIndex = 0, objectIndex = 0;
    double personScore = bestInstance(*found, c.alphas[0], &personIndex);
    double objectScore = bestInstance(*found, c.alphas[1], &objectIndex);
    RecordProperty(std::string("personIou_") + name, std::to_string(personScore));
    RecordProperty(std::string("objectIou_") + name, std::to_string(objectScore));
    EXPECT_GE(personScore, 0.8) << name;
    EXPECT_GE(objectScore, 0.8) << name;
    EXPECT_NE(personIndex, objectIndex) << name;
  }
}

// What a sequence gave for `image` is what the picture gets analysed on its own.
void expectAsAlone(const std::optional<tv::Instances>& got, const cv::Mat& image) {
  auto alone = tv::analyses::foregroundInstances(image);
  ASSERT_TRUE(got.has_value());
  ASSERT_TRUE(alone.has_value());
  expectConsistent(*got);
  EXPECT_EQ(got->allInstances, alone->allInstances);
  EXPECT_EQ(cv::countNonZero(got->instanceMask != alone->instanceMask), 0);
}

// The admiral and the cup over grass at 1280 x 720, the cup's left edge at `cupX`.
struct PersonAndCup {
  Cutout person = tvtest::admiral(), cup = tvtest::cup();
  cv::Mat back = background("grass.png");
  Composite at(int cupX) const {
    return tvtest::composite(back, {1280, 720},
                             {{&person, 560, {120, 160}}, {&cup, 300, {cupX, 400}}});
  }
};

#define REQUIRE_SCENE(scene)                     \
  do {                                           \
    REQUIRE((scene).person.bgr, "a portrait");   \
    REQUIRE((scene).cup.bgr, "the cup");         \
    REQUIRE((scene).back, "a background photo"); \
  } while (0)

TEST(ForegroundInstances, ASequenceCutsObjectsWhereTheyAreBetweenDetections) {
  REQUIRE_MODELS();
  const PersonAndCup scene;
  REQUIRE_SCENE(scene);
  auto sequence = tv::analyses::instanceSegmentation();
  Composite first = scene.at(800);
  auto detected = sequence->next(first.image);
  ASSERT_TRUE(detected.has_value());
  // The next frame is one the detector skips: its objects carried over, the same picture gets
  // the very instances it gets on its own.
  expectAsAlone(sequence->next(first.image), first.image);
  // The cup moved far out of the region it was cut from: the picture changed there, so the
  // detector looks again and the cup is cut where it now stands.
  Composite moved = scene.at(980);
  auto after = sequence->next(moved.image);
  ASSERT_TRUE(after.has_value());
  expectConsistent(*after);
  const double personScore = bestInstance(*after, moved.alphas[0]);
  const double cupScore = bestInstance(*after, moved.alphas[1]);
  RecordProperty("personIou", std::to_string(personScore));
  RecordProperty("movedCupIou", std::to_string(cupScore));
  EXPECT_GE(personScore, 0.8);
  EXPECT_GE(cupScore, 0.8);
}

TEST(ForegroundInstances, AfterThePersonPassTheyFollowItsDetections) {
  REQUIRE_MODELS();
  const PersonAndCup scene;
  REQUIRE_SCENE(scene);
  auto people = tv::analyses::personSegmentation();
  auto sequence = tv::analyses::instancesAfterPeople();
  // The person pass's first frame runs the detector: the instances are those of the picture
  // analysed on its own.
  Composite first = scene.at(800);
  ASSERT_FALSE(people->next(first.image).empty());
  auto detected = sequence->next(first.image);
  expectAsAlone(detected, first.image);
  ASSERT_TRUE(detected.has_value());
  // The cup nudged a few pixels: the person pass carries its objects over, and the cup keeps
  // the cut made on the first frame, brought onto where it stands now.
  Composite nudged = scene.at(806);
  ASSERT_FALSE(people->next(nudged.image).empty());
  ASSERT_TRUE(tv::segmodels::carriedFor(tv::segmodels::shrunkBgr(nudged.image, {1024, 576})));
  auto carried = sequence->next(nudged.image);
  ASSERT_TRUE(carried.has_value());
  expectConsistent(*carried);
  EXPECT_EQ(carried->allInstances.size(), detected->allInstances.size());
  EXPECT_GE(bestInstance(*carried, nudged.alphas[0]), 0.8);
  EXPECT_GE(bestInstance(*carried, nudged.alphas[1]), 0.8);
}

TEST(ForegroundInstances, LargePictureKeepsItsSize) {
  REQUIRE_MODELS();
  Cutout person = tvtest::astronaut();
  cv::Mat back = background("home.jpg");
  REQUIRE(person.bgr, "a portrait");
  REQUIRE(back, "a background photo");
  Composite c = tvtest::composite(back, {4096, 2304}, {{&person, 2000, {1200, 304}}});
  auto found = tv::analyses::foregroundInstances(c.image);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->imageSize, c.image.size());
  expectConsistent(*found);
  double score = bestInstance(*found, c.alphas[0]);
  RecordProperty("iou", std::to_string(score));
  EXPECT_GE(score, 0.8);
}

TEST(ForegroundInstances, TexturesHaveNoForeground) {
  REQUIRE_MODELS();
  for (const char* name : {"grass.png", "brick.png", "gravel.png"}) {
    cv::Mat photo = background(name);
    REQUIRE(photo, name);
    cv::Mat bgra;
    cv::cvtColor(photo, bgra, cv::COLOR_BGR2BGRA);
    auto found = tv::analyses::foregroundInstances(bgra);
    ASSERT_TRUE(found.has_value()) << name;
    EXPECT_TRUE(found->allInstances.empty()) << name;
    EXPECT_EQ(cv::countNonZero(found->instanceMask), 0) << name;
  }
}

TEST(Segmentation, OddSizesAndFormatsNeverBreak) {
  REQUIRE_MODELS();
  cv::Mat grey(300, 200, CV_8UC1);
  cv::randu(grey, 0, 255);
  const cv::Mat pictures[] = {cv::Mat(1, 1, CV_8UC4, cv::Scalar(9, 9, 9, 255)),
                              cv::Mat(5, 7, CV_8UC4, cv::Scalar(200, 10, 10, 255)),
                              cv::Mat(3, 2000, CV_8UC4, cv::Scalar(0, 128, 255, 255)),
                              cv::Mat(2000, 3, CV_8UC3, cv::Scalar(0, 128, 255)), grey};
  for (const auto& picture : pictures) {
    cv::Mat matte = personMatte(picture);
    if (!matte.empty()) {
      EXPECT_EQ(matte.type(), CV_8UC1);
      EXPECT_EQ(coverage(matte), 0.0) << picture.size();
    }
    auto found = tv::analyses::foregroundInstances(picture);
    if (found) {
      EXPECT_EQ(found->imageSize, picture.size());
      EXPECT_TRUE(found->allInstances.empty()) << picture.size();
    }
  }
}

TEST(ForegroundInstances, EmptyImageIsNoResult) {
  REQUIRE_MODELS();
  EXPECT_FALSE(tv::analyses::foregroundInstances(cv::Mat()).has_value());
}

}  // namespace
