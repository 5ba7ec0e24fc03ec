#include "segment/segmenter.h"

#include "segment/masks.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>

namespace tv {

std::optional<Instances> Segmenter::instances(const cv::Mat& image) {
  if (instanceRequest) return instanceRequest->next(image);
  return vision().foregroundInstances(image);
}

void Segmenter::beginFrames() {
  instanceRequest.reset();  // its carried objects go before the new one starts
  instanceRequest = vision().instanceSegmentation();
}

namespace {

// A salient region is explained by the detector's instances when at least this share of it
// lies on them.
constexpr double kExplained = 0.5;

// Adds the salient regions of `salient` that the instances of `found` do not explain to it.
void addUnexplained(Instances& found, const Instances& salient) {
  const cv::Size size = found.instanceMask.size();
  cv::Mat labels = salient.instanceMask;
  if (labels.size() != size) cv::resize(labels, labels, size, 0, 0, cv::INTER_NEAREST);
  for (size_t i = 0; i < salient.allInstances.size() && i < salient.softMasks.size(); ++i) {
    if (found.allInstances.size() >= 255) break;
    cv::Mat region = labels == salient.allInstances[i];
    const int area = cv::countNonZero(region);
    if (area == 0) continue;
    cv::Mat taken = found.instanceMask != 0;
    if (cv::countNonZero(region & taken) >= kExplained * area) continue;
    const int index = int(found.allInstances.size()) + 1;
    cv::Mat soft = salient.softMasks[i];
    if (soft.size() != size) cv::resize(soft, soft, size, 0, 0, cv::INTER_LINEAR);
    soft = soft.clone();
    // Its soft edge does not reach into what the detector's instances hold.
    soft.setTo(0, taken);
    found.instanceMask.setTo(index, region & ~taken);
    found.allInstances.push_back(index);
    found.softMasks.push_back(soft);
  }
}

}  // namespace

std::optional<Instances> Segmenter::subjectInstances(const cv::Mat& image) {
  auto found = instances(image);
  cv::Mat known;
  if (found && !found->instanceMask.empty()) known = found->instanceMask != 0;
  auto salient = vision().salientObjects(image, known);
  if (!salient || salient->allInstances.empty()) return found;
  if (!found || found->instanceMask.empty()) return salient;
  addUnexplained(*found, *salient);
  return found;
}

cv::Mat Segmenter::objectAt(const cv::Mat& image, Point at, cv::Size size) {
  auto found = instances(image);
  if (found) {
    const uint8_t picked = label(at, labelGrid(found->instanceMask));
    if (picked != 0) return mask({int(picked)}, *found, size);
  }
  cv::Mat cut = vision().objectAt(image, at);
  if (cut.empty() || cv::countNonZero(cut >= 128) == 0) return {};
  return fitted(cut, size);
}

cv::Mat Segmenter::mask(const std::set<int>& chosen, const Instances& found, cv::Size size) {
  if (chosen.empty()) return blackMatte(size);
  cv::Mat scaled = scaledMask(found, chosen);
  if (scaled.empty()) return blackMatte(size);
  return fitted(scaled, size);
}

cv::Mat Segmenter::subject(const cv::Mat& image) {
  auto found = instances(image);
  if (!found) return blackMatte(image.size());
  std::set<int> all(found->allInstances.begin(), found->allInstances.end());
  return mask(all, *found, image.size());
}

cv::Mat Segmenter::sharpPerson(const cv::Mat& image) {
  const cv::Size size = image.size();
  if (!personRequest) personRequest = vision().personSegmentation();
  cv::Mat coverage = personRequest ? personRequest->next(image) : cv::Mat();
  if (coverage.empty()) return blackMatte(size);
  // Stretched only when it is the answer: at 12 megapixels that is a pass worth skipping.
  auto personMatte = [&] { return fitted(coverage, size); };

  // The person analysis runs the detector on its own cadence and hands this frame's objects
  // on, so the instances are asked about this frame alone.
  auto found = vision().foregroundInstances(image);
  if (!found || found->allInstances.empty()) {
    lastOutline.reset();
    return personMatte();
  }

  // All the bookkeeping runs on the grid, so its cost does not grow with the frame.
  const Grid person = labelGrid(coverage);
  const Grid labels = labelGrid(found->instanceMask);
  std::array<long, 256> count{}, prior{};
  std::array<double, 256> mass{};
  long priorTotal = 0;
  double massTotal = 0;
  for (size_t i = 0; i < labels.size(); ++i) {
    const uint8_t l = labels[i];
    const double m = person[i] / 255.0;
    ++count[l];
    mass[l] += m;
    massTotal += m;
    if (lastOutline && (*lastOutline)[i]) {
      ++prior[l];
      ++priorTotal;
    }
  }
  std::set<int> personLike;
  double personLikeMass = 0;
  for (int l = 1; l < 256; ++l) {
    if (count[l] >= 1 && mass[l] / double(count[l]) >= 0.5) {
      personLike.insert(l);
      personLikeMass += mass[l];
    }
  }
  const bool covered = massTotal > 0 && personLikeMass / massTotal >= 0.7;

  std::set<int> choice;
  if (lastOutline && priorTotal >= 1) {
    std::set<int> continuing;
    long continuingCount = 0, continuingPrior = 0;
    for (int l = 1; l < 256; ++l) {
      if (count[l] >= 1 && double(prior[l]) / double(count[l]) >= 0.5) {
        continuing.insert(l);
        continuingCount += count[l];
        continuingPrior += prior[l];
      }
    }
    const double overlap = double(continuingPrior) /
                           double(std::max(priorTotal + continuingCount - continuingPrior, 1L));
    if (!continuing.empty() && overlap >= 0.6) {
      choice = continuing;
      std::set<int> newcomers;
      for (int l : personLike)
        if (!continuing.count(l)) newcomers.insert(l);
      extraRun = newcomers.empty() ? 0 : extraRun + 1;
      if (extraRun >= patience_) choice.insert(newcomers.begin(), newcomers.end());
      uncoveredRun = covered ? 0 : uncoveredRun + 1;
      if (uncoveredRun >= patience_) choice.clear();
    }
  }

  if (choice.empty()) {
    extraRun = 0;
    uncoveredRun = 0;
    constexpr double kLeastMass = 0.002 * GRID * GRID;
    if (massTotal > kLeastMass && !personLike.empty() && covered) {
      choice = personLike;
    } else {
      lastOutline.reset();
      return personMatte();
    }
  }

  Grid outline(labels.size());
  for (size_t i = 0; i < labels.size(); ++i) outline[i] = choice.count(labels[i]) ? 1 : 0;
  lastOutline = std::move(outline);
  ++sharpFrames_;
  return mask(choice, *found, size);
}

}  // namespace tv
