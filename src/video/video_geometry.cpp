#include "video/video_geometry.h"

#include <cmath>
#include <limits>

namespace plumvane {
namespace {

// Halves away from zero; 0 for values that are not finite or don't fit.
int64_t roundAway(double v) {
  const double r = std::round(v);
  if (!std::isfinite(r) || r >= 9.2e18 || r <= -9.2e18) return 0;
  return int64_t(r);
}

}  // namespace

VideoGeometry videoGeometry(const AffineTransform& t, double width, double height,
                            int64_t maxSide) {
  VideoGeometry g;
  g.naturalWidth = t.a * width + t.c * height;
  g.naturalHeight = t.b * width + t.d * height;
  g.W0 = std::abs(g.naturalWidth);
  g.H0 = std::abs(g.naturalHeight);
  const double longer = g.W0 <= g.H0 ? g.H0 : g.W0;
  const double k = double(maxSide) / longer;
  g.k = k < 1.0 ? k : 1.0;  // also 1 when k is not a number
  g.W = roundAway(g.W0 * g.k);
  g.H = roundAway(g.H0 * g.k);
  return g;
}

float framesPerSecond(float nominal) {
  return nominal > 0 ? nominal : 30.0f;
}

int64_t frameTotal(float fps, double durationSeconds) {
  return roundAway(double(fps) * durationSeconds);
}

int orientationOf(const AffineTransform& t) {
  if (t.a == 0 && t.b == 1 && t.c == -1 && t.d == 0) return 6;
  if (t.a == 0 && t.b == -1 && t.c == 1 && t.d == 0) return 8;
  if (t.a == -1 && t.d == -1) return 3;
  return 1;
}

}  // namespace plumvane
