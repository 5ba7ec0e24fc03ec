// dlib's 68-point shape predictor in a raw form that loads as plain reads. dlib's own file
// stores every float as a portable mantissa and exponent, which takes close to a second to
// decode; the raw form holds the same numbers as this machine's floats, so loading is a copy.
#pragma once

#include <dlib/image_processing/shape_predictor.h>

#include <optional>
#include <string>

namespace tv::landmarkmodel {

// Where the build puts the raw form (the file name, looked up among the models first).
extern const char* const kRawName;

// The predictor stored in dlib's own format at `path`; throws (dlib's or std errors) when the
// file cannot be read.
dlib::shape_predictor readDlib(const std::string& path);

// Writes the predictor read from dlib's file `source` to `target` in the raw form, and checks
// that the raw form reads back into a predictor that places every point where the original
// does. Answers an empty string, or why it could not.
std::string convert(const std::string& source, const std::string& target);

// The predictor in the raw form at `path`; nothing when the file is missing, truncated or not
// a raw predictor (the caller then falls back to dlib's file).
std::optional<dlib::shape_predictor> readRaw(const std::string& path);

}  // namespace tv::landmarkmodel
