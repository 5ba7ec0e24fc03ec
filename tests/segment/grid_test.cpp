#include "segment/grid.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>

namespace tv {
namespace {

constexpr int G = GRID;

Grid emptyGrid() {
  return Grid(size_t(G) * G, 0);
}
uint8_t& cell(Grid& grid, int column, int row) {
  return grid[size_t(row) * G + column];
}

TEST(LabelGrid, SamplesAtCellCentres) {
  // Each pixel holds its own column (rows: its own row), so the grid shows where it sampled.
  cv::Mat columns(384, 512, CV_8UC1), rows(384, 512, CV_8UC1);
  for (int y = 0; y < 384; ++y)
    for (int x = 0; x < 512; ++x) {
      columns.at<uint8_t>(y, x) = uint8_t(x % 256);
      rows.at<uint8_t>(y, x) = uint8_t(y % 256);
    }
  Grid byColumn = labelGrid(columns), byRow = labelGrid(rows);
  ASSERT_EQ(byColumn.size(), size_t(G) * G);
  for (int r = 0; r < G; ++r)
    for (int c = 0; c < G; ++c) {
      EXPECT_EQ(cell(byColumn, c, r), (4 * c + 2) % 256);
      EXPECT_EQ(cell(byRow, c, r), (3 * r + 1) % 256);
    }
}

TEST(LabelGrid, LastRowClampedToTheBuffer) {
  cv::Mat buffer(100, 100, CV_8UC1, cv::Scalar(0));
  buffer.row(99).setTo(9);
  buffer.row(98).setTo(8);
  Grid grid = labelGrid(buffer);
  EXPECT_EQ(cell(grid, 0, 127), 9);  // min((127 * 100 + 50) / 128, 99) = 99
  EXPECT_EQ(cell(grid, 0, 126), 8);  // (126 * 100 + 50) / 128 = 98
}

TEST(LabelGrid, CopiesTheFirstByteOfWiderPixels) {
  cv::Mat bgra(10, 10, CV_8UC4, cv::Scalar(7, 1, 2, 3));
  Grid grid = labelGrid(bgra);
  EXPECT_EQ(cell(grid, 5, 5), 7);
}

TEST(LabelGrid, EmptyBufferGivesZeros) {
  EXPECT_EQ(labelGrid(cv::Mat()), emptyGrid());
}

TEST(Label, FindsTheNearestCellWithinFive) {
  Grid grid = emptyGrid();
  cell(grid, 66, 64) = 3;
  EXPECT_EQ(label({0.5, 0.5}, grid), 3);  // radius 2
  Grid far = emptyGrid();
  cell(far, 70, 64) = 3;
  EXPECT_EQ(label({0.5, 0.5}, far), 0);  // radius 6
  Grid edge = emptyGrid();
  cell(edge, 69, 69) = 5;
  EXPECT_EQ(label({0.5, 0.5}, edge), 5);  // radius 5, a corner of the square
}

TEST(Label, PointOutsideStartsFromTheNearestCell) {
  Grid grid = emptyGrid();
  cell(grid, 0, 127) = 4;
  EXPECT_EQ(label({-0.2, 1.7}, grid), 4);
  Grid beside = emptyGrid();
  cell(beside, 5, 122) = 6;  // radius 5 from (0, 127)
  EXPECT_EQ(label({-0.2, 1.7}, beside), 6);
  cell(beside, 6, 121) = 1;  // radius 6: too far, the other is still met first
  EXPECT_EQ(label({-0.2, 1.7}, beside), 6);
}

TEST(Label, UpperRowWinsOnEqualRadius) {
  Grid grid = emptyGrid();
  cell(grid, 65, 65) = 7;  // below right of (64, 64)
  cell(grid, 63, 63) = 3;  // above left
  EXPECT_EQ(label({0.5, 0.5}, grid), 3);
  Grid swapped = emptyGrid();
  cell(swapped, 63, 63) = 7;
  cell(swapped, 65, 65) = 3;
  EXPECT_EQ(label({0.5, 0.5}, swapped), 7);
  Grid sameRow = emptyGrid();
  cell(sameRow, 65, 63) = 9;
  cell(sameRow, 63, 63) = 2;
  EXPECT_EQ(label({0.5, 0.5}, sameRow), 2);  // then the left one
}

TEST(Label, OwnCellFirst) {
  Grid grid = emptyGrid();
  cell(grid, 64, 64) = 8;
  cell(grid, 63, 63) = 3;
  EXPECT_EQ(label({0.5, 0.5}, grid), 8);
  EXPECT_EQ(label({0.999, 0.0}, grid), 0);
}

TEST(Follow, NothingFromAnEmptySelection) {
  Grid labels = emptyGrid();
  for (int c = 0; c < 10; ++c) cell(labels, c, 0) = 4;
  EXPECT_EQ(follow(emptyGrid(), labels), 0);
}

TEST(Follow, SameRegionScoresOne) {
  Grid labels = emptyGrid();
  for (int r = 10; r < 20; ++r)
    for (int c = 10; c < 20; ++c) cell(labels, c, r) = 4;
  for (int c = 0; c < 50; ++c) cell(labels, c, 100) = 2;
  EXPECT_EQ(follow(only(4, labels), labels), 4);
  EXPECT_EQ(follow(only(2, labels), labels), 2);
}

TEST(Follow, ThresholdAtTwelvePercent) {
  // A selection of 100 cells holding a label of 12 (then 11) cells: IoU 0.12 (0.11).
  Grid previous = emptyGrid();
  for (int c = 0; c < 100; ++c) cell(previous, c, 5) = 1;
  Grid twelve = emptyGrid();
  for (int c = 0; c < 12; ++c) cell(twelve, c, 5) = 6;
  EXPECT_EQ(follow(previous, twelve), 6);
  Grid eleven = emptyGrid();
  for (int c = 0; c < 11; ++c) cell(eleven, c, 5) = 6;
  EXPECT_EQ(follow(previous, eleven), 0);
}

TEST(Follow, LowerLabelWinsTies) {
  Grid previous = emptyGrid();
  for (int c = 0; c < 20; ++c) cell(previous, c, 0) = 1;
  Grid labels = emptyGrid();
  for (int c = 0; c < 10; ++c) cell(labels, c, 0) = 9;
  for (int c = 10; c < 20; ++c) cell(labels, c, 0) = 5;
  EXPECT_EQ(follow(previous, labels), 5);
  for (int c = 10; c < 20; ++c) cell(labels, c, 1) = 9;  // 9 grows: its IoU falls to 1/3
  EXPECT_EQ(follow(previous, labels), 5);
  for (int c = 10; c < 15; ++c) cell(labels, c, 0) = 9;  // 9: 15/25 beats 5: 5/20
  EXPECT_EQ(follow(previous, labels), 9);
}

TEST(Follow, BackgroundIsNeverACandidate) {
  Grid previous = emptyGrid();
  for (int c = 0; c < 20; ++c) cell(previous, c, 0) = 1;
  Grid labels = emptyGrid();
  cell(labels, 0, 0) = 3;  // IoU 1/20 only: too little
  EXPECT_EQ(follow(previous, labels), 0);
}

TEST(Only, MarksTheCellsOfOneLabel) {
  Grid labels = emptyGrid();
  cell(labels, 3, 4) = 2;
  cell(labels, 5, 6) = 7;
  Grid two = only(2, labels);
  ASSERT_EQ(two.size(), size_t(G) * G);
  EXPECT_EQ(cell(two, 3, 4), 1);
  EXPECT_EQ(cell(two, 5, 6), 0);
  EXPECT_EQ(std::count(two.begin(), two.end(), 1), 1);
  Grid background = only(0, labels);
  EXPECT_EQ(std::count(background.begin(), background.end(), 1), G * G - 2);
  EXPECT_EQ(only(42, labels), emptyGrid());
}

}  // namespace
}  // namespace tv
