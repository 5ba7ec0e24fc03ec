#include "vision/segmodels.h"
#include "vision/pixels.h"

#include "vision/models.h"

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tv::segmodels {
namespace {

// Written by scripts/models (scripts/tfjs2onnx) from the TFJS graphs of the human-models
// package. Both take NCHW RGB input; their outputs are NCHW.
constexpr const char* kMatteFile = "selfie.onnx";
constexpr const char* kMatteName = "person segmentation";
constexpr const char* kDetectorFile = "centernet.onnx";
constexpr const char* kDetectorName = "object detector";
// The video matting network (MobileNetV3 encoder, recurrent decoder, guided-filter refiner),
// converted for one picture: a zero recurrent state and a fixed input of kMattingWidth x
// kMattingHeight, which it works at three quarters and refines back to full size. Its input is
// NCHW RGB in 0..1 and its output the alpha (NCHW, one channel).
constexpr const char* kMattingFile = "rvm.onnx";
constexpr const char* kMattingName = "person matting";
// Measured on the firemen below: at 480 x 640 no better (0.001), 0.3 s slower and 45 MB more.
constexpr int kMattingWidth = 384;
constexpr int kMattingHeight = 512;
constexpr int kClasses = 80;
// Peaks closer than this in heat-map cells are one object (the graph's own 3 x 3 max pool).
constexpr int kPeakRadius = 1;
constexpr int kMaxDetections = 100;
// The letterbox padding: a mid grey, which the heat map treats as plain background.
constexpr int kPadGrey = 114;
// The detector's backbone halves its input five times: its input sides are multiples of this.
constexpr int kNetworkStride = 32;
// The least grey band below or right of a picture that does not fill the detector's square.
constexpr int kEdgeBand = 64;
constexpr double kSameObjectOverlap = 0.5;
// The margin around a person box for its own matte, as a fraction of the box on each side,
// and the narrowest width of that crop relative to its height.
constexpr double kCropMarginX = 0.15;
constexpr double kCropMarginY = 0.08;
constexpr double kCropMinAspect = 0.75;
// The guided filter on a crop's matte: its radius relative to the crop's longer side, and its
// regulariser (grey levels in 0..1, squared).
constexpr double kEdgeRadius = 0.01;
constexpr double kEdgeEpsilon = 1e-3;
// Crop mattes kept for the other analysis of the same frame: at most this many, and this many
// bytes (a frame full of people, or two large ones at 1024 pixels).
constexpr size_t kKeptCrops = 24;
constexpr size_t kKeptCropBytes = size_t(8) << 20;
// A still picture's person crop is matted by the matting network, and its alpha refined by
// GrabCut at most this long on its longer side, with kFineIterations passes from a fixed seed.
// Its labels: sure person where the alpha is at least kFineSure, eroded by kFineBand of the
// working side; unsure where it is at least kInsideMatte (person), within kFineBand of that or
// within the box grown by kFineBoxGrowth of its longer side (background); sure background
// elsewhere. The person is what either of them takes in: the network's alpha misses a silver
// suit's legs over grey graffiti, GrabCut a boot of another colour than the suit. Measured on
// photographed firemen in full gear over busy photos (box from the detector), intersection over
// union with the composite's alpha, mean (worst) of eight: the selfie matte 0.88, GrabCut on it
// 0.926 (0.907), the matting network 0.941 (0.801), both 0.964 (0.921). The GrabCut alone: at
// 384 pixels 0.91, at 512 and 8 passes no better.
constexpr int kFineSide = 512;
constexpr int kFineIterations = 4;
// Seeded from the matting network's alpha, two passes do as well (the same eight figures to
// 0.001, 7 % quicker).
constexpr int kMattedIterations = 2;
constexpr float kFineSure = 0.9f;
constexpr float kInsideMatte = 0.5f;
constexpr double kFineBand = 0.08;
constexpr double kFineBoxGrowth = 0.03;
constexpr uint64 kFineSeed = 0x9E3779B97F4A7C15ULL;
// A refinement whose person differs from the matte's by more than this factor either way has
// followed the backdrop (or lost the figure): the matte stays.
constexpr double kFineMostChange = 1.6;
// Only a figure in a scene is refined: a crop larger than this share of the picture is a
// close-up, which the network draws at nearly the picture's own scale (and which would cost
// GrabCut a full-size crop).
constexpr double kFineLargestShare = 0.6;
// From this radius (pixels) the guided filter's coefficients are computed at half size.
constexpr int kHalveFromRadius = 4;

// One network, loaded under its own lock: the image command loads the networks on a second
// thread while it decodes the picture. One that fails to load is tried again by the next caller.
struct Loaded {
  std::mutex loading;
  std::optional<cv::dnn::Net> net;
};

cv::dnn::Net& loadedOnce(Loaded& slot, const char* file, const char* name) {
  std::lock_guard<std::mutex> hold(slot.loading);
  if (!slot.net) slot.net = loadNetwork(file, name);
  return *slot.net;
}

// One input through a network: its one-channel output (CV_32FC1, rows x cols, a copy), or empty
// when the output has another shape. Crops of several people may be drawn from parallel threads;
// one network runs one input at a time, under `running`.
cv::Mat singleMap(cv::dnn::Net& net, std::mutex& running, const cv::Mat& blob, int rows, int cols) {
  std::lock_guard<std::mutex> hold(running);
  net.setInput(blob);
  cv::Mat out = net.forward();
  if (out.dims != 4 || out.size[1] != 1 || out.size[2] != rows || out.size[3] != cols) return {};
  return cv::Mat(rows, cols, CV_32F, out.ptr<float>()).clone();
}

cv::dnn::Net& matteNet() {
  static Loaded slot;
  return loadedOnce(slot, kMatteFile, kMatteName);
}

// The matting network is optional. Its authors publish it under the GPL-3.0, which a packager
// may not want to ship: without the file a photo's people are refined by GrabCut on the selfie
// matte alone. A file that is there but cannot be read is an error, as for the other networks.
// It loads when a first figure needs it (0.14 s): loaded ahead, it slowed a close-up's person
// mode by a tenth of a second.
bool mattingInstalled() {
  static const bool installed = !findModel(kMattingFile).empty();
  return installed;
}

cv::dnn::Net& mattingNet() {
  static Loaded slot;
  return loadedOnce(slot, kMattingFile, kMattingName);
}

cv::dnn::Net& detectorNet() {
  static Loaded slot;
  return loadedOnce(slot, kDetectorFile, kDetectorName);
}

}  // namespace

// Eight bytes at a time, each word multiplied in and mixed, so that moved or swapped bytes
// change it.
uint64_t fingerprint(const cv::Mat& image) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ uint64_t(image.total());
  const size_t rowBytes = image.cols * image.elemSize();
  for (int y = 0; y < image.rows; ++y) {
    const uchar* row = image.ptr(y);
    size_t x = 0;
    for (; x + 8 <= rowBytes; x += 8) {
      uint64_t w;
      std::memcpy(&w, row + x, 8);
      h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
      h ^= h >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, row + x, rowBytes - x);
    h = (h ^ tail ^ (uint64_t(y) << 32)) * 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 32;
  }
  return h;
}

