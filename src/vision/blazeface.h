// The face detector behind the face analyses: MediaPipe's BlazeFace (back-camera, 256 x 256)
// run with OpenCV's dnn over a pyramid of overlapping tiles, so that faces from about 24 pixels
// up to the whole picture are found. Coordinates here are OpenCV's: pixels, origin top left.
#pragma once

#include "vision/background.h"
#include "vision/face_motion.h"

#include <opencv2/core.hpp>

#include <array>
#include <future>
#include <optional>
#include <vector>

namespace tv::blazeface {

struct Face {
  cv::Rect2d box;  // pixels of the analysed image, origin top left
  float score = 0;
  // The detector's six key points, in the model's order: the subject's right eye, left eye,
  // nose tip, mouth centre, right ear, left ear (same coordinates as the box).
  std::array<cv::Point2d, 6> keyPoints;
};

// The relative path of the model among the models (see findModel).
extern const char* const kModelFile;

// Faces in a BGRA (or BGR) image, best score first. Loads the model on first use; a model that
// is missing or cannot be read ends the run ("cannot load the model face detector: ...").
// Faces narrower than `smallest` pixels are of no use to the caller: the levels that only
// answer for such faces are left out (so smaller faces the other levels find still come).
std::vector<Face> detect(const cv::Mat& image, double smallest = 0);

// detect() for the pictures of a video, in time order. Most of a picture seldom changes from
// one frame to the next, so a tile keeps its last answer until its content changes: a tile
// holding a face runs again as soon as any part of it changes by more than a codec's noise (so
// the face's box stays current), a tile without one when a few cells change a lot while the
// rest of the picture stays still (something appeared). While the whole view moves (a pan),
// the tiles without faces wait for their turn: one tile in turn runs every other picture
// regardless, so a face is found within about twice as many pictures as there are tiles. A
// picture of another size or type, or one that differs from the previous one everywhere (a
// cut, a picture from elsewhere), starts afresh: every tile runs, as in detect(). What a tile
// answers when it runs is exactly what detect() answers for it.
//
// A tile holding a face need not run on every picture either: between two runs its faces are
// carried along by how the pixels around each face moved (see facemotion). It runs again on
// the next picture of a fixed cadence, or at once when a face of it cannot be followed. Changes
// around the faces already found (their heads and shoulders) neither make the view count as
// moving nor tell of a newcomer, and in a still view the tiles run in turn less often.
// One square of the pyramid, in the picture's pixels; fine when it belongs to the fine level
// (see fineLevel).
struct Tile {
  cv::Rect2d square;
  bool fine = false;
};

// The network's input for one square of a picture and where its pixels came from, with the
// buffers it is made in (kept from one square to the next).
struct SquareInput {
  cv::Mat pixels;           // 256 x 256, RGB scaled to [-1, 1]; empty when the square shows nothing
  cv::Rect source, target;  // the picture's pixels, and where they went in the input
  cv::Mat canvas, rgb, floats;
};

class Detector {
 public:
  std::vector<Face> detect(const cv::Mat& image, double smallest = 0);
  // detect() that also makes the part `greyToo` of the picture grey, along with the grey it makes
  // around the last faces on its own thread (one conversion where the two overlap): madeGrey()
  // answers it, and where it lies in the picture, until the next call (empty when none was made).
  std::vector<Face> detect(const cv::Mat& image, double smallest, const cv::Rect& greyToo);
  const cv::Mat& madeGrey() const { return made_.grey; }
  const cv::Rect& madeRegion() const { return made_.region; }

  // The faces of the last picture (those a caller following the same video may expect near
  // where they were), and the detector's own thread, for work a caller overlaps with detect().
  const std::vector<Face>& lastAnswer() const { return answer_; }
  Background& background() { return background_; }

 private:
  struct TileState {
    Tile tile;
    std::vector<Face> faces;  // its last answer
    cv::Mat seen;             // the cells of the picture its last answer was for
    // The hints of small faces it gave when it last ran (a tile above the fine level), or that
    // it last ran for (a fine tile).
    std::vector<cv::Point2d> hints;
    long idle = 0;  // pictures since it last ran
  };
  // The faces of one tile, carried from the previous picture to this one; false when one of
  // them cannot be.
  bool carry(std::vector<Face>& faces, const cv::Mat& image);

  cv::Mat previous_;  // the previous picture's cells
  cv::Size size_, cellsSize_;
  int type_ = -1;
  bool fineWanted_ = true;
  bool gated_ = false;  // the fine tiles run only where hinted at
  std::vector<TileState> tiles_;
  size_t nextRefresh_ = 0, nextFineRefresh_ = 0;
  long runsSinceFineRefresh_ = 0;
  long sinceRun_ = 0;      // pictures since the tiles holding faces last ran
  long sinceRefresh_ = 0;  // pictures since a tile last ran in turn
  using Moves = std::vector<std::optional<facemotion::Motion>>;
  // How the previous answer's faces moved to this picture, once asked.
  const Moves& moves(const cv::Mat& image);

  std::vector<Face> answer_;  // the previous picture's faces
  // Around each of them, in that picture: made grey on a thread of its own.
  std::future<std::vector<facemotion::Patch>> around_;
  // Made on a thread of its own while the cells are compared (joined before detect() returns):
  // the grey of the picture around where the previous answer's faces were, and how each of
  // them moved to the picture.
  struct Ahead {
    cv::Mat grey;
    cv::Rect region;  // where `grey` lies in the picture
    Moves moves;      // when asked for
  };
  std::future<Ahead> ahead_;
  Ahead aheadDone_;
  Ahead made_;  // kept for the caller that wanted a part of it (without the moves)
  Moves moves_;
  bool measured_ = false;
  // The inputs of the tiles about to run, made on the other thread (see runTiles in detect()).
  std::array<SquareInput, 2> inputs_;
  Background background_;  // last: its tasks use the rest
};

// One level of the tile pyramid: square tiles of `side` pixels, `columns` x `rows` of them,
// spread evenly over the picture (the first at its top left, the last at its bottom right).
struct Level {
  double side = 0;
  int columns = 1, rows = 1;
};

// The levels detect() runs on a picture of the given size, the whole picture first.
std::vector<Level> pyramid(cv::Size size);

// The fine level below the pyramid, which answers only for faces under 48 pixels that lie on no
// face the pyramid found; none when the pyramid's finest tiles are small enough already. Where
// the pyramid has several levels, only its tiles where the pyramid hints at a small face run.
std::optional<Level> fineLevel(cv::Size size);

// One pass of the network on a square crop of `image` (its content scaled to fit 256 x 256,
// aspect ratio kept), before suppression: every anchor scoring at least `minScore`.
std::vector<Face> detectInSquare(const cv::Mat& image, const cv::Rect2d& square, float minScore);

// Weighted non-maximum suppression: overlapping faces (intersection over union above
// `maxOverlap`) become one, their boxes and key points averaged with the scores as weights.
std::vector<Face> suppressed(std::vector<Face> faces, double maxOverlap);

}  // namespace tv::blazeface
