// Person, instance and subject mattes from the vision analyses, with a person matte that is
// sharpened by the crisp instance masks that explain the person, and kept steady across frames.
#pragma once

#include "vision/vision.h"
#include "segment/grid.h"

#include <opencv2/core/mat.hpp>

#include <memory>
#include <optional>
#include <set>

namespace tv {

// One segmenter serves one picture or one whole video (frames in time order). Every matte it
// returns is CV_8UC1 at the analysed image's size.
class Segmenter {
 public:
  Segmenter() = default;

  // The foreground instances of a BGRA image, or nothing when the analysis finds none.
  std::optional<Instances> instances(const cv::Mat& image);

  // The images given from now on are the frames of one video pass, in time order: the instance
  // analysis may carry what it found over to the next similar frame. Called again at the start
  // of every pass, so that each pass over the same frames finds the same instances.
  void beginFrames();

  // The picture's foreground instances of any kind: the detector's, then each salient region
  // that none of them explains as an instance of its own. Nothing when neither finds anything.
  std::optional<Instances> subjectInstances(const cv::Mat& image);

  // The matte (at `size`) of the object under a point, of any kind: the detector's instance
  // there when there is one (completed by the salient cut under the point when that cut is the
  // same object), else the salient cut; empty when there is none.
  cv::Mat objectAt(const cv::Mat& image, Point at, cv::Size size);

  // The matte of exactly the chosen instances, at `size`; black for an empty set (the analysis
  // is not asked) or when the mask cannot be made.
  cv::Mat mask(const std::set<int>& chosen, const Instances& found, cv::Size size);

  // The matte of all foreground instances; black when there are none.
  cv::Mat subject(const cv::Mat& image);

  // The person matte of one frame (of a photo, before any beginFrames(): the finer matte): the
  // instance masks that explain the person when they do, else the soft person matte; black
  // when person segmentation fails.
  cv::Mat sharpPerson(const cv::Mat& image);

  // sharpPerson calls that answered with instance masks.
  int sharpFrames() const { return sharpFrames_; }

  // Frames a condition must persist before the choice of instances changes (30 at creation).
  int patience() const { return patience_; }
  void setPatience(int frames) { patience_ = frames; }

 private:
  // Made on the first sharpPerson call and reused, so the analysis can carry state across
  // frames; the image command's other modes never load the person model.
  std::unique_ptr<PersonSegmentation> personRequest;
  // The instances that explain the person, made with personRequest and following its detector
  // cadence.
  std::unique_ptr<InstanceSegmentation> personInstances;
  // Made by beginFrames(); while there is none, each image is analysed on its own.
  std::unique_ptr<InstanceSegmentation> instanceRequest;
  int sharpFrames_ = 0;
  int patience_ = 30;
  std::optional<Grid> lastOutline;  // 1 = cell of the instances chosen on the previous frame
  int extraRun = 0;                 // frames in a row with person-like newcomers
  int uncoveredRun = 0;             // frames in a row the chosen instances missed the person
};

}  // namespace tv
