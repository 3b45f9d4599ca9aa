#include <gtest/gtest.h>

#include "platform/filters.h"
#include "platform/image.h"

namespace plumvane {
namespace {

constexpr float tolerance = 1e-6f;

void expectPixel(const Pixel& actual, const Pixel& expected, float within = tolerance) {
  EXPECT_NEAR(actual.r, expected.r, within);
  EXPECT_NEAR(actual.g, expected.g, within);
  EXPECT_NEAR(actual.b, expected.b, within);
  EXPECT_NEAR(actual.a, expected.a, within);
}

Image onePixel(Pixel p) {
  return solidImage(p, Rect{0, 0, 1, 1});
}

TEST(ColourMatrix, WorksOnUnpremultipliedColour) {
  // Straight colour (0.8, 0.4, 0.2) at alpha 0.5, stored premultiplied.
  const Image half = onePixel(Pixel{0.4f, 0.2f, 0.1f, 0.5f});
  ColourMatrix grey;
  grey.r = grey.g = grey.b = {1, 0, 0, 0};
  grey.a = {0, 0, 0, 0};
  grey.bias = {0, 0, 0, 1};
  // Red is read before premultiplication: 0.8, not 0.4.
  expectPixel(colourMatrix(half, grey).pixels[0], Pixel{0.8f, 0.8f, 0.8f, 1});

  // Setting alpha to 1 divides the colour by the old alpha.
  ColourMatrix opaque;
  opaque.a = {0, 0, 0, 0};
  opaque.bias = {0, 0, 0, 1};
  expectPixel(colourMatrix(onePixel(Pixel{0.3f, 0.15f, 0, 0.5f}), opaque).pixels[0],
              Pixel{0.6f, 0.3f, 0, 1});
  // A transparent pixel un-premultiplies to colour 0.
  expectPixel(colourMatrix(onePixel(clearColour), opaque).pixels[0], blackColour);

  // The result is premultiplied by the new alpha, and clamped.
  ColourMatrix halveAlpha;
  halveAlpha.a = {0, 0, 0, 0.5f};
  halveAlpha.bias = {0.5f, 0, 0, 0};
  expectPixel(colourMatrix(onePixel(Pixel{0.4f, 0.2f, 0.1f, 0.5f}), halveAlpha).pixels[0],
              Pixel{0.25f, 0.1f, 0.05f, 0.25f});
}

TEST(ColourInvert, InvertsStraightColourAndKeepsAlpha) {
  expectPixel(colourInvert(onePixel(Pixel{0.4f, 0.2f, 0.1f, 0.5f})).pixels[0],
              Pixel{0.1f, 0.3f, 0.4f, 0.5f});
  expectPixel(colourInvert(onePixel(blackColour)).pixels[0], whiteColour);
}

TEST(Compositing, BlendMaximumAndSourceOver) {
  const Image red = onePixel(Pixel{1, 0, 0, 1});
  const Image clear = onePixel(clearColour);
  const Image quarter = onePixel(Pixel{0.25f, 0.25f, 0.25f, 1});
  expectPixel(blendWithMask(red, clear, quarter).pixels[0], Pixel{0.25f, 0, 0, 0.25f});
  expectPixel(blendWithMask(red, onePixel(Pixel{0, 0, 1, 1}), quarter).pixels[0],
              Pixel{0.25f, 0, 0.75f, 1});
  // Only the mask's red channel counts.
  expectPixel(blendWithMask(red, clear, onePixel(Pixel{0, 1, 1, 1})).pixels[0], clearColour);

  expectPixel(maximumCompositing(onePixel(Pixel{0.2f, 0.9f, 0.1f, 0.5f}),
                                 onePixel(Pixel{0.3f, 0.1f, 0.0f, 1}))
                  .pixels[0],
              Pixel{0.3f, 0.9f, 0.1f, 1});
  expectPixel(sourceOver(onePixel(Pixel{0.5f, 0, 0, 0.5f}), onePixel(Pixel{0, 0, 1, 1})).pixels[0],
              Pixel{0.5f, 0, 0.5f, 1});
}

TEST(Compositing, WorksOverTheUnionOfExtents) {
  // A white 2x1 rectangle at (1, 2) over a black 4x4 square at the origin.
  const Image white = solidImage(whiteColour, Rect{1, 2, 2, 1});
  const Image black = solidImage(blackColour, Rect{0, 0, 4, 4});
  const Image max = maximumCompositing(white, black);
  EXPECT_EQ(max.extent(), (Rect{0, 0, 4, 4}));
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 4; ++column) {
      // Frame y = 2 is row 1 from the top.
      const bool lit = row == 1 && (column == 1 || column == 2);
      expectPixel(max.at(column, row), lit ? whiteColour : blackColour);
    }
  }
  // Outside the mask's extent the background shows.
  const Image blended = blendWithMask(black, solidImage(whiteColour, Rect{0, 0, 4, 4}), white);
  expectPixel(blended.at(0, 0), whiteColour);
  expectPixel(blended.at(1, 1), blackColour);
}

TEST(Morphology, MaximumOverADisk) {
  Image dot = solidImage(blackColour, Rect{0, 0, 9, 9});
  dot.at(4, 4) = whiteColour;
  const Image grown = morphologyMaximum(dot, 2);
  EXPECT_EQ(grown.extent(), dot.extent());
  for (int row = 0; row < 9; ++row) {
    for (int column = 0; column < 9; ++column) {
      const int dx = column - 4, dy = row - 4;
      const bool lit = dx * dx + dy * dy <= 4;  // (2, 0) and (1, 1) are in, (2, 1) is out
      expectPixel(grown.at(column, row), lit ? whiteColour : blackColour);
    }
  }
}

