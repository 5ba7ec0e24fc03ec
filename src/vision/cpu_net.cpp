#include "vision/cpu_net.h"

#include "vision/onnx_graph.h"

#include <dnnl.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <unordered_map>

namespace tv {

namespace {

using dnnl::memory;
using Dims = memory::dims;
using onnxgraph::Known;
using onnxgraph::Need;
using onnxgraph::refuse;

constexpr auto kFloat = memory::data_type::f32;

// 64-byte aligned memory for activations and scratch.
struct Buffer {
  std::unique_ptr<float, decltype(&std::free)> data{nullptr, &std::free};
  size_t bytes = 0;
};

Buffer alignedBuffer(size_t bytes) {
  Buffer b;
  b.bytes = (std::max<size_t>(bytes, 64) + 63) / 64 * 64;
  b.data.reset(static_cast<float*>(std::aligned_alloc(64, b.bytes)));
  if (!b.data) refuse("out of memory");
  return b;
}

// A tensor the network computes: its layout as oneDNN has it, and the buffer it lives in.
struct Tensor {
  memory::desc desc;
  int buffer = -1;
  bool dead = false;      // no later node reads it: its buffer is another tensor's now
  bool measured = false;  // only its size is known: nothing reads its values
  int unread = 0;         // the compiled nodes still to read it
};

// One primitive to run, its arguments named by tensor until the buffers stop moving.
struct Step {
  dnnl::primitive primitive;
  std::vector<std::pair<int, int>> tensorArgs;  // oneDNN argument -> tensor
  std::vector<std::pair<int, memory>> fixedArgs;
  memory::desc scratch;
};

// Every primitive gets its scratch memory from the runner: the library's own is kept per thread
// and sized when the primitive is made, and a network is made on one thread and run on another.
// (An attribute is a handle: each primitive gets its own.)
dnnl::primitive_attr ownScratch() {
  dnnl::primitive_attr attr;
  attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
  return attr;
}

}  // namespace

struct CpuNet::Compiled {
  dnnl::engine engine{dnnl::engine::kind::cpu, 0};
  dnnl::stream stream{engine};
  std::vector<Buffer> buffers;
  struct Ready {
    dnnl::primitive primitive;
    std::unordered_map<int, memory> args;
  };
  std::vector<Ready> steps;
  memory input;   // the caller's N x C x H x W floats
  memory output;  // the wanted output in N x C x H x W
  Dims inputDims, outputDims;
};

namespace {

// Lowers the needed nodes of a graph, in order, to oneDNN primitives.
class Compiler {
 public:
  Compiler(CpuNet::Compiled& compiled, const onnx::GraphProto& graph, const std::string& output)
      : c_(compiled), graph_(graph), needs_(onnxgraph::needsOf(graph, output)) {
    for (const auto& t : graph.initializer()) stored_[t.name()] = &t;
  }

  void input(const std::string& name, const Dims& dims) {
    input_ = addTensor(name, memory::desc(dims, kFloat, memory::format_tag::nchw));
  }

  void compile() {
    for (int i = 0; i < graph_.node_size(); ++i)
      if (needs_.nodes[size_t(i)] != Need::kNothing) node(i);
  }

  // Places the output back in N x C x H x W and hands the steps over.
  void finish(const std::string& output);

 private:
  void node(int i);
  bool shapeArithmetic(const onnx::NodeProto& node);
  void convolution(int i);
  void activation(const onnx::NodeProto& node, bool sized);
  void maxPool(const onnx::NodeProto& node, bool sized);
  void resize(const onnx::NodeProto& node, bool sized);
  void concat(const onnx::NodeProto& node, bool sized);
  void add(const onnx::NodeProto& node, bool sized);

  int newBuffer(size_t bytes);
  int newTensor(const memory::desc& desc);
  int addTensor(const std::string& name, const memory::desc& desc);
  void addMeasured(const std::string& name, const Dims& dims);
  void alias(const std::string& name, int t, int replaces);
  void release(const onnx::NodeProto& node);
  int tensorNamed(const std::string& name) const;
  Dims dimsOf(int t) const { return tensors_[size_t(t)].desc.dims(); }
  int inLayout(int t, const memory::desc& desc);
  const Known& knownNamed(const std::string& name);
  void step(dnnl::primitive primitive, std::vector<std::pair<int, int>> tensorArgs,
            std::vector<std::pair<int, memory>> fixedArgs, const memory::desc& scratch) {
    steps_.push_back({std::move(primitive), std::move(tensorArgs), std::move(fixedArgs), scratch});
  }
  const std::string& in(const onnx::NodeProto& node, int k) const {
    if (k >= node.input_size()) refuse(node.op_type() + " " + node.name() + " lacks an input");
    return node.input(k);
  }

