// Image registration. The homography comes from ORB features matched both ways and RANSAC;
// the translation from phase correlation. Both answer nothing rather than a guess when the
// pictures have too little texture, repeat themselves, or do not show the same scene.
//
// Coordinates: OpenCV puts the origin at the top left with pixel centres on whole numbers;
// the analyses' convention is the lower left with the picture spanning [0, W] x [0, H], so
// pixel (i, j) of an image H rows high has its centre at (i + 0.5, H - j - 0.5).
#include "vision/analyses.h"
#include "vision/background.h"
#include "vision/pixels.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <future>

namespace tv::analyses {
namespace {

constexpr int kFeatures = 600;           // ORB features per picture
constexpr int kCorners = 400;            // corners per picture for the refinement
constexpr double kRatio = 0.8;           // Lowe's ratio test on the two nearest descriptors
constexpr int kMinInliers = 24;          // fewer RANSAC inliers: no homography
constexpr double kMinInlierShare = 0.3;  // inliers among the mutual matches
const cv::Size kWindow(21, 21);          // Lucas-Kanade's window
constexpr int kLevels = 3;               // the most pyramid levels Lucas-Kanade is asked to use
// Share of the reference's corners that must agree when starting from the previous answer.
constexpr double kMinPreviousShare = 0.5;
// A look from the previous answer that moved the picture's corners by more than this (pixels)
// is refined by a second one.
constexpr double kSecondLookFrom = 2.5;
// An estimate whose corners lie within this many pixels of a plain shift's is refined without
// warping the current picture onto the reference first: across Lucas-Kanade's window at its
// coarsest level that difference is a few hundredths of a pixel.
constexpr double kShiftOnlyWithin = 1.0;
constexpr double kMinContrast = 4;  // grey standard deviation below it: no texture
// Phase correlation's peak response: about 1 for a true shift, under 0.03 for unrelated
// pictures, 0.05-0.15 where rotation or zoom leave the answer unreliable.
constexpr double kMinResponse = 0.15;
constexpr double kLargestCorrelated = 1280;  // longest side phase correlation works at, pixels

bool textured(const cv::Mat& grey) {
  cv::Scalar mean, deviation;
  cv::meanStdDev(grey, mean, deviation);
  return deviation[0] >= kMinContrast;
}

// A cheap fingerprint of a picture's pixels, so that a reference frame given again (the usual
// case: one reference serves several frames) reuses its features. Four words are mixed at a
// time into four lanes, so that the multiplications do not wait on each other.
uint64_t fingerprint(const cv::Mat& image) {
  constexpr uint64_t kMix = 0x9E3779B97F4A7C15ull;
  uint64_t seed = 1469598103934665603ull ^ uint64_t(image.cols) ^ (uint64_t(image.rows) << 32);
  uint64_t lanes[4] = {seed, seed ^ kMix, seed + 0x632BE59BD9B4E019ull, ~seed};
  auto mix = [](uint64_t hash, uint64_t word) {
    hash = (hash ^ word) * kMix;
    return hash ^ (hash >> 29);
  };
  for (int row = 0; row < image.rows; ++row) {
    const uchar* p = image.ptr(row);
    size_t bytes = size_t(image.cols) * image.elemSize();
    size_t k = 0;
    for (; k + 32 <= bytes; k += 32) {
      uint64_t words[4];
      std::memcpy(words, p + k, 32);
      for (int j = 0; j < 4; ++j) lanes[j] = mix(lanes[j], words[j]);
    }
    for (; k + 8 <= bytes; k += 8) {
      uint64_t word;
      std::memcpy(&word, p + k, 8);
      lanes[0] = mix(lanes[0], word);
    }
    for (; k < bytes; ++k) lanes[1] = (lanes[1] ^ p[k]) * 1099511628211ull;
  }
  uint64_t hash = lanes[0];
  for (int j = 1; j < 4; ++j) hash = mix(hash, lanes[j]);
  return hash;
}

struct Features {
  uint64_t key = 0;
  cv::Size size;
  cv::Mat grey;
  bool isTextured = false;
  // ORB's, found only when a picture is matched by its features (see homography).
  bool orbFound = false;
  std::vector<cv::KeyPoint> points;
  cv::Mat descriptors;
  // Well-spread corners for the refinement, found only once the picture serves as a reference.
  std::vector<cv::Point2f> corners;
  bool cornersFound = false;
  // Its Lucas-Kanade pyramid (with derivatives), built once for the frames it serves.
  std::vector<cv::Mat> pyramid;
  int pyramidLevels = -1;
};

// A picture's grey copy and whether it has texture; its ORB features are found on first need.
Features featuresFor(const cv::Mat& image, uint64_t key) {
  Features made;
  made.key = key;
  made.size = image.size();
  // A grey picture comes back as the caller's own pixels, which may change after the call.
  made.grey = greyOf(image);
  if (made.grey.data == image.data) made.grey = made.grey.clone();
  made.isTextured = textured(made.grey);
  return made;
}

// ORB's features of a picture, found on first need.
void findOrb(Features& features, cv::ORB& orb) {
  if (features.orbFound) return;
  features.orbFound = true;
  if (features.isTextured)
    orb.detectAndCompute(features.grey, cv::noArray(), features.points, features.descriptors);
}

void findOrb(Features& features) {
  static cv::Ptr<cv::ORB> orb = cv::ORB::create(kFeatures);
  findOrb(features, *orb);
}

// The next current picture's features, being found on a thread of their own (homographyAhead).
struct Ahead {
  uint64_t key = 0;
  cv::Size size;
  std::future<Features> features;
};

// The last two hints: a caller hints at the next frame before asking about the current one,
// which was hinted at the time before.
std::deque<Ahead>& ahead() {
  static std::deque<Ahead> pending;
  return pending;
}

// Set by homography when it matched the current picture's features: the next picture will most
// likely need them too.
bool& matchedLast() {
  static bool matched = false;
  return matched;
}

// The features of a picture, from a two-entry cache that keeps the most recently used: the
// reference, given again for several frames, stays while each new current frame replaces the
// one before. A picture whose features are being found ahead waits for them.
Features& featuresOf(const cv::Mat& image) {
  static Features cache[2];
  static uint64_t lastUse[2] = {0, 0};
  static uint64_t clock = 0;
  uint64_t key = fingerprint(image);
  for (int k = 0; k < 2; ++k) {
    if (cache[k].key == key && cache[k].size == image.size() && !cache[k].grey.empty()) {
      lastUse[k] = ++clock;
      return cache[k];
    }
  }
  int oldest = lastUse[0] <= lastUse[1] ? 0 : 1;
  lastUse[oldest] = ++clock;
  Features& slot = cache[oldest];
  for (Ahead& pending : ahead()) {
    if (!pending.features.valid() || pending.key != key || pending.size != image.size()) continue;
    try {
      slot = pending.features.get();
      return slot;
    } catch (const std::exception&) {  // made again here, where a failure is answered as usual
      break;
    }
  }
  slot = featuresFor(image, key);
  return slot;
}

#if defined(__x86_64__) || defined(__i386__)
#define TV_WITH_POPCOUNT __attribute__((target("popcnt")))
bool hasPopcount() {
  return __builtin_cpu_supports("popcnt");
}
#else
#define TV_WITH_POPCOUNT
bool hasPopcount() {
  return true;
}
#endif

// Hamming distances from rows [top, bottom) of a to every row of b. ORB's descriptors are 32
// bytes: four words each, compared with the processor's population count where it has one
// (OpenCV's general routine spent more on calling itself per pair than on counting).
TV_WITH_POPCOUNT void hammingWithPopcount(const cv::Mat& a, int top, int bottom, const cv::Mat& b,
                                          cv::Mat& out) {
  const int words = a.cols / 8;
  for (int i = top; i < bottom; ++i) {
    uint64_t mine[8];
    std::memcpy(mine, a.ptr(i), size_t(words) * 8);
    int* row = out.ptr<int>(i - top);
    for (int j = 0; j < b.rows; ++j) {
      const uchar* theirs = b.ptr(j);
      int distance = 0;
      for (int w = 0; w < words; ++w) {
        uint64_t word;
        std::memcpy(&word, theirs + 8 * w, 8);
        distance += __builtin_popcountll(mine[w] ^ word);
      }
      row[j] = distance;
    }
  }
}

void hammingDistances(const cv::Mat& a, int top, int bottom, const cv::Mat& b, cv::Mat& out) {
  static const bool popcount = hasPopcount();
  if (popcount && a.type() == CV_8U && b.type() == CV_8U && a.cols == b.cols && a.cols % 8 == 0 &&
      a.cols <= 64) {
    out.create(bottom - top, b.rows, CV_32S);
    hammingWithPopcount(a, top, bottom, b, out);
    return;
  }
  cv::batchDistance(a.rowRange(top, bottom), b, out, CV_32S, cv::noArray(), cv::NORM_HAMMING);
}

// Matches from a to b that pass the ratio test and are each other's nearest neighbours. The
// distances are computed once for both directions, a block of a's features at a time so that
// the table stays small; ties go to the earlier feature, as a brute force matcher's would.
std::vector<cv::DMatch> mutualMatches(const Features& a, const Features& b) {
  constexpr int kBlock = 64;
  std::vector<cv::DMatch> kept;
  if (a.descriptors.rows < 2 || b.descriptors.rows < 2) return kept;
  const int rows = a.descriptors.rows, cols = b.descriptors.rows;
  // a's nearest two in b, and b's nearest in a.
  std::vector<int> first(rows), firstDistance(rows), secondDistance(rows);
  std::vector<int> nearestOfB(cols, 0), nearestDistance(cols, INT32_MAX);
  cv::Mat distances;
  for (int top = 0; top < rows; top += kBlock) {
    const int bottom = std::min(rows, top + kBlock);
    hammingDistances(a.descriptors, top, bottom, b.descriptors, distances);
    for (int i = top; i < bottom; ++i) {
      const int* row = distances.ptr<int>(i - top);
      int best = 0, next = -1;
      for (int j = 0; j < cols; ++j) {
        if (row[j] < nearestDistance[j]) {
          nearestDistance[j] = row[j];
          nearestOfB[j] = i;
        }
        if (j == 0) continue;
        if (row[j] < row[best]) {
          next = best;
          best = j;
        } else if (next < 0 || row[j] < row[next]) {
          next = j;
        }
      }
      first[i] = best;
      secondDistance[i] = row[next];
      firstDistance[i] = row[best];
    }
  }
  for (int i = 0; i < rows; ++i) {
    if (firstDistance[i] >= kRatio * secondDistance[i]) continue;
    if (nearestOfB[first[i]] != i) continue;
    kept.emplace_back(i, first[i], float(firstDistance[i]));
  }
  return kept;
}

// The flip from OpenCV pixel positions to the lower-left convention, for a picture `rows` high.
cv::Matx33d flip(int rows) {
  return {1, 0, 0.5, 0, -1, rows - 0.5, 0, 0, 1};
}

// A homography that keeps the picture a convex quadrilateral of sensible size, turned the same
// way round (no mirror, no fold, no point sent to infinity).
bool plausible(const cv::Matx33d& h, cv::Size size) {
  cv::Point2d corners[4] = {{0, 0},
                            {double(size.width), 0},
                            {double(size.width), double(size.height)},
                            {0, double(size.height)}};
  cv::Point2d mapped[4];
  for (int k = 0; k < 4; ++k) {
    cv::Vec3d p = h * cv::Vec3d(corners[k].x, corners[k].y, 1);
    if (!(p[2] > 1e-6)) return false;
    mapped[k] = {p[0] / p[2], p[1] / p[2]};
    if (!std::isfinite(mapped[k].x) || !std::isfinite(mapped[k].y)) return false;
  }
  double area = 0;
  for (int k = 0; k < 4; ++k) {
    const cv::Point2d& a = mapped[k];
    const cv::Point2d& b = mapped[(k + 1) % 4];
    const cv::Point2d& c = mapped[(k + 2) % 4];
    if ((b - a).cross(c - b) <= 0) return false;
    area += a.cross(b) / 2;
  }
  double ratio = area / (double(size.width) * size.height);
  return ratio > 0.25 && ratio < 4;
}

// How far apart two homographies put the picture's corners, pixels.
double cornerDistance(const cv::Matx33d& a, const cv::Matx33d& b, cv::Size size) {
  double largest = 0;
  for (cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(size.width, 0),
                        cv::Point2d(size.width, size.height), cv::Point2d(0, size.height)}) {
    cv::Vec3d p = a * cv::Vec3d(c.x, c.y, 1), q = b * cv::Vec3d(c.x, c.y, 1);
    if (!(std::abs(p[2]) > 1e-9 && std::abs(q[2]) > 1e-9)) return INFINITY;
    largest = std::max(largest, std::hypot(p[0] / p[2] - q[0] / q[2], p[1] / p[2] - q[1] / q[2]));
  }
  return largest;
}

// Whether a homography moves the picture's corners within kShiftOnlyWithin pixels of where its
// shift at the centre alone would put them.
bool nearlyAShift(const cv::Matx33d& h, cv::Size size) {
  const cv::Vec3d c(size.width * 0.5, size.height * 0.5, 1), p = h * c;
  if (!(std::abs(p[2]) > 1e-9)) return false;
  const cv::Matx33d shift(1, 0, p[0] / p[2] - c[0], 0, 1, p[1] / p[2] - c[1], 0, 0, 1);
  return cornerDistance(h, shift, size) <= kShiftOnlyWithin;
}

// The homography fitted on Lucas-Kanade correspondences, and how many of the reference's
// corners agree with it.
struct Refinement {
  cv::Matx33d homography;
  int inliers = 0;
};

// ORB finds its corners on whole pixels of its pyramid levels, and its matches leave the
// homography off by a pixel or so at the frame's corners. To place it to a fraction of a pixel,
// the current picture is warped onto the reference with the estimate; what remains is a small
// shift everywhere, which Lucas-Kanade measures at well-spread corners of the reference, free
// of the scale and rotation that would bias it otherwise. The homography is fitted again on
// those correspondences, keeping the ones within half a pixel. `largestShift` is how far a
// corner may have moved from where the estimate puts it (pixels), `levels` the pyramid levels
// Lucas-Kanade may use to reach that far; `warp` false looks in the current picture itself
// whatever the estimate's scale and rotation.
std::optional<Refinement> refinement(const Features& cur, Features& ref,
                                     const cv::Matx33d& estimate, double largestShift, int levels,
                                     bool warp = true) {
  if (!ref.cornersFound) {
    double spacing = std::max(8.0, std::hypot(ref.grey.cols, ref.grey.rows) / 60);
    cv::goodFeaturesToTrack(ref.grey, ref.corners, kCorners, 0.01, spacing);
    ref.cornersFound = true;
  }
  if (ref.corners.size() < size_t(kMinInliers)) return std::nullopt;
  if (ref.pyramidLevels < levels)
    ref.pyramidLevels = cv::buildOpticalFlowPyramid(ref.grey, ref.pyramid, kWindow, kLevels, true);
  const cv::Matx33d back = estimate.inv();
  const cv::Rect2f inside(0, 0, float(cur.grey.cols - 1), float(cur.grey.rows - 1));
  const cv::TermCriteria stop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.005);
  std::vector<cv::Point2f> tracked;
  std::vector<uchar> status;
  std::vector<float> error;
  std::vector<cv::Point2f> from, to;
  if (!warp || nearlyAShift(estimate, ref.grey.size())) {
    // Scale and rotation too small to bias a window: the corners are looked for in the current
    // picture itself, from where the estimate puts them, without warping it first.
    std::vector<cv::Point2f> expected;
    expected.reserve(ref.corners.size());
    for (const cv::Point2f& corner : ref.corners) {
      cv::Vec3d p = back * cv::Vec3d(corner.x, corner.y, 1);
      expected.emplace_back(float(p[0] / p[2]), float(p[1] / p[2]));
    }
    tracked = expected;
    cv::calcOpticalFlowPyrLK(ref.pyramid, cur.grey, ref.corners, tracked, status, error, kWindow,
                             levels, stop, cv::OPTFLOW_USE_INITIAL_FLOW);
    for (size_t k = 0; k < tracked.size(); ++k) {
      if (!status[k] || cv::norm(tracked[k] - expected[k]) > largestShift) continue;
      if (!inside.contains(tracked[k])) continue;
      from.push_back(tracked[k]);
      to.push_back(ref.corners[k]);
    }
  } else {
    cv::Mat warped;
    cv::warpPerspective(cur.grey, warped, estimate, ref.grey.size(), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT);
    tracked = ref.corners;
    cv::calcOpticalFlowPyrLK(ref.pyramid, warped, ref.corners, tracked, status, error, kWindow,
                             levels, stop, cv::OPTFLOW_USE_INITIAL_FLOW);
    for (size_t k = 0; k < tracked.size(); ++k) {
      if (!status[k] || cv::norm(tracked[k] - ref.corners[k]) > largestShift) continue;
      cv::Vec3d p = back * cv::Vec3d(tracked[k].x, tracked[k].y, 1);
      if (!(std::abs(p[2]) > 1e-9)) continue;
      cv::Point2f original(float(p[0] / p[2]), float(p[1] / p[2]));
      if (!inside.contains(original)) continue;
      from.push_back(original);
      to.push_back(ref.corners[k]);
    }
  }
  if (int(from.size()) < kMinInliers) return std::nullopt;
  std::vector<uchar> mask;
  // PROSAC-style sampling (RHO): these correspondences are nearly all good, and at half a pixel
  // plain RANSAC spent most of a camera track's time drawing and scoring samples.
  cv::Mat better = cv::findHomography(from, to, cv::RHO, 0.5, mask, 2000, 0.999);
  if (better.empty()) return std::nullopt;
  int inliers = int(std::count(mask.begin(), mask.end(), uchar(1)));
  if (inliers < kMinInliers) return std::nullopt;
  return Refinement{cv::Matx33d(better), inliers};
}

