#include "vision/landmark_model.h"

#include <dlib/image_transforms/interpolation.h>
#include <dlib/rand.h>
#include <dlib/serialize.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace tv::landmarkmodel {

const char* const kRawName = "shape_predictor_68_face_landmarks.raw";

namespace {

using Forests = std::vector<std::vector<dlib::impl::regression_tree>>;
using Pixels = std::vector<std::vector<dlib::vector<float, 2>>>;

// The raw form: a header of 32-bit counts, then the numbers in this order, all as this
// machine's own 32-bit values (the file is made on the machine that reads it):
//   initial shape       2 x parts floats
//   per cascade         features x (x, y) floats: the pixels its trees compare
//                       trees x (splits x (first, second, threshold), leaves x 2 x parts floats)
// Every tree of the file has the same depth, which dlib's trained models do.
constexpr char kMagic[8] = {'T', 'V', 'S', 'P', 'R', 'A', 'W', '1'};
struct Header {
  char magic[8];
  std::uint32_t parts, cascades, trees, splits, features;
};

struct Split {
  std::uint32_t first, second;
  float threshold;
};
static_assert(sizeof(Header) == 28 && sizeof(Split) == 12, "the raw form has no padding");

// dlib's own reading, member by member, so that the pixels each cascade compares can be had
// (the predictor keeps them private, as an anchor point and an offset from it).
struct DlibParts {
  dlib::matrix<float, 0, 1> initialShape;
  Forests forests;
  std::vector<std::vector<unsigned long>> anchors;
  Pixels offsets;
};

DlibParts readParts(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw dlib::serialization_error("cannot open " + path);
  DlibParts parts;
  int version = 0;
  dlib::deserialize(version, in);
  if (version != 1) throw dlib::serialization_error("not a shape predictor of version 1");
  dlib::deserialize(parts.initialShape, in);
  dlib::deserialize(parts.forests, in);
  dlib::deserialize(parts.anchors, in);
  dlib::deserialize(parts.offsets, in);
  return parts;
}

// The same predictions, point for point, on a textured picture at many places and sizes.
bool samePredictions(const dlib::shape_predictor& a, const dlib::shape_predictor& b) {
  dlib::array2d<unsigned char> picture(480, 640);
  dlib::rand random(7);
  dlib::array2d<unsigned char> noise(60, 80);
  for (long r = 0; r < noise.nr(); ++r)
    for (long c = 0; c < noise.nc(); ++c) noise[r][c] = random.get_random_8bit_number();
  dlib::resize_image(noise, picture);
  for (int k = 0; k < 40; ++k) {
    long side = 30 + 9 * k, x = (37 * k) % (640 - side + 40) - 20,
         y = (53 * k) % (480 - side + 40) - 20;
    dlib::rectangle box(x, y, x + side - 1, y + side - 1);
    dlib::full_object_detection one = a(picture, box), two = b(picture, box);
    if (one.num_parts() != two.num_parts()) return false;
    for (unsigned long p = 0; p < one.num_parts(); ++p)
      if (one.part(p) != two.part(p)) return false;
  }
  return true;
}

}  // namespace

dlib::shape_predictor readDlib(const std::string& path) {
  dlib::shape_predictor model;
  dlib::deserialize(path) >> model;
  return model;
}

std::string convert(const std::string& source, const std::string& target) {
  DlibParts parts;
  try {
    parts = readParts(source);
  } catch (const std::exception& error) {
    return source + ": " + error.what();
  }
  Header header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.parts = std::uint32_t(parts.initialShape.size() / 2);
  header.cascades = std::uint32_t(parts.forests.size());
  header.trees = parts.forests.empty() ? 0 : std::uint32_t(parts.forests[0].size());
  header.splits = header.trees ? std::uint32_t(parts.forests[0][0].splits.size()) : 0;
  header.features = parts.anchors.empty() ? 0 : std::uint32_t(parts.anchors[0].size());
  if (header.parts == 0 || header.cascades == 0 || header.trees == 0 ||
      parts.anchors.size() != header.cascades || parts.offsets.size() != header.cascades)
    return source + ": an empty or inconsistent predictor";

  std::vector<float> floats;
  std::vector<Split> splits;
  std::ofstream out(target + ".part", std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(&parts.initialShape(0)),
            std::streamsize(sizeof(float) * 2 * header.parts));
  for (std::uint32_t c = 0; c < header.cascades; ++c) {
    const auto& forest = parts.forests[c];
    if (forest.size() != header.trees || parts.anchors[c].size() != header.features ||
        parts.offsets[c].size() != header.features)
      return source + ": cascades of different sizes";
    for (std::uint32_t f = 0; f < header.features; ++f) {
      // Back to the pixel as the trainer chose it; the predictor's constructor finds its anchor
      // again (the nearest point of the initial shape).
      unsigned long anchor = parts.anchors[c][f];
      if (anchor >= header.parts) return source + ": a feature anchored on no point";
      dlib::vector<float, 2> pixel(parts.initialShape(2 * anchor),
                                   parts.initialShape(2 * anchor + 1));
      pixel += parts.offsets[c][f];
      float xy[2] = {pixel.x(), pixel.y()};
      out.write(reinterpret_cast<const char*>(xy), sizeof xy);
    }
    for (const auto& tree : forest) {
      if (tree.splits.size() != header.splits || tree.leaf_values.size() != header.splits + 1)
        return source + ": trees of different depths";
      splits.clear();
      for (const auto& split : tree.splits)
        splits.push_back({std::uint32_t(split.idx1), std::uint32_t(split.idx2), split.thresh});
      out.write(reinterpret_cast<const char*>(splits.data()),
                std::streamsize(sizeof(Split) * splits.size()));
      for (const auto& leaf : tree.leaf_values) {
        if (leaf.size() != long(2 * header.parts)) return source + ": a leaf of the wrong size";
        out.write(reinterpret_cast<const char*>(&leaf(0)),
                  std::streamsize(sizeof(float) * leaf.size()));
      }
    }
  }
  out.close();
  if (!out) return target + ".part: cannot be written";

  std::optional<dlib::shape_predictor> raw = readRaw(target + ".part");
  dlib::shape_predictor original;
  try {
    original = readDlib(source);
  } catch (const std::exception& error) {
    return source + ": " + error.what();
  }
  if (!raw || !samePredictions(*raw, original)) {
    std::remove((target + ".part").c_str());
    return target + ": the raw form does not predict what the original does";
  }
  if (std::rename((target + ".part").c_str(), target.c_str()) != 0)
    return target + ": cannot be written";
  return {};
}

