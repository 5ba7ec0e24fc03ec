#include "skin/skin.h"

#include "cli/events.h"
#include "cli/options.h"
#include "media/grab.h"
#include "media/picture.h"
#include "media/source.h"
#include "media/vision.h"
#include "skin/key.h"

#include <cmath>
#include <limits>
#include <vector>

namespace tv {
namespace {

// Frames sampled from a video: the centres of this many equal slices of the range.
constexpr int kSlices = 14;

// Longer side of a grabbed video frame; pictures are analysed at their own size.
constexpr double kGrabSide = 1280;

// The picture, when the input is a still picture the picture decoders read (they look at the
// first bytes before reading a file whole, so a long video is not loaded in vain).
std::optional<cv::Mat> stillPicture(const std::string& path) {
  return tryLoadPicture(path, std::numeric_limits<double>::infinity());
}

// Up to kSlices upright frames of the video range, in time order; failed grabs are left out.
std::vector<cv::Mat> videoFrames() {
  Source source = openSource();
  double start = numberOption("start", 0);
  if (!(start >= 0)) start = 0;
  double end = numberOption("end", source.duration);
  if (!(end <= source.duration)) end = source.duration;
  double span = end - start;  // negative when --end comes before --start: times run backwards

  std::vector<cv::Mat> frames;
  FrameGrabber grabber(source, kGrabSide);
  for (int i = 0; i < kSlices; ++i) {
    double t = start + (span * (i + 0.5)) / kSlices;
    t = std::round(t * 600) / 600;  // media times in 1/600 s, as the application counts them
    if (auto frame = grabber.grab(t)) frames.push_back(std::move(*frame));
  }
  return frames;
}

}  // namespace

void runSkin() {
  std::vector<cv::Mat> frames;
  if (auto picture = stillPicture(inputURL()))
    frames.push_back(std::move(*picture));
  else
    frames = videoFrames();  // the file and its decoder are closed before faces are sought

  cv::Mat patch(kPatchSide, kPatchSide, CV_8UC4, cv::Scalar::all(0));
  SkinSamples samples;
  int faces = 0;
  for (const cv::Mat& frame : frames) {
    std::vector<FaceObservation> found = vision().faceRectangles(frame);
    std::vector<cv::Rect2d> boxes;
    boxes.reserve(found.size());
    for (const auto& face : found) boxes.push_back(face.boundingBox);
    auto largest = largestFace(boxes);
    if (!largest) continue;
    ++faces;
    renderPatch(frame, patchRect(boxes[*largest], frame.size()), patch);
    samples.addPatch(patch);
  }

  auto key = faces >= 1 ? skinKey(samples) : std::nullopt;
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
