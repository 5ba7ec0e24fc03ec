// Build step: dlib's landmark predictor into the raw form the tool loads without decoding
// (vision/landmark_model.h). Usage: tarnel-convert-landmarks <dlib .dat> <raw output>
#include "vision/landmark_model.h"

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <dlib predictor> <raw output>\n", argv[0]);
    return 2;
  }
  std::string why = tv::landmarkmodel::convert(argv[1], argv[2]);
  if (!why.empty()) {
    std::fprintf(stderr, "tarnel-convert-landmarks: %s\n", why.c_str());
    return 1;
  }
  return 0;
}