cv::Matx33d refined(const Features& cur, Features& ref, const cv::Matx33d& estimate, bool warp) {
  auto better = refinement(cur, ref, estimate, 2, 2, warp);
  return better ? better->homography : estimate;
}

// The camera mode registers each frame of a video with a reference a few frames back, so the
// previous answer for the same reference, moved on by the last frame's step (or that step
// alone, when the reference is the previous frame), already lies within a pixel or so:
// Lucas-Kanade from there replaces ORB on the frame. A first pass reaches far (up to 40
// pixels, 4 pyramid levels); only when its answer moved the corners by more than
// kSecondLookFrom pixels, a second pass from it refines it. Measured on a steady 1080p pan:
// the first pass lands 0.9-1.5 pixels from the prediction at the corners, which is the
// answers' own scatter there, and a second look at that distance changed the path by less
// than its error (worst 1.34 px against 1.39 with a second look from 1 pixel, for 60 % of the
// time). The answer counts only when most of the reference's corners agree with it; otherwise
// ORB decides, and `disagreed` says that the corners were followed but too few of them agree.
std::optional<cv::Matx33d> fromPrevious(const Features& cur, Features& ref,
                                        const cv::Matx33d& previous, bool& disagreed) {
  auto first = refinement(cur, ref, previous, 40, 3);
  if (!first) return std::nullopt;
  Refinement answer = *first;
  if (cornerDistance(first->homography, previous, cur.grey.size()) > kSecondLookFrom) {
    auto second = refinement(cur, ref, first->homography, 2, 2);
    if (!second) return std::nullopt;
    answer = *second;
  }
  if (answer.inliers < kMinPreviousShare * double(ref.corners.size())) {
    disagreed = true;
    return std::nullopt;
  }
  return answer.homography;
}

