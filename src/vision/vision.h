// The seam to the vision analyses: face rectangles and landmarks, image registration, object
// tracking, person segmentation, foreground instances and salient objects. Every result is in the
// analyses' own convention: rectangles normalised to the analysed image with the origin at the
// LOWER left, points in image pixels with the origin at the lower left. An analysis that fails or
// finds nothing returns nothing; a model that cannot be loaded ends the run with "cannot load the
// model <name>: <reason>".
#pragma once

#include "base/point.h"

#include <opencv2/core.hpp>

#include <future>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace tv {

// One landmark region: points in image pixels, origin lower left.
using LandmarkRegion = std::vector<cv::Point2d>;

struct FaceLandmarks {
  LandmarkRegion leftEye, rightEye, outerLips, innerLips, nose, faceContour;
};

struct FaceObservation {
  cv::Rect2d boundingBox;                  // normalised, origin lower left
  std::optional<FaceLandmarks> landmarks;  // only from faceLandmarks()
};

// A homography from homographyNear's way of registering, and whether its look from the identity
// gave it (rather than the feature matching it falls back on).
struct NearRegistration {
  std::optional<cv::Matx33f> homography;
  bool byLook = false;
};

// The tracker's answer for one frame.
struct TrackedObject {
  cv::Rect2d boundingBox;  // normalised, origin lower left
  float confidence = 0;    // 0..1; 0.3 or below means the target is gone
  // Correlation of the box's content with the target's first look, -1..1 (1 when unknown):
  // what a follower that seeks lost targets again holds a doubtful answer against.
  float resemblance = 1;

  // Whether the target is gone: a confidence of 0.3 or below (compared in single precision, so
  // exactly 0.3f is gone), or one that is not a number.
  bool gone() const { return !(confidence > 0.3f); }
  // A middling confidence whose box looks little like the first look. Typically the box sits on
  // the edge of what hides the target: its correlation peak holds on the edge, and the recent
  // look has taken some of the edge in. A follower that seeks lost targets again can afford to
  // take such an answer as lost.
  bool doubtful() const { return confidence < 0.6f && resemblance < 0.45f; }
};

// One object followed through a sequence of frames, given in the order to follow.
class ObjectTracking {
 public:
  virtual ~ObjectTracking() = default;
  // Advances by one frame (32-bit BGRA, all frames the same size) and answers the rectangle on
  // it, or nothing when the tracker has no answer.
  virtual std::optional<TrackedObject> next(const cv::Mat& frame) = 0;
  // After the target was lost: looks for it on this frame (same size as the others) by its
  // remembered looks, near `expected` (normalised, origin lower left: where it would be now)
  // and then over the whole frame. A match good enough, and the only one of its kind away from
  // `expected`, is answered with a confidence above 0.3, and next() follows it from there;
  // otherwise nothing. The default never finds anything.
  virtual std::optional<TrackedObject> seek(const cv::Mat& frame, const cv::Rect2d& expected) {
    (void)frame;
    (void)expected;
    return std::nullopt;
  }
};

// Person segmentation over successive frames in time order (it may carry state between them).
class PersonSegmentation {
 public:
  virtual ~PersonSegmentation() = default;
  // A one-byte coverage matte (0..255) of the people in the BGRA image; its size is the
  // analysis' own, not necessarily the image's. Empty when the analysis fails.
  virtual cv::Mat next(const cv::Mat& image) = 0;
};

// The foreground instances of one picture.
struct Instances {
  std::vector<int> allInstances;  // instance indices, from 1
  cv::Mat instanceMask;           // CV_8UC1, the instance index per pixel, 0 for background
  cv::Size imageSize;             // the analysed image's size
  // Soft masks (CV_8UC1, 0..255) of each instance at the analysed image's size, in the order
  // of allInstances; scaledMask() combines them.
  std::vector<cv::Mat> softMasks;
};

// Foreground instances over successive frames of one video pass, in time order (it may carry
// what it found from one frame to the next similar one).
class InstanceSegmentation {
 public:
  virtual ~InstanceSegmentation() = default;
  // As Vision::foregroundInstances of the frame.
  virtual std::optional<Instances> next(const cv::Mat& image) = 0;
};

class Vision {
 public:
  virtual ~Vision() = default;