// Builds a Predictor from its numbers; the anchors and offsets of its pixels come either from
// the pixels as dlib's constructor finds them, or as dlib's file stores them.
struct PredictorBuilder {
  static Predictor empty(const Header& header) {
    Predictor p;
    p.parts_ = header.parts;
    p.cascades_ = header.cascades;
    p.trees_ = header.trees;
    p.splits_ = header.splits;
    p.initialShape_.set_size(long(2 * header.parts), 1);
    p.pixels_.resize(header.cascades);
    p.allSplits_.resize(size_t(header.cascades) * header.trees * header.splits);
    p.leaves_.resize(size_t(header.cascades) * header.trees * (header.splits + 1) * 2 *
                     header.parts);
    return p;
  }
  static Predictor::Split* splitsOf(Predictor& p, size_t cascade, size_t tree) {
    return p.allSplits_.data() + (cascade * p.trees_ + tree) * p.splits_;
  }
  static float* leavesOf(Predictor& p, size_t cascade, size_t tree) {
    return p.leaves_.data() + (cascade * p.trees_ + tree) * (p.splits_ + 1) * 2 * p.parts_;
  }
  static void encodeFromPixels(Predictor& p) {
    p.anchors_.resize(p.cascades_);
    p.deltas_.resize(p.cascades_);
    for (size_t c = 0; c < p.cascades_; ++c)
      dlib::impl::create_shape_relative_encoding(p.initialShape_, p.pixels_[c], p.anchors_[c],
                                                 p.deltas_[c]);
  }
  // dlib's own predictor with the same numbers, built as its constructor builds one.
  static dlib::shape_predictor toDlib(const Predictor& p) {
    Forests forests(p.cascades_);
    const size_t shape = 2 * p.parts_;
    for (size_t c = 0; c < p.cascades_; ++c) {
      forests[c].resize(p.trees_);
      for (size_t t = 0; t < p.trees_; ++t) {
        auto& tree = forests[c][t];
        const Predictor::Split* splits = p.allSplits_.data() + (c * p.trees_ + t) * p.splits_;
        tree.splits.resize(p.splits_);
        for (size_t k = 0; k < p.splits_; ++k) {
          tree.splits[k].idx1 = splits[k].first;
          tree.splits[k].idx2 = splits[k].second;
          tree.splits[k].thresh = splits[k].threshold;
        }
        const float* leaves = p.leaves_.data() + (c * p.trees_ + t) * (p.splits_ + 1) * shape;
        tree.leaf_values.resize(p.splits_ + 1);
        for (size_t l = 0; l <= p.splits_; ++l) {
          tree.leaf_values[l].set_size(long(shape));
          std::copy(leaves + l * shape, leaves + (l + 1) * shape, &tree.leaf_values[l](0));
        }
      }
    }
    return dlib::shape_predictor(p.initialShape_, forests, p.pixels_);
  }
};

