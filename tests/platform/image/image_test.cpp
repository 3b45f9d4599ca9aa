#include <gtest/gtest.h>

#include "platform/image/image.h"
#include "platform/image/image_ops.h"

namespace plumvane {
namespace {

void expectPixel(const Pixel& actual, const Pixel& expected, float within = 1e-6f) {
  EXPECT_NEAR(actual.r, expected.r, within);
  EXPECT_NEAR(actual.g, expected.g, within);
  EXPECT_NEAR(actual.b, expected.b, within);
  EXPECT_NEAR(actual.a, expected.a, within);
}

TEST(ImageFrame, CropRenderCompositingAndAveragesAgreeOnWherePixelsLie) {
  // A 4 x 3 image whose pixel at column c, row r holds (c, r) / 4, placed at (10, 20).
  Image image = solidImage(blackColour, Rect{10, 20, 4, 3});
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 4; ++column) {
      image.at(column, row) = Pixel{float(column) / 4, float(row) / 4, 0, 1};
    }
  }
  // Crops widen to whole pixels and keep frame positions; y grows downwards.
  const Image part = crop(image, Rect{11.5, 21.2, 2, 1});
  EXPECT_EQ(part.extent(), (Rect{11, 21, 3, 2}));
  expectPixel(part.at(0, 0), Pixel{0.25f, 0.25f, 0, 1});
  EXPECT_TRUE(crop(image, Rect{0, 0, 5, 5}).isEmpty());

  // Rendering a region that reaches past the image: row 0 is the region's top, outside is 0.
  const std::vector<uint8_t> bytes = renderRgba8(image, Rect{12, 19, 3, 2});
  ASSERT_EQ(bytes.size(), 24u);
  EXPECT_EQ(bytes[3], 0);                  // (12, 19): above the image
  EXPECT_EQ(bytes[12 + 0], toByte(0.5f));  // (12, 20): column 2, row 0
  EXPECT_EQ(bytes[12 + 4 + 3], 255);       // (13, 20): the image's last column
  EXPECT_EQ(bytes[12 + 8 + 3], 0);         // (14, 20): right of the image

  // Two images combine over the union of their extents, transparent where neither reaches.
  const Image dot = solidImage(whiteColour, Rect{13, 22, 2, 2});
  const Image both = maximumCompositing(image, dot);
  EXPECT_EQ(both.extent(), (Rect{10, 20, 5, 4}));
  expectPixel(both.at(3, 2), whiteColour);
  expectPixel(both.at(0, 3), clearColour);
  expectPixel(both.at(1, 1), Pixel{0.25f, 0.25f, 0, 1});

  // The area average counts what lies outside as transparent.
  expectPixel(areaAverage(image, Rect{13, 22, 2, 1}), Pixel{0.375f, 0.25f, 0, 0.5f});
}

TEST(ImageFrame, ScalingAveragesWhenShrinkingAndStraightRenderingUnpremultiplies) {
  Image checker = solidImage(blackColour, Rect{0, 0, 4, 4});
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 4; ++column) {
      if ((row + column) % 2) checker.at(column, row) = whiteColour;
    }
  }
  for (const Pixel& p : scaled(checker, 2, 2).pixels) expectPixel(p, Pixel{0.5f, 0.5f, 0.5f, 1});
  EXPECT_EQ(scaled(solidImage(whiteColour, Rect{0, 0, 2, 3}), 8, 1).extent(), (Rect{0, 0, 8, 1}));

  Image image = solidImage(clearColour, Rect{0, 0, 2, 1});
  image.at(1, 0) = Pixel{-0.1f, 0.25f, 0, 0.5f};
  EXPECT_EQ(renderStraightRgba8(image), (std::vector<uint8_t>{0, 0, 0, 0, 0, 128, 0, 128}));
}

}  // namespace
}  // namespace plumvane
