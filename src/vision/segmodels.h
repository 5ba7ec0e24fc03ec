// The converted networks behind person segmentation and foreground instances: the selfie person
// matte, the centernet object detector (80 COCO classes) and, for a photo's whole figures, the
// optional matting network. Each loads on first use and ends the run with "cannot load the model
// <name>: <reason>" when it cannot be read.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace tv::segmodels {

// Loads both networks now (they load on first use otherwise): an analysis that needs both
// fails on a broken installation even on a picture where it would not reach the second.
void loadNetworks();

// The selfie network's square input, pixels.
constexpr int kMatteInput = 256;
// The detector's input on the picture's longer side, and its output stride, pixels.
constexpr int kDetectorInput = 512;
constexpr int kDetectorStride = 4;
// COCO class index of a person.
constexpr int kPerson = 0;

// Person probability (CV_32FC1, 0..1, kMatteInput squared) of a BGR or BGRA image, which the
// network sees stretched to its square input.
cv::Mat personProbability(const cv::Mat& image);

struct Detection {
  cv::Rect2f box;  // in the image's pixels, origin top left
  int label = 0;   // COCO class index, 0..79
  float score = 0;
};

// Objects of a BGR or BGRA image scoring at least minScore, best first, with duplicates of
// the same class (overlap above a half) removed. For the picture last given to carryDetections
// the carried objects are the answer and the detector does not run.
std::vector<Detection> detectObjects(const cv::Mat& image, float minScore);

// Hands detectObjects the objects of a picture without running the detector on it: a video's
// person segmentation runs the detector every few frames only and carries its findings over
// the frames between, and the foreground instances of such a frame must see the same objects.
// Good for that exact picture (recognised by its bytes) until the next call; an empty image
// forgets them.
void carryDetections(const cv::Mat& image, std::vector<Detection> found);

// Whether detectObjects would answer the picture with carried objects: another pass of the
// same frame decided, on its cadence, that the detector need not look at it.
bool carriedFor(const cv::Mat& image);

// When the detector runs over a video's frames (in time order, one size): every
// kDetectEvery-th frame, and at once on the first frame, when nothing is followed, and when the
// picture changed since the last detection: on a thumbnail kThumbnailSide wide, the mean grey
// difference over the whole picture or over one followed region exceeds kChangedGrey (a cut,
// someone walking out of their crop). The frames between get that detection's objects through
// carryDetections, so every analysis of such a frame sees the same objects without running it.
// The person pass and the instance pass of a video both run on it; one cadence per pass.
class DetectorCadence {
 public:
  static constexpr int kDetectEvery = 5;
  static constexpr int kThumbnailSide = 64;
  static constexpr double kChangedGrey = 10;

  DetectorCadence() = default;
  DetectorCadence(const DetectorCadence&) = delete;
  DetectorCadence& operator=(const DetectorCadence&) = delete;
  ~DetectorCadence();

  // The objects of the frame `bgr` from minScore, best first: the detector's when it is due,
  // else the last detection's. `followed` are the regions (pixels of the frame) of what the
  // caller follows from the last detection; none makes the detector look.
  std::vector<Detection> objects(const cv::Mat& bgr, float minScore,
                                 const std::vector<cv::Rect>& followed);
  // Whether the latest objects() call ran the detector.
  bool detected() const { return detected_; }

 private:
  std::vector<Detection> found_;  // the last detection's objects
  cv::Mat look_;                  // the thumbnail of its frame
  cv::Size size_;                 // its frame's size
  int since_ = 0;                 // frames since then
  bool detected_ = false;
};

// The person matte around one detected person: the region of the image the network saw (the
// box with a margin, clipped to the image) and the probability (CV_32FC1, 0..1) at that
// region's size. The probability may be shared with a later call on the same pixels: callers
// read it only.
struct CropMatte {
  cv::Rect region;
  cv::Mat probability;
};
// `still`: the picture is a photo rather than one of a video's frames, and is worth a finer
// matte. The network's 256 pixels miss what a person holds out from their body and draw a
// standing figure's feet and outline coarsely: the matting network draws the crop again at
// 512 pixels, and a GrabCut on the crop, seeded from its alpha and the box, takes the person's
// colours out to their own edges (together about half a second for a full-height figure). A
// close-up's crop is left as the selfie network draws it. Without the matting network's file
// the GrabCut is seeded from the selfie matte.
CropMatte personInBox(const cv::Mat& bgr, const cv::Rect2f& box, bool still = false);
// The region personInBox() uses for a box in an image of the given size.
cv::Rect personCrop(const cv::Size& image, const cv::Rect2f& box);

// cv::grabCut (with `mode`, from `rect` or from the `labels` given) drawing its colour clusters
// from a fixed `seed`: the same picture gives the same labels whichever thread cuts it and
// whatever ran before. The thread's random generator is left as it was found. False when GrabCut
// cannot model the picture (one flat colour); `labels` are then not to be read.
bool seededGrabCut(const cv::Mat& bgr, cv::Mat& labels, const cv::Rect& rect, int iterations,
                   uint64_t seed, int mode);

// He, Sun and Tang's guided filter with a grey guide (CV_8UC1): moves a soft mask's (CV_32FC1,
// 0..1) edges onto the picture's edges. `radius` in pixels; `epsilon` in (0..1)^2 units.
cv::Mat guided(const cv::Mat& guideGrey, const cv::Mat& mask, int radius, double epsilon);

// A cut made small over `region` of `bgr` (CV_8U, any size, non-zero inside) brought back to
// full detail: enlarged, its edges moved onto the picture's by the guided filter (radius as a
// share of the region's longer side, at least 2 pixels), and placed in a picture-sized soft
// mask (CV_32FC1, 0..1).
cv::Mat detailedCut(const cv::Mat& bgr, cv::Rect region, const cv::Mat& small, double radiusShare,
                    double epsilon);

// A 64-bit fingerprint of all the image's bytes (and its pixel count): a picture seen before is
// recognised by it without keeping a copy.
uint64_t fingerprint(const cv::Mat& image);

// The image as 8-bit BGR at `size` (area-averaged when smaller). Person segmentation and
// foreground instances of one video frame both analyse it at the same size: the second call
// with the same picture gets the first one's result instead of shrinking it again. Its pixels
// are never written again, so a caller may keep the answer; callers do not write to it.
cv::Mat shrunkBgr(const cv::Mat& image, cv::Size size);

}  // namespace tv::segmodels