void loadNetworks() {
  matteNet();
  detectorNet();
}

cv::Mat shrunkBgr(const cv::Mat& image, cv::Size size) {
  if (size == image.size()) return bgrOf(image);
  // The image command asks from two threads at once (the instances and the salient objects
  // of one picture).
  static std::mutex keeping;
  std::lock_guard<std::mutex> hold(keeping);
  // The picture is recognised by a fingerprint of all its bytes rather than by a copy: a
  // 12-megapixel still would otherwise hold 48 MB more for the whole run.
  struct Seen {
    int type = -1;
    cv::Size size;
    uint64_t print = 0;
  };
  static Seen last;
  static cv::Mat lastShrunk;
  const Seen now{image.type(), image.size(), fingerprint(image)};
  if (now.type == last.type && now.size == last.size && now.print == last.print &&
      lastShrunk.size() == size)
    return lastShrunk;
  // Converted first: area averaging of three channels costs two thirds of four.
  cv::Mat bgr;
  cv::resize(bgrOf(image), bgr, size, 0, 0, cv::INTER_AREA);
  last = now;
  lastShrunk = bgr;
  return bgr;
}

cv::Mat personProbability(const cv::Mat& image) {
  // The selfie graph wants RGB in 0..1.
  cv::Mat blob = cv::dnn::blobFromImage(bgrOf(image), 1.0 / 255, cv::Size(kMatteInput, kMatteInput),
                                        cv::Scalar(), true, false);
  static std::mutex running;
  return singleMap(matteNet(), running, blob, kMatteInput, kMatteInput);
}

