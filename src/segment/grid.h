// Vision masks sampled on a GRID x GRID grid of bytes, and the three questions asked on it.
#pragma once

#include "base/point.h"

#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <vector>

namespace tv {

constexpr int GRID = 128;  // side of the labelling grid

// GRID * GRID bytes, row-major, row 0 at the top: instance indices (0 = none) for an instance
// mask, coverage 0..255 for a person matte, or 1/0 for a cell mask.
using Grid = std::vector<uint8_t>;

// Nearest sample at the cell centres of the first byte of every pixel; values copied as they
// are. An empty buffer gives an all-zero grid.
Grid labelGrid(const cv::Mat& buffer);

// The first non-zero cell on the smallest square ring (radius 0..5) around the cell of a
// normalised point (x from the left, y from the top), rows top to bottom, columns left to
// right; 0 when there is none within radius 5.
uint8_t label(Point at, const Grid& in);

// The label (1..255) whose cells best overlap the previous cell mask (intersection over union,
// lower label on ties), or 0 when the best score is below 0.12.
uint8_t follow(const Grid& previous, const Grid& in);

// The cell mask (1/0) of one label; label 0 marks the background cells.
Grid only(uint8_t label, const Grid& of);

}  // namespace tv