// The homography in the picture's own pixels (top-left origin), by ORB matching and refinement.
// `sceneBends`: too few of the reference's corners agreed with the look from the previous
// answer, so the scene moves in a way one homography does not carry (see homography), and the
// refinement looks in the current picture without warping it by RANSAC's estimate first.
std::optional<cv::Matx33d> byFeatures(Features& cur, Features& ref, cv::Size size,
                                      bool sceneBends) {
  matchedLast() = true;
  findOrb(ref);
  findOrb(cur);
  std::vector<cv::DMatch> matches = mutualMatches(cur, ref);
  if (int(matches.size()) < kMinInliers) return std::nullopt;
  std::vector<cv::Point2f> from, to;
  for (const auto& m : matches) {
    from.push_back(cur.points[m.queryIdx].pt);
    to.push_back(ref.points[m.trainIdx].pt);
  }
  double diagonal = std::hypot(size.width, size.height);
  double threshold = std::max(1.5, diagonal * 0.003);
  std::vector<uchar> inlierMask;
  cv::Mat found = cv::findHomography(from, to, cv::RANSAC, threshold, inlierMask, 4000, 0.999);
  if (found.empty()) return std::nullopt;
  int inliers = int(std::count(inlierMask.begin(), inlierMask.end(), uchar(1)));
  if (inliers < kMinInliers || inliers < kMinInlierShare * double(matches.size()))
    return std::nullopt;
  return refined(cur, ref, cv::Matx33d(found), !sceneBends);
}

}  // namespace

