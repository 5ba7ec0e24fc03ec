// The oneDNN runner against OpenCV's dnn on the same ONNX files: the salient network on both of
// the outputs it is read from, and a small graph made here with every operation the runner
// knows at odd sizes (rounded-up pooling, dilation, a resize sized by shape arithmetic, a
// convolution read by two nodes). What it does not know is refused when loading.
#include "vision/cpu_net.h"
#include "vision/models.h"

#include <gtest/gtest.h>

#include <onnx/onnx_pb.h>
#include <opencv2/dnn.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace tv {
namespace {

namespace fs = std::filesystem;

double largestDifference(const cv::Mat& a, const cv::Mat& b) {
  EXPECT_EQ(a.total(), b.total());
  if (a.total() != b.total()) return 1e9;
  return cv::norm(a.reshape(1, 1), b.reshape(1, 1), cv::NORM_INF);
}

cv::Mat randomBlob(std::vector<int> shape, uint64_t seed) {
  cv::Mat blob(int(shape.size()), shape.data(), CV_32F);
  cv::RNG rng(seed);
  rng.fill(blob, cv::RNG::UNIFORM, -2.0, 2.0);
  return blob;
}

TEST(CpuNet, TheSalientNetworkMatchesOpenCvOnItsFusedAndDeepestOutputs) {
  const std::string path = findModel("u2netp.onnx");
  ASSERT_FALSE(path.empty()) << "u2netp.onnx is not installed (scripts/models)";
  cv::dnn::Net reference = cv::dnn::readNetFromONNX(path);
  const std::vector<std::string> names = reference.getUnconnectedOutLayersNames();
  ASSERT_EQ(names.size(), 7u);
  const cv::Mat input = randomBlob({1, 3, 320, 320}, 7);
  reference.setInput(input);
  std::vector<cv::Mat> expected;
  reference.forward(expected, names);

  CpuNet deepest(path, {1, 3, 320, 320}, -1), fused(path, {1, 3, 320, 320}, 0);
  EXPECT_EQ(deepest.outputShape(), (std::vector<int>{1, 1, 320, 320}));
  // Twice: the second run reuses every buffer of the first.
  for (int run = 0; run < 2; ++run) {
    EXPECT_LT(largestDifference(deepest.run(input), expected.back()), 1e-4);
    EXPECT_LT(largestDifference(fused.run(input), expected.front()), 1e-3);
  }
  EXPECT_THROW(deepest.run(randomBlob({1, 3, 256, 256}, 1)), std::invalid_argument);
}

// Builds small ONNX graphs (opset 11) in memory.
class Graph {
 public:
  Graph() {
    model_.set_ir_version(7);
    model_.add_opset_import()->set_version(11);
  }
  void input(const std::string& name, std::vector<int64_t> dims) {
    describe(model_.mutable_graph()->add_input(), name, dims);
  }
  void output(const std::string& name, std::vector<int64_t> dims) {
    describe(model_.mutable_graph()->add_output(), name, dims);
  }
  void weights(const std::string& name, std::vector<int64_t> dims, uint64_t seed) {
    auto* t = model_.mutable_graph()->add_initializer();
    t->set_name(name);
    t->set_data_type(onnx::TensorProto::FLOAT);
    int64_t count = 1;
    for (auto d : dims) {
      t->add_dims(d);
      count *= d;
    }
    cv::RNG rng(seed);
    for (int64_t i = 0; i < count; ++i) t->add_float_data(float(rng.uniform(-0.3, 0.3)));
  }
  void integers(const std::string& name, std::vector<int64_t> values) {
    auto* t = model_.mutable_graph()->add_initializer();
    t->set_name(name);
    t->set_data_type(onnx::TensorProto::INT64);
    t->add_dims(int64_t(values.size()));
    for (auto v : values) t->add_int64_data(v);
  }
  onnx::NodeProto* node(const std::string& op, std::vector<std::string> inputs,
                        std::vector<std::string> outputs) {
    auto* n = model_.mutable_graph()->add_node();
    n->set_op_type(op);
    n->set_name(op + "_" + std::to_string(model_.graph().node_size()));
    for (auto& i : inputs) n->add_input(i);
    for (auto& o : outputs) n->add_output(o);
    return n;
  }
  static void ints(onnx::NodeProto* n, const std::string& name, std::vector<int64_t> values) {
    auto* a = n->add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::INTS);
    for (auto v : values) a->add_ints(v);
  }
  static void integer(onnx::NodeProto* n, const std::string& name, int64_t value) {
    auto* a = n->add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::INT);
    a->set_i(value);
  }
  static void text(onnx::NodeProto* n, const std::string& name, const std::string& value) {
    auto* a = n->add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::STRING);
    a->set_s(value);
  }
  std::string bytes() const { return model_.SerializeAsString(); }
  // Written to a file in the test's temporary folder.
  std::string file(const std::string& name) const {
    const std::string path = (fs::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary) << bytes();
    return path;
  }

 private:
  static void describe(onnx::ValueInfoProto* v, const std::string& name,
                       const std::vector<int64_t>& dims) {
    v->set_name(name);
    auto* type = v->mutable_type()->mutable_tensor_type();
    type->set_elem_type(onnx::TensorProto::FLOAT);
    for (auto d : dims) type->mutable_shape()->add_dim()->set_dim_value(d);
  }
  onnx::ModelProto model_;
};

