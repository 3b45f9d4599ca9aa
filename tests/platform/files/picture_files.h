// What the picture file tests share: files to write and read, and a folder to do it in.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <opencv2/core.hpp>
#include <string>

#include "fresh_directory.h"

namespace plumvane::testing {

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void spill(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A 40 x 20 BGR picture of eight colour bands, black and white among them, to see a conversion
// on many colours.
inline cv::Mat bands() {
  cv::Mat bgr(20, 40, CV_8UC3);
  const cv::Scalar colours[] = {{200, 100, 50}, {20, 220, 120}, {255, 255, 255}, {0, 0, 0},
                                {90, 90, 90},   {10, 30, 240},  {240, 40, 10},   {128, 200, 250}};
  for (int i = 0; i < 8; ++i) bgr(cv::Rect(i * 5, 0, 5, 20)).setTo(colours[i]);
  return bgr;
}

inline const std::string adobeRgb = "/usr/share/color/icc/colord/AdobeRGB1998.icc";

// A fresh folder per test, and commands run in it.
class PictureFiles : public ::testing::Test {
 protected:
  std::string dir = freshDirectory();
  std::string path(const std::string& name) const { return dir + "/" + name; }
  void run(const std::string& command) const {
    ASSERT_EQ(std::system(("cd '" + dir + "' && " + command + " >/dev/null 2>&1").c_str()), 0)
        << command;
  }
};

}  // namespace plumvane::testing
