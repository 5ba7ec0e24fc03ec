#include "vision/cpu_net.h"

#include <onnx/onnx_pb.h>

#include <dnnl.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_map>

namespace tv {

namespace {

using dnnl::memory;
using Dims = memory::dims;

[[noreturn]] void refuse(const std::string& why) {
  throw std::runtime_error(why);
}

// A value the compiler knows before the network runs: a constant, or the shape arithmetic
// done on the tensors' shapes. Small integer or float vectors only.
struct Known {
  std::vector<double> values;
};

// A tensor the network computes: its layout as oneDNN has it, and the buffer it lives in.
struct Tensor {
  memory::desc desc;
  int buffer = -1;
  bool measured = false;  // only its size is known: nothing reads its values
};

// Aligned scratch for activations; a buffer is handed out again once its tensor is dead.
struct Buffer {
  std::unique_ptr<float, decltype(&std::free)> data{nullptr, &std::free};
  size_t bytes = 0;
};

const onnx::AttributeProto* attribute(const onnx::NodeProto& node, const std::string& name) {
  for (const auto& a : node.attribute())
    if (a.name() == name) return &a;
  return nullptr;
}

std::vector<int64_t> ints(const onnx::NodeProto& node, const std::string& name,
                          std::vector<int64_t> otherwise) {
  const auto* a = attribute(node, name);
  if (!a) return otherwise;
  return {a->ints().begin(), a->ints().end()};
}

int64_t integer(const onnx::NodeProto& node, const std::string& name, int64_t otherwise) {
  const auto* a = attribute(node, name);
  return a ? a->i() : otherwise;
}

std::string text(const onnx::NodeProto& node, const std::string& name, std::string otherwise) {
  const auto* a = attribute(node, name);
  return a ? a->s() : otherwise;
}

size_t elementCount(const onnx::TensorProto& t) {
  size_t count = 1;
  for (auto d : t.dims()) {
    if (d < 0 || d > (int64_t(1) << 31)) refuse("tensor " + t.name() + " has an absurd size");
    count *= size_t(d);
    if (count > (size_t(1) << 31)) refuse("tensor " + t.name() + " has an absurd size");
  }
  return count;
}

// The numbers of a stored tensor, as floats or as doubles for the shape arithmetic.
std::vector<float> floats(const onnx::TensorProto& t) {
  const size_t count = elementCount(t);
  if (t.data_type() != onnx::TensorProto::FLOAT) refuse("tensor " + t.name() + " is not float");
  std::vector<float> out(count);
  if (!t.raw_data().empty()) {
    if (t.raw_data().size() != count * sizeof(float)) refuse("tensor " + t.name() + " is cut");
    std::memcpy(out.data(), t.raw_data().data(), t.raw_data().size());
  } else {
    if (size_t(t.float_data_size()) != count) refuse("tensor " + t.name() + " is cut");
    std::copy(t.float_data().begin(), t.float_data().end(), out.begin());
  }
  return out;
}

Known knownOf(const onnx::TensorProto& t) {
  const size_t count = elementCount(t);
  Known k;
  k.values.resize(count);
  auto fromRaw = [&](auto zero) {
    using T = decltype(zero);
    if (t.raw_data().size() != count * sizeof(T)) refuse("tensor " + t.name() + " is cut");
    for (size_t i = 0; i < count; ++i) {
      T v;
      std::memcpy(&v, t.raw_data().data() + i * sizeof(T), sizeof(T));
      k.values[i] = double(v);
    }
  };
  switch (t.data_type()) {
    case onnx::TensorProto::INT64:
      if (!t.raw_data().empty())
        fromRaw(int64_t{});
      else if (size_t(t.int64_data_size()) == count)
        std::copy(t.int64_data().begin(), t.int64_data().end(), k.values.begin());
      else
        refuse("tensor " + t.name() + " is cut");
      break;
    case onnx::TensorProto::INT32:
      if (!t.raw_data().empty())
        fromRaw(int32_t{});
      else if (size_t(t.int32_data_size()) == count)
        std::copy(t.int32_data().begin(), t.int32_data().end(), k.values.begin());
      else
        refuse("tensor " + t.name() + " is cut");
      break;
    case onnx::TensorProto::FLOAT: {
      const auto f = floats(t);
      std::copy(f.begin(), f.end(), k.values.begin());
      break;
    }
    default:
      refuse("tensor " + t.name() + " has a type this runner does not read");
  }
  return k;
}

}  // namespace

struct CpuNet::Compiled {
  dnnl::engine engine{dnnl::engine::kind::cpu, 0};
  dnnl::stream stream{engine};
  std::vector<Buffer> buffers;
  struct Step {
    dnnl::primitive primitive;
    std::unordered_map<int, memory> args;
  };
  std::vector<Step> steps;
  memory input;   // the caller's N x C x H x W floats, reordered into the first layer's layout
  memory output;  // the wanted output in N x C x H x W
  Dims inputDims, outputDims;
};

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

