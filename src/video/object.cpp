#include "video/object.h"

#include "base/events.h"
#include "media/frames.h"
#include "segment/masks.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>

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

// Quality of the frames kept for carrying an object back from the pick frame: high enough that
// the tracker and the cut see what the writing pass will.
constexpr int kKeptQuality = 95;

cv::Mat bgraOf(const cv::Mat& bgr) {
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  return bgra;
}

// Carries an object of any kind back from the pick frame over the frames before it, read once
// more and kept compressed, so that a long range does not hold its frames raw.
void carryBack(ObjectTrail& trail, const Source& source, const VideoPlan& plan,
               const cv::Mat& pickFrame) {
  std::vector<std::vector<uint8_t>> frames;
  eachFrame(source, plan.start, plan.end, [&](const cv::Mat& decoded, const MediaTime&) {
    cv::Mat bgr;
    cv::cvtColor(forAnalysis(decoded, plan.analysis), bgr, cv::COLOR_BGRA2BGR);
    frames.emplace_back();
    cv::imencode(".jpg", bgr, frames.back(), {cv::IMWRITE_JPEG_QUALITY, kKeptQuality});
    return static_cast<int>(frames.size()) < trail.pickIndex;
  }, plan.analysis);
  trail.before.assign(trail.pickIndex, {});
  CarriedObject back(pickFrame, trail.pickMatte, trail.reacquire);
  for (int k = std::min<int>(trail.pickIndex, int(frames.size())) - 1; k >= 0; --k) {
    const cv::Mat frame = bgraOf(cv::imdecode(frames[k], cv::IMREAD_COLOR));
    frames[k] = {};
    const cv::Mat matte = back.next(frame);
    if (!matte.empty()) cv::imencode(".png", matte, trail.before[k]);
  }
}

// The box (pixels of a frame of `size`, top-left origin) of a cell mask's cells; empty when
// there are none.
cv::Rect2d cellBox(const Grid& cells, cv::Size size) {
  const cv::Mat grid(GRID, GRID, CV_8U, const_cast<uint8_t*>(cells.data()));
  const cv::Rect box = cv::boundingRect(grid);
  const double sx = double(size.width) / GRID, sy = double(size.height) / GRID;
  return {box.x * sx, box.y * sy, box.width * sx, box.height * sy};
}

cv::Rect2d lowerLeft(const cv::Rect2d& box, cv::Size size) {
  return {box.x / size.width, 1 - (box.y + box.height) / size.height, box.width / size.width,
          box.height / size.height};
}

cv::Rect2d topLeft(const cv::Rect2d& r, cv::Size size) {
  return {r.x * size.width, (1 - r.y - r.height) * size.height, r.width * size.width,
          r.height * size.height};
}

constexpr size_t kRememberedBoxes = 10;  // boxes the motion of a lost instance is judged from
// A place found by its looks is the instance that covers the most of it, when that is at least
// this share of it: the looks alone do not make an instance, and the detector must see one.
constexpr double kLeastCover = 0.3;

// Where an instance seen in `recent` would be `ahead` frames after the last of them; its
// centre stays within the frame.
cv::Rect2d expectedAt(const std::vector<cv::Rect2d>& recent, int ahead, cv::Size size) {
  cv::Rect2d expected = recent.back();
  if (recent.size() >= 2) {
    const double steps = double(recent.size() - 1);
    expected.x += (recent.back().x - recent.front().x) / steps * ahead;
    expected.y += (recent.back().y - recent.front().y) / steps * ahead;
  }
  const double cx = std::clamp(expected.x + expected.width / 2, 0.0, double(size.width));
  const double cy = std::clamp(expected.y + expected.height / 2, 0.0, double(size.height));
  expected.x = cx - expected.width / 2;
  expected.y = cy - expected.height / 2;
  return expected;
}