  CpuNet::Compiled& c_;
  const onnx::GraphProto& graph_;
  const onnxgraph::Needs needs_;
  std::unordered_map<std::string, const onnx::TensorProto*> stored_;
  std::unordered_map<std::string, Known> known_;
  std::unordered_map<std::string, int> tensorOf_;  // name -> tensor (aliases share one)
  std::vector<Tensor> tensors_;
  std::vector<int> temporary_;  // layout copies, dead once their node is compiled
  std::vector<int> freeBuffers_;
  std::vector<Step> steps_;
  int input_ = -1;
};

// The smallest free buffer that is large enough, or a new one.
int Compiler::newBuffer(size_t bytes) {
  int best = -1;
  for (size_t i = 0; i < freeBuffers_.size(); ++i) {
    const Buffer& b = c_.buffers[size_t(freeBuffers_[i])];
    if (b.bytes >= bytes && (best < 0 || b.bytes < c_.buffers[size_t(freeBuffers_[best])].bytes))
      best = int(i);
  }
  if (best >= 0) {
    const int index = freeBuffers_[size_t(best)];
    freeBuffers_.erase(freeBuffers_.begin() + best);
    return index;
  }
  c_.buffers.push_back(alignedBuffer(bytes));
  return int(c_.buffers.size()) - 1;
}

int Compiler::newTensor(const memory::desc& desc) {
  Tensor t;
  t.desc = desc;
  t.buffer = newBuffer(desc.get_size());
  tensors_.push_back(t);
  return int(tensors_.size()) - 1;
}

int Compiler::addTensor(const std::string& name, const memory::desc& desc) {
  const int t = newTensor(desc);
  tensorOf_[name] = t;
  auto r = needs_.readers.find(name);
  tensors_[size_t(t)].unread = r == needs_.readers.end() ? 0 : r->second;
  return t;
}

void Compiler::addMeasured(const std::string& name, const Dims& dims) {
  Tensor t;
  t.desc = memory::desc(dims, kFloat, memory::format_tag::nchw);
  t.measured = true;
  tensors_.push_back(t);
  tensorOf_[name] = int(tensors_.size()) - 1;
}

// `name` is another name of tensor `t` (a fused activation's output, a resize to the same
// size); `replaces` readers of `t` were this alias's own node.
void Compiler::alias(const std::string& name, int t, int replaces) {
  tensorOf_[name] = t;
  auto r = needs_.readers.find(name);
  tensors_[size_t(t)].unread += (r == needs_.readers.end() ? 0 : r->second) - replaces;
}

// After a node: the buffers of tensors no later node reads are free for the next ones. A
// node's outputs are placed before its inputs are freed, so they never share a buffer.
void Compiler::release(const onnx::NodeProto& node) {
  auto drop = [&](Tensor& t) {
    freeBuffers_.push_back(t.buffer);
    t.dead = true;
  };
  for (const auto& name : node.input()) {
    auto found = tensorOf_.find(name);
    if (found == tensorOf_.end()) continue;
    Tensor& t = tensors_[size_t(found->second)];
    if (!t.measured && !t.dead && --t.unread <= 0) drop(t);
  }
  for (int t : temporary_) drop(tensors_[size_t(t)]);
  temporary_.clear();
}

int Compiler::tensorNamed(const std::string& name) const {
  auto t = tensorOf_.find(name);
  if (t == tensorOf_.end()) refuse("tensor " + name + " is not computed by the network");
  return t->second;
}

// The tensor `t` in layout `desc`: itself, or a reordered copy.
int Compiler::inLayout(int t, const memory::desc& desc) {
  if (tensors_[size_t(t)].desc == desc) return t;
  const int copy = newTensor(desc);
  temporary_.push_back(copy);
  const dnnl::reorder::primitive_desc pd(c_.engine, tensors_[size_t(t)].desc, c_.engine, desc,
                                         ownScratch());
  step(dnnl::reorder(pd), {{DNNL_ARG_FROM, t}, {DNNL_ARG_TO, copy}}, {}, pd.scratchpad_desc());
  return copy;
}

const Known& Compiler::knownNamed(const std::string& name) {
  if (auto k = known_.find(name); k != known_.end()) return k->second;
  if (auto s = stored_.find(name); s != stored_.end())
    return known_[name] = onnxgraph::knownOf(*s->second);
  refuse("value " + name + " is not known before the network runs");
}

void Compiler::node(int i) {
  const onnx::NodeProto& node = graph_.node(i);
  const std::string& op = node.op_type();
  if (node.output_size() < 1) refuse(op + " " + node.name() + " has no output");
  if (shapeArithmetic(node)) return;
  const bool sized = needs_.nodes[size_t(i)] == Need::kSized;
  if (op == "Conv") {
    convolution(i);
    return;  // releases its own inputs: a fused Relu is compiled with it
  } else if (op == "Relu" || op == "Sigmoid") {
    if (tensorOf_.count(node.output(0))) return;  // fused into the convolution before it
    activation(node, sized);
  } else if (op == "MaxPool") {
    maxPool(node, sized);
  } else if (op == "Resize" || op == "Upsample") {
    resize(node, sized);
  } else if (op == "Concat") {
    concat(node, sized);
  } else if (op == "Add") {
    add(node, sized);
  } else {
    refuse("the operation " + op + " is not supported");
  }
  if (!sized) release(node);
}

// The operations on values known before the network runs; false for any other node.
bool Compiler::shapeArithmetic(const onnx::NodeProto& node) {
  const std::string& op = node.op_type();
  const std::string& out = node.output(0);
  if (op == "Constant") {
    const auto* value = onnxgraph::tensorAttribute(node, "value");
    if (!value) refuse("Constant " + node.name() + " has no value");
    known_[out] = onnxgraph::knownOf(*value);
  } else if (op == "Shape") {
    const Dims dims = dimsOf(tensorNamed(in(node, 0)));
    known_[out].values.assign(dims.begin(), dims.end());
  } else if (op == "Gather") {
    if (onnxgraph::integer(node, "axis", 0) != 0) refuse("Gather on an axis other than the first");
    const Known& data = knownNamed(in(node, 0));
    const Known& at = knownNamed(in(node, 1));
    Known k;
    for (double a : at.values) {
      long index = long(a);
      if (index < 0) index += long(data.values.size());
      if (index < 0 || index >= long(data.values.size())) refuse("Gather out of range");
      k.values.push_back(data.values[size_t(index)]);
    }
    known_[out] = k;
  } else if (op == "Unsqueeze" || op == "Cast" || op == "Squeeze") {
    known_[out] = knownNamed(in(node, 0));
  } else if (op == "Slice") {
    const Known& data = knownNamed(in(node, 0));
    const long n = long(data.values.size());
    long start = long(knownNamed(in(node, 1)).values.at(0));
    long end = long(knownNamed(in(node, 2)).values.at(0));
    if (node.input_size() > 3 && !node.input(3).empty() &&
        knownNamed(node.input(3)).values.at(0) != 0)
      refuse("Slice of shapes on an axis other than the first");
    if (node.input_size() > 4 && !node.input(4).empty() &&
        knownNamed(node.input(4)).values.at(0) != 1)
      refuse("Slice of shapes with a step");
    if (start < 0) start += n;
    if (end < 0) end += n;
    start = std::clamp(start, 0L, n);
    end = std::clamp(end, start, n);
    known_[out].values.assign(data.values.begin() + start, data.values.begin() + end);
  } else if (op == "Concat" && (known_.count(in(node, 0)) || stored_.count(in(node, 0)))) {
    Known k;
    for (const auto& name : node.input()) {
      const Known& part = knownNamed(name);
      k.values.insert(k.values.end(), part.values.begin(), part.values.end());
    }
    known_[out] = k;
  } else {
    return false;
  }
  return true;
}

void Compiler::convolution(int i) {
  const onnx::NodeProto& node = graph_.node(i);
  const std::string& out = node.output(0);
  const int src = tensorNamed(in(node, 0));
  auto weightsFound = stored_.find(in(node, 1));
  if (weightsFound == stored_.end() || weightsFound->second->dims_size() != 4)
    refuse("Conv " + node.name() + "'s weights are not stored");
  if (onnxgraph::integer(node, "group", 1) != 1) refuse("grouped convolutions are not supported");
  const Dims srcDims = dimsOf(src);
  const Dims w(weightsFound->second->dims().begin(), weightsFound->second->dims().end());
  if (w[1] != srcDims[1]) refuse("Conv " + node.name() + " does not fit its input");
  const auto kernel = onnxgraph::ints(node, "kernel_shape", {w[2], w[3]});
  const auto strides = onnxgraph::ints(node, "strides", {1, 1});
  const auto dilations = onnxgraph::ints(node, "dilations", {1, 1});
  const auto pads = onnxgraph::ints(node, "pads", {0, 0, 0, 0});
  if (kernel.size() != 2 || strides.size() != 2 || dilations.size() != 2 || pads.size() != 4 ||
      onnxgraph::text(node, "auto_pad", "NOTSET") != "NOTSET")
    refuse("Conv " + node.name() + " is not a plain 2-D convolution");
  Dims dst{srcDims[0], w[0], 0, 0};
  for (int a = 0; a < 2; ++a) {
    const int64_t span = dilations[a] * (kernel[a] - 1) + 1;
    if (strides[a] < 1) refuse("Conv " + node.name() + " has no stride");
    dst[2 + a] = (srcDims[2 + a] + pads[a] + pads[a + 2] - span) / strides[a] + 1;
    if (dst[2 + a] < 1) refuse("Conv " + node.name() + " leaves nothing");
  }
  if (needs_.nodes[size_t(i)] == Need::kSized) {
    addMeasured(out, dst);
    return;
  }
  std::vector<float> bias(size_t(w[0]), 0.f);
  if (node.input_size() > 2 && !node.input(2).empty()) {
    if (!stored_.count(node.input(2))) refuse("Conv " + node.name() + "'s bias is not stored");
    bias = onnxgraph::floats(*stored_[node.input(2)]);
    if (bias.size() != size_t(w[0])) refuse("Conv " + node.name() + "'s bias does not fit");
  }
  std::vector<float> weights = onnxgraph::floats(*weightsFound->second);
  // A Relu that only this convolution feeds is done as part of it.
  int relu = -1;
  if (needs_.readers.count(out) && needs_.readers.at(out) == 1)
    for (int j = i + 1; j < graph_.node_size() && relu == -1; ++j)
      if (needs_.nodes[size_t(j)] == Need::kComputed && graph_.node(j).input_size() > 0 &&
          graph_.node(j).input(0) == out)
        relu = graph_.node(j).op_type() == "Relu" ? j : -2;
  dnnl::primitive_attr attr = ownScratch();
  if (relu >= 0) {
    dnnl::post_ops post;
    post.append_eltwise(1.f, dnnl::algorithm::eltwise_relu, 0.f, 0.f);
    attr.set_post_ops(post);
  }
  using tag = memory::format_tag;
  const memory::desc anySrc(srcDims, kFloat, tag::any), anyWeights(w, kFloat, tag::any),
      biasDesc({w[0]}, kFloat, tag::x), anyDst(dst, kFloat, tag::any);
  auto describe = [&](dnnl::algorithm how) {
    return dnnl::convolution_forward::primitive_desc(
        dnnl::convolution_forward::desc(dnnl::prop_kind::forward_inference, how, anySrc, anyWeights,
                                        biasDesc, anyDst, {strides[0], strides[1]},
                                        {dilations[0] - 1, dilations[1] - 1}, {pads[0], pads[1]},
                                        {pads[2], pads[3]}),
        attr, c_.engine);
  };
  // Winograd's tiles do a 3x3 convolution with far fewer multiplications where the library
  // has them; a direct convolution otherwise.
  dnnl::convolution_forward::primitive_desc pd;
  bool winograd = false;
  if (kernel == std::vector<int64_t>{3, 3} && strides == std::vector<int64_t>{1, 1} &&
      dilations == std::vector<int64_t>{1, 1} && w[0] % 16 == 0 && w[1] % 16 == 0) {
    try {
      pd = describe(dnnl::algorithm::convolution_winograd);
      winograd = true;
    } catch (const dnnl::error&) {
    }
  }
  if (!winograd) pd = describe(dnnl::algorithm::convolution_direct);
  // The weights, once, in the layout the kernel wants.
  memory plainWeights({w, kFloat, tag::oihw}, c_.engine, weights.data());
  memory packed(pd.weights_desc(), c_.engine);
  dnnl::reorder(plainWeights, packed).execute(c_.stream, plainWeights, packed);
  c_.stream.wait();
  memory biasMemory(biasDesc, c_.engine);
  std::memcpy(biasMemory.get_data_handle(), bias.data(), bias.size() * sizeof(float));
  const int from = inLayout(src, pd.src_desc());
  const int to = addTensor(out, pd.dst_desc());
  step(dnnl::convolution_forward(pd), {{DNNL_ARG_SRC, from}, {DNNL_ARG_DST, to}},
       {{DNNL_ARG_WEIGHTS, packed}, {DNNL_ARG_BIAS, biasMemory}}, pd.scratchpad_desc());
  if (relu >= 0) alias(graph_.node(relu).output(0), to, 1);
  release(node);
}

void Compiler::activation(const onnx::NodeProto& node, bool sized) {
  const int src = tensorNamed(in(node, 0));
  if (sized) return addMeasured(node.output(0), dimsOf(src));
  const auto how =
      node.op_type() == "Relu" ? dnnl::algorithm::eltwise_relu : dnnl::algorithm::eltwise_logistic;
  dnnl::eltwise_forward::primitive_desc pd(
      dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, how,
                                  tensors_[size_t(src)].desc, 0.f, 0.f),
      ownScratch(), c_.engine);
  const int to = addTensor(node.output(0), pd.dst_desc());
  step(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, to}}, {},
       pd.scratchpad_desc());
}

