#include "vision_photos.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fstream>
#include <regex>
#include <sstream>

namespace tvtest {

const char* const kDlibFaces = "/usr/share/doc/libdlib19.1/examples/faces/";
const char* const kJuiceFrames = "/usr/share/doc/libdlib19.1/examples/video_frames/";

std::vector<AnnotatedPhoto> annotatedPhotos(const std::string& xmlName) {
  std::ifstream in(std::string(kDlibFaces) + xmlName);
  std::stringstream text;
  text << in.rdbuf();
  std::string xml = text.str();
  static const std::regex image("<image file='([^']+)'[^>]*>([\\s\\S]*?)</image>");
  static const std::regex box(
      "<box top='(-?\\d+)' left='(-?\\d+)' width='(\\d+)' "
      "height='(\\d+)'[^>]*?(/>|>([\\s\\S]*?)</box>)");
  static const std::regex part("<part name='(\\d+)' x='(-?\\d+)' y='(-?\\d+)'/>");
  std::vector<AnnotatedPhoto> photos;
  for (auto i = std::sregex_iterator(xml.begin(), xml.end(), image); i != std::sregex_iterator();
       ++i) {
    AnnotatedPhoto photo{std::string(kDlibFaces) + (*i)[1].str(), {}};
    std::string body = (*i)[2];
    for (auto b = std::sregex_iterator(body.begin(), body.end(), box); b != std::sregex_iterator();
         ++b) {
      AnnotatedFace face;
      face.box = cv::Rect2d(std::stod((*b)[2]), std::stod((*b)[1]), std::stod((*b)[3]),
                            std::stod((*b)[4]));
      std::string parts = (*b)[6];
      for (auto p = std::sregex_iterator(parts.begin(), parts.end(), part);
           p != std::sregex_iterator(); ++p) {
        size_t index = std::stoul((*p)[1]);
        if (face.parts.size() <= index) face.parts.resize(index + 1);
        face.parts[index] = cv::Point2d(std::stod((*p)[2]), std::stod((*p)[3]));
      }
      photo.faces.push_back(face);
    }
    photos.push_back(photo);
  }
  return photos;
}

cv::Mat bgraPhoto(const std::string& path) {
  cv::Mat picture = cv::imread(path, cv::IMREAD_COLOR);
  if (picture.empty()) return picture;
  cv::Mat bgra;
  cv::cvtColor(picture, bgra, cv::COLOR_BGR2BGRA);
  return bgra;
}

double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  double inner = (a & b).area();
  double outer = a.area() + b.area() - inner;
  return outer > 0 ? inner / outer : 0;
}

cv::Rect2d topLeftPixels(const cv::Rect2d& r, cv::Size size) {
  return {r.x * size.width, (1 - r.y - r.height) * size.height, r.width * size.width,
          r.height * size.height};
}

}  // namespace tvtest