onnx::NodeProto* conv(Graph& g, const std::string& in, const std::string& out, int64_t from,
                      int64_t to, int64_t kernel, int64_t dilation, uint64_t seed) {
  g.weights(out + ".w", {to, from, kernel, kernel}, seed);
  g.weights(out + ".b", {to}, seed + 1);
  auto* n = g.node("Conv", {in, out + ".w", out + ".b"}, {out});
  const int64_t pad = dilation * (kernel - 1) / 2;
  Graph::ints(n, "kernel_shape", {kernel, kernel});
  Graph::ints(n, "pads", {pad, pad, pad, pad});
  Graph::ints(n, "dilations", {dilation, dilation});
  Graph::ints(n, "strides", {1, 1});
  return n;
}

// Every operation the runner knows, at odd sizes: 37 x 29 pools to 19 x 15 rounding up.
Graph everyOperation() {
  Graph g;
  g.input("x", {1, 3, 37, 29});
  conv(g, "x", "c1", 3, 16, 3, 1, 1);
  g.node("Relu", {"c1"}, {"r1"});  // fused: its convolution's one reader
  auto* pool = g.node("MaxPool", {"r1"}, {"p1"});
  Graph::ints(pool, "kernel_shape", {2, 2});
  Graph::ints(pool, "strides", {2, 2});
  Graph::integer(pool, "ceil_mode", 1);
  conv(g, "p1", "c2", 16, 32, 3, 2, 3);
  g.node("Relu", {"c2"}, {"r2"});
  // The resize back to r1's size, sized by shape arithmetic as exported networks do.
  g.node("Shape", {"r1"}, {"s"});
  g.integers("hw.from", {2});
  g.integers("hw.to", {4});
  g.node("Slice", {"s", "hw.from", "hw.to"}, {"hw"});
  g.node("Shape", {"r2"}, {"s2"});
  g.integers("nc.from", {0});
  g.integers("nc.to", {2});
  g.node("Slice", {"s2", "nc.from", "nc.to"}, {"nc"});
  auto* sizes = g.node("Concat", {"nc", "hw"}, {"sizes"});
  Graph::integer(sizes, "axis", 0);
  g.weights("roi", {0}, 5);
  g.weights("scales", {0}, 6);
  auto* up = g.node("Resize", {"r2", "roi", "scales", "sizes"}, {"u"});
  Graph::text(up, "mode", "linear");
  Graph::text(up, "coordinate_transformation_mode", "pytorch_half_pixel");
  auto* joined = g.node("Concat", {"u", "r1"}, {"j"});
  Graph::integer(joined, "axis", 1);
  conv(g, "j", "c3", 48, 16, 1, 1, 7);
  // c3 is read twice: its Relu stays a step of its own.
  g.node("Relu", {"c3"}, {"r3"});
  g.node("Add", {"r3", "c3"}, {"a"});
  g.node("Add", {"a", "r1"}, {"a2"});
  conv(g, "a2", "c4", 16, 1, 3, 1, 9);
  g.node("Sigmoid", {"c4"}, {"y"});
  g.output("y", {1, 1, 37, 29});
  return g;
}

TEST(CpuNet, EveryOperationItKnowsMatchesOpenCvAtOddSizes) {
  const Graph g = everyOperation();
  const std::string bytes = g.bytes();
  cv::dnn::Net reference = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
  const cv::Mat input = randomBlob({1, 3, 37, 29}, 11);
  reference.setInput(input);
  const cv::Mat expected = reference.forward();

  const std::string path = g.file("tarnel-cpu-net-every.onnx");
  CpuNet net(path, {1, 3, 37, 29});
  std::remove(path.c_str());
  EXPECT_EQ(net.outputShape(), (std::vector<int>{1, 1, 37, 29}));
  cv::Mat got = net.run(input);
  EXPECT_LT(largestDifference(got, expected), 1e-4);
  // Not a constant answer: another input, another output.
  EXPECT_GT(largestDifference(net.run(randomBlob({1, 3, 37, 29}, 12)), got), 1e-3);
}

std::string refusal(const std::string& path, std::vector<int> shape = {1, 3, 8, 8}) {
  try {
    CpuNet net(path, shape);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(CpuNet, WhatItCannotRunIsRefusedWithTheReason) {
  Graph g;
  g.input("x", {1, 3, 8, 8});
  conv(g, "x", "c", 3, 4, 3, 1, 1);
  auto* soft = g.node("Softmax", {"c"}, {"y"});
  Graph::integer(soft, "axis", 1);
  g.output("y", {1, 4, 8, 8});
  const std::string softmax = g.file("tarnel-cpu-net-softmax.onnx");
  EXPECT_EQ(refusal(softmax), "the operation Softmax is not supported");
  EXPECT_EQ(refusal(softmax, {1, 3, 0, 8}), "the input shape is absurd");
  std::remove(softmax.c_str());

  Graph grouped;
  grouped.input("x", {1, 4, 8, 8});
  auto* n = conv(grouped, "x", "y", 2, 4, 3, 1, 1);
  Graph::integer(n, "group", 2);
  grouped.output("y", {1, 4, 8, 8});
  const std::string groups = grouped.file("tarnel-cpu-net-groups.onnx");
  EXPECT_EQ(refusal(groups, {1, 4, 8, 8}), "grouped convolutions are not supported");
  std::remove(groups.c_str());

  const std::string garbage = (fs::temp_directory_path() / "tarnel-cpu-net-garbage.onnx").string();
  std::ofstream(garbage, std::ios::binary) << "\x08\x07\x12\xff\xff\xff\xff garbage";
  EXPECT_EQ(refusal(garbage), "not an ONNX model");
  std::remove(garbage.c_str());
  EXPECT_EQ(refusal("/nonexistent/model.onnx"), "cannot be opened");
}

}  // namespace
}  // namespace tv