void Compiler::maxPool(const onnx::NodeProto& node, bool sized) {
  const int src = tensorNamed(in(node, 0));
  const Dims srcDims = dimsOf(src);
  const auto kernel = onnxgraph::ints(node, "kernel_shape", {});
  const auto strides = onnxgraph::ints(node, "strides", {1, 1});
  const auto pads = onnxgraph::ints(node, "pads", {0, 0, 0, 0});
  const bool ceil = onnxgraph::integer(node, "ceil_mode", 0) != 0;
  if (kernel.size() != 2 || strides.size() != 2 || pads.size() != 4 ||
      onnxgraph::text(node, "auto_pad", "NOTSET") != "NOTSET" ||
      !onnxgraph::ints(node, "dilations", {}).empty())
    refuse("MaxPool " + node.name() + " is not a plain 2-D pooling");
  Dims dst{srcDims[0], srcDims[1], 0, 0};
  Dims padEnd{pads[2], pads[3]};
  for (int a = 0; a < 2; ++a) {
    const int64_t room = srcDims[2 + a] + pads[a] + pads[a + 2] - kernel[a];
    if (room < 0 || strides[a] < 1) refuse("MaxPool " + node.name() + " leaves nothing");
    dst[2 + a] = (ceil ? (room + strides[a] - 1) / strides[a] : room / strides[a]) + 1;
    // Rounding up reads past the end: padding the max ignores.
    padEnd[a] = (dst[2 + a] - 1) * strides[a] + kernel[a] - srcDims[2 + a] - pads[a];
  }
  if (sized) return addMeasured(node.output(0), dst);
  dnnl::pooling_forward::primitive_desc pd(
      dnnl::pooling_forward::desc(
          dnnl::prop_kind::forward_inference, dnnl::algorithm::pooling_max,
          tensors_[size_t(src)].desc, memory::desc(dst, kFloat, memory::format_tag::any),
          {strides[0], strides[1]}, {kernel[0], kernel[1]}, {pads[0], pads[1]}, padEnd),
      ownScratch(), c_.engine);
  const int to = addTensor(node.output(0), pd.dst_desc());
  step(dnnl::pooling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, to}}, {},
       pd.scratchpad_desc());
}

