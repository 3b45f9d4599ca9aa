// Cutout mode from the command line, on the installed models.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "fresh_directory.h"
#include "platform/files/picture_files.h"
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

// The astronaut cut out; the dynamic loader notes in files of its own which libraries the run
// maps, and the run has a home of its own. It loads what it calls, once: not the program's
// libraries a second time when the process starts itself again for huge pages, and neither FFmpeg
// nor Tesseract, which only videos and text need. It writes its output and nothing else: no usage
// database, device id or log of the inference runtime's under the user's home.
TEST(CutoutMode, CutsTheAstronautOutLoadingOnlyWhatItCallsAndLeavingTheHomeAlone) {
  const std::string dir = testing::freshDirectory(), home = dir + "/home";
  std::filesystem::create_directory(home);
  std::filesystem::create_directory(dir + "/loader");
  const std::string target = dir + "/astronaut-cut.png";
  const auto result = runPlumvane(
      {"--cutout", astronaut, target},
      {.env = {{"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", dir + "/loader/ld"}, {"HOME", home}}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "cut\n");
  EXPECT_EQ(result.err, "");
  const cv::Mat out = cv::imread(target, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(out.type(), CV_8UC4);
  ASSERT_EQ(out.size(), cv::Size(512, 512));
  EXPECT_GE(meanAlpha(out, cv::Rect(190, 80, 60, 70)), 0.9);   // face
  EXPECT_GE(meanAlpha(out, cv::Rect(60, 330, 80, 120)), 0.9);  // suit
  EXPECT_LE(meanAlpha(out, cv::Rect(0, 0, 40, 40)), 0.1);      // top-left corner

  // The loader's lines, in a file per process, that say it maps a library whose name starts so.
  const auto loads = [&](const std::string& library) {
    int count = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir + "/loader")) {
      std::ifstream lines(file.path());
      for (std::string line; std::getline(lines, line);)
        count += line.find("file=" + library) != std::string::npos &&
                 line.ends_with("generating link map");
    }
    return count;
  };
  EXPECT_EQ(loads("libonnxruntime.so"), 1);
  EXPECT_EQ(loads("libopencv_core.so"), 1);
  EXPECT_EQ(loads("libtesseract.so"), 0);
  EXPECT_EQ(loads("libavcodec.so"), 0);
  for (const auto& left : std::filesystem::recursive_directory_iterator(home))
    ADD_FAILURE() << "left behind: " << left.path();
}

TEST(CutoutMode, FailuresSayWhatWentWrongOnOneLineInEitherPictureMode) {
  const std::string dir = testing::freshDirectory();
  std::ofstream(dir + "/notes.txt") << "not a picture\n";
  ASSERT_EQ(mkfifo((dir + "/pipe.png").c_str(), 0600), 0);  // refused at once, not waited on
  // In poster mode too, which has made its output folder by then.
  for (const std::string& picture : {dir + "/missing.png", dir + "/notes.txt", dir + "/pipe.png"}) {
    for (const auto& args : {std::vector<std::string>{"--cutout", picture, dir + "/out.png"},
                             {"--image", picture, dir + "/pieces"}}) {
      const auto result = runPlumvane(args);
      EXPECT_EQ(result.status, 1) << args[0];
      EXPECT_EQ(result.out, "") << args[0];
      EXPECT_EQ(result.err, "can't read the picture\n") << args[0];
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/pieces"));
}

TEST(CutoutMode, PicturesTooLargeAreRefusedOnOneLine) {
  if (testing::sanitized) GTEST_SKIP() << "the sanitizers need an unlimited address space";
  // 144 megapixels are over the limit and refused unread, in well under 1 GB; 81 are within it
  // but take 1.3 GB as a float image: refused when memory runs out.
  const std::string dir = testing::freshDirectory();
  ASSERT_TRUE(cv::imwrite(dir + "/over.png", cv::Mat(12000, 12000, CV_8UC3, cv::Scalar(9, 9, 9))));
  ASSERT_TRUE(cv::imwrite(dir + "/under.png", cv::Mat(9000, 9000, CV_8UC3, cv::Scalar(9, 9, 9))));
  for (const auto& [picture, message] :
       {std::pair<std::string, std::string>{"over.png", "can't read the picture"},
        {"under.png", "not enough memory for this picture"}}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--cutout", picture, "out.png"},
          {"--image", picture, "pieces"}}) {
      const auto result = runPlumvane(args, {.cwd = dir, .memoryLimit = size_t(1) << 30});
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, message + "\n");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.png"));
}

TEST(CutoutMode, AFlatPictureComesBackOpaqueAndATargetMayBeAStream) {
  // A flat picture: no subject, so it comes back whole and opaque, here to standard output
  // through /dev/stdout, then the word.
  const std::string dir = testing::freshDirectory();
  const cv::Vec3b bgr(60, 140, 200);
  ASSERT_TRUE(cv::imwrite(dir + "/plain.png", cv::Mat(120, 160, CV_8UC3, cv::Scalar(bgr))));
  const auto result = runPlumvane({"--cutout", "plain.png", "/dev/stdout"},
                                  {.cwd = dir, .stdoutPath = dir + "/stream.out"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string stream = testing::slurp(dir + "/stream.out");
  ASSERT_GT(stream.size(), 5u);
  EXPECT_EQ(stream.substr(stream.size() - 5), "none\n");
  const std::vector<uchar> png(stream.begin(), stream.end() - 5);
  const cv::Mat out = cv::imdecode(png, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(out.type(), CV_8UC4);
  ASSERT_EQ(out.size(), cv::Size(160, 120));
  EXPECT_EQ(
      cv::norm(out, cv::Mat(out.size(), CV_8UC4, cv::Scalar(60, 140, 200, 255)), cv::NORM_INF), 0);
}

TEST(CutoutMode, AMissingModelNamesTheFileAndTheCure) {
  const std::string dir = testing::freshDirectory();
  const auto result =
      runPlumvane({"--cutout", astronaut, dir + "/out.png"}, {.env = {{"PLUMVANE_MODELS", dir}}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "can't load the model " + dir + "/person.json: run `make setup` to install it\n");
}

}  // namespace
}  // namespace plumvane
