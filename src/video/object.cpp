#include "video/object.h"

#include "base/events.h"
#include "media/frames.h"

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

ObjectTrail pickObject(const Source& source, const VideoPlan& plan, Point point,
                       Segmenter& segmenter) {
  // One packed grid per frame up to the pick frame: the frames themselves are never kept.
  std::vector<PackedGrid> grids;
  const double stopAt = plan.pickTime - 0.5 / source.fps;
  eachFrame(source, plan.start, plan.end, [&](const cv::Mat& decoded, const MediaTime& time) {
    // The same picture the writing pass will analyse, so both passes see the same instances.
    auto found = segmenter.instances(forAnalysis(decoded, plan.analysis));
    grids.emplace_back(found ? labelGrid(found->instanceMask) : Grid(GRID * GRID, 0));
    const auto searched = static_cast<long>(grids.size());
    if (searched % 10 == 0) {
      double fraction = std::min(static_cast<double>(searched) / plan.total, 1.0);
      emit(Event{{"progress", fraction * 0.4}, {"stage", "search"}});
    }
    return time.seconds() < stopAt;
  }, plan.analysis);
  if (grids.empty()) fail("no frames in that range");
  uint8_t picked = label(point, grids.back().unpacked());
  if (picked == 0) fail("nothing-there");
  return traceBack(grids, picked);
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

}  // namespace tv
