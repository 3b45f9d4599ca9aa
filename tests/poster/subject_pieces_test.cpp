// Subject masks and pieces on scripted masks.
#include "poster/subject_pieces.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>

#include "fresh_directory.h"
#include "poster/subject_masks.h"

namespace plumvane {
namespace {

// Answers with the masks it is given.
class ScriptedSubjects : public Vision, public SubjectSegmenter, public PersonSegmenter {
 public:
  std::vector<Mask> instances;
  std::optional<Mask> person;
  bool hasSubjectModel = true;
  SubjectSegmenter* subjects() override { return hasSubjectModel ? this : nullptr; }
  PersonSegmenter& people() override { return *this; }
  TextRecognizer& text() override { throw std::logic_error("no text here"); }
  std::vector<Mask> instanceMasks(const BitmapView&) override { return instances; }
  std::optional<Mask> allInstances(const BitmapView&) override { return std::nullopt; }
  std::optional<Mask> personMask(const BitmapView&) override { return person; }
};

// A W x H mask lit over columns [x0, x1) and rows [r0, r1), rows counted from the top.
Mask lit(int W, int H, int x0, int x1, int r0, int r1) {
  Mask m{W, H, std::vector<float>(size_t(W) * size_t(H), 0.0f)};
  for (int r = r0; r < r1; ++r) {
    for (int c = x0; c < x1; ++c) m.values[size_t(r) * size_t(W) + size_t(c)] = 1;
  }
  return m;
}

class SubjectPieces : public ::testing::Test {
 protected:
  void SetUp() override {
    run.outDir = testing::freshDirectory();
    run.W = 1000;
    run.H = 800;
    run.workingRect = Rect{0, 0, 1000, 800};
    run.working = solidImage(Pixel{0.2f, 0.4f, 0.6f, 1}, run.workingRect);
    unsetenv("PLUMVANE_DEBUG");
  }
  void TearDown() override { unsetenv("PLUMVANE_DEBUG"); }

  struct Output {
    std::string out, err;
  };
  Output piecesOf(const std::vector<Mask>& masks) {
    vision.instances = masks;
    const Bitmap bitmap{1000, 800, renderRgba8(run.working, run.workingRect)};
    const SubjectMasks found = findSubjectMasks(vision, bitmap.view(), run);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    writeSubjectPieces(run, found.masks);
    Output o;
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(run.outDir / name); }

  PosterRun run;
  ScriptedSubjects vision;
};

TEST_F(SubjectPieces, NumbersKeptSubjectsWithoutGaps) {
  const Mask empty = lit(1000, 800, 0, 0, 0, 0);
  const auto o =
      piecesOf({lit(1000, 800, 100, 300, 200, 400), empty, lit(1000, 800, 600, 800, 500, 700)});
  // 200 x 200 lit from column 100 and row 200: extent (94, 800 - 400 - 6, 212, 212).
  EXPECT_EQ(o.out,
            "piece subject 94 194 212 212 subject-1.png\n"
            "piece subject 594 494 212 212 subject-2.png\n");
  EXPECT_EQ(o.err, "skipped a subject: nil\n");
  EXPECT_TRUE(exists("subject-1.png"));
  EXPECT_TRUE(exists("subject-2.png"));
  EXPECT_FALSE(exists("subject-3.png"));
  EXPECT_FALSE(exists("mask-0.png"));

  // The piece holds the picture where the mask is lit and transparency elsewhere.
  const cv::Mat piece = cv::imread((run.outDir / "subject-1.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(piece.size(), cv::Size(212, 212));
  EXPECT_EQ(piece.at<cv::Vec4b>(100, 100), cv::Vec4b(153, 102, 51, 255));
  EXPECT_EQ(piece.at<cv::Vec4b>(2, 2)[3], 0);
}

TEST_F(SubjectPieces, SkipsExtentsOfAtMostOnePercent) {
  // 22 x 17 quarter pixels lit: an extent of 100 x 80, exactly 1%; one row more: 100 x 84.
  const auto o = piecesOf({lit(1000, 800, 400, 488, 400, 468), lit(1000, 800, 400, 488, 400, 472)});
  EXPECT_EQ(o.err, "skipped a subject: Optional((394.0, 326.0, 100.0, 80.0))\n");
  EXPECT_EQ(o.out, "piece subject 394 394 100 84 subject-1.png\n");
}

TEST_F(SubjectPieces, DebugSwitchWritesMasksAndMeasurements) {
  setenv("PLUMVANE_DEBUG", "", 1);  // present, even when empty
  const auto o = piecesOf({lit(1000, 800, 0, 0, 0, 0), lit(1000, 800, 100, 300, 200, 400)});
  EXPECT_EQ(o.err,
            "mask 0 extent (0.0, 0.0, 1000.0, 800.0)\n"
            "mask 1 extent (0.0, 0.0, 1000.0, 800.0)\n"
            "extent px max 0 lit 0 of 50000\n"
            "extent px max 0 lit 0 of 50000\n"
            "skipped a subject: nil\n"
            "extent px max 255 lit 2500 of 50000\n");
  EXPECT_EQ(o.out, "piece subject 94 194 212 212 subject-1.png\n");
  const cv::Mat mask = cv::imread((run.outDir / "mask-1.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(mask.size(), cv::Size(1000, 800));
  EXPECT_EQ(mask.at<cv::Vec4b>(300, 200), cv::Vec4b(255, 255, 255, 255));
  EXPECT_EQ(mask.at<cv::Vec4b>(10, 10), cv::Vec4b(0, 0, 0, 255));
}

TEST_F(SubjectPieces, PersonMaskIsStretchedOverTheWorkingImage) {
  vision.hasSubjectModel = false;
  vision.person = lit(4, 4, 0, 2, 0, 4);  // the left half
  const Bitmap bitmap{1000, 800, renderRgba8(run.working, run.workingRect)};
  const SubjectMasks found = findSubjectMasks(vision, bitmap.view(), run);
  ASSERT_EQ(found.masks.size(), 1u);
  EXPECT_EQ(found.masks[0].extent(), run.workingRect);
  EXPECT_EQ(found.masks[0].at(100, 700).r, 1.0f);
  EXPECT_EQ(found.masks[0].at(900, 100).r, 0.0f);
  EXPECT_EQ(found.subjectUnion.at(100, 700).r, 1.0f);

  vision.person.reset();
  const SubjectMasks none = findSubjectMasks(vision, bitmap.view(), run);
  EXPECT_TRUE(none.masks.empty());
  EXPECT_EQ(none.subjectUnion.extent(), run.workingRect);  // black and opaque all over
  EXPECT_EQ(none.subjectUnion.at(500, 400), blackColour);
}

}  // namespace
}  // namespace plumvane
