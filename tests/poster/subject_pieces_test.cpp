// Subject masks and pieces on scripted masks and lines.
#include "poster/subject_pieces.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "fresh_directory.h"
#include "poster/poster_pieces.h"
#include "poster/subject_masks.h"

namespace plumvane {
namespace {

// Answers with the masks and lines it is given.
class ScriptedSubjects : public Vision,
                         public SubjectSegmenter,
                         public PersonSegmenter,
                         public TextRecognizer {
 public:
  std::vector<Mask> instances;
  std::optional<Mask> person;
  std::vector<TextLine> lines;
  bool hasSubjectModel = true;
  SubjectSegmenter* subjects() override { return hasSubjectModel ? this : nullptr; }
  PersonSegmenter& people() override { return *this; }
  TextRecognizer& text() override { return *this; }
  std::vector<TextLine> textLines(const BitmapView&) override { return lines; }
  std::vector<Mask> instanceMasks(const BitmapView&) override { return instances; }
  std::optional<Mask> allInstances(const BitmapView&) override { return std::nullopt; }
  std::optional<Mask> modelMap(const BitmapView&) override { return std::nullopt; }
  std::optional<Mask> frameInstances(const BitmapView&, Mask) override { return std::nullopt; }
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
    run.working = solidImage(Pixel{0.2f, 0.4f, 0.6f, 1}, Rect{0, 0, 1000, 800});
    unsetenv("PLUMVANE_DEBUG");
  }
  void TearDown() override { unsetenv("PLUMVANE_DEBUG"); }

  struct Output {
    std::string out, err;
  };
  Output piecesOf(const std::vector<Mask>& masks) {
    vision.instances = masks;
    const Bitmap bitmap{1000, 800, renderRgba8(run.working, run.working.extent())};
    SubjectMasks found = findSubjectMasks(vision, bitmap.view(), run);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const std::vector<Subject> subjects = decideSubjects(std::move(found.masks), run);
    const SubjectPieceFiles files =
        writeSubjectPieces(run, subjects, cutOutSubjects(run, subjects));
    EXPECT_FALSE(files.failure);
    for (const std::string& line : files.lines) std::printf("%s\n", line.c_str());
    Output o;
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(run.outDir / name); }

