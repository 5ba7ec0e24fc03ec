#include "vision/photos.h"

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
  // Blocks are cut out by plain search and only the short tags go through a regex: libstdc++'s
  // regex recurses once per character of a lazy `[\s\S]*?`, which overflows the stack on a long
  // <image> block (it did under AddressSanitizer, whose frames are larger).
  static const std::regex box("<box top='(-?\\d+)' left='(-?\\d+)' width='(\\d+)' height='(\\d+)'");
  static const std::regex part("<part name='(\\d+)' x='(-?\\d+)' y='(-?\\d+)'/>");
  // The text between the end of the tag that starts at `at` and `close`; empty for a tag that
  // closes itself. `at` moves past the block.
  auto block = [&xml](size_t& at, const std::string& close, std::string& tag) {
    size_t tagEnd = xml.find('>', at);
    if (tagEnd == std::string::npos) return std::string::npos;
    tag = xml.substr(at, tagEnd + 1 - at);
    if (xml[tagEnd - 1] == '/') {
      at = tagEnd + 1;
      return tagEnd + 1;
    }
    size_t closing = xml.find(close, tagEnd);
    if (closing == std::string::npos) return std::string::npos;
    at = closing + close.size();
    return tagEnd + 1;
  };
  std::vector<AnnotatedPhoto> photos;
  const std::string imageOpen = "<image file='";
  for (size_t at = xml.find(imageOpen); at != std::string::npos; at = xml.find(imageOpen, at)) {
    const size_t nameStart = at + imageOpen.size();
    const size_t nameEnd = xml.find('\'', nameStart);
    if (nameEnd == std::string::npos) break;
    AnnotatedPhoto photo{std::string(kDlibFaces) + xml.substr(nameStart, nameEnd - nameStart), {}};
    std::string tag;
    const size_t bodyStart = block(at, "</image>", tag);
    if (bodyStart == std::string::npos) break;
    const size_t bodyEnd = at >= bodyStart + 8 ? at - 8 : bodyStart;
    for (size_t b = xml.find("<box ", bodyStart); b != std::string::npos && b < bodyEnd;
         b = xml.find("<box ", b)) {
      const size_t partsStart = block(b, "</box>", tag);
      if (partsStart == std::string::npos) break;
      std::smatch m;
      if (!std::regex_search(tag, m, box)) continue;
      AnnotatedFace face;
      face.box = cv::Rect2d(std::stod(m[2]), std::stod(m[1]), std::stod(m[3]), std::stod(m[4]));
      const std::string parts = xml.substr(partsStart, b - partsStart);
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
