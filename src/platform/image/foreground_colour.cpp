#include "platform/image/foreground_colour.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace plumvane {
namespace {

// The weights of the estimation, as its authors set them: a small pull of each pixel's F and B
// towards its neighbours', and a strong one where the coverage changes between them.
constexpr float regularisation = 1e-5f;
constexpr float gradientWeight = 1.0f;
// Iterations per level: many on the smallest levels, where they are cheap and the estimate starts
// from nothing; two on the larger ones, which start from the level below.
constexpr int smallIterations = 10;
constexpr int bigIterations = 2;
constexpr int smallSide = 32;
// The levels up to this longer side cover the partly covered pixels' bounding box as a whole
// (with a margin, so that sure colours of both sides are in it); above it, the picture's own
// resolution starts from them and only the partly covered pixels are worked on. On real photos
// the result is as good as working on every level in full, at a fraction of the cost.
constexpr int coarseSide = 1024;
constexpr int margin = 32;
constexpr int fineIterations = 3;
// The partly covered pixels at full resolution are worked on in tiles of this side, each with a
// border as wide as the iterations reach, so that tiles need nothing from each other.
constexpr int tileSide = 128;

// Where the background near the edge is one flat colour (a studio backdrop, a wall, the sky),
// the pixel's colour is explained by it exactly, and the subject's colour follows from the mix
// itself: the smooth estimate is moved towards that, the more the flatter the background's sure
// colours nearby are (their spread against this one, 0..1 RGB). Real photos' backgrounds are
// rarely that flat, and there the coverage is less certain: the smooth estimate stands.
constexpr float flatBackground = 0.02f;
// Pixels of at most this coverage, at the coarse levels, are surely background.
constexpr float sureBackground = 0.02f;
// The mix is inverted with this much damping: a pixel that the subject hardly covers says little
// of the subject's colour.
constexpr float damping = 0.15f * 0.15f;

using Colour = cv::Vec3f;

// The F and B estimates over a grid of w x h pixels, their colours and coverages.
struct Grid {
  int w = 0;
  int h = 0;
  std::vector<Colour> image;
  std::vector<float> alpha;
  std::vector<Colour> fore;
  std::vector<Colour> back;
};

Colour clamped(const Colour& c) {
  return {std::clamp(c[0], 0.0f, 1.0f), std::clamp(c[1], 0.0f, 1.0f), std::clamp(c[2], 0.0f, 1.0f)};
}

// One Jacobi step for the pixel i of the grid at (x, y): F and B that explain its colour as their
// mix by its coverage, pulled towards its four neighbours' previous F and B (the grid's edge
// repeated), the more where the coverage changes towards them.
void step(const Grid& g, int x, int y, Colour& fore, Colour& back) {
  const size_t i = size_t(y) * size_t(g.w) + size_t(x);
  const float a0 = g.alpha[i], a1 = 1 - a0;
  float a00 = a0 * a0, a11 = a1 * a1;
  const float a01 = a0 * a1;
  Colour b0 = a0 * g.image[i], b1 = a1 * g.image[i];
  const size_t neighbours[4] = {x > 0 ? i - 1 : i, x + 1 < g.w ? i + 1 : i,
                                y > 0 ? i - size_t(g.w) : i, y + 1 < g.h ? i + size_t(g.w) : i};
  for (const size_t j : neighbours) {
    const float d = regularisation + gradientWeight * std::abs(a0 - g.alpha[j]);
    a00 += d;
    a11 += d;
    b0 += d * g.fore[j];
    b1 += d * g.back[j];
  }
  // a00 * a11 - a01^2 is at least 4 * regularisation * (a0^2 + a1^2): never 0.
  const float inverse = 1 / (a00 * a11 - a01 * a01);
  fore = clamped((a11 * b0 - a01 * b1) * inverse);
  back = clamped((a00 * b1 - a01 * b0) * inverse);
}

// `iterations` Jacobi steps over the pixels `update` selects; the others keep their estimates.
template <typename Update>
void iterate(Grid& g, int iterations, Update update) {
  std::vector<Colour> fore(g.fore.size()), back(g.back.size());
  for (int k = 0; k < iterations; ++k) {
    for (int y = 0; y < g.h; ++y) {
      for (int x = 0; x < g.w; ++x) {
        const size_t i = size_t(y) * size_t(g.w) + size_t(x);
        if (update(i)) {
          step(g, x, y, fore[i], back[i]);
        } else {
          fore[i] = g.fore[i];
          back[i] = g.back[i];
        }
      }
    }
    std::swap(fore, g.fore);
    std::swap(back, g.back);
  }
}

// Germer et al.'s multi-level estimation over a whole grid: from one pixel up to the grid's
// size, each level nearest-sampled from the grid and started from the level below.
void estimateAll(const cv::Mat& image, const cv::Mat& alpha, cv::Mat& fore, cv::Mat& back) {
  const int w0 = image.cols, h0 = image.rows;
  const int levels = std::max(1, int(std::ceil(std::log2(double(std::max(w0, h0))))));
  fore = cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(0));
  back = cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(0));
  for (int level = 0; level <= levels; ++level) {
    const double t = double(level) / levels;
    const int w = std::max(1, int(std::lround(std::pow(w0, t))));
    const int h = std::max(1, int(std::lround(std::pow(h0, t))));
    cv::Mat levelImage, levelAlpha;
    cv::resize(image, levelImage, {w, h}, 0, 0, cv::INTER_NEAREST);
    cv::resize(alpha, levelAlpha, {w, h}, 0, 0, cv::INTER_NEAREST);
    cv::resize(fore, fore, {w, h}, 0, 0, cv::INTER_NEAREST);
    cv::resize(back, back, {w, h}, 0, 0, cv::INTER_NEAREST);
    Grid g{w,
           h,
           {levelImage.begin<Colour>(), levelImage.end<Colour>()},
           {levelAlpha.begin<float>(), levelAlpha.end<float>()},
           {fore.begin<Colour>(), fore.end<Colour>()},
           {back.begin<Colour>(), back.end<Colour>()}};
    iterate(g, w <= smallSide && h <= smallSide ? smallIterations : bigIterations,
            [](size_t) { return true; });
    fore = cv::Mat(h, w, CV_32FC3, g.fore.data()).clone();
    back = cv::Mat(h, w, CV_32FC3, g.back.data()).clone();
  }
}

