// Registration on synthetic shifts and warps of a real photo, with the ground truth known
// exactly: the current frame is made by sampling the reference through a known map, so the
// homography and translation the analyses must return follow from it. Sign conventions are
// checked in the analyses' own frame: lower-left pixel origin, y up.
#include "vision/analyses.h"
#include "vision/photos.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace tv {
namespace {

constexpr int kWidth = 960, kHeight = 540;  // the camera mode registers frames this size
const cv::Point kOrigin(70, 280);           // where the reference lies in the source

// The source: scikit-image's astronaut photo scaled up so that the warps below have content
// all round the 960 x 540 reference.
cv::Mat source() {
  cv::Mat photo = tvtest::bgraPhoto("/usr/lib/python3/dist-packages/skimage/data/astronaut.png");
  if (photo.empty()) return photo;
  cv::Mat big;
  cv::resize(photo, big, cv::Size(1100, 1100), 0, 0, cv::INTER_CUBIC);
  return big;
}

cv::Mat referenceOf(const cv::Mat& big) {
  return big(cv::Rect(kOrigin, cv::Size(kWidth, kHeight))).clone();
}

// The current frame whose pixel p (top left) shows the reference at g(p), also top left.
cv::Mat currentOf(const cv::Mat& big, const cv::Matx33d& g) {
  cv::Matx33d shift(1, 0, kOrigin.x, 0, 1, kOrigin.y, 0, 0, 1);
  cv::Mat current;
  cv::warpPerspective(big, current, shift * g, cv::Size(kWidth, kHeight),
                      cv::INTER_CUBIC | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
  return current;
}

// g in the analyses' convention: lower-left origin, pixel centres at half pixels.
cv::Matx33d lowerLeft(const cv::Matx33d& g) {
  cv::Matx33d flip(1, 0, 0.5, 0, -1, kHeight - 0.5, 0, 0, 1);
  return flip * g * flip.inv();
}

cv::Point2d apply(const cv::Matx33d& h, cv::Point2d p) {
  cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1);
  return {q[0] / q[2], q[1] / q[2]};
}

// The largest distance, over a 3 x 3 grid spanning the frame, between the two maps.
double largestError(const cv::Matx33d& found, const cv::Matx33d& truth) {
  double worst = 0;
  for (double x : {0.0, kWidth / 2.0, double(kWidth)})
    for (double y : {0.0, kHeight / 2.0, double(kHeight)})
      worst = std::max(worst, cv::norm(apply(found, {x, y}) - apply(truth, {x, y})));
  return worst;
}

cv::Matx33d shiftBy(double x, double y) {
  return {1, 0, x, 0, 1, y, 0, 0, 1};
}

#define REQUIRE_SOURCE(big) \
  if ((big).empty()) GTEST_FAIL() << "astronaut.png not installed (python3-skimage)";

TEST(Registration, PureShiftsToAFractionOfAPixel) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  cv::Mat reference = referenceOf(big);
  const cv::Point2d shifts[] = {{3.3, -2.7}, {-12.25, 7.5}, {40.6, 0.4}, {0.5, 0.5}};
  for (cv::Point2d s : shifts) {
    cv::Mat current = currentOf(big, shiftBy(s.x, s.y));
    // Current pixel p shows reference p + s: the current content lies at -s from the
    // reference content, and aligning it moves it by +s, which is (s.x, -s.y) with y up.
    auto t = analyses::translation(reference, current);
    ASSERT_TRUE(t.has_value()) << s;
    EXPECT_NEAR(t->x, s.x, 0.2) << s;
    EXPECT_NEAR(t->y, -s.y, 0.2) << s;
    auto h = analyses::homography(reference, current);
    ASSERT_TRUE(h.has_value()) << s;
    double error = largestError(cv::Matx33d(*h), lowerLeft(shiftBy(s.x, s.y)));
    EXPECT_LT(error, 0.2) << s;
    std::cout << "shift " << s << ": translation error " << cv::norm(*t - cv::Point2d(s.x, -s.y))
              << " px, homography error " << error << " px\n";
  }
}