  Compiled& c = *compiled_;
  std::unordered_map<std::string, const onnx::TensorProto*> stored;
  for (const auto& t : graph.initializer()) stored[t.name()] = &t;

  // Only the nodes the wanted output depends on are compiled, and a node whose output is
  // only measured (by a Shape, to size a resize) is only sized: a side output upsampled to the
  // size of the finest map does not need that map computed.
  constexpr int kSized = 1, kComputed = 2;
  std::unordered_map<std::string, int> producer;
  for (int i = 0; i < graph.node_size(); ++i)
    for (const auto& o : graph.node(i).output()) producer[o] = i;
  std::vector<int> needed(graph.node_size(), 0);
  {
    if (!producer.count(outputName)) refuse("no output named " + outputName);
    std::vector<std::pair<std::string, int>> open{{outputName, kComputed}};
    while (!open.empty()) {
      const auto [name, level] = open.back();
      open.pop_back();
      auto p = producer.find(name);
      if (p == producer.end() || needed[p->second] >= level) continue;
      needed[p->second] = level;
      const auto& node = graph.node(p->second);
      for (const auto& i : node.input())
        if (!i.empty()) open.push_back({i, node.op_type() == "Shape" ? kSized : level});
    }
  }
  // How many computing nodes read each tensor's values: a Relu fuses into the convolution
  // before it only when it is that convolution's one reader.
  std::unordered_map<std::string, int> readers;
  for (int i = 0; i < graph.node_size(); ++i)
    if (needed[i] == kComputed && graph.node(i).op_type() != "Shape")
      for (const auto& in : graph.node(i).input()) ++readers[in];
  ++readers[outputName];  // read by the caller: never freed

  std::unordered_map<std::string, Known> known;
  std::unordered_map<std::string, int> tensorOf;  // name -> index in tensors (aliases share)
  std::vector<Tensor> tensors;
  std::vector<int> unread;     // per tensor: the compiled nodes still to read it
  std::vector<int> temporary;  // layout copies, dead once their node is compiled
  std::vector<int> freeBuffers;

