// Video mode from the command line, on clips made at test time with the ffmpeg program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "fresh_directory.h"
#include "run_binary.h"

namespace plumvane {
namespace {

using testing::runPlumvane;
namespace fs = std::filesystem;

class VideoMode : public ::testing::Test {
 protected:
  // Runs ffmpeg in the test's folder with the given arguments.
  void ffmpeg(const std::string& arguments) {
    const std::string command =
        "cd '" + dir + "' && ffmpeg -nostdin -loglevel error -y " + arguments;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  std::vector<std::string> mattes(const std::string& out) const {
    std::vector<std::string> names;
    if (!fs::exists(dir + "/" + out)) return names;
    for (const auto& e : fs::directory_iterator(dir + "/" + out)) {
      names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  cv::Mat matte(const std::string& out, int index) const {
    char name[32];
    std::snprintf(name, sizeof name, "/matte_%05d.png", index);
    return cv::imread(dir + "/" + out + name, cv::IMREAD_UNCHANGED);
  }
  std::string bytes(const std::string& out, int index) const {
    char name[32];
    std::snprintf(name, sizeof name, "/matte_%05d.png", index);
    std::ifstream in(dir + "/" + out + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A clip of the given frames (pictures written by OpenCV), ten a second.
  void clipOf(const std::vector<cv::Mat>& frames, const std::string& name) {
    for (size_t i = 0; i < frames.size(); ++i) {
      ASSERT_TRUE(cv::imwrite(dir + "/frame" + std::to_string(i) + ".png", frames[i]));
    }
    ffmpeg("-framerate 10 -i frame%d.png -c:v libx264 -pix_fmt yuv420p " + name);
  }

  std::string dir = testing::freshDirectory();
};

cv::Mat astronaut() {
  return cv::imread(std::string(PLUMVANE_TESTDATA) + "/astronaut.png");
}

TEST_F(VideoMode, ThreeFramesGiveFiveLinesAndThreeMattes) {
  ffmpeg("-f lavfi -i testsrc=size=1920x1080:rate=30 -t 0.1 -pix_fmt yuv420p three.mp4");
  const auto result = runPlumvane({"three.mp4", "out"}, dir);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "frames 3 30.0 1920 1080\np 1\np 2\np 3\ndone 3\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(mattes("out"),
            (std::vector<std::string>{"matte_00000.png", "matte_00001.png", "matte_00002.png"}));
  for (int i = 0; i < 3; ++i) {
    const cv::Mat m = matte("out", i);
    EXPECT_EQ(m.type(), CV_8UC1);
    EXPECT_EQ(m.size(), cv::Size(1920, 1080));
  }
}

TEST_F(VideoMode, MattesAreScaledToTheBoundAndTurnedUpright) {
  struct Case {
    std::string source;
    std::vector<std::string> options;
    std::string firstLine;
    cv::Size size;
  };
  // FFV1 takes odd sizes; one frame each at 25 a second.
  ffmpeg("-f lavfi -i testsrc=size=3840x2160:rate=25 -frames:v 1 -c:v ffv1 uhd.mkv");
  ffmpeg("-f lavfi -i testsrc=size=640x480:rate=25 -frames:v 1 -c:v ffv1 vga.mkv");
  ffmpeg("-f lavfi -i testsrc=size=1000x333:rate=25 -frames:v 1 -c:v ffv1 wide.mkv");
  ffmpeg("-f lavfi -i testsrc=size=1000x125:rate=25 -frames:v 1 -c:v ffv1 strip.mkv");
  // The rotate tag sticks only on a stream copy: encode, then tag.
  ffmpeg("-f lavfi -i testsrc=size=1920x1080:rate=30 -frames:v 2 -pix_fmt yuv420p flat.mp4");
  ffmpeg("-i flat.mp4 -c copy -metadata:s:v:0 rotate=90 turned.mp4");
  for (const Case& c : {Case{"uhd.mkv", {}, "frames 1 25.0 1920 1080", {1920, 1080}},
                        Case{"vga.mkv", {}, "frames 1 25.0 640 480", {640, 480}},
                        Case{"wide.mkv", {"--max", "640"}, "frames 1 25.0 640 213", {640, 213}},
                        Case{"strip.mkv", {"--max", "500"}, "frames 1 25.0 500 63", {500, 63}},
                        Case{"turned.mp4", {}, "frames 2 30.0 1080 1920", {1080, 1920}}}) {
    // The person model is the quicker one; what is checked here is the geometry.
    std::vector<std::string> args = {c.source, c.source + ".out", "--person"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto result = runPlumvane(args, dir);
    EXPECT_EQ(result.status, 0) << c.source << ": " << result.err;
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), c.firstLine);
    EXPECT_EQ(matte(c.source + ".out", 0).size(), c.size) << c.source;
  }
}

TEST_F(VideoMode, NoVideoTrackLeavesAnEmptyOutputDirectory) {
  ffmpeg("-f lavfi -i sine=duration=0.5 sound.m4a");
  for (const std::string source : {"sound.m4a", "missing.mp4"}) {
    const auto result = runPlumvane({source, source + ".out"}, dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "no video track\n");
    EXPECT_TRUE(fs::is_directory(dir + "/" + source + ".out"));
    EXPECT_TRUE(mattes(source + ".out").empty());
  }
}

TEST_F(VideoMode, ATrackWithoutFramesIsDoneAtZero) {
  // The bitstream filter drops every video packet; the track stays, beside a sound track.
  ffmpeg(
      "-f lavfi -i sine=duration=0.5 -f lavfi -i testsrc=size=320x240:rate=30:duration=0.5 "
      "-map 0:a -map 1:v -c:v mpeg4 -bsf:v noise=drop=1 empty.mkv");
  const auto result = runPlumvane({"empty.mkv", "out"}, dir);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "frames 15 30.0 320 240\ndone 0\n");
  EXPECT_TRUE(mattes("out").empty());
}

TEST_F(VideoMode, ACutClipStopsWithAnErrorAndKeepsItsMattes) {
  for (const std::string container : {"mp4", "mkv"}) {
    const std::string whole = "whole." + container, cut = "cut." + container;
    ffmpeg(
        "-f lavfi -i testsrc=size=320x240:rate=30 -t 2 -vf noise=alls=60:allf=t "
        "-pix_fmt yuv420p -movflags +faststart " +
        whole);
    const auto size = fs::file_size(dir + "/" + whole);
    fs::copy_file(dir + "/" + whole, dir + "/" + cut);
    fs::resize_file(dir + "/" + cut, size / 2);
    const auto result = runPlumvane({cut, cut + ".out", "--person"}, dir);
    EXPECT_EQ(result.status, 1) << container;
    EXPECT_EQ(result.err.rfind("reading stopped: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_EQ(result.out.find("done"), std::string::npos);
    const size_t written = mattes(cut + ".out").size();
    EXPECT_GT(written, 5u) << container;
    EXPECT_LT(written, 60u) << container;
  }
}

TEST_F(VideoMode, BlackUntilTheFirstSubjectThenTheLastMaskRepeats) {
  const cv::Mat flat(512, 512, CV_8UC3, cv::Scalar(128, 128, 128));
  const cv::Mat person = astronaut();
  clipOf({flat, flat, person, person, flat, flat}, "visit.mp4");
  const auto result = runPlumvane({"visit.mp4", "out"}, dir);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "frames 6 10.0 512 512\np 1\np 2\np 3\np 4\np 5\np 6\ndone 6\n");
  EXPECT_EQ(cv::countNonZero(matte("out", 0)), 0);
  EXPECT_EQ(cv::countNonZero(matte("out", 1)), 0);
  const cv::Mat found = matte("out", 3);
  EXPECT_GT(cv::mean(found(cv::Rect(190, 80, 60, 70)))[0], 0.9 * 255);  // the face
  EXPECT_EQ(bytes("out", 4), bytes("out", 3));
  EXPECT_EQ(bytes("out", 5), bytes("out", 3));
}

TEST_F(VideoMode, PersonPathFindsThePerson) {
  const cv::Mat person = astronaut();
  clipOf({person, person}, "person.mp4");
  const auto result = runPlumvane({"person.mp4", "out", "--person", "--max", "256"}, dir);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "frames 2 10.0 256 256\np 1\np 2\ndone 2\n");
  const cv::Mat m = matte("out", 1);
  ASSERT_EQ(m.size(), cv::Size(256, 256));
  EXPECT_GT(cv::mean(m(cv::Rect(95, 40, 30, 35)))[0], 0.8 * 255);
  EXPECT_LT(cv::mean(m(cv::Rect(0, 0, 30, 30)))[0], 0.2 * 255);
}

TEST_F(VideoMode, AnOutputThatIsAPlainFileCannotBeWritten) {
  ffmpeg("-f lavfi -i testsrc=size=320x240:rate=30 -t 0.1 -pix_fmt yuv420p small.mp4");
  std::ofstream(dir + "/taken") << "x";
  const auto result = runPlumvane({"small.mp4", "taken"}, dir);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "frames 3 30.0 320 240\n");
  EXPECT_EQ(result.err, "can't write taken/matte_00000.png\n");
}

}  // namespace
}  // namespace plumvane