std::optional<cv::Matx33f> homography(const cv::Mat& reference, const cv::Mat& current) {
  // The last answers (top-left pixels), so that a pair given again gets the same answer
  // whatever came between, and the next frame starts from the previous one's.
  struct Answer {
    uint64_t reference = 0, current = 0;
    std::optional<cv::Matx33d> topLeft;
    // The look from the previous answer did not hold (or was not tried since it last failed).
    bool lookFailed = false;
    // It failed because too few of the reference's corners agreed with it (see byFeatures).
    bool sceneBends = false;
  };
  static Answer recent[4];
  static size_t next = 0;
  try {
    if (reference.empty() || current.empty()) return std::nullopt;
    matchedLast() = false;
    // The second look-up never evicts the first: it is the most recently used.
    Features& ref = featuresOf(reference);
    Features& cur = featuresOf(current);
    std::optional<cv::Matx33d> topLeft;
    const Answer* same = nullptr;
    const Answer* previous = nullptr;   // the last answer for this reference
    const Answer* lastAsked = nullptr;  // the last question about this reference
    const Answer& last = recent[(next + 3) % 4];
    const Answer& beforeLast = recent[(next + 2) % 4];
    for (size_t k = 0; k < 4; ++k) {
      const Answer& a = recent[(next + 3 - k) % 4];
      if (a.reference == ref.key && a.current == cur.key && !same) same = &a;
      if (a.reference == ref.key && a.topLeft && !previous) previous = &a;
      if (a.reference == ref.key && !lastAsked) lastAsked = &a;
    }
    // The reference is the frame asked about last: it moved little since.
    bool referenceWasCurrent = last.current == ref.key && last.reference != 0;
    // The last two answers against one reference, for consecutive frames: the motion between
    // them, the picture moving on steadily, predicts the next frame's to a fraction of a pixel
    // on a steady pan, so that one Lucas-Kanade look from there is as good as two.
    std::optional<cv::Matx33d> stepBack;  // the last frame's pixels to the one before's
    if (last.topLeft && beforeLast.topLeft && last.reference == beforeLast.reference &&
        last.reference != 0) {
      // Only its shift at the picture's centre: the two answers' small errors in the
      // perspective terms would add up at the corners.
      const cv::Matx33d back = beforeLast.topLeft->inv() * *last.topLeft;
      const cv::Vec3d c(current.cols * 0.5, current.rows * 0.5, 1), p = back * c;
      if (std::abs(p[2]) > 1e-9)
        stepBack = cv::Matx33d(1, 0, p[0] / p[2] - c[0], 0, 1, p[1] / p[2] - c[1], 0, 0, 1);
    }
    if (same) {
      topLeft = same->topLeft;
    } else {
      // Where the reference's corners did not agree with a look from the previous answer,
      // the scene moves in a way one homography does not carry at that precision (a talking
      // head against a plain wall: the corners lie on the face and the face moves by itself),
      // and the look fails again on the next frames while costing about as much as matching
      // features. Features decide for the rest of that reference; a new reference tries again.
      const bool lookAgain = !(lastAsked && lastAsked->lookFailed);
      bool lookFailed = false, sceneBends = false;
      if (lookAgain && ref.isTextured && cur.isTextured && current.size() == reference.size()) {
        if (previous) {
          const bool steady = stepBack && previous == &last;
          topLeft = fromPrevious(cur, ref, steady ? *last.topLeft * *stepBack : *previous->topLeft,
                                 sceneBends);
        } else if (referenceWasCurrent) {
          topLeft = fromPrevious(cur, ref, stepBack ? *stepBack : cv::Matx33d::eye(), sceneBends);
        }
        lookFailed = !topLeft && (previous || referenceWasCurrent);
      } else if (!lookAgain) {
        lookFailed = true;
        sceneBends = lastAsked->sceneBends;
      }
      if (!topLeft) topLeft = byFeatures(cur, ref, current.size(), sceneBends);
      if (topLeft && !plausible(*topLeft, current.size())) topLeft.reset();
      recent[next] = {ref.key, cur.key, topLeft, lookFailed, sceneBends};
      next = (next + 1) % 4;
    }
    if (!topLeft) return std::nullopt;
    cv::Matx33d lowerLeft = flip(reference.rows) * *topLeft * flip(current.rows).inv();
    if (!(std::abs(lowerLeft(2, 2)) > 1e-12)) return std::nullopt;
    lowerLeft *= 1.0 / lowerLeft(2, 2);
    return cv::Matx33f(lowerLeft);
  } catch (const std::exception&) {  // cv::Exception included
    return std::nullopt;
  }
}

