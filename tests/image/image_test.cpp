// The image command's choices with a scripted vision: which instance, which method, which event.
#include "image/image.h"

#include "base/options.h"
#include "vision/vision.h"
#include "support/child.h"
#include "support/blank_vision.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace tv {
namespace {

using nlohmann::json;

// Instance masks are drawn at the picture's size; person coverage at a quarter of it.
class ScriptedVision final : public tvtest::BlankVision {
 public:
  std::optional<cv::Mat> labels;  // absent: no observation
  bool brokenMasks = false;       // the masks of found instances cannot be made
  cv::Mat coverage;


  class Person final : public PersonSegmentation {
   public:
    explicit Person(const cv::Mat& coverage) : coverage(coverage) {}
    cv::Mat next(const cv::Mat&) override { return coverage; }
    cv::Mat coverage;
  };
  std::unique_ptr<PersonSegmentation> personSegmentation(bool) override {
    return std::make_unique<Person>(coverage);
  }

  std::optional<Instances> foregroundInstances(const cv::Mat& image) override {
    if (!labels) return std::nullopt;
    Instances found;
    found.instanceMask = *labels;
    found.imageSize = brokenMasks ? cv::Size() : image.size();
    for (int l = 1; l < 256; ++l) {
      cv::Mat region = *labels == l;
      if (cv::countNonZero(region) == 0) continue;
      found.allInstances.push_back(l);
      found.softMasks.push_back(region);
    }
    return found;
  }
};

class ImageRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = tvtest::scratchDir("image-run");
    useVisionForTesting(&scripted);
  }
  void TearDown() override { useVisionForTesting(nullptr); }

  std::string picture(const std::string& name, const cv::Mat& bgr) {
    std::string path = dir + "/" + name;
    cv::imwrite(path, bgr);
    return path;
  }

  // Runs the command in a child; answers its one line and the matte it wrote.
  json run(const std::string& input, const std::string& mode, std::optional<Point> at = {}) {
    CommandLine globals;
    globals.command = "image";
    globals.options = {{"input", input}, {"output", dir + "/matte.png"}};
    globals.inputURL = input;
    globals.mode = mode;
    globals.point = at;
    std::filesystem::remove(dir + "/matte.png");  // no matte of an earlier run is read back
    auto outcome = tvtest::inChild([&] { runImage(globals); });
    status = outcome.status;
    cv::Mat rgba;
    if (std::filesystem::exists(dir + "/matte.png"))
      rgba = cv::imread(dir + "/matte.png", cv::IMREAD_UNCHANGED);
    matte = cv::Mat();
    if (rgba.type() == CV_8UC4) cv::extractChannel(rgba, matte, 2);
    if (outcome.lines.size() != 1) return nullptr;
    return json::parse(outcome.lines[0], nullptr, false);
  }

  std::string dir;
  ScriptedVision scripted;
  int status = -1;
  cv::Mat matte;
};

// Many colours everywhere, the border included.
cv::Mat busy(int w, int h) {
  cv::Mat bgr(h, w, CV_8UC3);
  cv::randu(bgr, 0, 256);
  return bgr;
}

// Two instances: 1 on the left, 2 on the right.
cv::Mat twoInstances(cv::Size size) {
  cv::Mat labels(size, CV_8UC1, cv::Scalar(0));
  labels(cv::Rect(10, 20, 60, 80)).setTo(1);
  labels(cv::Rect(130, 20, 50, 80)).setTo(2);
  return labels;
}

TEST_F(ImageRun, ObjectIsTheInstanceUnderThePoint) {
  const std::string input = picture("busy.png", busy(200, 120));
  scripted.labels = twoInstances(cv::Size(200, 120));
  EXPECT_EQ(run(input, "object", Point{0.8, 0.5}),
            (json{{"done", true}, {"width", 200}, {"height", 120}}));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(cv::countNonZero(matte != (*scripted.labels == 2)), 0);
  run(input, "object", Point{0.2, 0.5});
  EXPECT_EQ(cv::countNonZero(matte != (*scripted.labels == 1)), 0);
  // Beside an instance, within the search: the nearest one.
  EXPECT_EQ(run(input, "object", Point{0.6, 0.5}),  // cell 76; instance 2 starts at cell 83
            (json{{"error", "nothing-there"}}));
  EXPECT_TRUE(matte.empty());
  run(input, "object", Point{0.625, 0.5});  // cell 80
  EXPECT_EQ(cv::countNonZero(matte != (*scripted.labels == 2)), 0);
}

