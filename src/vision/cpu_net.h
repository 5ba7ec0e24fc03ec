// A convolutional network from an ONNX file, compiled once for one input shape to oneDNN's CPU
// primitives. OpenCV's dnn runs the salient network's 3x3 convolutions at about 100 GFLOP/s
// here; oneDNN's kernels (blocked layouts, Winograd) run them several times faster.
//
// Only what convolutional segmentation networks are made of is understood: Conv (a following
// Relu fused into it), Relu, Sigmoid, MaxPool, Add, channel Concat and linear Resize, with the
// small shape arithmetic (Shape, Gather, Slice, Unsqueeze, Cast, Concat, Constant) that sizes
// the resizes worked out when the network is compiled. Anything else is refused when loading.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

namespace tv {

class CpuNet {
 public:
  // Compiles the network at `path` for `inputShape` (N, C, H, W) and the graph's output number
  // `output` (counted from the end when negative); only what that output depends on is run.
  // Throws std::runtime_error with the reason when the file cannot be read or holds something
  // this runner does not understand.
  CpuNet(const std::string& path, const std::vector<int>& inputShape, int output = 0);
  ~CpuNet();
  CpuNet(CpuNet&&) noexcept;
  CpuNet& operator=(CpuNet&&) noexcept;

  // The output (a CV_32F blob, N x C x H x W) for `input`, a CV_32F blob of the compiled
  // shape. Not for two threads at once.
  cv::Mat run(const cv::Mat& input);

  // The output's shape, N x C x H x W.
  std::vector<int> outputShape() const;

  // The primitives, their memory and the buffers behind them (cpu_net.cpp).
  struct Compiled;

 private:
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace tv
