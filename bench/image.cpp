// Wall time of the image command per mode on a 12-megapixel and a 1-megapixel photo, made by
// scaling a real photo, and of its stages in process. Usage: bench_image [tarnel-vision] [photo]
#include "image/flat_matte.h"
#include "image/picture_kind.h"
#include "media/picture.h"
#include "vision/vision.h"
#include "segment/masks.h"
#include "segment/segmenter.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const std::function<void()>& work) {
  auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best of three, so that a busy moment on the machine does not decide the figure.
double best(const std::function<void()>& work) {
  double fastest = 1e9;
  for (int i = 0; i < 3; ++i) fastest = std::min(fastest, seconds(work));
  return fastest;
}

// The photo scaled, keeping its aspect, to about `pixels` pixels.
std::string makePhoto(const std::string& source, double pixels, const std::string& path) {
  cv::Mat photo = cv::imread(source, cv::IMREAD_COLOR), scaled;
  if (photo.empty()) return "";
  const double scale = std::sqrt(pixels / (double(photo.cols) * photo.rows));
  cv::resize(photo, scaled, cv::Size(int(photo.cols * scale), int(photo.rows * scale)), 0, 0,
             cv::INTER_CUBIC);
  cv::imwrite(path, scaled, {cv::IMWRITE_JPEG_QUALITY, 92});
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const std::string tool =
      argc > 1 ? argv[1]
               : (fs::path(argv[0]).parent_path().parent_path() / "tarnel-vision").string();
  const std::string source =
      argc > 2 ? argv[2] : "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
  const fs::path dir =
      fs::temp_directory_path() / ("tarnel-bench-image-" + std::to_string(::getpid()));
  fs::create_directories(dir);

  struct Photo {
    const char* name;
    double pixels;
    std::string path;
  };
  std::vector<Photo> photos{{"12 MP", 12e6, ""}, {"1 MP", 1e6, ""}};
  for (auto& photo : photos) {
    photo.path =
        makePhoto(source, photo.pixels, (dir / (std::string(photo.name) + ".jpg")).string());
    if (photo.path.empty()) {
      std::printf("cannot read %s\n", source.c_str());
      return 1;
    }
  }

  // The flat method needs a plain background: a real cut-out (a plant with its matte) on white.
  const std::string plant = "/usr/share/doc/opencv-doc/examples/alphamat/input_images/plant.jpg";
  const std::string plantAlpha =
      "/usr/share/doc/opencv-doc/examples/alphamat/output_mattes/plant_result.png";
  cv::Mat colour = cv::imread(plant, cv::IMREAD_COLOR),
          alpha = cv::imread(plantAlpha, cv::IMREAD_GRAYSCALE);
  std::vector<Photo> plain{{"12 MP", 12e6, ""}, {"1 MP", 1e6, ""}};
  if (!colour.empty() && alpha.size() == colour.size()) {
    cv::Mat shot(colour.rows + 80, colour.cols + 160, CV_8UC3, cv::Scalar(255, 255, 255));
    alpha.row(0).setTo(0);
    for (int y = 0; y < colour.rows; ++y)
      for (int x = 0; x < colour.cols; ++x) {
        const float a = alpha.at<uint8_t>(y, x) / 255.0f;
        cv::Vec3b& p = shot.at<cv::Vec3b>(y + 40, x + 80);
        const cv::Vec3b q = colour.at<cv::Vec3b>(y, x);
        for (int c = 0; c < 3; ++c) p[c] = cv::saturate_cast<uint8_t>(q[c] * a + p[c] * (1 - a));
      }
    const std::string shotPath = (dir / "plain.png").string();
    cv::imwrite(shotPath, shot);
    for (auto& photo : plain)
      photo.path = makePhoto(shotPath, photo.pixels,
                             (dir / (std::string("plain ") + photo.name + ".jpg")).string());
  }

  std::printf("image command, best of 3 runs, wall time (%s scaled)\n", source.c_str());
  const std::vector<std::vector<std::string>> modes{
      {"person"}, {"subject"}, {"object", "--point", "0.5,0.4"}, {"flat"}, {"auto"}};
  for (const auto& photo : photos) {
    for (const auto& mode : modes) {
      std::string command = "'" + tool + "' image --input '" + photo.path + "' --output '" +
                            (dir / "matte.png").string() + "' --mode " + mode[0];
      for (size_t i = 1; i < mode.size(); ++i) command += " " + mode[i];
      command += " >'" + (dir / "out.txt").string() + "' 2>&1";
      int status = 0;
      double wall = best([&] { status = std::system(command.c_str()); });
      std::printf("  %-6s %-8s %6.3f s  exit %d\n", photo.name, mode[0].c_str(), wall,
                  WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
  }
  std::printf("plain-background shot (a plant on white) scaled\n");
  for (const auto& photo : plain) {
    if (photo.path.empty()) continue;
    for (const char* mode : {"flat", "auto"}) {
      std::string command = "'" + tool + "' image --input '" + photo.path + "' --output '" +
                            (dir / "matte.png").string() + "' --mode " + mode + " >'" +
                            (dir / "out.txt").string() + "' 2>&1";
      int status = 0;
      double wall = best([&] { status = std::system(command.c_str()); });
      std::printf("  %-6s %-8s %6.3f s  exit %d\n", photo.name, mode, wall,
                  WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
  }

  std::printf("stages in process, 12 MP photo\n");
  cv::Mat picture, small;
  tv::WorkingPicture working;
  std::printf("  load at 4096      %6.3f s\n",
              best([&] { picture = tv::loadPicture(photos[0].path, 4096); }));
  // What the segmentation modes decode: the pixels their analyses look at, 1024 a side.
  std::printf("  load to work 1024 %6.3f s\n",
              best([&] { working = tv::loadWorkingPicture(photos[0].path, 4096, 1024); }));
  std::printf("  load at 2048      %6.3f s\n",
              best([&] { small = tv::loadPicture(photos[0].path, 2048); }));
  std::printf("  picture kind      %6.3f s\n", best([&] { tv::pictureKind(small); }));
  if (!plain[0].path.empty()) {
    const cv::Mat flat = tv::loadPicture(plain[0].path, 2048);
    std::printf("  flat matte 2048   %6.3f s\n", best([&] { tv::flatMatte(flat, 0.25, true); }));
    std::printf("  flat, inner 0     %6.3f s\n", best([&] { tv::flatMatte(flat, 0.25, false); }));
  }
  cv::Mat matte;
  // The first calls load the models; the figures after them are the analyses alone.
  std::printf("  first sharpPerson %6.3f s  (loads the models)\n",
              seconds([&] { tv::Segmenter().sharpPerson(picture); }));
  std::printf("  person analysis   %6.3f s\n",
              best([&] { tv::vision().personSegmentation(true)->next(picture); }));
  std::printf("  instances         %6.3f s\n",
              best([&] { tv::vision().foregroundInstances(picture); }));
  if (auto found = tv::vision().foregroundInstances(picture)) {
    std::set<int> all(found->allInstances.begin(), found->allInstances.end());
    std::printf("  mask of all       %6.3f s\n",
                best([&] { tv::Segmenter().mask(all, *found, picture.size()); }));
  }
  std::printf("  sharpPerson       %6.3f s\n",
              best([&] { matte = tv::Segmenter().sharpPerson(picture); }));
  std::printf("  subject           %6.3f s\n",
              best([&] { matte = tv::Segmenter().subject(picture); }));
  std::printf("  sharpPerson, work %6.3f s\n",
              best([&] { matte = tv::Segmenter().sharpPerson(working.pixels); }));
  // The salient map of a picture is kept for a second question on it: each figure is a first
  // call on its picture, the mirror image's loading the network.
  cv::Mat mirrored;
  cv::flip(working.pixels, mirrored, 1);
  std::printf("  first salient     %6.3f s  (loads the network)\n",
              seconds([&] { tv::vision().salientObjects(mirrored, cv::Mat()); }));
  std::printf("  salient objects   %6.3f s\n",
              seconds([&] { tv::vision().salientObjects(working.pixels, cv::Mat()); }));
  std::printf("  stretch the matte %6.3f s\n",
              best([&] { matte = tv::fitted(matte, working.size); }));
  const std::string out = (dir / "stage.png").string();
  std::printf("  write the matte   %6.3f s\n", best([&] { tv::writeGrey(matte, out); }));
  fs::remove_all(dir);
  return 0;
}