TEST(Morphology, EachChannelOfAColourImageGrowsOnItsOwn) {
  Image image = solidImage(clearColour, Rect{0, 0, 7, 7});
  image.at(3, 3) = Pixel{0.5f, 0, 0, 0.5f};
  image.at(4, 3) = Pixel{0, 0.25f, 0, 0.25f};
  const Image grown = morphologyMaximum(image, 1);
  expectPixel(grown.at(3, 2), Pixel{0.5f, 0, 0, 0.5f});      // above the first: only it reaches
  expectPixel(grown.at(4, 4), Pixel{0, 0.25f, 0, 0.25f});    // below the second
  expectPixel(grown.at(4, 3), Pixel{0.5f, 0.25f, 0, 0.5f});  // both reach here
  expectPixel(grown.at(0, 0), clearColour);
}

TEST(AreaAverage, CountsOutsideAsTransparent) {
  const Image white = solidImage(whiteColour, Rect{0, 0, 2, 2});
  expectPixel(areaAverage(white, Rect{0, 0, 2, 2}), whiteColour);
  expectPixel(areaAverage(white, Rect{1, 0, 2, 2}), Pixel{0.5f, 0.5f, 0.5f, 0.5f});
  Image ramp = solidImage(blackColour, Rect{0, 0, 4, 1});
  for (int c = 0; c < 4; ++c) ramp.at(c, 0) = Pixel{float(c) / 4, 0, 0, 1};
  expectPixel(areaAverage(ramp, Rect{1, 0, 2, 1}), Pixel{0.375f, 0, 0, 1});
  expectPixel(areaAverage(ramp, Rect{1, 0, 0, 1}), clearColour);
}

TEST(Crop, KeepsFramePositionsAndWidensToWholePixels) {
  Image image = solidImage(blackColour, Rect{0, 0, 3, 3});
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      image.at(column, row) = Pixel{float(column), float(row), 0, 1};
    }
  }
  // The bottom row (frame y 0) is the image's row 2.
  const Image bottom = crop(image, Rect{1, 0, 2, 1});
  EXPECT_EQ(bottom.extent(), (Rect{1, 0, 2, 1}));
  expectPixel(bottom.at(0, 0), Pixel{1, 2, 0, 1});
  expectPixel(bottom.at(1, 0), Pixel{2, 2, 0, 1});
  EXPECT_EQ(crop(image, Rect{0.5, 0.5, 1, 1}).extent(), (Rect{0, 0, 2, 2}));
  EXPECT_EQ(crop(image, Rect{-5, -5, 6, 6}).extent(), (Rect{0, 0, 1, 1}));
  EXPECT_TRUE(crop(image, Rect{10, 10, 2, 2}).isEmpty());
}

TEST(Scale, AveragesWhenShrinkingAndStretchesEachAxis) {
  Image checker = solidImage(blackColour, Rect{0, 0, 4, 4});
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 4; ++column) {
      if ((row + column) % 2) checker.at(column, row) = whiteColour;
    }
  }
  const Image half = scaled(checker, 2, 2);
  EXPECT_EQ(half.extent(), (Rect{0, 0, 2, 2}));
  for (const Pixel& p : half.pixels) expectPixel(p, Pixel{0.5f, 0.5f, 0.5f, 1});

  const Image wide = scaled(solidImage(whiteColour, Rect{0, 0, 2, 3}), 8, 1);
  EXPECT_EQ(wide.extent(), (Rect{0, 0, 8, 1}));
  for (const Pixel& p : wide.pixels) expectPixel(p, whiteColour, 1e-5f);
  EXPECT_TRUE(scaled(checker, 0, 5).isEmpty());
}

TEST(Render, RoundsClampsAndPutsTheTopRowFirst) {
  Image image = solidImage(clearColour, Rect{0, 0, 2, 2});
  image.at(0, 0) = Pixel{1.2f, 0.4f / 255, 1.6f / 255, 1};  // top left
  image.at(1, 0) = Pixel{0, 0, 0, 0.2f};                    // top right
  image.at(1, 1) = Pixel{-0.1f, 0.25f, 0, 0.5f};            // bottom right
  const auto bytes = renderRgba8(image, Rect{0, 0, 2, 2});
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4)),
            (std::vector<uint8_t>{255, 0, 2, 255}));
  EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 12, bytes.end())),
            (std::vector<uint8_t>{0, 64, 0, 128}));
  // A region reaching outside the image reads transparent there; its row 0 is its top.
  const auto outside = renderRgba8(image, Rect{1, 1, 2, 2});
  ASSERT_EQ(outside.size(), 16u);
  EXPECT_EQ(outside[8 + 3], 51);  // row 1, column 0 is frame (1, 1): the top right pixel
  EXPECT_EQ(outside[0 + 3], 0);   // row 0 is frame y 2: above the image
  EXPECT_EQ(renderRgba8(image, Rect{1, 0, 1, 1})[3], 128);  // frame (1, 0): bottom right

  const auto straight = renderStraightRgba8(image);
  EXPECT_EQ((std::vector<uint8_t>(straight.begin() + 12, straight.end())),
            (std::vector<uint8_t>{0, 128, 0, 128}));
  EXPECT_EQ(straight[4 + 3], 51);
  EXPECT_EQ((std::vector<uint8_t>(straight.begin() + 8, straight.begin() + 12)),
            (std::vector<uint8_t>{0, 0, 0, 0}));

  const Image grey = solidImage(Pixel{0.5f, 0.5f, 0.5f, 1}, Rect{0, 0, 1, 1});
  EXPECT_EQ(renderGrey8(grey), (std::vector<uint8_t>{128}));
}

}  // namespace
}  // namespace plumvane
