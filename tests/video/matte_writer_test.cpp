#include "video/matte_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "fresh_directory.h"

namespace plumvane {
namespace {

// A w x h mask whose left half is lit.
Mask leftHalf(int w, int h) {
  Mask m{w, h, std::vector<float>(size_t(w) * size_t(h), 0.0f)};
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w / 2; ++x) m.values[size_t(y * w + x)] = 1;
  }
  return m;
}

// File names, the black matte, stretching and repeated masks; failures are checked end to end.
TEST(MatteWriter, WritesGreyMattesStretchedToTheirSize) {
  EXPECT_EQ(matteFileName(100000), "matte_100000.png");  // zero-filled to five digits, never cut
  const std::string dir = testing::freshDirectory();
  ASSERT_FALSE(writeMatte(nullptr, 0, 64, 48, dir));
  const cv::Mat black = cv::imread(dir + "/matte_00000.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(black.type(), CV_8UC1);
  ASSERT_EQ(black.size(), cv::Size(64, 48));
  EXPECT_EQ(cv::countNonZero(black), 0);

  const Mask mask = leftHalf(32, 32);
  ASSERT_FALSE(writeMatte(&mask, 1, 64, 48, dir));
  ASSERT_FALSE(writeMatte(&mask, 2, 64, 48, dir));
  const cv::Mat matte = cv::imread(dir + "/matte_00001.png", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(matte.at<uint8_t>(0, 10), 255);  // each axis by its own factor, the full height
  EXPECT_EQ(matte.at<uint8_t>(47, 10), 255);
  EXPECT_EQ(matte.at<uint8_t>(24, 60), 0);
  auto bytes = [&](const std::string& name) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(bytes("matte_00001.png"), bytes("matte_00002.png"));
}

}  // namespace
}  // namespace plumvane