TEST(Registration, SignsFollowTheContentInTheLowerLeftFrame) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  cv::Mat reference = referenceOf(big);
  // The content moves 10 pixels right and 6 pixels down the screen (a camera panning left and
  // tilting up): what was at reference (x, y) is now at current (x + 10, y + 6), top left.
  cv::Mat current = currentOf(big, shiftBy(-10, -6));
  auto t = analyses::translation(reference, current);
  ASSERT_TRUE(t.has_value());
  EXPECT_NEAR(t->x, -10, 0.2);  // moved back left
  EXPECT_NEAR(t->y, 6, 0.2);    // and back up the screen, which is +y here
  auto h = analyses::homography(reference, current);
  ASSERT_TRUE(h.has_value());
  // The frame centre of the current buffer came from 10 left and 6 higher (y up: +6).
  cv::Point2d centre(kWidth / 2.0, kHeight / 2.0);
  cv::Point2d mapped = apply(cv::Matx33d(*h), centre);
  EXPECT_NEAR(mapped.x - centre.x, -10, 0.2);
  EXPECT_NEAR(mapped.y - centre.y, 6, 0.2);
}

TEST(Registration, HomographiesOfRotationZoomAndPerspective) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  cv::Mat reference = referenceOf(big);
  double a = 3 * CV_PI / 180;
  cv::Matx33d about = shiftBy(kWidth / 2.0, kHeight / 2.0),
              back = shiftBy(-kWidth / 2.0, -kHeight / 2.0);
  const cv::Matx33d warps[] = {
      about * cv::Matx33d(std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1) *
          back,
      about * cv::Matx33d(1.05, 0, 0, 0, 1.05, 0, 0, 0, 1) * back * shiftBy(4, -3),
      about * cv::Matx33d(0.93, 0, 0, 0, 0.93, 0, 0, 0, 1) * back,
      cv::Matx33d(1, 0.02, 5, 0.01, 1, -3, 2e-5, 1e-5, 1),
  };
  for (const cv::Matx33d& g : warps) {
    cv::Mat current = currentOf(big, g);
    auto h = analyses::homography(reference, current);
    ASSERT_TRUE(h.has_value()) << cv::Mat(g);
    double error = largestError(cv::Matx33d(*h), lowerLeft(g));
    std::cout << "warp homography error " << error << " px\n";
    EXPECT_LT(error, 0.2) << cv::Mat(g);
  }
}

TEST(Registration, NoAnswerWithoutTextureOrWhenTheScenesDiffer) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  cv::Mat reference = referenceOf(big);
  cv::Mat flat(kHeight, kWidth, CV_8UC4, cv::Scalar(90, 120, 150, 255));
  cv::Mat faint = flat.clone();
  cv::randn(faint, cv::Scalar(90, 120, 150, 255), cv::Scalar(1, 1, 1, 0));
  EXPECT_FALSE(analyses::homography(flat, flat).has_value());
  EXPECT_FALSE(analyses::translation(flat, flat).has_value());
  EXPECT_FALSE(analyses::homography(faint, faint.clone()).has_value());
  EXPECT_FALSE(analyses::translation(faint, faint.clone()).has_value());
  EXPECT_FALSE(analyses::homography(reference, flat).has_value());
  EXPECT_FALSE(analyses::translation(reference, flat).has_value());
  for (const char* path : {"/usr/share/doc/opencv-doc/examples/data/building.jpg",
                           "/usr/lib/python3/dist-packages/skimage/data/grass.png",
                           "/usr/lib/python3/dist-packages/skimage/data/coffee.png"}) {
    cv::Mat other = tvtest::bgraPhoto(path);
    if (other.empty()) continue;
    cv::resize(other, other, cv::Size(kWidth, kHeight));
    EXPECT_FALSE(analyses::homography(reference, other).has_value()) << path;
    EXPECT_FALSE(analyses::translation(reference, other).has_value()) << path;
  }
  // A rotation phase correlation cannot follow gives no translation rather than a wrong one.
  double a = 8 * CV_PI / 180;
  cv::Matx33d turn =
      shiftBy(kWidth / 2.0, kHeight / 2.0) *
      cv::Matx33d(std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1) *
      shiftBy(-kWidth / 2.0, -kHeight / 2.0);
  EXPECT_FALSE(analyses::translation(reference, currentOf(big, turn)).has_value());
}