  auto newBuffer = [&](size_t bytes) {
    // The smallest free buffer that is large enough, or a new one.
    int best = -1;
    for (size_t i = 0; i < freeBuffers.size(); ++i) {
      const Buffer& b = c.buffers[freeBuffers[i]];
      if (b.bytes >= bytes && (best < 0 || b.bytes < c.buffers[freeBuffers[best]].bytes))
        best = int(i);
    }
    if (best >= 0) {
      const int index = freeBuffers[best];
      freeBuffers.erase(freeBuffers.begin() + best);
      return index;
    }
    Buffer b;
    b.bytes = (std::max<size_t>(bytes, 64) + 63) / 64 * 64;
    b.data.reset(static_cast<float*>(std::aligned_alloc(64, b.bytes)));
    if (!b.data) refuse("out of memory");
    c.buffers.push_back(std::move(b));
    return int(c.buffers.size()) - 1;
  };
  auto newTensor = [&](const memory::desc& desc) {
    tensors.push_back({desc, newBuffer(desc.get_size())});
    unread.push_back(0);
    return int(tensors.size()) - 1;
  };
  auto addTensor = [&](const std::string& name, const memory::desc& desc) {
    const int t = newTensor(desc);
    tensorOf[name] = t;
    unread[t] = readers[name];
    return t;
  };
  auto measuredTensor = [&](const std::string& name, const Dims& dims) {
    tensors.push_back(
        {memory::desc(dims, memory::data_type::f32, memory::format_tag::nchw), -1, true});
    unread.push_back(0);
    tensorOf[name] = int(tensors.size()) - 1;
  };
  // `name` is another name of tensor `t` (a fused activation's output, a resize to the same
  // size); `replaces` readers of `t` are this alias's own reading node.
  auto alias = [&](const std::string& name, int t, int replaces) {
    tensorOf[name] = t;
    unread[t] += readers[name] - replaces;
  };
  // Memories are made when the buffers stop moving, at the end; steps name tensors until then.
  struct Pending {
    dnnl::primitive primitive;
    std::vector<std::pair<int, int>> tensorArgs;  // oneDNN argument -> tensor
    std::vector<std::pair<int, memory>> fixedArgs;
    memory::desc scratch;
  };
  std::vector<Pending> pending;
  // Every primitive gets its scratch memory from us: the library's own is kept per thread and
  // sized when the primitive is made, and the network is made on one thread and run on another.
  // (An attribute is a handle: each primitive gets its own.)
  auto ownScratch = [] {
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    return attr;
  };
  auto finishStep = [&](dnnl::primitive primitive, std::vector<std::pair<int, int>> tensorArgs,
                        std::vector<std::pair<int, memory>> fixedArgs,
                        const memory::desc& scratch) {
    pending.push_back({std::move(primitive), std::move(tensorArgs), std::move(fixedArgs), scratch});
  };
  // After a node: the buffers of tensors no later node reads are free for the next ones. A
  // node's outputs are placed before its inputs are freed, so they never share a buffer.
  auto release = [&](const onnx::NodeProto& node) {
    auto drop = [&](int t) {
      if (tensors[t].buffer >= 0) freeBuffers.push_back(tensors[t].buffer);
      tensors[t].buffer = -1 - tensors[t].buffer;  // kept for making its memory at the end
    };
    for (const auto& name : node.input()) {
      auto t = tensorOf.find(name);
      if (t == tensorOf.end() || tensors[t->second].measured || tensors[t->second].buffer < 0)
        continue;
      if (--unread[t->second] <= 0) drop(t->second);
    }
    for (int t : temporary) drop(t);
    temporary.clear();
  };
  auto tensorNamed = [&](const std::string& name) -> int {
    auto t = tensorOf.find(name);
    if (t == tensorOf.end()) refuse("tensor " + name + " is not computed by the network");
    return t->second;
  };
  auto dimsOf = [&](int t) { return tensors[t].desc.dims(); };
  // The tensor `t` in layout `desc`: itself, or a reordered copy.
  auto inLayout = [&](int t, const memory::desc& desc) {
    if (tensors[t].desc == desc) return t;
    const int copy = newTensor(desc);
    temporary.push_back(copy);
    const dnnl::reorder::primitive_desc pd(c.engine, tensors[t].desc, c.engine, desc, ownScratch());
    finishStep(dnnl::reorder(pd), {{DNNL_ARG_FROM, t}, {DNNL_ARG_TO, copy}}, {},
               pd.scratchpad_desc());
    return copy;
  };
  auto knownNamed = [&](const std::string& name) -> const Known& {
    if (auto k = known.find(name); k != known.end()) return k->second;
    if (auto s = stored.find(name); s != stored.end()) return known[name] = knownOf(*s->second);
    refuse("value " + name + " is not known before the network runs");
  };

  // The input, as the caller hands it.
  const std::string inputName = graph.input(0).name();
  c.inputDims = Dims(inputShape.begin(), inputShape.end());
  const memory::desc plain(c.inputDims, memory::data_type::f32, memory::format_tag::nchw);
  addTensor(inputName, plain);
  const int inputTensor = 0;