namespace {

// The objects carried over to one picture, known by its size, type and fingerprint.
struct Carried {
  cv::Size size;
  int type = -1;
  uint64_t print = 0;
  std::vector<Detection> found;
};

Carried& carried() {
  static Carried kept;
  return kept;
}

// The carried objects and the detector's last outputs are shared by the analyses of one
// picture, which the image command runs on two threads at once: the second to ask waits for
// the first one's run and reuses it.
std::mutex& detecting() {
  static std::mutex lock;
  return lock;
}

bool carriedForLocked(const cv::Mat& image) {
  const Carried& given = carried();
  return !image.empty() && given.type == image.type() && given.size == image.size() &&
         given.print == fingerprint(image);
}

}  // namespace

void carryDetections(const cv::Mat& image, std::vector<Detection> found) {
  std::lock_guard<std::mutex> hold(detecting());
  Carried& kept = carried();
  if (image.empty()) {
    kept = Carried{};
    return;
  }
  kept = Carried{image.size(), image.type(), fingerprint(image), std::move(found)};
}

bool carriedFor(const cv::Mat& image) {
  std::lock_guard<std::mutex> hold(detecting());
  return carriedForLocked(image);
}

std::vector<Detection> detectObjects(const cv::Mat& image, float minScore) {
  cv::dnn::Net& net = detectorNet();
  if (image.empty()) return {};
  std::lock_guard<std::mutex> hold(detecting());
  const Carried& given = carried();
  if (carriedForLocked(image)) {
    std::vector<Detection> found;
    for (const auto& d : given.found)
      if (d.score >= minScore) found.push_back(d);
    return found;
  }
  // The detector wants RGB in 0..255. The picture keeps its aspect (stretched, people turn
  // thin and score lower): its longer side is scaled to the detector's input, and the other
  // side is padded with grey below or right, a band and then up to the network's stride. The
  // network is fully convolutional, so a 16:9 frame costs a 512 x 352 pass instead of a 512
  // square that is almost half padding (two thirds of the time).
  cv::Mat bgr = bgrOf(image);
  const double scale = double(kDetectorInput) / std::max(bgr.cols, bgr.rows);
  cv::Size fitted(std::max(1, int(std::lround(bgr.cols * scale))),
                  std::max(1, int(std::lround(bgr.rows * scale))));
  // The shorter side keeps a band of grey: an object standing on the picture's edge scores
  // much lower when the network sees the edge itself (measured on a cup just above the lower
  // edge of four 16:9 composites: 0.35-0.53 in the square, 0.18-0.37 without a band, 0.33-0.47
  // with this one).
  auto padded = [](int side) {
    if (side >= kDetectorInput) return kDetectorInput;
    int wanted = side + kEdgeBand;
    return std::min(kDetectorInput,
                    (wanted + kNetworkStride - 1) / kNetworkStride * kNetworkStride);
  };
  const cv::Size input(padded(fitted.width), padded(fitted.height));
  fitted = cv::Size(std::min(fitted.width, input.width), std::min(fitted.height, input.height));
  // Person segmentation and foreground instances of the same frame (the segmenter asks for
  // both) share one detector run: the outputs are kept for the last input.
  static cv::Mat lastInput;
  static std::vector<cv::Mat> outs;
  static cv::Mat letterbox;
  letterbox.create(input, CV_8UC3);
  letterbox.setTo(cv::Scalar(kPadGrey, kPadGrey, kPadGrey));
  cv::resize(bgr, letterbox(cv::Rect(cv::Point(), fitted)), fitted, 0, 0, cv::INTER_AREA);
  bool same = !lastInput.empty() && outs.size() == 2 && lastInput.size() == letterbox.size() &&
              std::equal(letterbox.datastart, letterbox.dataend, lastInput.datastart);
  if (!same) {
    cv::Mat blob = cv::dnn::blobFromImage(letterbox, 1.0, cv::Size(), cv::Scalar(), true, false);
    net.setInput(blob);
    std::vector<cv::Mat> fresh;
    net.forward(fresh, std::vector<cv::String>{"tower_0_keypoints", "tower_0_wh"});
    outs.clear();
    for (const auto& o : fresh) outs.push_back(o.clone());
    letterbox.copyTo(lastInput);
  }
  const int cols = input.width / kDetectorStride, rows = input.height / kDetectorStride;
  if (outs.size() != 2 || outs[0].dims != 4 || outs[0].size[2] != rows || outs[0].size[3] != cols ||
      outs[0].total() != size_t(kClasses) * cols * rows ||
      outs[1].total() != size_t(4) * cols * rows)
    return {};
  const float* heat = outs[0].ptr<float>();
  const float* sides = outs[1].ptr<float>();  // left, top, right, bottom in input pixels
  const size_t plane = size_t(cols) * rows;
  const double sx = 1 / scale, sy = 1 / scale;

  std::vector<Detection> found;
  for (int c = 0; c < kClasses; ++c) {
    const float* h = heat + c * plane;
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < cols; ++x) {
        float v = h[y * cols + x];
        if (!(v >= minScore)) continue;
        bool peak = true;
        for (int dy = -kPeakRadius; dy <= kPeakRadius && peak; ++dy)
          for (int dx = -kPeakRadius; dx <= kPeakRadius; ++dx) {
            int yy = y + dy, xx = x + dx;
            if (yy < 0 || xx < 0 || yy >= rows || xx >= cols) continue;
            if (h[yy * cols + xx] > v) {
              peak = false;
              break;
            }
          }
        if (!peak) continue;
        size_t p = size_t(y) * cols + x;
        float cx = float(x * kDetectorStride), cy = float(y * kDetectorStride);
        float left = cx - sides[p], top = cy - sides[plane + p];
        float right = cx + sides[2 * plane + p], bottom = cy + sides[3 * plane + p];
        if (!(right > left && bottom > top)) continue;
        cv::Rect2f box(float(left * sx), float(top * sy), float((right - left) * sx),
                       float((bottom - top) * sy));
        box &= cv::Rect2f(0, 0, float(image.cols), float(image.rows));
        if (box.width < 1 || box.height < 1) continue;
        found.push_back({box, c, v});
      }
    }
  }
  std::sort(found.begin(), found.end(),
            [](const Detection& a, const Detection& b) { return a.score > b.score; });
  std::vector<Detection> kept;
  for (const auto& d : found) {
    bool duplicate = std::any_of(kept.begin(), kept.end(), [&](const Detection& k) {
      return k.label == d.label && overlap(k.box, d.box) > kSameObjectOverlap;
    });
    if (!duplicate) kept.push_back(d);
    if (int(kept.size()) >= kMaxDetections) break;
  }
  return kept;
}