TEST_F(ImageRun, ObjectFarFromEveryInstanceIsNothingThere) {
  const std::string input = picture("busy.png", busy(200, 120));
  scripted.labels = twoInstances(cv::Size(200, 120));
  EXPECT_EQ(run(input, "object", Point{0.5, 0.95}), (json{{"error", "nothing-there"}}));
  EXPECT_EQ(status, 1);
  scripted.labels.reset();
  EXPECT_EQ(run(input, "object", Point{0.2, 0.5}), (json{{"error", "nothing-there"}}));
}

TEST_F(ImageRun, SubjectNeedsInstances) {
  const std::string input = picture("busy.png", busy(200, 120));
  EXPECT_EQ(run(input, "subject"), (json{{"error", "nothing-there"}}));
  scripted.labels = cv::Mat(120, 200, CV_8UC1, cv::Scalar(0));
  EXPECT_EQ(run(input, "cat"), (json{{"error", "nothing-there"}}));
  scripted.labels = twoInstances(cv::Size(200, 120));
  EXPECT_EQ(run(input, "cat"), (json{{"done", true}, {"width", 200}, {"height", 120}}));
  EXPECT_EQ(cv::countNonZero(matte != (*scripted.labels > 0)), 0);
}

TEST_F(ImageRun, MasksThatCannotBeMadeGiveABlackMatte) {
  const std::string input = picture("busy.png", busy(200, 120));
  scripted.labels = twoInstances(cv::Size(200, 120));
  scripted.brokenMasks = true;
  EXPECT_EQ(run(input, "subject"), (json{{"done", true}, {"width", 200}, {"height", 120}}));
  ASSERT_EQ(matte.size(), cv::Size(200, 120));
  EXPECT_EQ(cv::countNonZero(matte), 0);
  EXPECT_EQ(run(input, "object", Point{0.2, 0.5})["done"], true);
  EXPECT_EQ(cv::countNonZero(matte), 0);
}

TEST_F(ImageRun, PersonIsTheDefaultAndPicksNothing) {
  const std::string input = picture("busy.png", busy(200, 120));
  scripted.coverage = cv::Mat(30, 50, CV_8UC1, cv::Scalar(0));
  scripted.coverage(cv::Rect(10, 5, 20, 20)).setTo(255);
  EXPECT_EQ(run(input, "person"), (json{{"done", true}, {"width", 200}, {"height", 120}}));
  ASSERT_EQ(matte.size(), cv::Size(200, 120));
  EXPECT_EQ(matte.at<uint8_t>(60, 80), 255);
  EXPECT_EQ(matte.at<uint8_t>(110, 190), 0);
  scripted.coverage = cv::Mat();  // the analysis has no answer: black, still done
  EXPECT_EQ(run(input, "person")["done"], true);
  EXPECT_EQ(cv::countNonZero(matte), 0);
}

TEST_F(ImageRun, AutoChoosesTheMethod) {
  // Busy with instances: the subject.
  const std::string noisy = picture("busy.png", busy(200, 120));
  scripted.labels = twoInstances(cv::Size(200, 120));
  EXPECT_EQ(run(noisy, "auto"),
            (json{{"done", true}, {"width", 200}, {"height", 120}, {"picked", "subject"}}));
  // Busy without instances: nothing there.
  scripted.labels.reset();
  EXPECT_EQ(run(noisy, "auto"), (json{{"error", "nothing-there"}}));
  // A plain frame around many colours, no instances: the flat method.
  cv::Mat framed(120, 200, CV_8UC3, cv::Scalar(255, 255, 255));
  busy(100, 60).copyTo(framed(cv::Rect(50, 30, 100, 60)));
  const std::string plain = picture("framed.png", framed);
  EXPECT_EQ(run(plain, "auto"), (json{{"done", true},
                                      {"width", 200},
                                      {"height", 120},
                                      {"background", {1.0, 1.0, 1.0}},
                                      {"picked", "flat"}}));
  // With instances, the same picture is cut by them.
  scripted.labels = twoInstances(cv::Size(200, 120));
  EXPECT_EQ(run(plain, "auto")["picked"], "subject");
  // Plain and few colours: flat without asking for instances.
  cv::Mat few(120, 200, CV_8UC3, cv::Scalar(255, 255, 255));
  few(cv::Rect(50, 30, 100, 60)).setTo(cv::Scalar(0, 0, 200));
  EXPECT_EQ(run(picture("few.png", few), "auto")["picked"], "flat");
  // One pixel high: its small copy is transparent, the picture itself is not, so the flat
  // method takes the colour path.
  scripted.labels.reset();
  cv::Mat line(1, 300, CV_8UC3, cv::Scalar(0, 255, 0));
  EXPECT_EQ(run(picture("line.png", line), "auto"), (json{{"done", true},
                                                          {"width", 300},
                                                          {"height", 1},
                                                          {"background", {0.0, 1.0, 0.0}},
                                                          {"picked", "flat"}}));
}

}  // namespace
}  // namespace tv
