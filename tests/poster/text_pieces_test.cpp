// Text regions, the ink of a line and text pieces, on scripted lines and drawn lettering.
#include "poster/text_pieces.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "fresh_directory.h"
#include "poster/text_regions.h"

namespace plumvane {
namespace {

// RGBA bytes of a picture, and of the picture with a line of text set on it.
struct Lettered {
  int w = 0, h = 0;
  std::vector<uint8_t> background, picture;
  cv::Mat coverage;  // 8-bit: how much of each pixel the letters cover
};

// A line set with anti-aliased strokes of the given colours (one per word) on a background.
Lettered lettered(const cv::Mat& backgroundRgb, const std::vector<cv::Scalar>& colours) {
  Lettered l;
  l.w = backgroundRgb.cols;
  l.h = backgroundRgb.rows;
  cv::Mat rgba;
  cv::cvtColor(backgroundRgb, rgba, cv::COLOR_RGB2RGBA);
  l.background.assign(rgba.datastart, rgba.dataend);
  l.coverage = cv::Mat(l.h, l.w, CV_8U, cv::Scalar(0));
  const std::vector<std::string> words = {"Open", "late", "today"};
  int x = 20;
  for (size_t i = 0; i < colours.size(); ++i) {
    cv::Mat word(l.h, l.w, CV_8U, cv::Scalar(0));
    cv::putText(word, words[i], {x, l.h - 25}, cv::FONT_HERSHEY_DUPLEX, 1.6, 255, 3, cv::LINE_AA);
    x += cv::getTextSize(words[i], cv::FONT_HERSHEY_DUPLEX, 1.6, 3, nullptr).width + 25;
    for (int p = 0; p < l.w * l.h; ++p) {
      const float c = word.data[p] / 255.0f;
      for (int k = 0; k < 3; ++k) {
        rgba.data[p * 4 + k] =
            uint8_t(std::lround(colours[i][k] * c + rgba.data[p * 4 + k] * (1 - c)));
      }
    }
    cv::max(l.coverage, word, l.coverage);
  }
  l.picture.assign(rgba.datastart, rgba.dataend);
  return l;
}

// A background that is not flat: a gradient from a warm light to a cool mid tone.
cv::Mat gradient(int w, int h) {
  cv::Mat rgb(h, w, CV_8UC3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double t = double(x) / w;
      rgb.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t(235 - 90 * t), uint8_t(225 - 60 * t),
                                          uint8_t(200 + 10 * t + double(y) / h * 20));
    }
  }
  return rgb;
}

TEST(TextInk, StrokesOfAnyColourAreFoundAndKeyedOutAgainstTheFill) {
  // Dark letters over a gradient, white letters over a darker one, words in red, green and
  // blue on grey, and two words in red and one in white on black (most strokes in one colour).
  for (const int look : {0, 1, 2, 3}) {
    SCOPED_TRACE(look == 0   ? "dark letters"
                 : look == 1 ? "white letters"
                 : look == 2 ? "three colours"
                             : "a word in a colour of its own");
    const cv::Mat behind = look == 0   ? gradient(480, 80)
                           : look == 1 ? cv::Mat(0.5 * gradient(480, 80))
                           : look == 2 ? cv::Mat(80, 480, CV_8UC3, cv::Scalar(128, 128, 128))
                                       : cv::Mat(80, 480, CV_8UC3, cv::Scalar(0, 0, 0));
    const cv::Scalar dark(30, 35, 60), white(255, 255, 255), red(200, 20, 25);
    const Lettered l = lettered(
        behind, look == 0   ? std::vector<cv::Scalar>{dark, dark, dark}
                : look == 1 ? std::vector<cv::Scalar>{white, white, white}
                : look == 2 ? std::vector<cv::Scalar>{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}
                            : std::vector<cv::Scalar>{red, red, white});
    const std::optional<TextInk> found = findTextInk(l.picture.data(), l.w, l.h);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->oneColour, look < 2);
    // The hole holds every stroke pixel, and nothing more than a few pixels away from one.
    cv::Mat hole(l.h, l.w, CV_8U, const_cast<uint8_t*>(found->hole.data())), near;
    cv::dilate(l.coverage > 0, near, cv::getStructuringElement(cv::MORPH_ELLIPSE, {11, 11}));
    EXPECT_EQ(cv::countNonZero((l.coverage > 0) & ~hole), 0);
    EXPECT_EQ(cv::countNonZero(hole & ~near), 0);

    // Keyed against the true background as the fill: laid back over it, the piece gives the
    // picture back; the strokes are opaque and all beyond the hole is clear.
    const std::vector<uint8_t> piece = keyText(l.picture.data(), l.background.data(), *found);
    int strokes = 0, opaque = 0;
    for (int p = 0; p < l.w * l.h; ++p) {
      const uint8_t* q = &piece[size_t(p) * 4];
      for (int k = 0; k < 3; ++k) {
        const double laid = q[k] + l.background[size_t(p) * 4 + k] * (1 - q[3] / 255.0);
        ASSERT_NEAR(laid, l.picture[size_t(p) * 4 + k], 1.5) << p;
      }
      if (!found->hole[size_t(p)]) {
        ASSERT_EQ(q[3], 0);
      }
      if (l.coverage.data[p] >= 128) {
        ++strokes;
        opaque += q[3] >= 128;
      }
    }
    EXPECT_GE(opaque, strokes * 95 / 100);
  }
}

class TextPieceFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    run.outDir = testing::freshDirectory();
    run.working = solidImage(Pixel{0.9f, 0.9f, 0.85f, 1}, Rect{0, 0, 200, 100});
    fill = cv::Mat(100, 200, CV_8UC3, cv::Scalar(230, 230, 217));
    // Dark strokes inside the region (40, 30, 100, 40), rows counted from the top: 30 to 70.
    for (int row = 40; row < 60; ++row) {
      for (int c : {50, 51, 52, 53, 80, 81, 82, 83, 110, 111, 112}) {
        run.working.at(c, row) = Pixel{0.1f, 0.1f, 0.15f, 1};
      }
    }
  }
  std::string piecesWith(float coverage, const std::string& text) {
    const Image subjectUnion =
        solidImage(Pixel{coverage, coverage, coverage, 1}, run.working.extent());
    const std::vector<TextRegion> regions = {
        TextRegion{Rect{40, 30, 100, 40}, Rect{48, 38, 84, 24}, text, {}},
        TextRegion{Rect{0, 0, 30, 20}, Rect{4, 4, 22, 12}, "flat", {}}};
    auto inks = findTextInks(run, regions);
    EXPECT_TRUE(inks[0]);
    EXPECT_FALSE(inks[1]) << "no ink on a flat background";
    leaveSubjectsTheirText(inks, regions, subjectUnion);
    ::testing::internal::CaptureStdout();
    writeTextPieces(run, regions, inks, fill);
    return ::testing::internal::GetCapturedStdout();
  }

  PosterRun run;
  cv::Mat fill;  // RGB
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
