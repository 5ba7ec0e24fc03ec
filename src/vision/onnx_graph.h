// Reading an ONNX graph for the oneDNN runner (cpu_net.h): node attributes, stored tensors,
// the small values known before the network runs, and which nodes an output needs. Every
// failure throws std::runtime_error with the reason.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tv::onnxgraph {

[[noreturn]] void refuse(const std::string& why);

// A node's attribute, or `otherwise` when it has none of that name.
std::vector<int64_t> ints(const onnx::NodeProto& node, const std::string& name,
                          std::vector<int64_t> otherwise);
int64_t integer(const onnx::NodeProto& node, const std::string& name, int64_t otherwise);
std::string text(const onnx::NodeProto& node, const std::string& name, std::string otherwise);
const onnx::TensorProto* tensorAttribute(const onnx::NodeProto& node, const std::string& name);

// The numbers of a stored float tensor.
std::vector<float> floats(const onnx::TensorProto& tensor);

// A value known before the network runs: a constant, or shape arithmetic on the tensors'
// shapes. Small integer or float vectors only, held as doubles.
struct Known {
  std::vector<double> values;
};
Known knownOf(const onnx::TensorProto& tensor);

// How much of each node an output needs: computed, only sized (its output is only measured,
// by a Shape that sizes a resize), or nothing. A side output upsampled to the size of the
// finest map does not need that map computed.
enum class Need { kNothing, kSized, kComputed };
struct Needs {
  std::vector<Need> nodes;                       // per node of the graph
  std::unordered_map<std::string, int> readers;  // computing nodes reading each value
};
Needs needsOf(const onnx::GraphProto& graph, const std::string& output);

}  // namespace tv::onnxgraph
