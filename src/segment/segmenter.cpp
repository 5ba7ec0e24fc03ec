#include "segment/segmenter.h"

#include "segment/masks.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <exception>
#include <future>
#include <system_error>

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
// Pixels along an instance's edge (its soft band, at the masks' size) a salient region's soft
// mask keeps.
constexpr int kSeam = 3;
// A salient cut completes an instance when it holds at least this share of it and is at most
// this many times its area.
constexpr double kHeldByCut = 0.7;
constexpr double kLargerCut = 2.5;
// The whole picture's salient region is coarser than a cut made around the point: it completes
// an instance only when at most this many times its area (a region that runs on into the
// backdrop is not the instance's object).
constexpr double kLargerRegion = 1.5;

// Grows the instance that explains a salient region with the rest of that region, when the
// region is the same object (see withSalientCut): the detector's GrabCut of a cup keeps only
// its rim where the salient map covers the whole cup.
void completeInstance(Instances& found, const cv::Mat& region, cv::Mat soft) {
  const cv::Size size = found.instanceMask.size();
  // The instance holding most of the region.
  int histogram[256] = {0};
  for (int y = 0; y < size.height; ++y) {
    const uchar* r = region.ptr<uchar>(y);
    const uchar* l = found.instanceMask.ptr<uchar>(y);
    for (int x = 0; x < size.width; ++x)
      if (r[x]) ++histogram[l[x]];
  }
  const int owner = int(std::max_element(histogram + 1, histogram + 256) - histogram);
  if (histogram[owner] == 0) return;
  const auto at = std::find(found.allInstances.begin(), found.allInstances.end(), owner);
  if (at == found.allInstances.end()) return;
  const size_t index = size_t(at - found.allInstances.begin());
  if (index >= found.softMasks.size()) return;
  const cv::Mat mine = found.instanceMask == owner;
  const double instanceArea = cv::countNonZero(mine);
  if (histogram[owner] < kHeldByCut * instanceArea ||
      cv::countNonZero(region) > kLargerRegion * instanceArea)
    return;
  const cv::Mat others = (found.instanceMask != 0) & ~mine;
  if (soft.size() != size) cv::resize(soft, soft, size, 0, 0, cv::INTER_LINEAR);
  soft = soft.clone();
  soft.setTo(0, others);
  cv::Mat& current = found.softMasks[index];
  if (current.size() != size) cv::resize(current, current, size, 0, 0, cv::INTER_LINEAR);
  cv::max(current, soft, current);
  found.instanceMask.setTo(owner, region & ~others);
}

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
    if (cv::countNonZero(region & taken) >= kExplained * area) {
      completeInstance(found, region, salient.softMasks[i]);
      continue;
    }
    const int index = int(found.allInstances.size()) + 1;
    cv::Mat soft = salient.softMasks[i];
    if (soft.size() != size) cv::resize(soft, soft, size, 0, 0, cv::INTER_LINEAR);
    soft = soft.clone();
    // Its soft edge does not reach into what the detector's instances hold, but it stays
    // along their soft edges: where it meets an instance the two together leave no dark seam.
    cv::Mat held;
    cv::erode(taken, held, cv::Mat(), cv::Point(-1, -1), kSeam);
    soft.setTo(0, held);
    found.instanceMask.setTo(index, region & ~taken);
    found.allInstances.push_back(index);
    found.softMasks.push_back(soft);
  }
}

// The detector's cut of an object (a cup's GrabCut that keeps only the rim, a box taken for
// a class it resembles) completed by the salient cut at the same place, when that cut is the
// same object: it holds most of the instance and is not much larger than it.
cv::Mat withSalientCut(const cv::Mat& instance, const cv::Mat& salient) {
  const cv::Mat in = instance >= 128, out = salient >= 128;
  const double instanceArea = cv::countNonZero(in), salientArea = cv::countNonZero(out);
  if (instanceArea == 0) return salient;
  const double shared = cv::countNonZero(in & out);
  if (shared < kHeldByCut * instanceArea || salientArea > kLargerCut * instanceArea)
    return instance;
  cv::Mat both;
  cv::max(instance, salient, both);
  return both;
}

// Keeps, of a soft cut (CV_8U), the piece holding `at` (or the largest piece when the point
// falls between pieces) with its soft edge; slivers cut off from it are dropped.
void keepPieceAt(cv::Mat& cut, Point at) {
  cv::Mat labels, stats, centroids;
  const int count =
      cv::connectedComponentsWithStats(cut >= 128, labels, stats, centroids, 8, CV_32S);
  if (count <= 2) return;
  const cv::Point pixel(std::clamp(int(at.x * cut.cols), 0, cut.cols - 1),
                        std::clamp(int(at.y * cut.rows), 0, cut.rows - 1));
  int piece = labels.at<int>(pixel);
  if (piece == 0) {
    for (int i = 1; i < count; ++i)
      if (piece == 0 || stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(piece, cv::CC_STAT_AREA))
        piece = i;
  }
  cv::Mat keep;
  cv::dilate(labels == piece, keep, cv::Mat(), cv::Point(-1, -1), 2);
  cut.setTo(0, ~keep);
}