  for (int i = 0; i < graph.node_size(); ++i) {
    if (!needed[i]) continue;
    const onnx::NodeProto& node = graph.node(i);
    const std::string& op = node.op_type();
    auto in = [&](int k) -> const std::string& {
      if (k >= node.input_size()) refuse(op + " " + node.name() + " lacks an input");
      return node.input(k);
    };
    if (node.output_size() < 1) refuse(op + " " + node.name() + " has no output");
    const std::string& out = node.output(0);

    if (op == "Constant") {
      const auto* value = attribute(node, "value");
      if (!value) refuse("Constant " + node.name() + " has no value");
      known[out] = knownOf(value->t());
    } else if (op == "Shape") {
      const auto dims = dimsOf(tensorNamed(in(0)));
      known[out].values.assign(dims.begin(), dims.end());
    } else if (op == "Gather") {
      if (integer(node, "axis", 0) != 0) refuse("Gather on an axis other than the first");
      const Known& data = knownNamed(in(0));
      const Known& at = knownNamed(in(1));
      Known k;
      for (double a : at.values) {
        long index = long(a);
        if (index < 0) index += long(data.values.size());
        if (index < 0 || index >= long(data.values.size())) refuse("Gather out of range");
        k.values.push_back(data.values[size_t(index)]);
      }
      known[out] = k;
    } else if (op == "Unsqueeze" || op == "Cast" || op == "Squeeze") {
      known[out] = knownNamed(in(0));
    } else if (op == "Slice") {
      const Known& data = knownNamed(in(0));
      const long n = long(data.values.size());
      long start = long(knownNamed(in(1)).values.at(0)), end = long(knownNamed(in(2)).values.at(0));
      if (node.input_size() > 3 && !in(3).empty() && knownNamed(in(3)).values.at(0) != 0)
        refuse("Slice of shapes on an axis other than the first");
      if (node.input_size() > 4 && !in(4).empty() && knownNamed(in(4)).values.at(0) != 1)
        refuse("Slice of shapes with a step");
      if (start < 0) start += n;
      if (end < 0) end += n;
      start = std::clamp(start, 0L, n);
      end = std::clamp(end, start, n);
      known[out].values.assign(data.values.begin() + start, data.values.begin() + end);
    } else if (op == "Concat" && (known.count(in(0)) || stored.count(in(0)))) {
      Known k;
      for (const auto& name : node.input()) {
        const Known& part = knownNamed(name);
        k.values.insert(k.values.end(), part.values.begin(), part.values.end());
      }
      known[out] = k;
    } else if (op == "Conv") {
      const int src = tensorNamed(in(0));
      const auto* weightsProto = stored.count(in(1)) ? stored[in(1)] : nullptr;
      if (!weightsProto || weightsProto->dims_size() != 4)
        refuse("Conv " + node.name() + "'s weights are not stored");
      if (integer(node, "group", 1) != 1) refuse("grouped convolutions are not supported");
      const Dims srcDims = dimsOf(src);
      const Dims w(weightsProto->dims().begin(), weightsProto->dims().end());
      if (w[1] != srcDims[1]) refuse("Conv " + node.name() + " does not fit its input");
      const auto kernel = ints(node, "kernel_shape", {w[2], w[3]});
      const auto strides = ints(node, "strides", {1, 1});
      const auto dilations = ints(node, "dilations", {1, 1});
      const auto pads = ints(node, "pads", {0, 0, 0, 0});
      if (kernel.size() != 2 || strides.size() != 2 || dilations.size() != 2 || pads.size() != 4 ||
          text(node, "auto_pad", "NOTSET") != "NOTSET")
        refuse("Conv " + node.name() + " is not a plain 2-D convolution");
      Dims dst{srcDims[0], w[0], 0, 0};
      for (int a = 0; a < 2; ++a) {
        const int64_t span = dilations[a] * (kernel[a] - 1) + 1;
        dst[2 + a] = (srcDims[2 + a] + pads[a] + pads[a + 2] - span) / strides[a] + 1;
        if (dst[2 + a] < 1) refuse("Conv " + node.name() + " leaves nothing");
      }
      if (needed[i] == kSized) {
        measuredTensor(out, dst);
        continue;
      }
      std::vector<float> bias(size_t(w[0]), 0.f);
      if (node.input_size() > 2 && !in(2).empty()) {
        if (!stored.count(in(2))) refuse("Conv " + node.name() + "'s bias is not stored");
        bias = floats(*stored[in(2)]);
        if (bias.size() != size_t(w[0])) refuse("Conv " + node.name() + "'s bias does not fit");
      }
      std::vector<float> weights = floats(*weightsProto);
      // A Relu that only this convolution feeds is done as part of it.
      int relu = -1;
      if (readers[out] == 1)
        for (int j = i + 1; j < graph.node_size() && relu < 0; ++j)
          if (needed[j] == kComputed && graph.node(j).input_size() > 0 &&
              graph.node(j).input(0) == out)
            relu = graph.node(j).op_type() == "Relu" ? j : -2;
      dnnl::primitive_attr attr = ownScratch();
      if (relu >= 0) {
        dnnl::post_ops post;
        post.append_eltwise(1.f, dnnl::algorithm::eltwise_relu, 0.f, 0.f);
        attr.set_post_ops(post);
      }
      using tag = memory::format_tag;
      const auto f32 = memory::data_type::f32;
      const memory::desc anySrc(srcDims, f32, tag::any), anyWeights(w, f32, tag::any),
          biasDesc({w[0]}, f32, tag::x), anyDst(dst, f32, tag::any);
      const Dims dilate{dilations[0] - 1, dilations[1] - 1};
      auto describe = [&](dnnl::algorithm how) {
        return dnnl::convolution_forward::primitive_desc(
            dnnl::convolution_forward::desc(dnnl::prop_kind::forward_inference, how, anySrc,
                                            anyWeights, biasDesc, anyDst, {strides[0], strides[1]},
                                            dilate, {pads[0], pads[1]}, {pads[2], pads[3]}),
            attr, c.engine);
      };
      dnnl::convolution_forward::primitive_desc pd;
      // Winograd's 3x3 tiles do a 3x3 convolution with far fewer multiplications where
      // the library has them; a direct convolution otherwise.
      bool winograd = false;
      if (kernel[0] == 3 && kernel[1] == 3 && strides == std::vector<int64_t>{1, 1} &&
          dilations == std::vector<int64_t>{1, 1} && w[0] % 16 == 0 && w[1] % 16 == 0) {
        try {
          pd = describe(dnnl::algorithm::convolution_winograd);
          winograd = true;
        } catch (const dnnl::error&) {
        }
      }
      if (!winograd) pd = describe(dnnl::algorithm::convolution_direct);
      // The weights, once, in the layout the kernel wants.
      memory plainWeights({w, f32, tag::oihw}, c.engine, weights.data());
      memory packed(pd.weights_desc(), c.engine);
      dnnl::reorder(plainWeights, packed).execute(c.stream, plainWeights, packed);
      memory biasMemory(biasDesc, c.engine);
      std::memcpy(biasMemory.get_data_handle(), bias.data(), bias.size() * sizeof(float));
      c.stream.wait();
      const int from = inLayout(src, pd.src_desc());
      const int to = addTensor(out, pd.dst_desc());
      finishStep(dnnl::convolution_forward(pd), {{DNNL_ARG_SRC, from}, {DNNL_ARG_DST, to}},
                 {{DNNL_ARG_WEIGHTS, packed}, {DNNL_ARG_BIAS, biasMemory}}, pd.scratchpad_desc());
      if (relu >= 0) alias(graph.node(relu).output(0), to, 1);
    } else if (op == "Relu" || op == "Sigmoid") {
      if (tensorOf.count(out)) continue;  // fused into the convolution before it: read there
      const int src = tensorNamed(in(0));
      if (needed[i] == kSized) {
        measuredTensor(out, dimsOf(src));
        continue;
      }
      const auto how =
          op == "Relu" ? dnnl::algorithm::eltwise_relu : dnnl::algorithm::eltwise_logistic;
      dnnl::eltwise_forward::primitive_desc pd(
          dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, how, tensors[src].desc,
                                      0.f, 0.f),
          ownScratch(), c.engine);
      const int to = addTensor(out, pd.dst_desc());
      finishStep(dnnl::eltwise_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, to}}, {},
                 pd.scratchpad_desc());
    } else if (op == "MaxPool") {
      const int src = tensorNamed(in(0));
      const Dims srcDims = dimsOf(src);
      const auto kernel = ints(node, "kernel_shape", {});
      const auto strides = ints(node, "strides", {1, 1});
      const auto pads = ints(node, "pads", {0, 0, 0, 0});
      const bool ceil = integer(node, "ceil_mode", 0) != 0;
      if (kernel.size() != 2 || strides.size() != 2 || pads.size() != 4 ||
          text(node, "auto_pad", "NOTSET") != "NOTSET" || !ints(node, "dilations", {}).empty())
        refuse("MaxPool " + node.name() + " is not a plain 2-D pooling");
      Dims dst{srcDims[0], srcDims[1], 0, 0};
      Dims padEnd{pads[2], pads[3]};
      for (int a = 0; a < 2; ++a) {
        const int64_t room = srcDims[2 + a] + pads[a] + pads[a + 2] - kernel[a];
        if (room < 0) refuse("MaxPool " + node.name() + " leaves nothing");
        dst[2 + a] = (ceil ? (room + strides[a] - 1) / strides[a] : room / strides[a]) + 1;
        // Rounding up reads past the end: padding the max ignores.
        padEnd[a] = (dst[2 + a] - 1) * strides[a] + kernel[a] - srcDims[2 + a] - pads[a];
      }
      if (needed[i] == kSized) {
        measuredTensor(out, dst);
        continue;
      }
      dnnl::pooling_forward::primitive_desc pd(
          dnnl::pooling_forward::desc(
              dnnl::prop_kind::forward_inference, dnnl::algorithm::pooling_max, tensors[src].desc,
              memory::desc(dst, memory::data_type::f32, memory::format_tag::any),
              {strides[0], strides[1]}, {kernel[0], kernel[1]}, {pads[0], pads[1]}, padEnd),
          ownScratch(), c.engine);
      const int to = addTensor(out, pd.dst_desc());
      finishStep(dnnl::pooling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, to}}, {},
                 pd.scratchpad_desc());
    } else if (op == "Resize" || op == "Upsample") {
      const int src = tensorNamed(in(0));
      const Dims srcDims = dimsOf(src);
      const std::string mode = text(node, "mode", "nearest");
      const std::string grid = text(node, "coordinate_transformation_mode", "half_pixel");
      if (mode != "linear" || (grid != "half_pixel" && grid != "pytorch_half_pixel"))
        refuse("only linear resizes on pixel centres are supported");
      Dims dst = srcDims;
      if (op == "Resize" && node.input_size() > 3 && !in(3).empty()) {
        const Known& sizes = knownNamed(in(3));
        if (sizes.values.size() != 4) refuse("Resize " + node.name() + " is not 4-D");
        for (int a = 0; a < 4; ++a) dst[a] = int64_t(sizes.values[a]);
      } else {
        const Known& scales = knownNamed(in(op == "Resize" ? 2 : 1));
        if (scales.values.size() != 4) refuse("Resize " + node.name() + " is not 4-D");
        for (int a = 0; a < 4; ++a) dst[a] = int64_t(std::floor(srcDims[a] * scales.values[a]));
      }
      if (dst[0] != srcDims[0] || dst[1] != srcDims[1] || dst[2] < 1 || dst[3] < 1 ||
          dst[2] > 16384 || dst[3] > 16384)
        refuse("Resize " + node.name() + " changes more than the picture's size");
      // pytorch_half_pixel differs from half_pixel only for an output one pixel long.
      if (grid == "pytorch_half_pixel" && (dst[2] == 1 || dst[3] == 1))
        refuse("Resize " + node.name() + " to a single pixel");
      if (needed[i] == kSized) {
        measuredTensor(out, dst);
        continue;
      }
      if (dst == srcDims) {
        alias(out, src, 0);
        release(node);
        continue;
      }
      dnnl::resampling_forward::primitive_desc pd(
          dnnl::resampling_forward::desc(
              dnnl::prop_kind::forward_inference, dnnl::algorithm::resampling_linear,
              tensors[src].desc,
              memory::desc(dst, memory::data_type::f32, memory::format_tag::any)),
          ownScratch(), c.engine);
      const int to = addTensor(out, pd.dst_desc());
      finishStep(dnnl::resampling_forward(pd), {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, to}}, {},
                 pd.scratchpad_desc());
    } else if (op == "Concat") {
      if (integer(node, "axis", 0) != 1) refuse("Concat of tensors on an axis other than channels");
      if (needed[i] == kSized) {
        Dims dst = dimsOf(tensorNamed(in(0)));
        dst[1] = 0;
        for (const auto& name : node.input()) {
          const Dims part = dimsOf(tensorNamed(name));
          if (part[0] != dst[0] || part[2] != dst[2] || part[3] != dst[3])
            refuse("Concat " + node.name() + " of tensors of two sizes");
          dst[1] += part[1];
        }
        measuredTensor(out, dst);
        continue;
      }
      std::vector<int> parts;
      std::vector<memory::desc> descs;
      for (const auto& name : node.input()) {
        parts.push_back(tensorNamed(name));
        descs.push_back(tensors[parts.back()].desc);
      }
      dnnl::concat::primitive_desc pd(1, descs, c.engine, ownScratch());
      const int to = addTensor(out, pd.dst_desc());
      std::vector<std::pair<int, int>> args{{DNNL_ARG_DST, to}};
      for (size_t k = 0; k < parts.size(); ++k)
        args.push_back({int(DNNL_ARG_MULTIPLE_SRC + k), parts[k]});
      finishStep(dnnl::concat(pd), std::move(args), {}, pd.scratchpad_desc());
    } else if (op == "Add") {
      const int a = tensorNamed(in(0));
      if (dimsOf(tensorNamed(in(1))) != dimsOf(a)) refuse("Add of tensors of two shapes");
      if (needed[i] == kSized) {
        measuredTensor(out, dimsOf(a));
        continue;
      }
      const int b = inLayout(tensorNamed(in(1)), tensors[a].desc);
      dnnl::binary::primitive_desc pd(
          dnnl::binary::desc(dnnl::algorithm::binary_add, tensors[a].desc, tensors[b].desc,
                             tensors[a].desc),
          ownScratch(), c.engine);
      const int to = addTensor(out, pd.dst_desc());
      finishStep(dnnl::binary(pd), {{DNNL_ARG_SRC_0, a}, {DNNL_ARG_SRC_1, b}, {DNNL_ARG_DST, to}},
                 {}, pd.scratchpad_desc());
    } else {
      refuse("the operation " + op + " is not supported");
    }
    if (op != "Shape") release(node);
  }

  // The output, back in N x C x H x W.
  const int result = tensorNamed(outputName);
  c.outputDims = dimsOf(result);
  const memory::desc plainOut(c.outputDims, memory::data_type::f32, memory::format_tag::nchw);
  const int last = inLayout(result, plainOut);

  // Buffers stop moving now: the memories can point into them.
  std::vector<memory> memories;
  for (const auto& t : tensors) {
    if (t.measured) {
      memories.emplace_back();
      continue;
    }
    const int buffer = t.buffer >= 0 ? t.buffer : -1 - t.buffer;
    memories.emplace_back(t.desc, c.engine, c.buffers[size_t(buffer)].data.get());
  }
  size_t scratchBytes = 0;
  for (const auto& p : pending) scratchBytes = std::max(scratchBytes, p.scratch.get_size());
  Buffer scratch;
  if (scratchBytes > 0) {
    scratch.bytes = (scratchBytes + 63) / 64 * 64;
    scratch.data.reset(static_cast<float*>(std::aligned_alloc(64, scratch.bytes)));
    if (!scratch.data) refuse("out of memory");
  }
  for (auto& p : pending) {
    Compiled::Step step{p.primitive, {}};
    if (p.scratch.get_size() > 0)
      step.args[DNNL_ARG_SCRATCHPAD] = memory(p.scratch, c.engine, scratch.data.get());
    for (const auto& [arg, t] : p.tensorArgs) step.args[arg] = memories[size_t(t)];
    for (const auto& [arg, m] : p.fixedArgs) step.args[arg] = m;
    c.steps.push_back(std::move(step));
  }
  if (scratch.data) c.buffers.push_back(std::move(scratch));
  c.input = memories[inputTensor];
  c.output = memories[size_t(last)];
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
