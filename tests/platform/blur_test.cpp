#include "platform/blur.h"

#include <gtest/gtest.h>

#include <cmath>

namespace plumvane {
namespace {

// The standard normal distribution function.
double phi(double z) {
  return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

// Largest difference between the red channel and an exact Gaussian convolution of a white
// rectangle [x0, x1) x [r0, r1) (columns and rows) on transparent black, sampled at pixel centres.
double errorAgainstExactRectangle(const Image& blurred, int x0, int x1, int r0, int r1,
                                  double sigma) {
  double worst = 0;
  for (int row = 0; row < blurred.height; ++row) {
    const double y = row + 0.5;
    const double fy = phi((r1 - y) / sigma) - phi((r0 - y) / sigma);
    for (int column = 0; column < blurred.width; ++column) {
      const double x = column + 0.5;
      const double fx = phi((x1 - x) / sigma) - phi((x0 - x) / sigma);
      worst = std::max(worst, std::abs(blurred.at(column, row).r - fx * fy));
    }
  }
  return worst;
}

Image whiteRectangle(int width, int height, int x0, int x1, int r0, int r1) {
  Image image = solidImage(clearColour, Rect{0, 0, double(width), double(height)});
  for (int row = r0; row < r1; ++row) {
    for (int column = x0; column < x1; ++column) image.at(column, row) = whiteColour;
  }
  return image;
}

TEST(GaussianBlur, MatchesAnExactGaussianAtEveryRadius) {
  struct Case {
    double sigma;
    int width, height;
  };
  // 1.5 takes the sampled-kernel path, 3 to 10 the recursive filter, the wider ones the
  // recursive filter on a shrunk image (37 shrinks by an uneven 7); 300 is the plate's.
  for (const Case c : {Case{1.5, 40, 30}, Case{3, 60, 50}, Case{5, 90, 70}, Case{10, 150, 130},
                       Case{20, 300, 260}, Case{37, 500, 400}, Case{300, 1000, 800}}) {
    const int x0 = c.width / 3, x1 = 2 * c.width / 3, r0 = c.height / 4, r1 = c.height / 2;
    const Image blurred = gaussianBlur(whiteRectangle(c.width, c.height, x0, x1, r0, r1), c.sigma,
                                       Edges::transparent);
    EXPECT_LT(errorAgainstExactRectangle(blurred, x0, x1, r0, r1, c.sigma), 0.01)
        << "sigma " << c.sigma;
  }
}

TEST(GaussianBlur, ClampedEdgesContinueOutwards) {
  // The left half white, the right half black: with the edges repeated without end, the blur of
  // each row is exactly the normal distribution function across the step.
  const int width = 900, height = 40;
  const double sigma = 300;
  Image step = solidImage(blackColour, Rect{0, 0, double(width), double(height)});
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width / 2; ++column) step.at(column, row) = whiteColour;
  }
  const Image blurred = gaussianBlur(step, sigma, Edges::clampToExtent);
  double worst = 0;
  for (int row = 0; row < height; row += 13) {
    for (int column = 0; column < width; ++column) {
      const double expected = phi((width / 2 - (column + 0.5)) / sigma);
      worst = std::max(worst, std::abs(blurred.at(column, row).r - expected));
      EXPECT_NEAR(blurred.at(column, row).a, 1.0, 1e-4);
    }
  }
  EXPECT_LT(worst, 0.01);
}

TEST(GaussianBlur, UnclampedFadesAtTheBorderAndClampedDoesNot) {
  const Image white = solidImage(whiteColour, Rect{0, 0, 200, 120});
  for (double sigma : {1.5, 10.0}) {
    const Image faded = gaussianBlur(white, sigma, Edges::transparent);
    // Half the kernel lies outside at an edge, three quarters at a corner.
    EXPECT_NEAR(faded.at(0, 60).a, phi(0.5 / sigma), 0.01) << sigma;
    EXPECT_NEAR(faded.at(0, 0).a, phi(0.5 / sigma) * phi(0.5 / sigma), 0.01) << sigma;
    EXPECT_NEAR(faded.at(100, 60).a, 1.0, 1e-4) << sigma;

    const Image kept = gaussianBlur(white, sigma, Edges::clampToExtent);
    for (const Pixel& p : kept.pixels) ASSERT_NEAR(p.a, 1.0, 1e-4) << sigma;
  }
}

TEST(GaussianBlur, KeepsTheExtentAndIgnoresNonPositiveRadii) {
  Image image = whiteRectangle(20, 10, 5, 10, 2, 6);
  image.x = 7;
  image.y = -3;
  const Image blurred = gaussianBlur(image, 4, Edges::transparent);
  EXPECT_EQ(blurred.extent(), image.extent());
  EXPECT_EQ(gaussianBlur(image, 0, Edges::transparent).pixels, image.pixels);
  EXPECT_EQ(gaussianBlur(image, std::nan(""), Edges::transparent).pixels, image.pixels);
}

}  // namespace
}  // namespace plumvane