// Starts `work` on a second thread, or runs it at once when no thread is to be had; its
// exception, if any, comes out of the future.
template <typename Work>
std::future<void> beside(Work work) {
  try {
    return std::async(std::launch::async, work);
  } catch (const std::system_error&) {
    std::promise<void> done;
    try {
      work();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
    return done.get_future();
  }
}

}  // namespace

std::optional<Instances> Segmenter::subjectInstances(const cv::Mat& image) {
  // The picture's salient map does not depend on the instances, and either network keeps the
  // two cores busy only in its convolutions: the map is made on a second thread while the
  // detector and the instances' cuts run on this one. Told that all of the picture is known
  // already, the salient analysis makes only the map, which it keeps for the question below.
  const cv::Mat everything(1, 1, CV_8U, cv::Scalar(255));  // stretched to any size
  auto map = beside([&] { vision().salientObjects(image, everything); });
  auto found = instances(image);
  map.get();
  cv::Mat known;
  if (found && !found->instanceMask.empty()) known = found->instanceMask != 0;
  auto salient = vision().salientObjects(image, known);
  if (!salient || salient->allInstances.empty()) return found;
  if (!found || found->instanceMask.empty()) return salient;
  addUnexplained(*found, *salient);
  return found;
}

cv::Mat Segmenter::objectAt(const cv::Mat& image, Point at, cv::Size size) {
  // Made one after the other: on a second thread the salient cut's working memory would come
  // on top of the instances' (measured 20 MB more at the peak) for little time saved.
  auto found = instances(image);
  uint8_t picked = 0;
  if (found) picked = label(at, labelGrid(found->instanceMask));
  cv::Mat cut = vision().objectAt(image, at);
  if (picked == 0 && !cut.empty() && found && !found->instanceMask.empty()) {
    // Nothing the detector knows is under the point, so what it knows around it (people
    // walking behind a thing on the pavement) is not part of the pointed object.
    cv::Mat others = found->instanceMask;
    if (others.size() != cut.size())
      cv::resize(others, others, cut.size(), 0, 0, cv::INTER_NEAREST);
    cut = grey(cut);
    cut.setTo(0, others != 0);
    keepPieceAt(cut, at);
  }
  const bool salient = !cut.empty() && cv::countNonZero(cut >= 128) > 0;
  if (picked == 0) return salient ? fitted(cut, size) : cv::Mat();
  cv::Mat instance = mask({int(picked)}, *found, size);
  if (!salient) return instance;
  return withSalientCut(instance, fitted(cut, size));
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
  // Outside a video pass the picture is a photo, worth the finer person matte.
  const bool still = !instanceRequest;
  if (!personRequest) personRequest = vision().personSegmentation(still);
  cv::Mat coverage = personRequest ? personRequest->next(image) : cv::Mat();
  if (coverage.empty()) return blackMatte(size);
  // Stretched only when it is the answer: at 12 megapixels that is a pass worth skipping.
  auto personMatte = [&] { return fitted(coverage, size); };

  // The person analysis runs the detector on its own cadence and hands this frame's objects
  // on; the instances follow it, keeping their cuts between its detections.
  if (!personInstances) personInstances = vision().instancesAfterPeople(still);
  auto found = personInstances ? personInstances->next(image) : std::nullopt;
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
  cv::Mat sharp = mask(choice, *found, size);
  // An object the detector names apart (a breathing set on a firefighter's back, seen as part
  // of the motorcycle behind him) takes its pixels from the person's own instance. Where such
  // an instance, neither chosen nor person-like, lies on the person matte, the matte is the
  // answer: what a person carries is part of them.
  bool lent = false;
  for (size_t i = 0; i < labels.size() && !lent; ++i)
    lent = labels[i] != 0 && person[i] >= 128 && !choice.count(labels[i]) &&
           !personLike.count(labels[i]);
  if (lent) {
    cv::Mat others(found->instanceMask.size(), CV_8U, cv::Scalar(0));
    for (int l : found->allInstances)
      if (!choice.count(l) && !personLike.count(l)) others.setTo(255, found->instanceMask == l);
    if (others.size() != size) cv::resize(others, others, size, 0, 0, cv::INTER_NEAREST);
    cv::Mat soft = personMatte();
    cv::max(sharp, soft, soft);
    soft.copyTo(sharp, others);
  }
  return sharp;
}

}  // namespace tv
