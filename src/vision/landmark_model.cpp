#include "vision/landmark_model.h"

#include <dlib/image_transforms/interpolation.h>
#include <dlib/rand.h>
#include <dlib/serialize.h>

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

std::optional<dlib::shape_predictor> readRaw(const std::string& path) {
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

  // Read straight into the predictor's own matrices, a cascade at a time: the numbers are held
  // once here and once in the predictor the constructor copies them into, never a third time.
  auto readFloats = [&](float* into, std::uint64_t count) {
    return bool(in.read(reinterpret_cast<char*>(into), std::streamsize(sizeof(float) * count)));
  };
  dlib::matrix<float, 0, 1> initialShape(long(shape), 1);
  if (!readFloats(&initialShape(0), shape)) return std::nullopt;
  Forests forests(header.cascades);
  Pixels pixels(header.cascades);
  std::vector<float> xy(2 * size_t(header.features));
  std::vector<Split> splits(header.splits);
  for (std::uint32_t c = 0; c < header.cascades; ++c) {
    if (!readFloats(xy.data(), xy.size())) return std::nullopt;
    pixels[c].resize(header.features);
    for (std::uint32_t f = 0; f < header.features; ++f)
      pixels[c][f] = dlib::vector<float, 2>(xy[2 * f], xy[2 * f + 1]);
    forests[c].resize(header.trees);
    for (auto& tree : forests[c]) {
      if (!in.read(reinterpret_cast<char*>(splits.data()),
                   std::streamsize(sizeof(Split) * splits.size())))
        return std::nullopt;
      tree.splits.resize(header.splits);
      for (size_t k = 0; k < splits.size(); ++k) {
        if (splits[k].first >= header.features || splits[k].second >= header.features)
          return std::nullopt;
        tree.splits[k].idx1 = splits[k].first;
        tree.splits[k].idx2 = splits[k].second;
        tree.splits[k].thresh = splits[k].threshold;
      }
      tree.leaf_values.resize(leaves);
      for (auto& leaf : tree.leaf_values) {
        leaf.set_size(long(shape));
        if (!readFloats(&leaf(0), shape)) return std::nullopt;
      }
    }
  }
  return dlib::shape_predictor(initialShape, forests, pixels);
}

}  // namespace tv::landmarkmodel
