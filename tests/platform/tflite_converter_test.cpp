// The project's TFLite-to-ONNX converter, checked on small graphs run by ONNX Runtime against
// numpy references of the TFLite operators (tests/scripts/converter_cases.py).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fresh_directory.h"
#include "platform/onnx_model.h"

namespace plumvane {
namespace {

std::vector<float> readFloats(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

TEST(TfliteConverter, SmallGraphsMatchTheirReferences) {
  const std::string dir = testing::freshDirectory();
  const std::string command = std::string("/usr/bin/python3 ") + PLUMVANE_SOURCE +
                              "/tests/scripts/converter_cases.py " + dir;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  size_t cases = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const auto folder = entry.path();
    SCOPED_TRACE(folder.filename().string());
    std::ifstream shapes(folder / "shapes.txt");
    std::string inputLine, outputLine;
    std::getline(shapes, inputLine);
    std::getline(shapes, outputLine);
    auto parse = [](const std::string& line) {
      std::vector<int64_t> shape;
      std::istringstream in(line);
      for (int64_t d; in >> d;) shape.push_back(d);
      return shape;
    };
    Tensor input{parse(inputLine), readFloats(folder / "input.bin")};
    const std::vector<float> expected = readFloats(folder / "expected.bin");

    OnnxModel model(folder / "model.onnx");
    const auto outputs = model.run(input);
    ASSERT_TRUE(outputs);
    ASSERT_EQ(outputs->size(), 1u);
    EXPECT_EQ(outputs->front().shape, parse(outputLine));
    ASSERT_EQ(outputs->front().values.size(), expected.size());
    float worst = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
      worst = std::max(worst, std::abs(outputs->front().values[i] - expected[i]));
    }
    EXPECT_LT(worst, 1e-4f);
    ++cases;
  }
  EXPECT_EQ(cases, 10u);
}

}  // namespace
}  // namespace plumvane
