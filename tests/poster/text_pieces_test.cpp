// Text regions and text pieces: their exact arithmetic, on scripted lines and pixels.
#include "poster/text_pieces.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "fresh_directory.h"
#include "poster/text_regions.h"

namespace plumvane {
namespace {

// A box normalised to a 1024 x 1024 working image, where the divisions are exact.
Rect normalised(double x, double y, double w, double h) {
  return Rect{x / 1024, y / 1024, w / 1024, h / 1024};
}

TEST(TextRegion, ConfidenceAndSizeDecideWhichLinesAreKept) {
  EXPECT_FALSE(textRegionRect(normalised(100, 200, 300, 50), 0.3f, 1024, 1024));
  EXPECT_TRUE(textRegionRect(normalised(100, 200, 300, 50), 0.31f, 1024, 1024));
  EXPECT_FALSE(textRegionRect(normalised(100, 200, 7.9, 50), 0.9f, 1024, 1024));
  EXPECT_FALSE(textRegionRect(normalised(100, 200, 300, 5.9), 0.9f, 1024, 1024));
  EXPECT_TRUE(textRegionRect(normalised(100, 200, 8, 6), 0.9f, 1024, 1024));
}

TEST(TextRegion, PaddedByAFifthOfTheHeightClippedAndWidened) {
  EXPECT_EQ(*textRegionRect(normalised(100, 200, 300, 50), 0.9f, 1024, 1024),
            (Rect{89, 189, 322, 72}));
  // At the corner: (-4.4, -4.4, 108.8, 28.8), clipped to (0, 0, 104.4, 24.4), widened.
  EXPECT_EQ(*textRegionRect(normalised(0, 0, 100, 20), 0.9f, 1024, 1024), (Rect{0, 0, 105, 25}));
}

TEST(TextPieces, ConstantsOfTheKey) {
  EXPECT_EQ(inkThresholdIndex(50), 44u);
  EXPECT_EQ(inkThresholdIndex(48), 42u);
  EXPECT_EQ(inkThresholdIndex(1000), 880u);
  EXPECT_EQ(featherWidth(48, 12), 2);
  EXPECT_EQ(featherWidth(400, 60), 5);
  EXPECT_EQ(featherWidth(400, 35), 2);
  EXPECT_EQ(premultipliedByte(200, 0.5f), 100);
  EXPECT_EQ(premultipliedByte(100, 0.5f), 50);
  EXPECT_EQ(premultipliedByte(50, 0.5f), 25);
  EXPECT_EQ(premultipliedByte(255, 0.5f), 127);  // the alpha byte of a = 0.5
}

// RGBA bytes of a w x h region, one colour.
std::vector<uint8_t> flat(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < w * h; ++i) bytes.insert(bytes.end(), {r, g, b, 255});
  return bytes;
}

void paint(std::vector<uint8_t>& bytes, int w, int x0, int x1, int y0, int y1, uint8_t r, uint8_t g,
           uint8_t b) {
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      uint8_t* p = &bytes[size_t(y * w + x) * 4];
      p[0] = r;
      p[1] = g;
      p[2] = b;
    }
  }
}

TEST(TextPieces, NoInkWhereThePictureIsTheBackground) {
  const auto background = flat(40, 20, 230, 230, 220);
  EXPECT_FALSE(keyText(background.data(), background.data(), 40, 20));
}

TEST(TextPieces, DarkLettersOnALightBackgroundAreKeyedOut) {
  const int w = 48, h = 24;
  const auto background = flat(w, h, 230, 230, 220);
  auto picture = background;
  paint(picture, w, 10, 14, 4, 20, 20, 30, 40);  // two strokes
  paint(picture, w, 30, 34, 4, 20, 20, 30, 40);
  const auto piece = keyText(picture.data(), background.data(), w, h);
  ASSERT_TRUE(piece);
  // Inside a stroke, away from the border (feather width 2): the letter's colour, opaque.
  const uint8_t* ink = &(*piece)[size_t(10 * w + 12) * 4];
  EXPECT_EQ(std::vector<uint8_t>(ink, ink + 4), (std::vector<uint8_t>{20, 30, 40, 255}));
  // The background is transparent.
  EXPECT_EQ((*piece)[size_t(10 * w + 22) * 4 + 3], 0);
  // The border ring is transparent; the next ring is half faded.
  paint(picture, w, 0, w, 0, 1, 20, 30, 40);
  paint(picture, w, 0, w, 1, 2, 20, 30, 40);
  const auto edged = keyText(picture.data(), background.data(), w, h);
  ASSERT_TRUE(edged);
  EXPECT_EQ((*edged)[size_t(0 * w + 20) * 4 + 3], 0);
  EXPECT_EQ((*edged)[size_t(1 * w + 20) * 4 + 3], 127);
}

