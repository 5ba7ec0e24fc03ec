#include "video/object.h"

#include "cli/events.h"
#include "media/frames.h"

#include <algorithm>

namespace tv {

ObjectTrail pickObject(const Source& source, const VideoPlan& plan, Point point,
                       Segmenter& segmenter) {
  // One grid per frame (16 KiB each) up to the pick frame: the frames themselves are never kept.
  std::vector<Grid> grids;
  const double stopAt = plan.pickTime - 0.5 / source.fps;
  eachFrame(source, plan.start, plan.end, [&](const cv::Mat& frame, const MediaTime& time) {
    auto found = segmenter.instances(frame);
    grids.push_back(found ? labelGrid(found->instanceMask) : Grid(GRID * GRID, 0));
    const auto searched = static_cast<long>(grids.size());
    if (searched % 10 == 0) {
      double fraction = std::min(static_cast<double>(searched) / plan.total, 1.0);
      emit(Event{{"progress", fraction * 0.4}, {"stage", "search"}});
    }
    return time.seconds() < stopAt;
  });
  if (grids.empty()) fail("no frames in that range");
  uint8_t picked = label(point, grids.back());
  if (picked == 0) fail("nothing-there");
  return traceBack(grids, picked);
}

ObjectTrail traceBack(const std::vector<Grid>& grids, uint8_t picked) {
  ObjectTrail trail;
  if (grids.empty()) return trail;
  trail.pickIndex = static_cast<int>(grids.size()) - 1;
  trail.masks.assign(grids.size(), std::nullopt);
  trail.masks[trail.pickIndex] = only(picked, grids[trail.pickIndex]);
  // A frame where the object is not found keeps the reference of the later frame, so the
  // trace survives short losses.
  Grid reference = *trail.masks[trail.pickIndex];
  for (int k = trail.pickIndex - 1; k >= 0; --k) {
    uint8_t found = follow(reference, grids[k]);
    if (found == 0) continue;
    trail.masks[k] = only(found, grids[k]);
    reference = *trail.masks[k];
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
  if (k < 0 || k >= static_cast<int>(trail.masks.size()) || !trail.masks[k]) return 0;
  uint8_t found = follow(*trail.masks[k], grid);
  if (found != 0 && k == trail.pickIndex) trail.current = only(found, grid);
  return found;
}

}  // namespace tv