  PosterRun run;
  ScriptedSubjects vision;
};

TEST_F(SubjectPieces, NumbersKeptSubjectsWithoutGapsAndSkipsExtentsOfAtMostOnePercent) {
  const Mask empty = lit(1000, 800, 0, 0, 0, 0);
  // 22 x 17 quarter pixels lit: an extent of 100 x 80, exactly 1%; one row more: 100 x 84.
  const auto o =
      piecesOf({lit(1000, 800, 100, 300, 200, 400), empty, lit(1000, 800, 600, 800, 500, 700),
                lit(1000, 800, 400, 488, 400, 468), lit(1000, 800, 400, 488, 400, 472)});
  // 200 x 200 lit from column 100 and row 200: extent (94, 800 - 400 - 6, 212, 212).
  EXPECT_EQ(o.out,
            "piece subject 94 194 212 212 subject-1.png\n"
            "piece subject 594 494 212 212 subject-2.png\n"
            "piece subject 394 394 100 84 subject-3.png\n");
  EXPECT_EQ(o.err,
            "skipped a subject: nil\n"
            "skipped a subject: Optional((394.0, 326.0, 100.0, 80.0))\n");
  EXPECT_TRUE(exists("subject-1.png"));
  EXPECT_TRUE(exists("subject-3.png"));
  EXPECT_FALSE(exists("subject-4.png"));
  EXPECT_FALSE(exists("mask-0.png"));

  // The piece holds the picture where the mask is lit and transparency elsewhere.
  const cv::Mat piece = cv::imread((run.outDir / "subject-1.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(piece.size(), cv::Size(212, 212));
  EXPECT_EQ(piece.at<cv::Vec4b>(100, 100), cv::Vec4b(153, 102, 51, 255));
  EXPECT_EQ(piece.at<cv::Vec4b>(2, 2)[3], 0);
}

TEST_F(SubjectPieces, SoftEdgesTakeTheSubjectsColourNotTheBackdrops) {
  // An orange square whose edge is soft over its last few pixels, laid over magenta: where the
  // piece is translucent, its colours are the square's own, not the magenta it was laid over.
  cv::Mat coverage(800, 1000, CV_32F, cv::Scalar(0));
  cv::rectangle(coverage, cv::Rect(300, 200, 400, 400), cv::Scalar(1), cv::FILLED);
  cv::GaussianBlur(coverage, coverage, cv::Size(), 4);
  const Pixel orange{0.9f, 0.55f, 0.1f, 1}, magenta{0.8f, 0, 0.8f, 1};
  for (int r = 0; r < 800; ++r) {
    for (int c = 0; c < 1000; ++c) {
      const float a = coverage.at<float>(r, c);
      run.working.at(c, r) =
          Pixel{a * orange.r + (1 - a) * magenta.r, a * orange.g + (1 - a) * magenta.g,
                a * orange.b + (1 - a) * magenta.b, 1};
    }
  }
  const auto o = piecesOf(
      {Mask{1000, 800, std::vector<float>(coverage.begin<float>(), coverage.end<float>())}});
  ASSERT_EQ(o.out.rfind("piece subject", 0), 0u) << o.out;
  const cv::Mat piece = cv::imread((run.outDir / "subject-1.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(piece.empty());
  double off = 0;
  int soft = 0;
  for (int r = 0; r < piece.rows; ++r) {
    for (int c = 0; c < piece.cols; ++c) {
      const cv::Vec4b p = piece.at<cv::Vec4b>(r, c);  // straight BGRA
      if (p[3] <= 26 || p[3] >= 229) continue;
      ++soft;
      off += std::max({std::abs(p[2] - 255.0 * orange.r), std::abs(p[1] - 255.0 * orange.g),
                       std::abs(p[0] - 255.0 * orange.b)});
    }
  }
  ASSERT_GT(soft, 1000);
  EXPECT_LE(off / soft, 8) << "levels off the square's colour, on average over " << soft;
}

TEST_F(SubjectPieces, DebugSwitchWritesMasksAndMeasurements) {
  setenv("PLUMVANE_DEBUG", "", 1);  // present, even when empty
  const auto o = piecesOf({lit(1000, 800, 0, 0, 0, 0), lit(1000, 800, 100, 300, 200, 400)});
  EXPECT_EQ(o.err,
            "mask 0 extent (0.0, 0.0, 1000.0, 800.0)\n"
            "mask 1 extent (0.0, 0.0, 1000.0, 800.0)\n"
            "extent px max 0 lit 0 of 50000\n"
            "extent px max 255 lit 2500 of 50000\n"
            "skipped a subject: nil\n");
  EXPECT_EQ(o.out, "piece subject 94 194 212 212 subject-1.png\n");
  const cv::Mat mask = cv::imread((run.outDir / "mask-1.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(mask.size(), cv::Size(1000, 800));
  EXPECT_EQ(mask.at<cv::Vec4b>(300, 200), cv::Vec4b(255, 255, 255, 255));
  EXPECT_EQ(mask.at<cv::Vec4b>(10, 10), cv::Vec4b(0, 0, 0, 255));
}

TEST_F(SubjectPieces, PersonMaskIsStretchedOverTheWorkingImage) {
  vision.hasSubjectModel = false;
  vision.person = lit(4, 4, 0, 2, 0, 4);  // the left half
  const Bitmap bitmap{1000, 800, renderRgba8(run.working, run.working.extent())};
  const SubjectMasks found = findSubjectMasks(vision, bitmap.view(), run);
  ASSERT_EQ(found.masks.size(), 1u);
  EXPECT_EQ(found.masks[0].extent(), run.working.extent());
  EXPECT_EQ(found.masks[0].at(100, 700).r, 1.0f);
  EXPECT_EQ(found.masks[0].at(900, 100).r, 0.0f);
  EXPECT_EQ(found.subjectUnion.at(100, 700).r, 1.0f);

  vision.person.reset();
  const SubjectMasks none = findSubjectMasks(vision, bitmap.view(), run);
  EXPECT_TRUE(none.masks.empty());
  EXPECT_EQ(none.subjectUnion.extent(), run.working.extent());  // black and opaque all over
  EXPECT_EQ(none.subjectUnion.at(500, 400), blackColour);
}

TEST_F(SubjectPieces, AFlatPanelOfLetteringIsNoSubjectAndAShadedOneIs) {
  // A 500 x 400 panel on the blue ground, taken whole for a subject, with three lines on it that
  // cover about two fifths of it; the panel once flat white, once shaded (grain of a few levels).
  const Mask panel = lit(1000, 800, 200, 700, 200, 600);
  std::vector<TextRegion> regions;
  std::vector<std::optional<TextInk>> inks;
  for (double top : {240.0, 340.0, 440.0}) {
    regions.push_back(
        TextRegion{Rect{240, top, 420, 60}, Rect{250, top + 10, 400, 40}, "line", {}});
    inks.emplace_back(TextInk{});
  }
  const Image ground = run.working;
  for (const bool shaded : {false, true}) {
    SCOPED_TRACE(shaded ? "shaded" : "flat");
    run.working = ground;
    cv::RNG grain(7);
    for (int row = 200; row < 600; ++row) {
      for (int column = 200; column < 700; ++column) {
        const float v = shaded ? 0.9f + float(grain.uniform(-6, 7)) / 255 : 0.9f;
        run.working.pixels[size_t(row) * 1000 + size_t(column)] = Pixel{v, v, v, 1};
      }
    }
    SubjectMasks found = subjectMasksFrom({panel}, run);
    const SubjectMasks kept = withoutLettering(std::move(found), regions, inks, run);
    EXPECT_EQ(kept.masks.size(), shaded ? 1u : 0u);
    EXPECT_EQ(kept.subjectUnion.at(450, 300).r, shaded ? 1.0f : 0.0f);
  }
}

TEST(PosterPieces, NothingIsLostAndLettersFoundAsSubjectsBecomeText) {
  // A photo with a band, a headline and three lines of small print on it, and a small red tile on
  // the table.
  cv::Mat picture;
  cv::resize(cv::imread(std::string(PLUMVANE_TESTDATA) + "/coffee.png"), picture, {1000, 800});
  picture(cv::Rect(0, 0, 1000, 160)).setTo(cv::Scalar(235, 240, 245));
  cv::putText(picture, "Morning Club", {60, 115}, cv::FONT_HERSHEY_SIMPLEX, 2.6, {40, 30, 20}, 7,
              cv::LINE_AA);
  const std::vector<std::string> small = {"Doors at seven, talk at eight", "in the hall upstairs",
                                          "Free for members and guests"};
  for (size_t i = 0; i < small.size(); ++i) {
    cv::putText(picture, small[i], {660, 51 + int(i) * 20}, cv::FONT_HERSHEY_SIMPLEX, 0.4,
                {40, 30, 20}, 1, cv::LINE_AA);
  }
  picture(cv::Rect(880, 600, 60, 60)).setTo(cv::Scalar(30, 30, 220));
  const std::string dir = testing::freshDirectory();
  ASSERT_TRUE(cv::imwrite(dir + "/poster.png", picture));
  // The segmenter finds the tile, too small for a piece, the letters, and the small print with
  // the band between and around its lines (less than two thirds of it in the lines, its outline
  // in the flat band); the recogniser reads the headline, whose letters lie within rows 45 to 135
  // and columns 60 to 600, and the small print in boxes 10 pixels high.
  ScriptedSubjects vision;
  vision.instances = {lit(1000, 800, 880, 940, 600, 660), lit(1000, 800, 60, 600, 50, 130),
                      lit(1000, 800, 630, 990, 25, 105)};
  vision.lines = {
      TextLine{Rect{55.0 / 1000, 45.0 / 800, 550.0 / 1000, 90.0 / 800}, 0.95f, "Morning Club", {}}};
  for (size_t i = 0; i < small.size(); ++i) {
    vision.lines.push_back(
        TextLine{Rect{658.0 / 1000, (42.0 + 20.0 * double(i)) / 800, 240.0 / 1000, 10.0 / 800},
                 0.9f,
                 small[i],
                 {}});
  }

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  posterPieces(dir + "/poster.png", dir + "/pieces", 3000, vision);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  // Padded by 0.22 of 90: (35.2, 25.2, 589.6, 129.6), widened to (35, 25, 590, 130); the small
  // print by 2.2 and widened: (655, 39, 246, 16) and 20 rows lower each.
  EXPECT_EQ(out,
            "size 1000 800\n"
            "piece plate 0 0 1000 800 plate.png\n"
            "piece text 35 25 590 130 text-1.png Morning Club\n"
            "piece text 655 39 246 16 text-2.png Doors at seven, talk at eight\n"
            "piece text 655 59 246 16 text-3.png in the hall upstairs\n"
            "piece text 655 79 246 16 text-4.png Free for members and guests\n"
            "done\n");
  EXPECT_EQ(err, "skipped a subject: Optional((874.0, 134.0, 72.0, 72.0))\n");
  cv::Mat plate;
  cv::cvtColor(cv::imread(dir + "/pieces/plate.png", cv::IMREAD_UNCHANGED), plate,
               cv::COLOR_BGRA2BGR);
  // The tile is still on the plate, and the band is whole again behind the headline and, but for
  // specks of the finest strokes, behind the small print.
  EXPECT_EQ(cv::norm(plate(cv::Rect(860, 580, 100, 100)), picture(cv::Rect(860, 580, 100, 100)),
                     cv::NORM_INF),
            0);
  const cv::Mat band(130, 590, CV_8UC3, cv::Scalar(235, 240, 245));
  EXPECT_LE(cv::norm(plate(cv::Rect(35, 25, 590, 130)), band, cv::NORM_INF), 3);
  EXPECT_LE(
      cv::norm(plate(cv::Rect(630, 25, 360, 80)), band(cv::Rect(0, 0, 360, 80)), cv::NORM_L1) /
          (360 * 80 * 3),
      0.5);
}

}  // namespace
}  // namespace plumvane
