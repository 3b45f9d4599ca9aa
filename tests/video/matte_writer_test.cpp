#include "video/matte_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "fresh_directory.h"

namespace plumvane {
namespace {

TEST(MatteWriter, FileNamesAreZeroFilledAndNeverCut) {
  EXPECT_EQ(matteFileName(0), "matte_00000.png");
  EXPECT_EQ(matteFileName(42), "matte_00042.png");
  EXPECT_EQ(matteFileName(99999), "matte_99999.png");
  EXPECT_EQ(matteFileName(100000), "matte_100000.png");
  EXPECT_EQ(matteFileName(123456), "matte_123456.png");
}

// A w x h mask whose left half is lit.
Mask leftHalf(int w, int h) {
  Mask m{w, h, std::vector<float>(size_t(w) * size_t(h), 0.0f)};
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w / 2; ++x) m.values[size_t(y * w + x)] = 1;
  }
  return m;
}

TEST(MatteWriter, StretchesEachAxisToTheMatteSize) {
  const std::string dir = testing::freshDirectory();
  for (const cv::Size size : {cv::Size(256, 144), cv::Size(256, 192), cv::Size(1920, 1080)}) {
    const Mask mask = leftHalf(size.width, size.height);
    ASSERT_FALSE(writeMatte(&mask, 7, 1920, 1080, dir));
    const cv::Mat matte = cv::imread(dir + "/matte_00007.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(matte.type(), CV_8UC1);
    ASSERT_EQ(matte.size(), cv::Size(1920, 1080));
    EXPECT_EQ(matte.at<uint8_t>(540, 100), 255) << size;
    EXPECT_EQ(matte.at<uint8_t>(540, 1800), 0) << size;
    EXPECT_EQ(matte.at<uint8_t>(0, 100), 255) << size;  // the full height is covered
    EXPECT_EQ(matte.at<uint8_t>(1079, 100), 255) << size;
  }
}

TEST(MatteWriter, BlackMatteAndRepeatedMasks) {
  const std::string dir = testing::freshDirectory();
  ASSERT_FALSE(writeMatte(nullptr, 0, 64, 48, dir));
  const cv::Mat black = cv::imread(dir + "/matte_00000.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(black.type(), CV_8UC1);
  ASSERT_EQ(black.size(), cv::Size(64, 48));
  EXPECT_EQ(cv::countNonZero(black), 0);

  const Mask mask = leftHalf(32, 32);
  ASSERT_FALSE(writeMatte(&mask, 1, 64, 48, dir));
  ASSERT_FALSE(writeMatte(&mask, 2, 64, 48, dir));
  auto bytes = [&](const std::string& name) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(bytes("matte_00001.png"), bytes("matte_00002.png"));
}

TEST(MatteWriter, FailureNamesTheFile) {
  const std::string dir = testing::freshDirectory();
  std::ofstream(dir + "/plain") << "x";
  EXPECT_EQ(writeMatte(nullptr, 0, 4, 4, dir + "/plain"),
            "can't write " + dir + "/plain/matte_00000.png");
}

}  // namespace
}  // namespace plumvane
