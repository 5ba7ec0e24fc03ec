#include "video/object.h"

#include "base/events.h"
#include "media/frames.h"
#include "media/picture.h"
#include "segment/masks.h"
#include "vision/pixels.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace tv {

PackedGrid::PackedGrid(const Grid& grid) {
  size_t start = 0;
  while (start < grid.size()) {
    size_t end = start + 1;
    while (end < grid.size() && grid[end] == grid[start] && end - start < 0xFFFF) ++end;
    const auto length = static_cast<uint16_t>(end - start);
    runs_.push_back(grid[start]);
    runs_.push_back(static_cast<uint8_t>(length & 0xFF));
    runs_.push_back(static_cast<uint8_t>(length >> 8));
    start = end;
  }
}

Grid PackedGrid::unpacked() const {
  Grid grid;
  grid.reserve(GRID * GRID);
  for (size_t i = 0; i + 2 < runs_.size(); i += 3) {
    grid.insert(grid.end(), runs_[i + 1] | (runs_[i + 2] << 8), runs_[i]);
  }
  grid.resize(GRID * GRID, 0);
  return grid;
}

std::optional<Grid> ObjectTrail::maskAt(int k) const {
  if (k < 0 || k >= static_cast<int>(masks.size()) || !masks[k]) return std::nullopt;
  return masks[k]->unpacked();
}

