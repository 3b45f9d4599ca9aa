// The plate: the picture with subjects and text removed and the holes filled.
#include "poster/plate.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/filters.h"

namespace plumvane {
namespace {

PosterRun runOver(Image working) {
  PosterRun run;
  run.W = working.width;
  run.H = working.height;
  run.workingRect = working.extent();
  run.working = std::move(working);
  return run;
}

// White over [x0, x1) x [r0, r1) (rows from the top) on black, over the run's rectangle.
Image maskOver(const PosterRun& run, int x0, int x1, int r0, int r1) {
  Image m = solidImage(blackColour, run.workingRect);
  for (int r = r0; r < r1; ++r) {
    for (int c = x0; c < x1; ++c) m.at(c, r) = whiteColour;
  }
  return m;
}

// The largest difference, in 8-bit levels, between the plate and a colour over a region.
double largestDifference(const Image& image, int x0, int x1, int r0, int r1, Pixel colour) {
  double worst = 0;
  for (int r = r0; r < r1; ++r) {
    for (int c = x0; c < x1; ++c) {
      const Pixel& p = image.at(c, r);
      worst = std::max({worst, std::abs(p.r - colour.r) * 255.0, std::abs(p.g - colour.g) * 255.0,
                        std::abs(p.b - colour.b) * 255.0});
    }
  }
  return worst;
}

TEST(Plate, WithNothingRemovedItIsTheWorkingImage) {
  Image working = solidImage(clearColour, Rect{0, 0, 120, 80});
  for (size_t i = 0; i < working.pixels.size(); ++i) {
    const float v = float(i % 251) / 250;
    working.pixels[i] = Pixel{v, 1 - v, v * v, 1};
  }
  const PosterRun run = runOver(working);
  const Image black = solidImage(blackColour, run.workingRect);
  const Plate plate = reconstructPlate(run, black, black);
  EXPECT_EQ(renderStraightRgba8(plate.plate), renderStraightRgba8(working));
}

TEST(Plate, TextOverAFlatColourDisappearsIntoIt) {
  const Pixel paper{0.3f, 0.5f, 0.7f, 1};
  PosterRun run = runOver(solidImage(paper, Rect{0, 0, 400, 200}));
  for (int r = 90; r < 110; ++r) {
    for (int c = 120; c < 280; ++c) run.working.at(c, r) = Pixel{0.05f, 0.05f, 0.05f, 1};
  }
  const Plate plate = reconstructPlate(run, solidImage(blackColour, run.workingRect),
                                       maskOver(run, 110, 290, 80, 120));
  EXPECT_LE(largestDifference(plate.plate, 100, 300, 70, 130, paper), 3);
  // The fill is opaque everywhere.
  for (const Pixel& p : plate.fillImage.pixels) ASSERT_FLOAT_EQ(p.a, 1.0f);
}

TEST(Plate, AHoleAtTheBorderIsFilledWithoutDarkening) {
  const Pixel ground{0.8f, 0.6f, 0.4f, 1};
  PosterRun run = runOver(solidImage(ground, Rect{0, 0, 600, 400}));
  // A dark subject against the left border.
  for (int r = 100; r < 300; ++r) {
    for (int c = 0; c < 150; ++c) run.working.at(c, r) = Pixel{0.1f, 0.1f, 0.1f, 1};
  }
  const Plate plate = reconstructPlate(run, maskOver(run, 0, 150, 100, 300),
                                       solidImage(blackColour, run.workingRect));
  const Pixel mean = areaAverage(plate.plate, Rect{0, 100, 150, 200});
  EXPECT_NEAR(mean.r * 255, ground.r * 255, 3);
  EXPECT_NEAR(mean.g * 255, ground.g * 255, 3);
  EXPECT_NEAR(mean.b * 255, ground.b * 255, 3);
}

TEST(Plate, DeepInsideAWideHoleTheFillIsTheMeanOfTheKeptPixels) {
  // Kept: a red left half and a green right half around a 700 x 500 hole in the middle.
  PosterRun run = runOver(solidImage(Pixel{1, 0, 0, 1}, Rect{0, 0, 900, 700}));
  for (int r = 0; r < 700; ++r) {
    for (int c = 450; c < 900; ++c) run.working.at(c, r) = Pixel{0, 1, 0, 1};
  }
  const Plate plate = reconstructPlate(run, maskOver(run, 100, 800, 100, 600),
                                       solidImage(blackColour, run.workingRect));
  const Pixel centre = areaAverage(plate.fillImage, Rect{440, 340, 20, 20});
  EXPECT_NEAR(centre.r, 0.5f, 0.02f);
  EXPECT_NEAR(centre.g, 0.5f, 0.02f);
  EXPECT_NEAR(centre.b, 0.0f, 0.01f);
  EXPECT_FLOAT_EQ(centre.a, 1.0f);
}

}  // namespace
}  // namespace plumvane