  // Faces in an upright BGRA image, in the detector's order.
  virtual std::vector<FaceObservation> faceRectangles(const cv::Mat& image) = 0;
  // As faceRectangles, for a caller that has no use for faces narrower than `smallest` pixels:
  // the search for them may be left out, so the answer may or may not hold such faces.
  virtual std::vector<FaceObservation> faceRectanglesFrom(const cv::Mat& image, double smallest) {
    (void)smallest;
    return faceRectangles(image);
  }
  // As faceRectangles, with the landmarks of every face.
  virtual std::vector<FaceObservation> faceLandmarks(const cv::Mat& image) = 0;
  // faceLandmarks for the frames of a video in time order: the faces are found during the call,
  // their landmarks may be placed on a thread of their own while the caller goes on to the next
  // frame. The answer is faceLandmarks' own, and needs `image` no longer once the call is over.
  virtual std::future<std::vector<FaceObservation>> faceLandmarksAhead(const cv::Mat& image) {
    std::promise<std::vector<FaceObservation>> answer;
    answer.set_value(faceLandmarks(image));
    return answer.get_future();
  }

  // The 3 x 3 matrix mapping pixel positions of `current` to pixel positions of `reference`
  // (lower-left pixel origin), or nothing when the two cannot be registered.
  virtual std::optional<cv::Matx33f> homography(const cv::Mat& reference,
                                                const cv::Mat& current) = 0;
  // Tells that `next` will soon be the current picture of a homography call, so that the work
  // it will need may begin now on a thread of its own; the caller keeps its pixels unchanged
  // until then. The answers are the same with or without it.
  virtual void homographyAhead(const cv::Mat& next) { (void)next; }
  // As homography, for pictures the caller has already aligned to within `reach` pixels: the
  // answer may come from refining the identity instead of matching features. `where` (8-bit,
  // the reference's size, or empty for all of it) marks the reference's pixels that show the
  // scene; the rest is filler that the current picture does not have.
  virtual std::optional<cv::Matx33f> homographyNear(const cv::Mat& reference,
                                                    const cv::Mat& current, double reach,
                                                    const cv::Mat& where) {
    (void)reach;
    (void)where;
    return homography(reference, current);
  }
  // As homographyNear, for a caller that judges from the answers whether the look from the
  // identity is worth its cost: with `look` false the features alone are matched.
  virtual NearRegistration registeredNear(const cv::Mat& reference, const cv::Mat& current,
                                          double reach, const cv::Mat& where, bool look) {
    (void)look;
    return {homographyNear(reference, current, reach, where), false};
  }
  // The translation (tx, ty) in pixels, y up, of the transform aligning `current` with
  // `reference`, or nothing.
  virtual std::optional<cv::Point2d> translation(const cv::Mat& reference,
                                                 const cv::Mat& current) = 0;

  // A tracker started from a normalised lower-left rectangle.
  virtual std::unique_ptr<ObjectTracking> objectTracking(const cv::Rect2d& start) = 0;
  // As objectTracking, for a caller that reads only the centre of the answers: the rectangle
  // may keep its start size whatever the target's.
  virtual std::unique_ptr<ObjectTracking> pointTracking(const cv::Rect2d& start) {
    return objectTracking(start);
  }

  // Person segmentation of a video's frames, or of one photo (`still`), which is worth a finer
  // and slower matte.
  virtual std::unique_ptr<PersonSegmentation> personSegmentation(bool still) = 0;

  // Foreground instances of a BGRA picture, or nothing when the analysis fails.
  virtual std::optional<Instances> foregroundInstances(const cv::Mat& image) = 0;
  // Foreground instances over a video pass's frames. By default each frame is analysed on its
  // own through foregroundInstances().
  virtual std::unique_ptr<InstanceSegmentation> instanceSegmentation();
  // Foreground instances over a video pass's frames (or of one photo, `still`, whose people get
  // the finer matte), each asked for after the frame's person segmentation, whose detector
  // cadence it follows: a frame that pass did not run the detector on keeps the objects' cuts
  // of the last frame it did. By default each frame on its own.
  virtual std::unique_ptr<InstanceSegmentation> instancesAfterPeople(bool still);

  // The regions of a BGRA picture that stand out of it, whatever they are, each an instance
  // (the same fields as foregroundInstances'), or nothing when the analysis fails. `known`
  // (CV_8UC1 of any size, non-zero where something is already found, or empty) spares the
  // cost of cutting regions that lie mostly on it; they are left out.
  virtual std::optional<Instances> salientObjects(const cv::Mat& image, const cv::Mat& known) = 0;
  // The soft mask (CV_8UC1, 0..255, at the analysis' own size, which has the picture's aspect)
  // of the object of any kind under a point of a BGRA picture; empty when nothing stands out
  // there.
  virtual cv::Mat objectAt(const cv::Mat& image, Point at) = 0;
};

// The mask (CV_8UC1, 0..255) of the chosen instances at the analysed image's size; empty when
// it cannot be made.
cv::Mat scaledMask(const Instances& instances, const std::set<int>& chosen);

// The one real implementation, created on first use; models load on the first call that
// needs them.
Vision& vision();

// Replaces the implementation (tests only); nullptr restores the real one.
void useVisionForTesting(Vision* replacement);

}  // namespace tv