// After the pick frame with --reacquire: keeps the seeker's looks up to date while the instance
// is followed on the grid, and once it is lost there, seeks it by its looks and where it was
// going. Answers the label found on this frame's grid, or 0.
uint8_t reacquired(ObjectTrail& trail, const cv::Mat& frame, const Grid& grid, uint8_t followed) {
  if (!trail.seeker) return followed;
  const cv::Size size = frame.size();
  if (followed != 0) {
    trail.seeker->next(frame);
    trail.missed = 0;
    trail.recentBoxes.push_back(cellBox(only(followed, grid), size));
    if (trail.recentBoxes.size() > kRememberedBoxes)
      trail.recentBoxes.erase(trail.recentBoxes.begin());
    return followed;
  }
  if (trail.recentBoxes.empty()) return 0;
  const cv::Rect2d expected = expectedAt(trail.recentBoxes, ++trail.missed, size);
  auto answer = trail.seeker->seek(frame, lowerLeft(expected, size));
  if (!answer || !(answer->confidence > 0.3f)) return 0;
  const cv::Rect2d place = topLeft(answer->boundingBox, size);
  // The instance covering the most of the place found.
  std::array<long, 256> cover{};
  long inside = 0;
  for (int row = 0; row < GRID; ++row) {
    const double y = (row + 0.5) * size.height / GRID;
    if (y < place.y || y >= place.y + place.height) continue;
    for (int column = 0; column < GRID; ++column) {
      const double x = (column + 0.5) * size.width / GRID;
      if (x < place.x || x >= place.x + place.width) continue;
      ++inside;
      ++cover[grid[size_t(row) * GRID + column]];
    }
  }
  uint8_t best = 0;
  for (int l = 1; l < 256; ++l)
    if (cover[l] > cover[best] || (best == 0 && cover[l] > 0)) best = uint8_t(l);
  if (best == 0 || inside == 0 || double(cover[best]) / double(inside) < kLeastCover) return 0;
  trail.current = only(best, grid);
  // The way it went before it was lost says nothing about where it goes now.
  trail.missed = 0;
  trail.recentBoxes.assign(1, cellBox(*trail.current, size));
  return best;
}

}  // namespace

ObjectTrail pickObject(const Source& source, const VideoPlan& plan, Point point,
                       Segmenter& segmenter, bool reacquire) {
  // One packed grid per frame up to the pick frame: the frames themselves are never kept.
  std::vector<PackedGrid> grids;
  cv::Mat last;  // the latest frame, as analysed
  const double stopAt = plan.pickTime - 0.5 / source.fps;
  eachFrame(source, plan.start, plan.end, [&](const cv::Mat& decoded, const MediaTime& time) {
    // The same picture the writing pass will analyse, so both passes see the same instances.
    const cv::Mat frame = forAnalysis(decoded, plan.analysis);
    auto found = segmenter.instances(frame);
    grids.emplace_back(found ? labelGrid(found->instanceMask) : Grid(GRID * GRID, 0));
    const auto searched = static_cast<long>(grids.size());
    if (searched % 10 == 0) {
      double fraction = std::min(static_cast<double>(searched) / plan.total, 1.0);
      emit(Event{{"progress", fraction * 0.4}, {"stage", "search"}});
    }
    const bool goOn = time.seconds() < stopAt;
    if (!goOn) frame.copyTo(last);
    return goOn;
  }, plan.analysis);
  if (grids.empty()) fail("no frames in that range");
  uint8_t picked = label(point, grids.back().unpacked());
  if (picked != 0) {
    ObjectTrail trail = traceBack(grids, picked);
    trail.reacquire = reacquire;
    return trail;
  }
  // None of the detector's instances is there: whatever stands out under the point.
  ObjectTrail trail;
  trail.reacquire = reacquire;
  trail.anyKind = true;
  trail.pickIndex = static_cast<int>(grids.size()) - 1;
  if (last.empty()) fail("nothing-there");
  const cv::Mat cut = vision().objectAt(last, point);
  if (cut.empty() || cv::countNonZero(cut >= 128) == 0) fail("nothing-there");
  trail.pickMatte = fitted(cut, last.size());
  if (trail.pickIndex > 0) carryBack(trail, source, plan, last);
  return trail;
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

cv::Mat objectMatte(ObjectTrail& trail, int k, const cv::Mat& frame, Segmenter& segmenter) {
  cv::Mat matte;
  if (!trail.anyKind) {
    auto found = segmenter.instances(frame);
    const Grid grid = found ? labelGrid(found->instanceMask) : Grid(GRID * GRID, 0);
    uint8_t picked = found ? objectLabel(trail, k, grid) : 0;
    if (trail.reacquire && k == trail.pickIndex && picked != 0) {
      trail.seeker =
          vision().objectTracking(lowerLeft(cellBox(only(picked, grid), frame.size()), frame.size()));
      // It takes hold of the instance's looks on the pick frame.
      if (trail.seeker && trail.seeker->next(frame)) {
        trail.recentBoxes.assign(1, cellBox(only(picked, grid), frame.size()));
      } else {
        trail.seeker.reset();
      }
    } else if (trail.reacquire && k > trail.pickIndex) {
      picked = reacquired(trail, frame, grid, picked);
    }
    if (found && picked != 0) matte = segmenter.mask({picked}, *found, frame.size());
  } else if (k < trail.pickIndex) {
    if (k < static_cast<int>(trail.before.size()) && !trail.before[k].empty()) {
      const cv::Mat kept = cv::imdecode(trail.before[k], cv::IMREAD_GRAYSCALE);
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
