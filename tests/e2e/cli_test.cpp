#include "support/run.h"

#include <gtest/gtest.h>

namespace {

using tvtest::runTool;

void expectError(const std::vector<std::string>& args, const std::string& message) {
  auto result = runTool(args);
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(result.lines.size(), 1u);
  EXPECT_EQ(result.last(), (nlohmann::json{{"error", message}}));
  EXPECT_EQ(result.errors, "");
}

TEST(CommandLine, StartUpErrors) {
  expectError({}, "usage: tarnel-vision video|image|skin --input <file> ...");
  expectError({"track"}, "--input is required");
  expectError({"foo"}, "--input is required");
  expectError({"foo", "--input", "a.mov"}, "unknown command foo");
  expectError({"Track", "--input", "a.mov"}, "unknown command Track");
  expectError({"VIDEO", "--input", "a.mov"}, "unknown command VIDEO");
  expectError({"image", "x", "--input", "a.png"}, "--input is required");
  expectError({"image", "--output", "--input"}, "--input is required");
}

}  // namespace