TEST(Registration, OddInputsGiveNothing) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  cv::Mat reference = referenceOf(big);
  EXPECT_FALSE(analyses::homography(cv::Mat(), reference).has_value());
  EXPECT_FALSE(analyses::translation(reference, cv::Mat()).has_value());
  cv::Mat smaller;
  cv::resize(reference, smaller, cv::Size(480, 270));
  EXPECT_FALSE(analyses::translation(reference, smaller).has_value());
  cv::Mat tiny(2, 2, CV_8UC4, cv::Scalar::all(7));
  EXPECT_FALSE(analyses::homography(tiny, tiny).has_value());
  EXPECT_FALSE(analyses::translation(tiny, tiny).has_value());
}

TEST(Registration, ARepeatedReferenceGivesTheSameAnswer) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  cv::Mat reference = referenceOf(big);
  cv::Mat first = currentOf(big, shiftBy(5, 2)), second = currentOf(big, shiftBy(-7, 3));
  auto a = analyses::homography(reference, first);
  auto b = analyses::homography(reference, second);
  auto c = analyses::homography(reference, first);
  ASSERT_TRUE(a && b && c);
  EXPECT_LT(largestError(cv::Matx33d(*a), cv::Matx33d(*c)), 1e-6);
  EXPECT_LT(largestError(cv::Matx33d(*b), lowerLeft(shiftBy(-7, 3))), 0.3);
  // A different picture in a buffer that held the reference before is not mistaken for it.
  cv::Mat reused = reference;
  first.copyTo(reused);
  auto same = analyses::homography(reused, first);
  ASSERT_TRUE(same.has_value());
  EXPECT_LT(largestError(cv::Matx33d(*same), cv::Matx33d::eye()), 0.3);
}

// Features found ahead on the registration's own thread are those the call would have found:
// pairs matched by their features answer exactly the same with and without the hint, and a hint
// for a picture that is not asked about next changes nothing either.
TEST(Registration, FeaturesFoundAheadGiveTheSameAnswers) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  // Each pair has a reference of its own, so that every answer comes from matching features,
  // after which the next picture's features are found ahead.
  std::vector<cv::Mat> frames;
  for (int k = 0; k < 8; ++k)
    frames.push_back(currentOf(
        big, shiftBy(3.5 * k, -2.25 * k) * cv::Matx33d(1 + 0.004 * k, 0, 0, 0, 1, 0, 0, 0, 1)));
  cv::Mat other = currentOf(big, shiftBy(-30, 20));
  auto answers = [&](int hints) {
    std::vector<std::optional<cv::Matx33f>> out;
    for (int k = 0; k + 1 < int(frames.size()); k += 2) {
      if (hints == 1) analyses::homographyAhead(frames[k + 1]);
      if (hints == 2) analyses::homographyAhead(other);
      out.push_back(analyses::homography(frames[k], frames[k + 1]));
    }
    // Pairs asked again would be answered from memory: other pictures push them out.
    for (int k = 0; k < 5; ++k)
      analyses::homography(currentOf(big, shiftBy(k, 40)), currentOf(big, shiftBy(k + 2, 41)));
    return out;
  };
  const auto plain = answers(0), ahead = answers(1), elsewhere = answers(2);
  ASSERT_EQ(plain.size(), 4u);
  for (size_t k = 0; k < plain.size(); ++k) {
    ASSERT_TRUE(plain[k] && ahead[k] && elsewhere[k]) << k;
    EXPECT_EQ(cv::norm(cv::Mat(*plain[k]), cv::Mat(*ahead[k]), cv::NORM_INF), 0) << k;
    EXPECT_EQ(cv::norm(cv::Mat(*plain[k]), cv::Mat(*elsewhere[k]), cv::NORM_INF), 0) << k;
  }
}

