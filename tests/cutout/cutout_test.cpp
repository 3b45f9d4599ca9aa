#include "cutout/cutout.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "fresh_directory.h"

namespace plumvane {
namespace {

// A vision service that answers with scripted masks.
class ScriptedVision : public Vision, public SubjectSegmenter, public PersonSegmenter {
 public:
  bool hasSubjectModel = true;
  std::optional<Mask> subjectAnswer;  // nothing: no subject, or a failed inference
  std::optional<Mask> personAnswer;
  int calls = 0;

  SubjectSegmenter* subjects() override { return hasSubjectModel ? this : nullptr; }
  PersonSegmenter& people() override { return *this; }
  TextRecognizer& text() override { throw std::logic_error("cutout reads no text"); }
  std::vector<Mask> instanceMasks(const BitmapView&) override {
    throw std::logic_error("cutout asks for all instances at once");
  }
  std::optional<Mask> allInstances(const BitmapView& picture) override {
    ++calls;
    EXPECT_EQ(picture.width, 8);
    EXPECT_EQ(picture.height, 6);
    return subjectAnswer;
  }
  std::optional<Mask> personMask(const BitmapView&) override {
    ++calls;
    return personAnswer;
  }
};

class Cutout : public ::testing::Test {
 protected:
  void SetUp() override {
    // An 8 x 6 picture in one colour (B 30, G 60, R 90).
    ASSERT_TRUE(cv::imwrite(picture, cv::Mat(6, 8, CV_8UC3, cv::Scalar(30, 60, 90))));
  }
  // Runs cutout and returns what it printed.
  std::string run() {
    ::testing::internal::CaptureStdout();
    cutout(picture, target, vision);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }
  cv::Mat written() const { return cv::imread(target, cv::IMREAD_UNCHANGED); }

  std::string dir = testing::freshDirectory();
  std::string picture = dir + "/in.png";
  std::string target = dir + "/out.png";
  ScriptedVision vision;
};

TEST_F(Cutout, NoSubjectOrFailedInferenceWritesThePictureOpaque) {
  EXPECT_EQ(run(), "none\n");
  EXPECT_EQ(vision.calls, 1);
  const cv::Mat out = written();
  ASSERT_EQ(out.type(), CV_8UC4);
  ASSERT_EQ(out.size(), cv::Size(8, 6));
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 8; ++x) EXPECT_EQ(out.at<cv::Vec4b>(y, x), cv::Vec4b(30, 60, 90, 255));
  }
}

TEST_F(Cutout, OneSubjectKeepsItsPixelsAndClearsTheRest) {
  // The subject is the left half; the column at x = 4 is half covered.
  Mask mask{8, 6, std::vector<float>(48, 0.0f)};
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 4; ++x) mask.values[size_t(y * 8 + x)] = 1;
    mask.values[size_t(y * 8 + 4)] = 0.5f;
  }
  vision.subjectAnswer = mask;
  EXPECT_EQ(run(), "cut\n");
  const cv::Mat out = written();
  ASSERT_EQ(out.size(), cv::Size(8, 6));
  EXPECT_EQ(out.at<cv::Vec4b>(2, 1), cv::Vec4b(30, 60, 90, 255));
  EXPECT_EQ(out.at<cv::Vec4b>(2, 4), cv::Vec4b(30, 60, 90, 128));  // colour kept, half alpha
  EXPECT_EQ(out.at<cv::Vec4b>(2, 6)[3], 0);
}

TEST_F(Cutout, PersonMaskIsStretchedToThePicture) {
  vision.hasSubjectModel = false;
  // A 2 x 2 person mask: the top row is the person.
  vision.personAnswer = Mask{2, 2, {1, 1, 0, 0}};
  EXPECT_EQ(run(), "cut\n");
  const cv::Mat out = written();
  ASSERT_EQ(out.size(), cv::Size(8, 6));
  EXPECT_EQ(out.at<cv::Vec4b>(0, 3)[3], 255);
  EXPECT_EQ(out.at<cv::Vec4b>(5, 3)[3], 0);

  vision.personAnswer.reset();
  EXPECT_EQ(run(), "none\n");
}

}  // namespace
}  // namespace plumvane
