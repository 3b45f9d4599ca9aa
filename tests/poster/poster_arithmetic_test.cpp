// The poster's exact arithmetic: working size, manifest text and mask extents.
#include <gtest/gtest.h>

#include "poster/mask_extent.h"
#include "poster/piece_files.h"
#include "poster/poster_pieces.h"

namespace plumvane {
namespace {

TEST(WorkingSize, ScalesDownOnlyAndRoundsHalvesUp) {
  WorkingSize s = workingSize(6000, 4000, 3000);
  EXPECT_EQ(s.s, 0.5);
  EXPECT_TRUE(s.scaled);
  EXPECT_EQ(s.W, 3000);
  EXPECT_EQ(s.H, 2000);
  s = workingSize(2000, 1000, 3000);  // s = 1.5 is not applied
  EXPECT_FALSE(s.scaled);
  EXPECT_EQ(s.W, 2000);
  EXPECT_EQ(s.H, 1000);
  s = workingSize(1000, 501, 500);  // 500 x 250.5
  EXPECT_EQ(s.W, 500);
  EXPECT_EQ(s.H, 251);
  s = workingSize(800, 800, 400);  // a square: the height is the longer side, same result
  EXPECT_EQ(s.W, 400);
  EXPECT_EQ(s.H, 400);
  s = workingSize(1001, 3, 1000);  // a quarter goes down
  EXPECT_EQ(s.H, 3);
}

TEST(Manifest, BoxesTurnIntoTheTopLeftFrame) {
  EXPECT_EQ(box(Rect{100, 200, 300, 400}, 800), "100 200 300 400");
  EXPECT_EQ(box(Rect{0, 700, 50, 100}, 800), "0 0 50 100");    // touches the top
  EXPECT_EQ(box(Rect{10, 0, 50, 100}, 800), "10 700 50 100");  // touches the bottom
  EXPECT_EQ(subjectLine(box(Rect{100, 200, 300, 400}, 800), 1),
            "piece subject 100 200 300 400 subject-1.png");
  EXPECT_EQ(plateLine(3000, 2000), "piece plate 0 0 3000 2000 plate.png");
  EXPECT_EQ(textLine(box(Rect{40, 700, 200, 50}, 800), 1, "Hello\nworld"),
            "piece text 40 50 200 50 text-1.png Hello world");
  EXPECT_EQ(textLine("1 2 3 4", 2, ""), "piece text 1 2 3 4 text-2.png ");
  EXPECT_EQ(textLine("1 2 3 4", 3, "a\tb\r\n"), "piece text 1 2 3 4 text-3.png a\tb\r ");
}

// A W x H grey mask, lit (white) over the pixels [x0, x1) x [r0, r1) counted from the top.
Image maskLit(int W, int H, int x0, int x1, int r0, int r1) {
  Image m = solidImage(blackColour, Rect{0, 0, double(W), double(H)});
  for (int r = r0; r < r1; ++r) {
    for (int c = x0; c < x1; ++c) m.at(c, r) = whiteColour;
  }
  return m;
}

TEST(MaskExtent, CornerFullAndUnlitMasks) {
  const double W = 1000, H = 800;
  std::vector<uint8_t> red(250 * 200, 0);
  red[0] = 41;  // the quarter pixel at row 0, column 0: (0, H - 4, 4, 4), padded and clipped
  ExtentScan scan = scanExtent(red, 250, 200, W, H);
  ASSERT_TRUE(scan.extent);
  EXPECT_EQ(*scan.extent, (Rect{0, H - 10, 10, 10}));
  EXPECT_EQ(scan.lit, 1);
  EXPECT_EQ(scan.maximum, 41);

  red[0] = 40;  // 40 is not lit
  scan = scanExtent(red, 250, 200, W, H);
  EXPECT_FALSE(scan.extent);
  EXPECT_EQ(scan.maximum, 40);
  EXPECT_EQ(scan.lit, 0);

  std::fill(red.begin(), red.end(), 255);
  scan = scanExtent(red, 250, 200, W, H);
  EXPECT_EQ(*scan.extent, (Rect{0, 0, W, H}));
  EXPECT_EQ(scan.lit, 250 * 200);

  // A box inside: columns 10 to 19, rows 5 to 9 -> (40, 800 - 40, 40, 20), grown by 6.
  std::fill(red.begin(), red.end(), 0);
  for (int r = 5; r < 10; ++r) {
    for (int c = 10; c < 20; ++c) red[size_t(r) * 250 + size_t(c)] = 200;
  }
  EXPECT_EQ(*scanExtent(red, 250, 200, W, H).extent, (Rect{34, 754, 52, 32}));
}

TEST(MaskExtent, OddSizesRoundTheQuarterUp) {
  // W = 1001: sw = 251 quarter pixels, the last one a quarter covered.
  const Image m = maskLit(1001, 750, 1000, 1001, 0, 750);
  const auto red = quarterScaleRed(m, 251, 188);
  EXPECT_EQ(red.size(), 47188u);
  EXPECT_EQ(red[250], 64);  // 4 of 16 pixels of the last column block
  const ExtentScan scan = scanExtent(red, 251, 188, 1001, 750);
  ASSERT_TRUE(scan.extent);
  EXPECT_EQ(scan.extent->maxX(), 1001);
  EXPECT_EQ(scan.extent->x, 994);
}

}  // namespace
}  // namespace plumvane