// The quad mode asks with the plane already placed by its trackers: a few pixels off, turned
// or scaled a little. Those answers must be as good as feature matching's; one that is further
// off than the caller said still gets the right answer (from the features).
TEST(Registration, PicturesAlreadyNearlyAlignedAreRegisteredAsPreciselyAsByFeatures) {
  cv::Mat big = source();
  REQUIRE_SOURCE(big);
  cv::Mat reference = referenceOf(big);
  const double a = 1 * CV_PI / 180;
  const cv::Matx33d about = shiftBy(kWidth / 2.0, kHeight / 2.0),
                    back = shiftBy(-kWidth / 2.0, -kHeight / 2.0);
  struct Near {
    cv::Matx33d warp;
    double reach;
  };
  const Near cases[] = {
      {shiftBy(1.3, -0.7), 4},
      {shiftBy(-6.25, 3.5), 12},
      {about * cv::Matx33d(std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1) *
           back,
       12},
      {about * cv::Matx33d(1.02, 0, 0, 0, 1.02, 0, 0, 0, 1) * back * shiftBy(2, -1), 20},
      {cv::Matx33d(1, 0.01, 2, 0.005, 1, -1, 1e-5, 5e-6, 1), 20},
      {shiftBy(40.6, 0.4), 4},  // beyond the reach given
  };
  for (const Near& c : cases) {
    cv::Mat current = currentOf(big, c.warp);
    auto h = analyses::homographyNear(reference, current, c.reach);
    ASSERT_TRUE(h.has_value()) << cv::Mat(c.warp);
    const double error = largestError(cv::Matx33d(*h), lowerLeft(c.warp));
    std::cout << "near homography error " << error << " px (reach " << c.reach << ")\n";
    EXPECT_LT(error, 0.2) << cv::Mat(c.warp);
  }
  // A plane cut out of a smooth picture (the astronaut blurred) and set on black, as the quad
  // mode hands it over: the cut's corners are the strongest, and the current picture has no
  // cut. Registered by the corners on the plane alone, the answer is as precise as above.
  cv::Mat smooth;
  cv::GaussianBlur(big, smooth, cv::Size(0, 0), 3);
  cv::Mat where(kHeight, kWidth, CV_8U, cv::Scalar(0));
  const std::vector<cv::Point> plane{{250, 120}, {700, 100}, {720, 430}, {230, 400}};
  cv::fillConvexPoly(where, plane, cv::Scalar(255));
  cv::Mat cut(kHeight, kWidth, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  referenceOf(smooth).copyTo(cut, where);
  for (const cv::Matx33d& warp : {shiftBy(2.4, -1.3), shiftBy(-7.5, 4.25)}) {
    const cv::Mat current = currentOf(smooth, warp);
    auto h = analyses::homographyNear(cut, current, 12, where);
    ASSERT_TRUE(h.has_value()) << cv::Mat(warp);
    const double error = largestError(cv::Matx33d(*h), lowerLeft(warp));
    std::cout << "cut-out plane homography error " << error << " px\n";
    EXPECT_LT(error, 0.2) << cv::Mat(warp);
    // The answer says the look gave it. Left without the look, the features answer too, if less
    // precisely on this smooth picture (1.1 px for the first shift).
    EXPECT_TRUE(analyses::registeredNear(cut, current, 12, where, true).byLook);
    const NearRegistration byFeatures = analyses::registeredNear(cut, current, 12, where, false);
    ASSERT_TRUE(byFeatures.homography.has_value()) << cv::Mat(warp);
    EXPECT_FALSE(byFeatures.byLook);
    EXPECT_LT(largestError(cv::Matx33d(*byFeatures.homography), lowerLeft(warp)), 2.0);
  }
  // Without texture there is nothing to register, near or not.
  cv::Mat plain(kHeight, kWidth, CV_8UC4, cv::Scalar(90, 90, 90, 255));
  EXPECT_FALSE(analyses::homographyNear(plain, plain.clone(), 10).has_value());
}

}  // namespace
}  // namespace tv