TEST(TextPieces, MulticolouredLetteringFallsBackToTheDifference) {
  const int w = 60, h = 24;
  const auto background = flat(w, h, 128, 128, 128);
  auto picture = background;
  // Strokes in three colours far apart: the ink median fits none of them well.
  paint(picture, w, 6, 14, 4, 20, 255, 0, 0);
  paint(picture, w, 24, 32, 4, 20, 0, 255, 0);
  paint(picture, w, 42, 50, 4, 20, 0, 0, 255);
  // A pixel whose difference is 59 / 255 = 0.231: on the ramp from 0.16 to 0.30 at 0.51.
  paint(picture, w, 20, 21, 10, 11, 128 + 59, 128, 128);
  const auto piece = keyText(picture.data(), background.data(), w, h);
  ASSERT_TRUE(piece);
  EXPECT_EQ((*piece)[size_t(10 * w + 10) * 4 + 3], 255);  // red stroke: difference 0.5
  EXPECT_EQ((*piece)[size_t(10 * w + 28) * 4 + 3], 255);  // green stroke
  EXPECT_EQ((*piece)[size_t(10 * w + 20) * 4 + 3], 130);
  EXPECT_EQ((*piece)[size_t(10 * w + 38) * 4 + 3], 0);  // background
}

class TextPieceFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    run.outDir = testing::freshDirectory();
    run.W = 200;
    run.H = 100;
    run.workingRect = Rect{0, 0, 200, 100};
    run.working = solidImage(Pixel{0.9f, 0.9f, 0.85f, 1}, run.workingRect);
    fill = run.working;
    // Dark strokes inside the region (40, 30, 100, 40), rows counted from the top: 30 to 70.
    for (int row = 40; row < 60; ++row) {
      for (int c : {50, 51, 52, 53, 80, 81, 82, 83, 110, 111, 112}) {
        run.working.at(c, row) = Pixel{0.1f, 0.1f, 0.15f, 1};
      }
    }
  }
  std::string piecesWith(float coverage, const std::string& text) {
    const Image subjectUnion = solidImage(Pixel{coverage, coverage, coverage, 1}, run.workingRect);
    ::testing::internal::CaptureStdout();
    writeTextPieces(run, {TextRegion{Rect{40, 30, 100, 40}, text}}, subjectUnion, fill);
    return ::testing::internal::GetCapturedStdout();
  }

  PosterRun run;
  Image fill;
};

TEST_F(TextPieceFiles, CoverageOf128IsKeptAnd129Skipped) {
  EXPECT_EQ(piecesWith(128.0f / 255, "Hello\nworld"),
            "piece text 40 30 100 40 text-1.png Hello world\n");
  const cv::Mat piece = cv::imread((run.outDir / "text-1.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(piece.type(), CV_8UC4);
  ASSERT_EQ(piece.size(), cv::Size(100, 40));
  // Straight colour in the file: the stroke's own colour, opaque (B, G, R, A).
  EXPECT_EQ(piece.at<cv::Vec4b>(20, 11), cv::Vec4b(38, 26, 26, 255));
  EXPECT_EQ(piece.at<cv::Vec4b>(20, 30)[3], 0);

  std::filesystem::remove(run.outDir / "text-1.png");
  EXPECT_EQ(piecesWith(129.0f / 255, "Hello"), "");
  EXPECT_FALSE(std::filesystem::exists(run.outDir / "text-1.png"));
}

}  // namespace
}  // namespace plumvane
