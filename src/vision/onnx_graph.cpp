#include "vision/onnx_graph.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tv::onnxgraph {

void refuse(const std::string& why) {
  throw std::runtime_error(why);
}

namespace {

const onnx::AttributeProto* attribute(const onnx::NodeProto& node, const std::string& name) {
  for (const auto& a : node.attribute())
    if (a.name() == name) return &a;
  return nullptr;
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

// Integers stored as raw little-endian bytes or in the tensor's own list.
template <typename T, typename List>
void readIntegers(const onnx::TensorProto& t, const List& list, std::vector<double>& out) {
  const size_t count = out.size();
  if (!t.raw_data().empty()) {
    if (t.raw_data().size() != count * sizeof(T)) refuse("tensor " + t.name() + " is cut");
    for (size_t i = 0; i < count; ++i) {
      T v;
      std::memcpy(&v, t.raw_data().data() + i * sizeof(T), sizeof(T));
      out[i] = double(v);
    }
  } else {
    if (size_t(list.size()) != count) refuse("tensor " + t.name() + " is cut");
    std::copy(list.begin(), list.end(), out.begin());
  }
}

}  // namespace

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

const onnx::TensorProto* tensorAttribute(const onnx::NodeProto& node, const std::string& name) {
  const auto* a = attribute(node, name);
  return a && a->has_t() ? &a->t() : nullptr;
}

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
  Known k;
  k.values.resize(elementCount(t));
  switch (t.data_type()) {
    case onnx::TensorProto::INT64:
      readIntegers<int64_t>(t, t.int64_data(), k.values);
      break;
    case onnx::TensorProto::INT32:
      readIntegers<int32_t>(t, t.int32_data(), k.values);
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

Needs needsOf(const onnx::GraphProto& graph, const std::string& output) {
  std::unordered_map<std::string, int> producer;
  for (int i = 0; i < graph.node_size(); ++i)
    for (const auto& o : graph.node(i).output()) producer[o] = i;
  if (!producer.count(output)) refuse("no output named " + output);
  Needs needs;
  needs.nodes.assign(size_t(graph.node_size()), Need::kNothing);
  std::vector<std::pair<std::string, Need>> open{{output, Need::kComputed}};
  while (!open.empty()) {
    const auto [name, need] = open.back();
    open.pop_back();
    auto p = producer.find(name);
    if (p == producer.end() || needs.nodes[size_t(p->second)] >= need) continue;
    needs.nodes[size_t(p->second)] = need;
    const auto& node = graph.node(p->second);
    for (const auto& i : node.input())
      if (!i.empty()) open.push_back({i, node.op_type() == "Shape" ? Need::kSized : need});
  }
  for (int i = 0; i < graph.node_size(); ++i)
    if (needs.nodes[size_t(i)] == Need::kComputed && graph.node(i).op_type() != "Shape")
      for (const auto& in : graph.node(i).input()) ++needs.readers[in];
  ++needs.readers[output];  // read by the caller
  return needs;
}

}  // namespace tv::onnxgraph