void homographyAhead(const cv::Mat& next) {
  // Only the features: whether the next frame looks from the previous answer or matches
  // features is decided once the frame before it is answered, and matching goes on for a while
  // once it starts (see homography). Where it was not needed last time nothing is found ahead,
  // so a pass that follows its frames by Lucas-Kanade alone spends nothing more.
  static Background worker;
  std::deque<Ahead>& pending = ahead();
  if (pending.size() >= 2) pending.pop_front();
  if (next.empty() || !matchedLast()) return;
  const uint64_t key = fingerprint(next);
  pending.push_back({key, next.size(), {}});
  pending.back().features = worker.run([next, key] {
    Features made = featuresFor(next, key);
    // An ORB of the task's own: the calling thread's may be at work at the same time.
    findOrb(made, *cv::ORB::create(kFeatures));
    return made;
  });
}

NearRegistration registeredNear(const cv::Mat& reference, const cv::Mat& current, double reach,
                                const cv::Mat& where, bool look) {
  // The two pictures already lie within `reach` pixels of each other, so Lucas-Kanade from the
  // identity finds what ORB's matching would only have started the same refinement from: one
  // look that reaches that far, then one at full resolution from its answer, as after ORB.
  // When that does not hold, or the caller leaves the look out, the features decide as usual.
  try {
    if (reference.empty() || current.empty() || reference.size() != current.size() || !(reach > 0))
      return {homography(reference, current)};
    Features& ref = featuresOf(reference);
    Features& cur = featuresOf(current);
    if (!ref.isTextured || !cur.isTextured) return {homography(reference, current)};
    if (!where.empty() && !ref.cornersFound) {
      if (where.size() != reference.size() || where.type() != CV_8U) return {};
      // Only corners whose Lucas-Kanade window lies wholly on the scene: the strongest corners
      // of a plane cut out of its surroundings are on the cut, which the current picture does
      // not show, and on a smooth picture they are most of them. The features' refinement
      // uses them too, so they are found whether or not the look is tried.
      cv::Mat inside;
      cv::erode(where, inside, cv::Mat(), cv::Point(-1, -1), kWindow.width / 2);
      const double spacing = std::max(8.0, std::hypot(ref.grey.cols, ref.grey.rows) / 60);
      cv::goodFeaturesToTrack(ref.grey, ref.corners, kCorners, 0.01, spacing, inside);
      ref.cornersFound = true;
    }
    if (!look) return {homography(reference, current)};
    const int levels = reach <= 8 ? 1 : reach <= 20 ? 2 : kLevels;
    auto first = refinement(cur, ref, cv::Matx33d::eye(), reach, levels);
    std::optional<Refinement> second;
    if (first) second = refinement(cur, ref, first->homography, 2, 2);
    if (!second || second->inliers < kMinPreviousShare * double(ref.corners.size()) ||
        !plausible(second->homography, current.size()))
      return {homography(reference, current)};
    cv::Matx33d lowerLeft = flip(reference.rows) * second->homography * flip(current.rows).inv();
    if (!(std::abs(lowerLeft(2, 2)) > 1e-12)) return {};
    lowerLeft *= 1.0 / lowerLeft(2, 2);
    return {cv::Matx33f(lowerLeft), true};
  } catch (const std::exception&) {  // cv::Exception included
    return {};
  }
}