void Compiler::resize(const onnx::NodeProto& node, bool sized) {
  const std::string& op = node.op_type();
  const int src = tensorNamed(in(node, 0));
  const Dims srcDims = dimsOf(src);
  const std::string mode = onnxgraph::text(node, "mode", "nearest");
  const std::string grid = onnxgraph::text(node, "coordinate_transformation_mode", "half_pixel");
  if (mode != "linear" || (grid != "half_pixel" && grid != "pytorch_half_pixel"))
    refuse("only linear resizes on pixel centres are supported");
  Dims dst = srcDims;
  if (op == "Resize" && node.input_size() > 3 && !node.input(3).empty()) {
    const Known& sizes = knownNamed(node.input(3));
    if (sizes.values.size() != 4) refuse("Resize " + node.name() + " is not 4-D");
    for (int a = 0; a < 4; ++a) dst[a] = int64_t(sizes.values[a]);
  } else {
    const Known& scales = knownNamed(in(node, op == "Resize" ? 2 : 1));
    if (scales.values.size() != 4) refuse("Resize " + node.name() + " is not 4-D");
    for (int a = 0; a < 4; ++a) dst[a] = int64_t(std::floor(srcDims[a] * scales.values[a]));
  }
  if (dst[0] != srcDims[0] || dst[1] != srcDims[1] || dst[2] < 1 || dst[3] < 1 || dst[2] > 16384 ||
      dst[3] > 16384)
    refuse("Resize " + node.name() + " changes more than the picture's size");
  // pytorch_half_pixel differs from half_pixel only for an output one pixel long.
  if (grid == "pytorch_half_pixel" && (dst[2] == 1 || dst[3] == 1))
    refuse("Resize " + node.name() + " to a single pixel");
  if (sized) return addMeasured(node.output(0), dst);
  if (dst == srcDims) return alias(node.output(0), src, 0);
  dnnl::resampling_forward::primitive_desc pd(
      dnnl::resampling_forward::desc(dnnl::prop_kind::forward_inference,
                                     dnnl::algorithm::resampling_linear, tensors_[size_t(src)].desc,
                                     memory::desc(dst, kFloat, memory::format_tag::any)),
      ownScratch(), c_.engine);
  const int to = addTensor(node.output(0), pd.dst_desc());
  step(dnnl::resampling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, to}}, {},
       pd.scratchpad_desc());
}

