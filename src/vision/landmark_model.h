// dlib's 68-point shape predictor in a raw form that loads as plain reads. dlib's own file
// stores every float as a portable mantissa and exponent, which takes close to a second to
// decode; the raw form holds the same numbers as this machine's floats, so loading is a copy.
#pragma once

#include <dlib/image_processing/full_object_detection.h>
#include <dlib/image_processing/shape_predictor.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tv::landmarkmodel {

// Where the build puts the raw form (the file name, looked up among the models first).
extern const char* const kRawName;

// The predictor stored in dlib's own format at `path`; throws (dlib's or std errors) when the
// file cannot be read.
dlib::shape_predictor readDlib(const std::string& path);

// Writes the predictor read from dlib's file `source` to `target` in the raw form, and checks
// that the raw form reads back into a predictor that places every point where the original
// does. Answers an empty string, or why it could not.
std::string convert(const std::string& source, const std::string& target);

// The predictor in the raw form at `path`; nothing when the file is missing, truncated or not
// a raw predictor (the caller then falls back to dlib's file).
std::optional<dlib::shape_predictor> readRaw(const std::string& path);

// The same predictor held for predicting: every split and every leaf of a cascade in one block,
// in tree order, rather than a heap block per leaf. A prediction reads about 4 MB of leaves
// out of 66, so where they lie decides its time; the sums are dlib's, in dlib's order, so the
// points are exactly dlib's.
class Predictor {
 public:
  // From the raw form; nothing when `path` is not a sound raw predictor (as readRaw).
  static std::optional<Predictor> fromRaw(const std::string& path);
  // From dlib's own file; throws (dlib's or std errors) when it cannot be read.
  static Predictor fromDlib(const std::string& path);

  unsigned long parts() const { return parts_; }
  // The points in `box` of `image` (any of dlib's grey image types).
  template <typename Image>
  dlib::full_object_detection operator()(const Image& image, const dlib::rectangle& box) const;

 private:
  struct Split {
    std::uint32_t first, second;
    float threshold;
  };
  unsigned long parts_ = 0, cascades_ = 0, trees_ = 0, splits_ = 0;
  dlib::matrix<float, 0, 1> initialShape_;
  std::vector<std::vector<dlib::vector<float, 2>>> pixels_;  // each cascade's, as trained
  std::vector<std::vector<unsigned long>> anchors_;
  std::vector<std::vector<dlib::vector<float, 2>>> deltas_;
  std::vector<Split> allSplits_;  // cascade by cascade, tree by tree
  std::vector<float> leaves_;     // likewise, each leaf 2 x parts floats

  // to[j] += from[j], one element at a time as dlib adds them (the blocks never overlap).
  static void add(float* __restrict to, const float* __restrict from, size_t count) {
    for (size_t j = 0; j < count; ++j) to[j] += from[j];
  }

  friend struct PredictorBuilder;
};

template <typename Image>
dlib::full_object_detection Predictor::operator()(const Image& image,
                                                  const dlib::rectangle& box) const {
  const size_t shape = 2 * parts_, leafFloats = (splits_ + 1) * shape;
  dlib::matrix<float, 0, 1> current = initialShape_;
  float* sum = &current(0);
  std::vector<float> values;
  std::vector<const float*> chosen(trees_);
  for (size_t c = 0; c < cascades_; ++c) {
    dlib::impl::extract_feature_pixel_values(image, box, current, initialShape_, anchors_[c],
                                             deltas_[c], values);
    // Every tree's leaf first (the walks read only the pixel values), then the sums in tree
    // order, the next leaves fetched while one is added.
    const Split* splits = allSplits_.data() + c * trees_ * splits_;
    const float* leaves = leaves_.data() + c * trees_ * leafFloats;
    for (size_t t = 0; t < trees_; ++t, splits += splits_, leaves += leafFloats) {
      size_t i = 0;
      while (i < splits_) {
        const Split& split = splits[i];
        i = values[split.first] - values[split.second] > split.threshold ? 2 * i + 1 : 2 * i + 2;
      }
      chosen[t] = leaves + (i - splits_) * shape;
    }
    constexpr size_t kAhead = 6;
    for (size_t t = 0; t < trees_; ++t) {
      if (t + kAhead < trees_) {
        const char* next = reinterpret_cast<const char*>(chosen[t + kAhead]);
        for (size_t b = 0; b < shape * sizeof(float); b += 64) __builtin_prefetch(next + b);
      }
      add(sum, chosen[t], shape);
    }
  }
  const dlib::point_transform_affine toImage = dlib::impl::unnormalizing_tform(box);
  std::vector<dlib::point> points(parts_);
  for (size_t k = 0; k < parts_; ++k) points[k] = toImage(dlib::impl::location(current, k));
  return dlib::full_object_detection(box, points);
}

}  // namespace tv::landmarkmodel
