#include "skin/skin.h"

#include "base/events.h"
#include "base/options.h"
#include "media/grab.h"
#include "media/picture.h"
#include "media/source.h"
#include "skin/key.h"
#include "vision/vision.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tv {
namespace {

// Frames sampled from a video: the centres of this many equal slices of the range.
constexpr int kSlices = 14;

// Longer side of a grabbed video frame; pictures are analysed at their own size.
constexpr double kGrabSide = 1280;

// Faces are first sought on a copy of each frame this small, which the face detector takes in
// whole at one glance (one pass of its network instead of a pyramid of tiles). Only a frame
// without a face there is searched at its own size, where faces down to a few dozen pixels are
// found. The faces a glance misses are the small ones, so the largest face of a frame comes
// from the glance whenever it finds one, at a fraction of the cost (one pass instead of seven
// on a 1280 x 720 frame, and dozens on a large photo).
constexpr int kGlanceSide = 512;

// The narrowest face worth measuring, in pixels of the frame. The patch is the middle half of the
// face across and a quarter of it down, so a face narrower than this gives fewer than 25 x 12
// pixels of it, and in a video (colour at half resolution) half as many colour samples, mostly
// the blurred edges of eyes, nose and mouth; the key is made from the largest face anyway. Asking
// for faces from this size spares the detector its finest search, which only answers for faces
// below it: on a 1280 x 720 frame without faces, 7 passes of the network instead of 22.
constexpr double kSmallestFace = 48;

// The picture, when the input is a still picture the picture decoders read (they look at the
// first bytes before reading a file whole, so a long video is not loaded in vain).
std::optional<cv::Mat> stillPicture(const std::string& path) {
  return tryLoadPicture(path, std::numeric_limits<double>::infinity());
}

// The times of the video range to look at, in the order to report them: the centres of
// kSlices equal slices, in media time (1/600 s).
std::vector<double> sliceTimes(const CommandLine& args, const Source& source) {
  double start = args.number("start", 0);
  if (!(start >= 0)) start = 0;
  // A file whose first frame comes late (an empty edit) has nothing to grab before it.
  start = std::max(start, source.begins);
  double end = args.number("end", source.duration);
  if (!(end <= source.duration)) end = source.duration;
  double span = end - start;  // negative when --end comes before --start: times run backwards
  std::vector<double> times;
  for (int i = 0; i < kSlices; ++i) {
    double t = start + (span * (i + 0.5)) / kSlices;
    times.push_back(std::round(t * 600) / 600);  // media times in 1/600 s, as the app counts
  }
  return times;
}

// The face boxes of a frame (normalised, origin lower left): a glance first, then the frame
// itself when the glance finds nothing.
std::vector<cv::Rect2d> faceBoxes(const cv::Mat& frame) {
  auto boxesOf = [&](const cv::Mat& image) {
    std::vector<cv::Rect2d> boxes;
    double smallest = kSmallestFace * image.cols / frame.cols;
    for (const auto& face : vision().faceRectanglesFrom(image, smallest))
      boxes.push_back(face.boundingBox);
    return boxes;
  };
  int longer = std::max(frame.cols, frame.rows);
  if (longer > kGlanceSide) {
    double scale = double(kGlanceSide) / longer;
    cv::Size size(std::max(1, int(std::lround(frame.cols * scale))),
                  std::max(1, int(std::lround(frame.rows * scale))));
    cv::Mat glance;
    cv::resize(frame, glance, size, 0, 0, cv::INTER_AREA);
    // Boxes are normalised, so the glance's answer holds for the frame as it is.
    std::vector<cv::Rect2d> boxes = boxesOf(glance);
    if (!boxes.empty()) return boxes;
  }
  return boxesOf(frame);
}

// What the frames measured so far add up to.
struct Tally {
  cv::Mat patch{kPatchSide, kPatchSide, CV_8UC4, cv::Scalar::all(0)};  // reused for every face
  SkinSamples samples;
  int faces = 0;  // frames with a face
};

// Adds the samples of the frame's largest face, if it has one.
void measure(const cv::Mat& frame, Tally& tally) {
  std::vector<cv::Rect2d> boxes = faceBoxes(frame);
  auto largest = largestFace(boxes);
  if (!largest) return;
  ++tally.faces;
  renderPatch(frame, patchRect(boxes[*largest], frame.size()), tally.patch);
  tally.samples.addPatch(tally.patch);
}

}  // namespace

void runSkin(const CommandLine& args) {
  Tally tally;
  if (auto picture = stillPicture(args.inputURL)) {
    measure(*picture, tally);
  } else {
    Source source = openSource(args.inputURL);
    // Frames are measured in time order while the later ones are still being grabbed.
    grabEach(source, sliceTimes(args, source), kGrabSide,
             [&](const cv::Mat& frame) { measure(frame, tally); });
  }

  int faces = tally.faces;
  auto key = faces >= 1 ? skinKey(tally.samples) : std::nullopt;
  if (!key) fail("no-face");
  emit({{"done", true},
        {"faces", faces},
        {"hue", key->hue},
        {"hueSpread", key->hueSpread},
        {"satLow", key->satLow},
        {"satHigh", key->satHigh},
        {"lumLow", key->lumLow},
        {"lumHigh", key->lumHigh}});
}

}  // namespace tv