void Compiler::concat(const onnx::NodeProto& node, bool sized) {
  if (onnxgraph::integer(node, "axis", 0) != 1)
    refuse("Concat of tensors on an axis other than channels");
  std::vector<int> parts;
  std::vector<memory::desc> descs;
  Dims dst = dimsOf(tensorNamed(in(node, 0)));
  dst[1] = 0;
  for (const auto& name : node.input()) {
    parts.push_back(tensorNamed(name));
    descs.push_back(tensors_[size_t(parts.back())].desc);
    const Dims part = dimsOf(parts.back());
    if (part[0] != dst[0] || part[2] != dst[2] || part[3] != dst[3])
      refuse("Concat " + node.name() + " of tensors of two sizes");
    dst[1] += part[1];
  }
  if (sized) return addMeasured(node.output(0), dst);
  dnnl::concat::primitive_desc pd(1, descs, c_.engine, ownScratch());
  const int to = addTensor(node.output(0), pd.dst_desc());
  std::vector<std::pair<int, int>> args{{DNNL_ARG_DST, to}};
  for (size_t k = 0; k < parts.size(); ++k)
    args.push_back({int(DNNL_ARG_MULTIPLE_SRC + k), parts[k]});
  step(dnnl::concat(pd), std::move(args), {}, pd.scratchpad_desc());
}

