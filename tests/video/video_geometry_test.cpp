#include "video/video_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plumvane {
namespace {

// The matte sizes, quarter turns included, are checked end to end on real clips.
constexpr AffineTransform upright{};
constexpr AffineTransform quarterClockwise{0, 1, -1, 0, 1080, 0};

TEST(VideoGeometry, OrientationFromTheTransform) {
  EXPECT_EQ(orientationOf(quarterClockwise), 6);
  EXPECT_EQ(orientationOf(AffineTransform{0, -1, 1, 0, 0, 0}), 8);
  EXPECT_EQ(orientationOf(AffineTransform{-1, 0, 0, -1, 0, 0}), 3);
  EXPECT_EQ(orientationOf(AffineTransform{-1, 0.5, 0.5, -1, 0, 0}), 3);  // b and c: any
  EXPECT_EQ(orientationOf(upright), 1);
  EXPECT_EQ(orientationOf(AffineTransform{-1, 0, 0, 1, 0, 0}), 1);  // a mirror: up
}

TEST(VideoTiming, FrameRateAndTotal) {
  EXPECT_EQ(framesPerSecond(0), 30.0f);
  EXPECT_EQ(framesPerSecond(-5), 30.0f);
  EXPECT_EQ(framesPerSecond(25), 25.0f);
  EXPECT_EQ(frameTotal(30, 0.1), 3);
  EXPECT_EQ(frameTotal(30, 10), 300);
  EXPECT_EQ(frameTotal(25, 0.5), 13);  // 12.5 goes away from zero
  // An unknown or unbounded duration prints 0 instead of an undefined number.
  EXPECT_EQ(frameTotal(30, std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(frameTotal(30, std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(frameTotal(30, 1e30), 0);
}

}  // namespace
}  // namespace plumvane
