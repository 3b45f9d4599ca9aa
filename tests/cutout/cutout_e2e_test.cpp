// Cutout mode from the command line, on the installed models.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "fresh_directory.h"
#include "run_binary.h"

namespace plumvane {
namespace {

using testing::runPlumvane;

const std::string astronaut = std::string(PLUMVANE_TESTDATA) + "/astronaut.png";

double meanAlpha(const cv::Mat& rgba, cv::Rect r) {
  cv::Mat alpha;
  cv::extractChannel(rgba(r), alpha, 3);
  return cv::mean(alpha)[0] / 255.0;
}

TEST(CutoutMode, CutsTheAstronautOut) {
  const std::string target = testing::freshDirectory() + "/astronaut-cut.png";
  const auto result = runPlumvane({"--cutout", astronaut, target});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "cut\n");
  EXPECT_EQ(result.err, "");
  const cv::Mat out = cv::imread(target, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(out.type(), CV_8UC4);
  ASSERT_EQ(out.size(), cv::Size(512, 512));
  EXPECT_GE(meanAlpha(out, cv::Rect(190, 80, 60, 70)), 0.9);   // face
  EXPECT_GE(meanAlpha(out, cv::Rect(60, 330, 80, 120)), 0.9);  // suit
  EXPECT_LE(meanAlpha(out, cv::Rect(0, 0, 40, 40)), 0.1);      // top-left corner
}

TEST(CutoutMode, FlatPictureIsWrittenBackOpaque) {
  const std::string dir = testing::freshDirectory();
  ASSERT_TRUE(
      cv::imwrite(dir + "/flat.jpg", cv::Mat(120, 160, CV_8UC3, cv::Scalar(128, 128, 128))));
  const auto result = runPlumvane({"--cutout", "flat.jpg", "flat.png"}, dir);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "none\n");
  const cv::Mat out = cv::imread(dir + "/flat.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(out.type(), CV_8UC4);
  ASSERT_EQ(out.size(), cv::Size(160, 120));
  cv::Mat alpha;
  cv::extractChannel(out, alpha, 3);
  EXPECT_EQ(cv::countNonZero(alpha != 255), 0);
  EXPECT_NEAR(cv::mean(out)[0], 128, 1);
}

TEST(CutoutMode, FailuresSayWhatWentWrongOnOneLine) {
  const std::string dir = testing::freshDirectory();
  std::ofstream(dir + "/notes.txt") << "not a picture\n";
  for (const std::string& picture : {dir + "/missing.png", dir + "/notes.txt"}) {
    const auto result = runPlumvane({"--cutout", picture, dir + "/out.png"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "can't read the picture\n");
  }
  // A target in a missing directory, quoted unchanged, with the system's error text.
  const auto result = runPlumvane({"--cutout", astronaut, "nowhere/out.png"}, dir);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "can't write nowhere/out.png: No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.png"));
}

TEST(CutoutMode, APictureTooLargeForMemoryIsRefusedOnOneLine) {
  // 144 megapixels of one colour: a small file, but 2.3 GB as a float image.
  const std::string dir = testing::freshDirectory();
  ASSERT_TRUE(cv::imwrite(dir + "/huge.png", cv::Mat(12000, 12000, CV_8UC3, cv::Scalar(9, 9, 9))));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--cutout", dir + "/huge.png", dir + "/out.png"},
        {"--image", dir + "/huge.png", dir + "/pieces"}}) {
    const auto result = runPlumvane(args, "", {}, size_t(2) << 30);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "not enough memory for this picture\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.png"));
}

TEST(CutoutMode, AMissingModelNamesTheFileAndTheCure) {
  const std::string dir = testing::freshDirectory();
  const auto result =
      runPlumvane({"--cutout", astronaut, dir + "/out.png"}, "", {{"PLUMVANE_MODELS", dir}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "can't load the model " + dir + "/person.json: run `make setup` to install it\n");
}

}  // namespace
}  // namespace plumvane