void Compiler::add(const onnx::NodeProto& node, bool sized) {
  const int a = tensorNamed(in(node, 0));
  if (dimsOf(tensorNamed(in(node, 1))) != dimsOf(a)) refuse("Add of tensors of two shapes");
  if (sized) return addMeasured(node.output(0), dimsOf(a));
  const memory::desc& layout = tensors_[size_t(a)].desc;
  const int b = inLayout(tensorNamed(in(node, 1)), layout);
  dnnl::binary::primitive_desc pd(
      dnnl::binary::desc(dnnl::algorithm::binary_add, layout, layout, layout), ownScratch(),
      c_.engine);
  const int to = addTensor(node.output(0), pd.dst_desc());
  step(dnnl::binary(pd), {{DNNL_ARG_SRC_0, a}, {DNNL_ARG_SRC_1, b}, {DNNL_ARG_DST, to}}, {},
       pd.scratchpad_desc());
}

void Compiler::finish(const std::string& output) {
  const int result = tensorNamed(output);
  c_.outputDims = dimsOf(result);
  const int last = inLayout(result, memory::desc(c_.outputDims, kFloat, memory::format_tag::nchw));

  // The buffers stop moving now: the memories can point into them.
  std::vector<memory> memories;
  for (const auto& t : tensors_)
    memories.push_back(
        t.measured ? memory() : memory(t.desc, c_.engine, c_.buffers[size_t(t.buffer)].data.get()));
  // One scratch buffer serves every step: they run one after another.
  size_t scratchBytes = 0;
  for (const auto& s : steps_) scratchBytes = std::max(scratchBytes, s.scratch.get_size());
  float* scratch = nullptr;
  if (scratchBytes > 0) {
    c_.buffers.push_back(alignedBuffer(scratchBytes));
    scratch = c_.buffers.back().data.get();
  }
  for (auto& s : steps_) {
    CpuNet::Compiled::Ready ready{s.primitive, {}};
    if (s.scratch.get_size() > 0)
      ready.args[DNNL_ARG_SCRATCHPAD] = memory(s.scratch, c_.engine, scratch);
    for (const auto& [arg, t] : s.tensorArgs) ready.args[arg] = memories[size_t(t)];
    for (const auto& [arg, m] : s.fixedArgs) ready.args[arg] = m;
    c_.steps.push_back(std::move(ready));
  }
  c_.input = memories[size_t(input_)];
  c_.output = memories[size_t(last)];
}

}  // namespace