// The colours (CV_32FC3) filled in everywhere from the nearest ones of weight (CV_32F, 0..1):
// where a pixel's weight is short of 1, its colour is completed from the level of half the size,
// whose cells average the weighted colours below them.
cv::Mat pullPush(const cv::Mat& colour, const cv::Mat& weight) {
  cv::Mat weight3;
  cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weight3);
  const cv::Mat weighted = colour.mul(weight3);
  if (std::min(colour.cols, colour.rows) <= 2) {
    const double total = cv::sum(weight)[0];
    const cv::Scalar mean = total > 0 ? cv::sum(weighted) / total : cv::Scalar::all(0);
    return cv::Mat(colour.size(), CV_32FC3, mean);
  }
  const cv::Size half((colour.cols + 1) / 2, (colour.rows + 1) / 2);
  cv::Mat halfWeight, halfWeighted;
  cv::resize(weight, halfWeight, half, 0, 0, cv::INTER_AREA);
  cv::resize(weighted, halfWeighted, half, 0, 0, cv::INTER_AREA);
  cv::Mat halfWeight3;
  cv::merge(std::vector<cv::Mat>{halfWeight, halfWeight, halfWeight}, halfWeight3);
  const cv::Mat halfColour = halfWeighted / cv::max(halfWeight3, 1e-6);
  // A cell a quarter covered by weighted pixels counts as fully known.
  const cv::Mat above = pullPush(halfColour, cv::min(halfWeight * 4, 1.0));
  cv::Mat filled;
  cv::resize(above, filled, colour.size(), 0, 0, cv::INTER_LINEAR);
  const cv::Mat known = cv::min(weight3, 1.0);
  return weighted + filled.mul(cv::Scalar::all(1) - known);
}

// Whether a pixel of the picture (premultiplied) and its coverage are worked on: the picture
// is opaque there and the coverage neither nothing nor everything.
bool soft(const Pixel& p, float coverage) {
  return p.a >= 1 && coverage > 0 && coverage < 1;
}
// Whether its colour is written: its alpha in the file lies strictly between 0 and 255.
bool written(const Pixel& p, float coverage) {
  const uint8_t a = toByte(coverage);
  return p.a >= 1 && a > 0 && a < 255;
}

Colour straight(const Pixel& p) {
  return p.a > 0 ? Colour(p.r / p.a, p.g / p.a, p.b / p.a) : Colour(0, 0, 0);
}

}  // namespace

