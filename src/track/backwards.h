// Reading a range backwards in time: the decoder only runs forwards, so the range is decoded in
// two-second chunks from its end, and each chunk is handed out last frame first.
#pragma once

#include "media/source.h"

#include <opencv2/core/mat.hpp>

#include <functional>

namespace tv {

// What a chunk holds of each frame: the BGRA frame, or only its 8-bit grey. A grey frame takes a
// quarter of the memory, so grey chunks span four times as long (eight seconds instead of two),
// and a range within one keyframe interval is decoded once rather than from its keyframe again
// for every chunk.
enum class ChunkPixels { colour, grey };

// The span of one backward chunk of grey frames, seconds: as many bytes as 2 s in colour.
constexpr double kGreyChunkSeconds = 8;

// Visits the frames in [from, before), latest first, each shrunk to `side`. Only one chunk of
// small frames is held at a time. `chunkDone` runs after each chunk's frames were visited. An
// empty chunk (undecodable stretch) ends the walk early.
void eachChunkBackwards(const Source& source, double from, double before, double side,
                        const std::function<void(const cv::Mat& small, double time)>& visitor,
                        const std::function<void()>& chunkDone,
                        ChunkPixels pixels = ChunkPixels::colour);

// The size shrunk() gives the source's frames for `side`: the frame reader delivers them so.
cv::Size smallSize(const Source& source, double side);

// Where the forward pass of the box and quad modes begins: max(start, at - 0.5 / fps), the frame
// shown at `at`. An `at` at or past the range's last frame (in the last half frame before
// `end`, past `end`, or past the file's end: it is only clamped to the duration) would start the
// pass after every frame and report an empty range; the last frame before `end` is the anchor
// then.
double forwardPassStart(const Source& source, double start, double at, double end);

}  // namespace tv