namespace {

// Frames after which the search pass judges whether all its frames' masks will fit kKeptBytes.
constexpr double kForecastFrames = 10;

// Quality of the frames kept for carrying an object back from the pick frame: high enough that
// the tracker and the cut see what the writing pass will.
constexpr int kKeptQuality = 95;

// Carries an object of any kind back from the pick frame over the frames before it (those shown
// before `stopAt`), read once more and kept compressed, so that a long range does not hold its
// frames raw. Sets the trail's pick index to their number.
void carryBack(ObjectTrail& trail, const Source& source, const VideoPlan& plan,
               const cv::Mat& pickFrame, double stopAt) {
  std::vector<std::vector<uint8_t>> frames;
  eachFrame(source, plan.start, plan.end, [&](const cv::Mat& decoded, const MediaTime& time) {
    if (!(time.seconds() < stopAt)) return false;
    frames.push_back(jpegOf(forAnalysis(decoded, plan.analysis), kKeptQuality));
    if (frames.size() % 10 == 0) {
      const double fraction = std::min(static_cast<double>(frames.size()) / plan.total, 1.0);
      emit(Event{{"progress", fraction * 0.4}, {"stage", "search"}});
    }
    return true;
  }, plan.analysis);
  trail.pickIndex = static_cast<int>(frames.size());
  trail.before.assign(trail.pickIndex, {});
  CarriedObject back(pickFrame, trail.pickMatte, trail.reacquire);
  for (int k = trail.pickIndex - 1; k >= 0; --k) {
    const cv::Mat frame = pictureOfJpeg(frames[k]);
    frames[k] = {};
    const cv::Mat matte = back.next(frame);
    if (!matte.empty()) trail.before[k] = packedMatte(matte);
  }
}

// The trail of an object of any kind picked on `pickFrame`: whatever stands out under the point.
ObjectTrail pickAnyKind(const Source& source, const VideoPlan& plan, Point point,
                        const cv::Mat& pickFrame, double stopAt, bool reacquire) {
  ObjectTrail trail;
  trail.reacquire = reacquire;
  trail.anyKind = true;
  const cv::Mat cut = vision().objectAt(pickFrame, point);
  if (cut.empty() || cv::countNonZero(cut >= 128) == 0) fail("nothing-there");
  trail.pickMatte = fitted(cut, pickFrame.size());
  carryBack(trail, source, plan, pickFrame, stopAt);
  return trail;
}

// The box (pixels of a frame of `size`, top-left origin) of a cell mask's cells; empty when
// there are none.
cv::Rect2d cellBox(const Grid& cells, cv::Size size) {
  const cv::Mat grid(GRID, GRID, CV_8U, const_cast<uint8_t*>(cells.data()));
  const cv::Rect box = cv::boundingRect(grid);
  const double sx = double(size.width) / GRID, sy = double(size.height) / GRID;
  return {box.x * sx, box.y * sy, box.width * sx, box.height * sy};
}

constexpr size_t kRememberedBoxes = 10;  // boxes the motion of a lost instance is judged from
// A box of at least this share of the instance's whole area is a whole look of it; the whole
// area follows such looks by this share of the difference.
constexpr double kWholeArea = 0.85;
constexpr double kAreaRate = 0.1;
// An instance's colours: a hue x saturation histogram of its own pixels (no backdrop), with
// dark and grey pixels, whose hue means little, left out.
constexpr int kHueBins = 30, kSaturationBins = 16;
constexpr int kLeastSaturation = 30, kLeastValue = 40;
// An instance whose colours correlate with the picked one's first colours at least this much,
// and at least kLookMargin more than any other instance's, is the instance come back.
constexpr double kSameLook = 0.8;
constexpr double kLookMargin = 0.1;

// The colours of an instance of a frame (32-bit BGRA) on a label mask of any size.
cv::Mat coloursOf(const cv::Mat& frame, const cv::Mat& labels, int instance) {
  cv::Mat small, hsv;
  cv::resize(frame, small, labels.size(), 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, small, cv::COLOR_BGRA2BGR);
  cv::cvtColor(small, hsv, cv::COLOR_BGR2HSV);
  cv::Mat mask = labels == instance;
  cv::Mat colourful;
  cv::inRange(hsv, cv::Scalar(0, kLeastSaturation, kLeastValue), cv::Scalar(180, 256, 256),
              colourful);
  mask &= colourful;
  if (cv::countNonZero(mask) == 0) return {};
  cv::Mat histogram;
  const int channels[] = {0, 1}, bins[] = {kHueBins, kSaturationBins};
  const float hue[] = {0, 180}, saturation[] = {0, 256};
  const float* ranges[] = {hue, saturation};
  cv::calcHist(&hsv, 1, channels, mask, histogram, 2, bins, ranges);
  cv::normalize(histogram, histogram, 1, 0, cv::NORM_L1);
  return histogram;
}

// After the pick frame with --reacquire: remembers where the instance was while it is followed
// on the grid, and once it is lost there, looks for it among this frame's instances by its
// colours. Answers the label found on this frame's grid, or 0.
uint8_t reacquired(ObjectTrail& trail, const cv::Mat& frame, const Instances* found,
                   const Grid& grid, uint8_t followed) {
  if (trail.firstColours.empty()) return followed;
  const cv::Size size = frame.size();
  if (followed != 0) {
    // Only whole looks go into what it is remembered by: the sliver a cover leaves of it has
    // neither its size nor its place.
    const cv::Rect2d box = cellBox(only(followed, grid), size);
    if (box.area() >= kWholeArea * trail.wholeArea) {
      trail.wholeArea += kAreaRate * (box.area() - trail.wholeArea);
      trail.lastBox = box;
      trail.lastSeen = greyOf(frame);
    }
    return followed;
  }
  if (!found || found->instanceMask.empty()) return 0;
  double best = -1, second = -1;
  uint8_t chosen = 0;
  for (int instance : found->allInstances) {
    if (instance < 1 || instance > 255) continue;
    const cv::Mat colours = coloursOf(frame, found->instanceMask, instance);
    if (colours.empty()) continue;
    const double score = cv::compareHist(colours, trail.firstColours, cv::HISTCMP_CORREL);
    if (score > best) {
      second = best;
      best = score;
      chosen = uint8_t(instance);
    } else if (score > second) {
      second = score;
    }
  }
  if (chosen == 0 || !(best >= kSameLook) || !(best - second >= kLookMargin)) return 0;
  const Grid cells = only(chosen, grid);
  const cv::Rect2d place = cellBox(cells, size);
  if (place.area() <= 0) return 0;
  const cv::Mat grey = greyOf(frame);
  if (stoodThere(trail.lastSeen, trail.lastBox, grey, place)) return 0;
  trail.current = cells;
  trail.wholeArea = place.area();
  trail.lastBox = place;
  trail.lastSeen = grey;
  return chosen;
}

}  // namespace