CpuNet::CpuNet(const std::string& path, const std::vector<int>& inputShape, int output)
    : compiled_(std::make_unique<Compiled>()) {
  onnx::ModelProto model;
  {
    std::ifstream file(path, std::ios::binary);
    if (!file) refuse("cannot be opened");
    if (!model.ParseFromIstream(&file)) refuse("not an ONNX model");
  }
  const auto& graph = model.graph();
  if (graph.input_size() < 1 || graph.output_size() < 1) refuse("the graph has no input or output");
  if (inputShape.size() != 4) refuse("the input must be N x C x H x W");
  for (int d : inputShape)
    if (d < 1 || d > 16384) refuse("the input shape is absurd");
  const int outputs = graph.output_size();
  if (output < -outputs || output >= outputs)
    refuse("the graph has no output " + std::to_string(output));
  const std::string outputName = graph.output(output < 0 ? outputs + output : output).name();

  compiled_->inputDims = Dims(inputShape.begin(), inputShape.end());
  Compiler compiler(*compiled_, graph, outputName);
  compiler.input(graph.input(0).name(), compiled_->inputDims);
  compiler.compile();
  compiler.finish(outputName);
}

CpuNet::~CpuNet() = default;
CpuNet::CpuNet(CpuNet&&) noexcept = default;
CpuNet& CpuNet::operator=(CpuNet&&) noexcept = default;

std::vector<int> CpuNet::outputShape() const {
  return {compiled_->outputDims.begin(), compiled_->outputDims.end()};
}

cv::Mat CpuNet::run(const cv::Mat& input) {
  Compiled& c = *compiled_;
  const std::vector<int> want(c.inputDims.begin(), c.inputDims.end());
  if (input.type() != CV_32F || input.dims != 4 || !input.isContinuous() ||
      !std::equal(want.begin(), want.end(), input.size.p))
    throw std::invalid_argument("the input is not of the compiled shape");
  std::memcpy(c.input.get_data_handle(), input.ptr<float>(), input.total() * sizeof(float));
  for (auto& step : c.steps) step.primitive.execute(c.stream, step.args);
  c.stream.wait();
  const std::vector<int> shape = outputShape();
  cv::Mat out(int(shape.size()), shape.data(), CV_32F);
  std::memcpy(out.ptr<float>(), c.output.get_data_handle(), out.total() * sizeof(float));
  return out;
}

}  // namespace tv