std::optional<cv::Matx33f> homographyNear(const cv::Mat& reference, const cv::Mat& current,
                                          double reach, const cv::Mat& where) {
  return registeredNear(reference, current, reach, where, true).homography;
}

std::optional<cv::Point2d> translation(const cv::Mat& reference, const cv::Mat& current) {
  try {
    if (reference.empty() || current.empty() || reference.size() != current.size())
      return std::nullopt;
    cv::Mat a = greyOf(reference), b = greyOf(current);
    if (!textured(a) || !textured(b)) return std::nullopt;
    // Large frames are correlated at half size or less: the answer stays within a few tenths
    // of a pixel, at a fraction of the cost.
    int factor = int(std::ceil(std::max(a.cols, a.rows) / kLargestCorrelated));
    if (factor > 1) {
      cv::Size reduced(a.cols / factor, a.rows / factor);
      cv::resize(a, a, reduced, 0, 0, cv::INTER_AREA);
      cv::resize(b, b, reduced, 0, 0, cv::INTER_AREA);
    }
    cv::Mat fa, fb;
    a.convertTo(fa, CV_32F);
    b.convertTo(fb, CV_32F);
    // The window keeps the picture's edges, which do not move with the content, out of it.
    cv::Mat window;
    cv::createHanningWindow(window, fa.size(), CV_32F);
    double response = 0;
    cv::Point2d shift = cv::phaseCorrelate(fa, fb, window, &response);
    if (!(response >= kMinResponse) || !std::isfinite(shift.x) || !std::isfinite(shift.y))
      return std::nullopt;
    // phaseCorrelate gives how far the current content lies from the reference content, x
    // right and y down; the aligning transform moves it back, and y points up here.
    double sx = double(reference.cols) / a.cols, sy = double(reference.rows) / a.rows;
    return cv::Point2d(-shift.x * sx, shift.y * sy);
  } catch (const std::exception&) {  // cv::Exception included
    return std::nullopt;
  }
}

}  // namespace tv::analyses