ObjectTrail pickObject(const Source& source, const VideoPlan& plan, Point point,
                       Segmenter& segmenter, bool reacquire) {
  const double stopAt = plan.pickTime - 0.5 / source.fps;
  // The pick frame at the full analysis size, which an object of any kind is cut and carried at.
  auto pickFrame = [&] {
    cv::Mat picked;
    eachFrame(source, std::max(plan.start, stopAt), plan.end,
              [&](const cv::Mat& decoded, const MediaTime& time) {
      if (time.seconds() < stopAt) return true;
      forAnalysis(decoded, plan.analysis).copyTo(picked);
      return false;
    }, plan.analysis);
    return picked;
  };
  // The pick frame alone first: an object none of the detector's instances holds needs no
  // search pass, only its cut there and the frames before it carried back. A pick time past the
  // source's end has no such frame (the search pass runs to the range's end), and looking for
  // it would decode the stretch before the end for nothing.
  const bool pastTheEnd = stopAt >= source.begins + source.duration;
  cv::Mat probed = pastTheEnd ? cv::Mat() : pickFrame();
  if (!probed.empty()) {
    Segmenter looking;  // its own, so that the search pass starts as it always has
    auto found = looking.instances(probed);
    if (label(point, found ? labelGrid(found->instanceMask) : Grid(GRID * GRID, 0)) == 0) {
      return pickAnyKind(source, plan, point, probed, stopAt, reacquire);
    }
  }

  // One packed grid per frame up to the pick frame: the frames themselves are never kept. They
  // are decoded at the size the writing pass analyses instances at, so that both passes see the
  // same pictures and so the same instances.
  // The instances found are kept too, deflated, for the frames the writing pass will find the
  // object on: the detector and the cuts are most of a frame's cost, and the writing pass would
  // otherwise make the same ones again.
  std::vector<PackedGrid> grids;
  std::vector<std::vector<std::pair<uint8_t, std::vector<uint8_t>>>> masks;
  std::vector<uint8_t> lastLabels;
  std::vector<MediaTime> times;
  cv::Size analysed;
  size_t keptBytes = 0;
  bool keeping = true;
  // The frames the search pass will see: to the pick time, or to the range's end before it.
  const double searchFrames =
      std::min(double(plan.total), std::max(1.0, (plan.pickTime - plan.start) * source.fps + 1));
  bool reachedPick = false;
  segmenter.beginFrames();
  eachFrame(source, plan.start, plan.end, [&](const cv::Mat& frame, const MediaTime& time) {
    auto found = segmenter.instances(frame);
    grids.emplace_back(found ? labelGrid(found->instanceMask) : Grid(GRID * GRID, 0));
    if (keeping) {
      auto& kept = masks.emplace_back();
      times.push_back(time);
      analysed = frame.size();
      keptBytes += grids.back().bytes() + sizeof(MediaTime);
      if (found) {
        for (int instance : found->allInstances) {
          if (instance < 1 || instance > 255) continue;
          const cv::Mat soft = scaledMask(*found, {instance});
          kept.emplace_back(uint8_t(instance), soft.empty() ? std::vector<uint8_t>()
                                                            : packedMatte(soft));
          keptBytes += kept.back().second.size();
        }
      }
      if (reacquire) {
        lastLabels.clear();
        if (found && !found->instanceMask.empty()) lastLabels = packedMatte(found->instanceMask);
      }
      // A range whose masks will not fit, as its first frames tell, keeps none of them: they
      // would only add to the pass's peak until they were dropped.
      const double frames = double(masks.size());
      if (keptBytes > kKeptBytes ||
          (frames >= kForecastFrames && keptBytes / frames * searchFrames > kKeptBytes)) {
        keeping = false;
        masks = {};
        lastLabels = {};
        times = {};
      }
    }
    const auto searched = static_cast<long>(grids.size());
    if (searched % 10 == 0) {
      double fraction = std::min(static_cast<double>(searched) / plan.total, 1.0);
      emit(Event{{"progress", fraction * 0.4}, {"stage", "search"}});
    }
    reachedPick = !(time.seconds() < stopAt);
    return !reachedPick;
  }, segmentationSize(plan.analysis));
  if (grids.empty()) fail("no frames in that range");
  uint8_t picked = label(point, grids.back().unpacked());
  if (picked != 0) {
    ObjectTrail trail = traceBack(grids, picked);
    trail.reacquire = reacquire;
    if (keeping) {
      trail.searchedGrids = std::move(grids);
      trail.searchedMasks = std::move(masks);
      trail.pickLabels = std::move(lastLabels);
      // Nothing comes after the pick frame: the frames' times and size are all the writing
      // pass needs of them. With reacquire the pick frame's pixels seed the colours.
      trail.searchedAll = !reachedPick && !reacquire;
      if (trail.searchedAll) {
        trail.searchedTimes = std::move(times);
        trail.searchedSize = analysed;
      }
    }
    return trail;
  }
  // The detector's instances differ from the probe's here (or there was no pick frame to probe).
  if (!reachedPick) fail("nothing-there");
  if (probed.empty()) probed = pickFrame();
  if (probed.empty()) fail("nothing-there");
  return pickAnyKind(source, plan, point, probed, stopAt, reacquire);
}