void useSubjectColours(Image& picture, const Mask& map) {
  if (picture.isEmpty() || map.width != picture.width || map.height != picture.height) return;
  const int width = picture.width, height = picture.height;
  auto coverage = [&](int x, int y) {
    return std::clamp(map.values[size_t(y) * size_t(width) + size_t(x)], 0.0f, 1.0f);
  };

  // The pixels whose colour is written, their bounding box and the tiles that hold them.
  const int tilesAcross = (width + tileSide - 1) / tileSide;
  const int tilesDown = (height + tileSide - 1) / tileSide;
  std::vector<uint8_t> tiles(size_t(tilesAcross) * size_t(tilesDown), 0);
  int x0 = width, y0 = height, x1 = -1, y1 = -1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (!written(picture.at(x, y), coverage(x, y))) continue;
      x0 = std::min(x0, x);
      x1 = std::max(x1, x);
      y0 = std::min(y0, y);
      y1 = std::max(y1, y);
      tiles[size_t(y / tileSide) * size_t(tilesAcross) + size_t(x / tileSide)] = 1;
    }
  }
  if (x1 < 0) return;
  const cv::Rect box =
      cv::Rect(x0 - margin, y0 - margin, x1 - x0 + 1 + 2 * margin, y1 - y0 + 1 + 2 * margin) &
      cv::Rect(0, 0, width, height);

  // The bounding box at the coarse levels' resolution, all levels in full.
  const double scale = std::min(1.0, double(coarseSide) / std::max(box.width, box.height));
  const cv::Size coarseSize(std::max(1, int(std::lround(box.width * scale))),
                            std::max(1, int(std::lround(box.height * scale))));
  const cv::Mat pixels(height, width, CV_32FC4, picture.pixels.data());
  const cv::Mat coverages(height, width, CV_32F, const_cast<float*>(map.values.data()));
  cv::Mat small, smallMask;
  cv::resize(pixels(box), small, coarseSize, 0, 0, cv::INTER_AREA);
  cv::resize(coverages(box), smallMask, coarseSize, 0, 0, cv::INTER_AREA);
  cv::Mat image(coarseSize, CV_32FC3), alpha(coarseSize, CV_32F);
  for (int y = 0; y < coarseSize.height; ++y) {
    for (int x = 0; x < coarseSize.width; ++x) {
      const cv::Vec4f p = small.at<cv::Vec4f>(y, x);
      image.at<Colour>(y, x) = straight(Pixel{p[0], p[1], p[2], p[3]});
      alpha.at<float>(y, x) = std::clamp(smallMask.at<float>(y, x), 0.0f, 1.0f);
    }
  }
  cv::Mat fore, back;
  estimateAll(image, alpha, fore, back);
  // The sure background's colour filled in over the box, and how flat it is nearby.
  cv::Mat sure;
  cv::Mat(alpha <= sureBackground).convertTo(sure, CV_32F, 1.0 / 255);
  const cv::Mat background = pullPush(image, sure);
  cv::Mat spread;
  cv::transform(cv::max(pullPush(image.mul(image), sure) - background.mul(background), 0.0), spread,
                cv::Matx13f(1, 1, 1));
  cv::Mat flatness = flatBackground * flatBackground / (spread + flatBackground * flatBackground);
  if (cv::countNonZero(sure) == 0) flatness = cv::Mat::zeros(coarseSize, CV_32F);

  // At the picture's resolution, tile by tile: the partly covered pixels start from the coarse
  // estimates and take a few more steps; the sure pixels around them are their own F or B. A
  // tile reads the picture beyond its core, so its colours are kept apart until every tile is
  // done: written at once, they would be read by the tiles next to it, at whatever moment those
  // ran, and the same picture would come out differently from run to run.
  std::vector<std::vector<Colour>> estimates(tiles.size());
  cv::parallel_for_(cv::Range(0, int(tiles.size())), [&](const cv::Range& range) {
    for (int t = range.start; t < range.end; ++t) {
      if (!tiles[size_t(t)]) continue;
      const cv::Rect core(t % tilesAcross * tileSide, t / tilesAcross * tileSide, tileSide,
                          tileSide);
      const cv::Rect area =
          cv::Rect(core.x - fineIterations, core.y - fineIterations,
                   core.width + 2 * fineIterations, core.height + 2 * fineIterations) &
          cv::Rect(0, 0, width, height);
      Grid g;
      g.w = area.width;
      g.h = area.height;
      const size_t n = size_t(area.width) * size_t(area.height);
      g.image.resize(n);
      g.alpha.resize(n);
      g.fore.resize(n);
      g.back.resize(n);
      std::vector<uint8_t> update(n);
      std::vector<Colour> flatBack(n);
      std::vector<float> flat(n, 0.0f);
      for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
          const size_t i = size_t(y) * size_t(area.width) + size_t(x);
          const Pixel& p = picture.at(area.x + x, area.y + y);
          g.image[i] = straight(p);
          g.alpha[i] = std::clamp(coverage(area.x + x, area.y + y), 0.0f, 1.0f);
          update[i] = soft(p, g.alpha[i]);
        }
      }
      for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
          const size_t i = size_t(y) * size_t(area.width) + size_t(x);
          // Only the pixels worked on and their neighbours are ever read.
          const bool read = update[i] || (x > 0 && update[i - 1]) ||
                            (x + 1 < area.width && update[i + 1]) ||
                            (y > 0 && update[i - size_t(area.width)]) ||
                            (y + 1 < area.height && update[i + size_t(area.width)]);
          if (!read) continue;
          // Bilinear from the coarse estimates, the pixel's centre mapped onto their grid.
          const float u = std::clamp(float((area.x + x - box.x + 0.5) * scale - 0.5), 0.0f,
                                     float(coarseSize.width - 1));
          const float v = std::clamp(float((area.y + y - box.y + 0.5) * scale - 0.5), 0.0f,
                                     float(coarseSize.height - 1));
          const int u0 = int(u), v0 = int(v);
          const int u1 = std::min(u0 + 1, coarseSize.width - 1);
          const int v1 = std::min(v0 + 1, coarseSize.height - 1);
          const float fu = u - float(u0), fv = v - float(v0);
          auto sample = [&](const cv::Mat& m) {
            return (m.at<Colour>(v0, u0) * (1 - fu) + m.at<Colour>(v0, u1) * fu) * (1 - fv) +
                   (m.at<Colour>(v1, u0) * (1 - fu) + m.at<Colour>(v1, u1) * fu) * fv;
          };
          g.fore[i] = g.alpha[i] >= 1 ? g.image[i] : sample(fore);
          g.back[i] = g.alpha[i] <= 0 ? g.image[i] : sample(back);
          if (update[i]) {
            flatBack[i] = sample(background);
            flat[i] =
                (flatness.at<float>(v0, u0) * (1 - fu) + flatness.at<float>(v0, u1) * fu) *
                    (1 - fv) +
                (flatness.at<float>(v1, u0) * (1 - fu) + flatness.at<float>(v1, u1) * fu) * fv;
          }
        }
      }
      if (scale < 1) iterate(g, fineIterations, [&](size_t i) { return update[i] != 0; });
      // Towards the subject's colour that the mix with a flat background gives.
      for (size_t i = 0; i < n; ++i) {
        if (!update[i] || flat[i] <= 0) continue;
        const float a = g.alpha[i];
        const Colour rest = g.image[i] - a * g.fore[i] - (1 - a) * flatBack[i];
        const Colour inverted = clamped(g.fore[i] + a / (a * a + damping) * rest);
        g.fore[i] += flat[i] * (inverted - g.fore[i]);
      }
      const cv::Rect inside = core & area;
      std::vector<Colour>& estimate = estimates[size_t(t)];
      estimate.reserve(size_t(inside.area()));
      for (int y = inside.y; y < inside.y + inside.height; ++y) {
        for (int x = inside.x; x < inside.x + inside.width; ++x) {
          estimate.push_back(g.fore[size_t(y - area.y) * size_t(area.width) + size_t(x - area.x)]);
        }
      }
    }
  });
  for (size_t t = 0; t < tiles.size(); ++t) {
    if (estimates[t].empty()) continue;
    const cv::Rect inside = cv::Rect(int(t) % tilesAcross * tileSide,
                                     int(t) / tilesAcross * tileSide, tileSide, tileSide) &
                            cv::Rect(0, 0, width, height);
    const Colour* f = estimates[t].data();
    for (int y = inside.y; y < inside.y + inside.height; ++y) {
      for (int x = inside.x; x < inside.x + inside.width; ++x, ++f) {
        Pixel& p = picture.at(x, y);
        if (written(p, coverage(x, y))) p = Pixel{(*f)[0], (*f)[1], (*f)[2], 1};
      }
    }
  }
}

}  // namespace plumvane