std::optional<Predictor> Predictor::fromRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  const std::streamoff size = in.tellg();
  if (size < std::streamoff(sizeof(Header))) return std::nullopt;
  in.seekg(0);
  Header header;
  if (!in.read(reinterpret_cast<char*>(&header), sizeof header)) return std::nullopt;
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) return std::nullopt;
  // Guard the counts before multiplying them: a damaged header must not ask for absurd sizes.
  if (header.parts == 0 || header.parts > 1000 || header.cascades == 0 || header.cascades > 100 ||
      header.trees == 0 || header.trees > 10000 || header.splits > 1000 || header.features > 100000)
    return std::nullopt;
  const std::uint64_t shape = 2ull * header.parts, leaves = header.splits + 1ull;
  const std::uint64_t perTree = sizeof(Split) * header.splits + sizeof(float) * leaves * shape;
  const std::uint64_t expected =
      sizeof(Header) + sizeof(float) * shape +
      header.cascades * (sizeof(float) * 2ull * header.features + header.trees * perTree);
  if (expected != std::uint64_t(size)) return std::nullopt;

  static_assert(sizeof(Predictor::Split) == 12, "read as the raw form stores them");
  // Read straight into the blocks: the numbers are held once, never copied.
  auto readInto = [&](void* into, std::uint64_t bytes) {
    return bool(in.read(reinterpret_cast<char*>(into), std::streamsize(bytes)));
  };
  Predictor p = PredictorBuilder::empty(header);
  if (!readInto(&p.initialShape_(0), sizeof(float) * shape)) return std::nullopt;
  std::vector<float> xy(2 * size_t(header.features));
  for (std::uint32_t c = 0; c < header.cascades; ++c) {
    if (!readInto(xy.data(), sizeof(float) * xy.size())) return std::nullopt;
    p.pixels_[c].resize(header.features);
    for (std::uint32_t f = 0; f < header.features; ++f)
      p.pixels_[c][f] = dlib::vector<float, 2>(xy[2 * f], xy[2 * f + 1]);
    for (std::uint32_t t = 0; t < header.trees; ++t) {
      Split* splits = PredictorBuilder::splitsOf(p, c, t);
      if (!readInto(splits, sizeof(Split) * header.splits)) return std::nullopt;
      for (std::uint32_t k = 0; k < header.splits; ++k) {
        if (splits[k].first >= header.features || splits[k].second >= header.features)
          return std::nullopt;
      }
      if (!readInto(PredictorBuilder::leavesOf(p, c, t), sizeof(float) * leaves * shape))
        return std::nullopt;
    }
  }
  PredictorBuilder::encodeFromPixels(p);
  return p;
}

Predictor Predictor::fromDlib(const std::string& path) {
  DlibParts parts = readParts(path);
  Header header{};
  header.parts = std::uint32_t(parts.initialShape.size() / 2);
  header.cascades = std::uint32_t(parts.forests.size());
  header.trees = parts.forests.empty() ? 0 : std::uint32_t(parts.forests[0].size());
  header.splits = header.trees ? std::uint32_t(parts.forests[0][0].splits.size()) : 0;
  if (header.parts == 0 || header.cascades == 0 || header.trees == 0 ||
      parts.anchors.size() != header.cascades || parts.offsets.size() != header.cascades)
    throw dlib::serialization_error("an empty or inconsistent predictor");
  Predictor p = PredictorBuilder::empty(header);
  p.initialShape_ = parts.initialShape;
  const size_t shape = 2 * p.parts_;
  for (size_t c = 0; c < p.cascades_; ++c) {
    if (parts.forests[c].size() != p.trees_ || parts.anchors[c].size() != parts.offsets[c].size())
      throw dlib::serialization_error("cascades of different sizes");
    for (size_t f = 0; f < parts.anchors[c].size(); ++f) {
      if (parts.anchors[c][f] >= p.parts_)
        throw dlib::serialization_error("a feature anchored on no point");
    }
    for (size_t t = 0; t < p.trees_; ++t) {
      const auto& tree = parts.forests[c][t];
      if (tree.splits.size() != p.splits_ || tree.leaf_values.size() != p.splits_ + 1)
        throw dlib::serialization_error("trees of different depths");
      Split* splits = PredictorBuilder::splitsOf(p, c, t);
      for (size_t k = 0; k < p.splits_; ++k) {
        if (tree.splits[k].idx1 >= parts.anchors[c].size() ||
            tree.splits[k].idx2 >= parts.anchors[c].size())
          throw dlib::serialization_error("a split on a pixel the cascade has not");
        splits[k] = {std::uint32_t(tree.splits[k].idx1), std::uint32_t(tree.splits[k].idx2),
                     tree.splits[k].thresh};
      }
      float* leaves = PredictorBuilder::leavesOf(p, c, t);
      for (size_t l = 0; l <= p.splits_; ++l) {
        if (tree.leaf_values[l].size() != long(shape))
          throw dlib::serialization_error("a leaf of the wrong size");
        std::copy(&tree.leaf_values[l](0), &tree.leaf_values[l](0) + shape, leaves + l * shape);
      }
    }
  }
  // dlib's file holds each pixel as its anchor and offset, which dlib's predictor uses as they
  // are: so do we.
  p.anchors_ = std::move(parts.anchors);
  p.deltas_ = std::move(parts.offsets);
  return p;
}

std::optional<dlib::shape_predictor> readRaw(const std::string& path) {
  std::optional<Predictor> flat = Predictor::fromRaw(path);
  if (!flat) return std::nullopt;
  return PredictorBuilder::toDlib(*flat);
}

}  // namespace tv::landmarkmodel