ObjectTrail traceBack(const std::vector<PackedGrid>& grids, uint8_t picked) {
  ObjectTrail trail;
  if (grids.empty()) return trail;
  trail.pickIndex = static_cast<int>(grids.size()) - 1;
  trail.masks.assign(grids.size(), std::nullopt);
  // A frame where the object is not found keeps the reference of the later frame, so the
  // trace survives short losses.
  Grid reference = only(picked, grids[trail.pickIndex].unpacked());
  trail.masks[trail.pickIndex] = PackedGrid(reference);
  for (int k = trail.pickIndex - 1; k >= 0; --k) {
    const Grid grid = grids[k].unpacked();
    uint8_t found = follow(reference, grid);
    if (found == 0) continue;
    reference = only(found, grid);
    trail.masks[k] = PackedGrid(reference);
  }
  return trail;
}

uint8_t objectLabel(ObjectTrail& trail, int k, const Grid& grid) {
  if (k > trail.pickIndex) {
    if (!trail.current) return 0;
    uint8_t found = follow(*trail.current, grid);
    // A lost frame keeps the latest mask, so following resumes where the object was last seen.
    if (found != 0) trail.current = only(found, grid);
    return found;
  }
  const auto traced = trail.maskAt(k);
  if (!traced) return 0;
  uint8_t found = follow(*traced, grid);
  if (found != 0 && k == trail.pickIndex) trail.current = only(found, grid);
  return found;
}

namespace {

// The picked instance's matte on frame k (at most the pick frame, analysed at `size`) from
// what the search pass kept, empty where it is lost; the same matte the frame's own analysis
// would give. `frame`, when given, seeds the colours of reacquire on the pick frame.
cv::Mat keptMatte(ObjectTrail& trail, int k, cv::Size size, const cv::Mat* frame) {
  if (k >= static_cast<int>(trail.searchedGrids.size()) ||
      k >= static_cast<int>(trail.searchedMasks.size()))
    return {};
  const Grid grid = trail.searchedGrids[k].unpacked();
  auto masks = std::move(trail.searchedMasks[k]);  // not needed again
  trail.searchedMasks[k] = {};
  if (masks.empty()) return {};  // nothing found on that frame
  const uint8_t picked = objectLabel(trail, k, grid);
  if (picked == 0) return {};
  if (trail.reacquire && k == trail.pickIndex && frame) {
    const cv::Mat labels = unpackedMatte(trail.pickLabels);
    if (!labels.empty()) {
      trail.firstColours = coloursOf(*frame, labels, picked);
      trail.lastBox = cellBox(only(picked, grid), size);
      trail.wholeArea = trail.lastBox.area();
      trail.lastSeen = greyOf(*frame);
    }
  }
  for (const auto& [instance, packed] : masks) {
    if (instance != picked) continue;
    const cv::Mat soft = unpackedMatte(packed);
    return soft.empty() ? blackMatte(size) : fitted(soft, size);
  }
  return {};
}

}  // namespace

cv::Mat searchedMatte(ObjectTrail& trail, int k) {
  cv::Mat matte = keptMatte(trail, k, trail.searchedSize, nullptr);
  return matte.empty() ? blackMatte(trail.searchedSize) : matte;
}

cv::Mat objectMatte(ObjectTrail& trail, int k, const cv::Mat& frame, Segmenter& segmenter) {
  cv::Mat matte;
  if (!trail.anyKind && trail.keptSearch() && k <= trail.pickIndex) {
    matte = keptMatte(trail, k, frame.size(), &frame);
  } else if (!trail.anyKind) {
    auto found = segmenter.instances(frame);
    const Grid grid = found ? labelGrid(found->instanceMask) : Grid(GRID * GRID, 0);
    uint8_t picked = found ? objectLabel(trail, k, grid) : 0;
    if (trail.reacquire && k == trail.pickIndex && picked != 0) {
      trail.firstColours = coloursOf(frame, found->instanceMask, picked);
      trail.lastBox = cellBox(only(picked, grid), frame.size());
      trail.wholeArea = trail.lastBox.area();
      trail.lastSeen = greyOf(frame);
    } else if (trail.reacquire && k > trail.pickIndex) {
      picked = reacquired(trail, frame, found ? &*found : nullptr, grid, picked);
    }
    if (found && picked != 0) matte = segmenter.mask({picked}, *found, frame.size());
  } else if (k < trail.pickIndex) {
    if (k < static_cast<int>(trail.before.size()) && !trail.before[k].empty()) {
      const cv::Mat kept = unpackedMatte(trail.before[k]);
      if (!kept.empty()) matte = fitted(kept, frame.size());
    }
  } else if (k == trail.pickIndex) {
    matte = fitted(trail.pickMatte, frame.size());
    trail.carried = std::make_unique<CarriedObject>(frame, matte, trail.reacquire);
  } else if (trail.carried) {
    matte = trail.carried->next(frame);
  }
  if (matte.empty()) matte = blackMatte(frame.size());  // the object is lost here
  return matte;
}

}  // namespace tv
