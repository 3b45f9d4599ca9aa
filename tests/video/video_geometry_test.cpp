#include "video/video_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plumvane {
namespace {

constexpr AffineTransform upright{};
constexpr AffineTransform quarterClockwise{0, 1, -1, 0, 1080, 0};

TEST(VideoGeometry, ScalesTheLongerSideToTheBoundAndNeverEnlarges) {
  struct Case {
    double w, h;
    int64_t max, W, H;
  };
  for (const Case c : {Case{3840, 2160, 1920, 1920, 1080}, Case{640, 480, 1920, 640, 480},
                       Case{1000, 333, 640, 640, 213}, Case{1000, 125, 500, 500, 63},
                       Case{1080, 1920, 960, 540, 960}, Case{500, 500, 100, 100, 100}}) {
    const VideoGeometry g = videoGeometry(upright, c.w, c.h, c.max);
    EXPECT_EQ(g.W, c.W) << c.w << "x" << c.h << " max " << c.max;
    EXPECT_EQ(g.H, c.H) << c.w << "x" << c.h << " max " << c.max;
    EXPECT_LE(g.k, 1.0);
  }
}

TEST(VideoGeometry, AQuarterTurnSwapsTheSides) {
  const VideoGeometry g = videoGeometry(quarterClockwise, 1920, 1080, 1920);
  EXPECT_EQ(g.naturalWidth, -1080);
  EXPECT_EQ(g.naturalHeight, 1920);
  EXPECT_EQ(g.W0, 1080);
  EXPECT_EQ(g.H0, 1920);
  EXPECT_EQ(g.W, 1080);
  EXPECT_EQ(g.H, 1920);
}

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