namespace {

// The picture in grey, DetectorCadence::kThumbnailSide wide, for telling whether it changed.
cv::Mat thumbnailOf(const cv::Mat& bgr) {
  const int side = DetectorCadence::kThumbnailSide;
  const int rows = std::max(1, int(std::lround(double(side) * bgr.rows / bgr.cols)));
  cv::Mat small, grey;
  cv::resize(bgr, small, cv::Size(side, rows), 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

// Whether the picture changed enough since `before` (the thumbnail of the last detection) that
// the detector should look again: over the whole picture, or over one followed region of a
// picture of `size`.
bool changed(const cv::Mat& now, const cv::Mat& before, const std::vector<cv::Rect>& regions,
             cv::Size size) {
  if (before.size() != now.size()) return true;
  cv::Mat difference;
  cv::absdiff(now, before, difference);
  if (cv::mean(difference)[0] > DetectorCadence::kChangedGrey) return true;
  const double sx = double(now.cols) / size.width, sy = double(now.rows) / size.height;
  const cv::Rect whole(0, 0, now.cols, now.rows);
  for (const auto& region : regions) {
    cv::Rect scaled(cvFloor(region.x * sx), cvFloor(region.y * sy), cvCeil(region.width * sx),
                    cvCeil(region.height * sy));
    scaled &= whole;
    if (scaled.area() > 0 && cv::mean(difference(scaled))[0] > DetectorCadence::kChangedGrey)
      return true;
  }
  return false;
}

}  // namespace

DetectorCadence::~DetectorCadence() {
  carryDetections({}, {});
}

std::vector<Detection> DetectorCadence::objects(const cv::Mat& bgr, float minScore,
                                                const std::vector<cv::Rect>& followed) {
  const cv::Mat thumbnail = thumbnailOf(bgr);
  ++since_;
  detected_ = followed.empty() || bgr.size() != size_ || since_ >= kDetectEvery ||
              changed(thumbnail, look_, followed, bgr.size());
  if (detected_) {
    carryDetections({}, {});
    found_ = detectObjects(bgr, minScore);
    look_ = thumbnail;
    size_ = bgr.size();
    since_ = 0;
  } else {
    carryDetections(bgr, found_);
  }
  std::vector<Detection> answer;
  for (const auto& d : found_)
    if (d.score >= minScore) answer.push_back(d);
  return answer;
}

cv::Rect personCrop(const cv::Size& image, const cv::Rect2f& box) {
  // The selfie network was trained on portraits that fill most of its square: a person box
  // gets a margin (the detector's boxes cut hair and hands) and is widened towards a 3:4
  // frame, so that a standing figure is not stretched sideways too much.
  double w = box.width * (1 + 2 * kCropMarginX), h = box.height * (1 + 2 * kCropMarginY);
  w = std::max(w, h * kCropMinAspect);
  double cx = box.x + box.width / 2.0, cy = box.y + box.height / 2.0;
  cv::Rect region(cvFloor(cx - w / 2), cvFloor(cy - h / 2), cvCeil(w), cvCeil(h));
  return region & cv::Rect(0, 0, image.width, image.height);
}

namespace {

// The matting network's alpha (CV_32FC1, 0..1) of a BGR crop, at the crop's size. The crop is
// scaled to fit the network's fixed input, keeping its shape, and its border repeated around
// it; empty when the network is not installed or gives no answer of that shape.
cv::Mat mattedPerson(const cv::Mat& crop) {
  if (!mattingInstalled()) return {};
  const double scale =
      std::min(double(kMattingWidth) / crop.cols, double(kMattingHeight) / crop.rows);
  const cv::Size fit(std::clamp(int(std::lround(crop.cols * scale)), 1, kMattingWidth),
                     std::clamp(int(std::lround(crop.rows * scale)), 1, kMattingHeight));
  cv::Mat scaled, framed;
  cv::resize(bgrOf(crop), scaled, fit, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  const int left = (kMattingWidth - fit.width) / 2, top = (kMattingHeight - fit.height) / 2;
  cv::copyMakeBorder(scaled, framed, top, kMattingHeight - fit.height - top, left,
                     kMattingWidth - fit.width - left, cv::BORDER_REPLICATE);
  cv::Mat blob = cv::dnn::blobFromImage(framed, 1.0 / 255, cv::Size(), cv::Scalar(), true, false);
  static std::mutex running;
  cv::Mat alpha = singleMap(mattingNet(), running, blob, kMattingHeight, kMattingWidth);
  if (alpha.empty()) return {};
  alpha = alpha(cv::Rect(left, top, fit.width, fit.height));
  cv::Mat fitted;
  cv::resize(alpha, fitted, crop.size(), 0, 0, cv::INTER_LINEAR);
  return cv::min(cv::max(fitted, 0.0), 1.0);
}

// The person in `box` (the picture's pixels) of `crop` (the picture's `region`), cut by GrabCut
// in `iterations` passes from `probability` (the upsampled selfie matte or the matting
// network's alpha, CV_32FC1 0..1, the crop's size); a 0/1 CV_32FC1 mask at the crop's size, or
// empty when GrabCut cannot model the crop or strays.
cv::Mat finePerson(const cv::Mat& crop, const cv::Mat& probability, cv::Rect region,
                   const cv::Rect2f& box, int iterations) {
  const double scale = std::min(1.0, double(kFineSide) / std::max(crop.cols, crop.rows));
  cv::Mat small, p;
  cv::resize(crop, small, cv::Size(), scale, scale, cv::INTER_AREA);
  if (small.cols < 8 || small.rows < 8) return {};
  if (small.channels() == 4) cv::cvtColor(small, small, cv::COLOR_BGRA2BGR);
  cv::resize(probability, p, small.size(), 0, 0, cv::INTER_AREA);
  const int band = std::max(3, int(kFineBand * std::max(small.cols, small.rows)) | 1);
  const cv::Mat disc = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(band, band));
  const cv::Mat person = p >= kInsideMatte;
  cv::Mat near, sure;
  cv::dilate(person, near, disc);
  cv::erode(p >= kFineSure, sure, disc);
  const float grow = float(kFineBoxGrowth * std::max(box.width, box.height));
  const cv::Rect inBox(
      cvFloor((box.x - grow - region.x) * scale), cvFloor((box.y - grow - region.y) * scale),
      cvCeil((box.width + 2 * grow) * scale), cvCeil((box.height + 2 * grow) * scale));
  cv::Mat labels(small.size(), CV_8U, cv::Scalar(cv::GC_BGD));
  labels(inBox & cv::Rect(0, 0, small.cols, small.rows)).setTo(cv::GC_PR_BGD);
  labels.setTo(cv::GC_PR_BGD, near);
  labels.setTo(cv::GC_PR_FGD, person);
  labels.setTo(cv::GC_FGD, sure);
  if (cv::countNonZero(labels == cv::GC_BGD) == 0 || cv::countNonZero(person) == 0) return {};
  if (!seededGrabCut(small, labels, cv::Rect(), iterations, kFineSeed, cv::GC_INIT_WITH_MASK))
    return {};
  const cv::Mat cut = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
  const double before = cv::countNonZero(person), after = cv::countNonZero(cut);
  if (after > kFineMostChange * before || after * kFineMostChange < before) return {};
  cv::Mat cutF, fitted;
  cut.convertTo(cutF, CV_32F, 1.0 / 255);
  cv::resize(cutF, fitted, crop.size(), 0, 0, cv::INTER_LINEAR);
  return fitted;
}

}  // namespace

CropMatte personInBox(const cv::Mat& bgr, const cv::Rect2f& box, bool still) {
  cv::Rect region = personCrop(bgr.size(), box);
  if (region.width < 4 || region.height < 4) return {};
  // The matte depends on the crop's pixels only. Person segmentation and foreground
  // instances of one frame draw the same people on the same crops: the mattes of the latest
  // crops are kept, recognised by the crop's size and a fingerprint of its bytes.
  struct Kept {
    cv::Size size;
    uint64_t print;
    bool still;
    cv::Mat probability;
  };
  static std::mutex keeping;
  static std::vector<Kept> kept;
  const cv::Mat pixels = bgr(region);
  const uint64_t print = fingerprint(pixels);
  {
    std::lock_guard<std::mutex> hold(keeping);
    for (const auto& k : kept)
      if (k.size == region.size() && k.print == print && k.still == still)
        return {region, k.probability};
  }
  cv::Mat small = personProbability(pixels);
  if (small.empty()) return {};
  CropMatte crop{region, {}};
  cv::resize(small, crop.probability, region.size(), 0, 0, cv::INTER_LINEAR);
  bool matted = false;
  if (still && std::max(region.width, region.height) > kMatteInput &&
      region.area() <= kFineLargestShare * bgr.size().area()) {
    // The network's alpha is taken when it agrees with the selfie matte on the person's size:
    // one much larger or smaller has matted the backdrop (or lost the figure).
    cv::Mat alpha = mattedPerson(pixels);
    const double inAlpha = alpha.empty() ? 0 : cv::countNonZero(alpha >= kInsideMatte);
    const double drawn = cv::countNonZero(crop.probability >= kInsideMatte);
    if (inAlpha > 0 && inAlpha <= kFineMostChange * drawn && inAlpha * kFineMostChange >= drawn)
      crop.probability = alpha;
    else
      alpha.release();
    cv::Mat fine = finePerson(pixels, crop.probability, region, box,
                              alpha.empty() ? kFineIterations : kMattedIterations);
    if (!fine.empty()) crop.probability = alpha.empty() ? fine : cv::max(alpha, fine);
    matted = !alpha.empty();
  }
  // Upsampled from the network's 256 pixels, the edge is soft and may miss the person's
  // outline by a few pixels; the guided filter moves it onto the picture's edges. The matting
  // network's is on them already (the filter measured 0.003 worse on the firemen).
  if (std::max(region.width, region.height) > kMatteInput && !matted) {
    cv::Mat grey;
    cv::cvtColor(pixels, grey, cv::COLOR_BGR2GRAY);
    int radius = std::max(2, int(std::lround(kEdgeRadius * std::max(region.width, region.height))));
    crop.probability = guided(grey, crop.probability, radius, kEdgeEpsilon);
  }
  std::lock_guard<std::mutex> hold(keeping);
  kept.push_back({region.size(), print, still, crop.probability});
  size_t bytes = 0;
  for (const auto& k : kept) bytes += k.probability.total() * k.probability.elemSize();
  while (kept.size() > kKeptCrops || (kept.size() > 1 && bytes > kKeptCropBytes)) {
    bytes -= kept.front().probability.total() * kept.front().probability.elemSize();
    kept.erase(kept.begin());
  }
  return crop;
}

bool seededGrabCut(const cv::Mat& bgr, cv::Mat& labels, const cv::Rect& rect, int iterations,
                   uint64_t seed, int mode) {
  cv::RNG& random = cv::theRNG();
  const uint64 saved = random.state;
  random.state = seed;
  cv::Mat bgModel, fgModel;
  bool modelled = true;
  try {
    cv::grabCut(bgr, labels, rect, bgModel, fgModel, iterations, mode);
  } catch (const cv::Exception&) {
    modelled = false;
  }
  random.state = saved;
  return modelled;
}

cv::Mat detailedCut(const cv::Mat& bgr, cv::Rect region, const cv::Mat& small, double radiusShare,
                    double epsilon) {
  cv::Mat smallF, up;
  small.convertTo(smallF, CV_32F, 1.0 / 255);
  cv::resize(smallF, up, region.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat grey;
  cv::cvtColor(bgr(region), grey, cv::COLOR_BGR2GRAY);
  int radius = std::max(2, int(std::lround(radiusShare * std::max(region.width, region.height))));
  cv::Mat soft = guided(grey, up, radius, epsilon);
  cv::Mat full(bgr.size(), CV_32F, cv::Scalar(0));
  soft.copyTo(full(region));
  return full;
}

cv::Mat guided(const cv::Mat& guideGrey, const cv::Mat& mask, int radius, double epsilon) {
  cv::Mat I;
  guideGrey.convertTo(I, CV_32F, 1.0 / 255);
  // The filter's coefficients are box means, smooth at the scale of the radius: for a wide
  // radius they are worked out at half size and brought back (He and Sun's fast guided
  // filter), and only the final a * I + b runs on every pixel.
  const int step = radius >= kHalveFromRadius ? 2 : 1;
  cv::Mat Is = I, p = mask;
  if (step > 1) {
    cv::Size half((I.cols + 1) / 2, (I.rows + 1) / 2);
    cv::resize(I, Is, half, 0, 0, cv::INTER_AREA);
    cv::resize(mask, p, half, 0, 0, cv::INTER_AREA);
  }
  const int r = std::max(1, radius / step);
  cv::Size k(2 * r + 1, 2 * r + 1);
  cv::Mat meanA, meanB;
  {
    // The box means go out of scope before the full-size pass: on a 12-megapixel picture's
    // crops they are megabytes each, and a picture's instances are filtered side by side.
    cv::Mat meanI, meanP, meanIP, meanII;
    cv::boxFilter(Is, meanI, CV_32F, k);
    cv::boxFilter(p, meanP, CV_32F, k);
    cv::boxFilter(Is.mul(p), meanIP, CV_32F, k);
    cv::boxFilter(Is.mul(Is), meanII, CV_32F, k);
    cv::Mat a = (meanIP - meanI.mul(meanP)) / (meanII - meanI.mul(meanI) + epsilon);
    cv::Mat b = meanP - a.mul(meanI);
    cv::boxFilter(a, meanA, CV_32F, k);
    cv::boxFilter(b, meanB, CV_32F, k);
  }
  Is.release();
  p.release();
  if (step > 1) {
    cv::resize(meanA, meanA, I.size(), 0, 0, cv::INTER_LINEAR);
    cv::resize(meanB, meanB, I.size(), 0, 0, cv::INTER_LINEAR);
  }
  // q = a * I + b, worked out in a's own buffer.
  cv::multiply(meanA, I, meanA);
  I.release();
  cv::add(meanA, meanB, meanA);
  meanB.release();
  cv::max(meanA, 0.0, meanA);
  cv::min(meanA, 1.0, meanA);
  return meanA;
}

}  // namespace tv::segmodels
