#include "poster/hole_fill.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <future>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>
#include <optional>

#include "poster/frequency_fill.h"
#include "poster/hole_edges.h"
#include "poster/patch_synthesis.h"

namespace plumvane {
namespace {

// Measured on subjects pasted on blurred photos: radius 2 is as close to the hidden backdrop as 3
// or 5, and fastest.
constexpr double inpaintRadius = 2;

constexpr int borderWidening = 4;

// The grain a hole is given: the picture's detail finer than grainSigma pixels, read no closer
// than grainClearance pixels to the hole.
constexpr double grainSigma = 1.5;
constexpr int grainClearance = 2;
// Deep in a hole, grain is drawn from within grainReach pixels of the point grainReach beyond the
// nearest border pixel, at most grainTries places tried for a known one.
constexpr int grainReach = 6;
constexpr int grainTries = 4;
// The grain's strength in a tile of grainTile pixels is the lower quartile of the strengths (the
// largest of a pixel's three channels) of its known pixels' detail: grain is everywhere, edges
// are not, and even a tile whose known pixels lie mostly along an edge keeps a quarter clear of
// it. Under grainFloor levels the tile is flat ground, whose details are edges (a rule, a letter's
// rim): none are copied, since mirrored they would draw an echo of the edge into the hole.
// Elsewhere a detail more than grainOutlier times the tile's strength is an edge too.
constexpr int grainTile = 32;
constexpr float grainFloor = 1.0f;
constexpr float grainOutlier = 10;
// Grain is taken only from where the picture's local mean is within grainLike levels of the fill.
constexpr float grainLike = 16;

// Lines up to this height are filled at full scale; higher ones, whose strokes are wide, are
// filled scaled down to it (the grain finer than that is given afterwards, by addGrain). Over
// leaves, their texture rebuilt at 64 pixels high still showed the letters' ghost; at 128 it did
// not, and the fill took about as long as at full scale on lines of 100-200 pixels.
constexpr int strokeFillHeight = 128;

// A subject's hole in ground whose typical grain, in the tiles around it, is at least this many
// levels is synthesised from squares of that ground (patch_synthesis.h): grass, wood, clouds.
// Smoothly filled, it showed streaks and a smear of the subject's colours; on blurred ground
// (typical grain about 0.3) the smooth fill stays closer to what the hole hid.
constexpr float texturedGrain = 1.0f;

// The longer side at which the holes of subjects are filled.
constexpr int subjectFillSide = 1000;
// A part of a subject's hole between straight edges through it is filled from its own ground
// when that holds at least this many pixels.
constexpr int leastGroundOfAPart = 4096;
// Each part is filled on the picture around it: its hole's bounds grown by this many pixels at
// the scale of the fill.
constexpr int partMargin = 16;

// The membrane is relaxed this many sweeps at each level, and its coarsest level is at most
// membraneBottom pixels on its longer side.
constexpr int membraneSweeps = 40;
constexpr int membraneBottom = 8;

// How deep into a subject's hole the inpainting's lines reach before they meet the membrane, as
// a share of the picture's longer side: measured on subjects pasted on photos, 1/24 is as close
// as 1/12 on shallow-focus backdrops, and closer on sharp ones.
constexpr double mixLengthShare = 1.0 / 24;

// OpenCV's inpainting leaves the pixels next to the picture's border as they are and reads them
// as sources: a hole that reaches the border is painted on a copy widened on every side, hole
// and all, with the hole first set to the mean of the known pixels.
cv::Mat inpainted(const cv::Mat& rgb, const cv::Mat& hole) {
  const int b = borderWidening;
  cv::Mat widened, widenedHole, filled;
  cv::Mat blank = rgb.clone();
  blank.setTo(cv::mean(rgb, hole == 0), hole);
  cv::copyMakeBorder(blank, widened, b, b, b, b, cv::BORDER_REPLICATE);
  cv::copyMakeBorder(hole, widenedHole, b, b, b, b, cv::BORDER_REPLICATE);
  cv::inpaint(widened, widenedHole, filled, inpaintRadius, cv::INPAINT_NS);
  return filled(cv::Rect(b, b, rgb.cols, rgb.rows));
}

// Textured ground (leaves, feathers, a photo's grain) is rebuilt in the hole from the patterns
// around it (frequency_fill.h): each block of the hole is the sum of the few frequencies that best
// fit the known pixels around it, so stripes, veins and grain run on through the hole, where
// inpainting from the rim would smear them into streaks along the letters. Only the brightness is
// rebuilt so: the texture is in it, and the colour, inpainted from the rim, stays within the
// colours around (rebuilt too, a grey ground came out with green specks).
cv::Mat reconstructed(const cv::Mat& rgb, const cv::Mat& hole) {
  cv::Mat ycc, luma, filled;
  cv::cvtColor(inpainted(rgb, hole), ycc, cv::COLOR_RGB2YCrCb);
  cv::extractChannel(ycc, luma, 0);
  cv::insertChannel(frequencyFilled(luma, hole == 0), ycc, 0);
  cv::cvtColor(ycc, filled, cv::COLOR_YCrCb2RGB);
  return filled;
}

cv::Mat threeChannels(const cv::Mat& single) {
  cv::Mat three;
  cv::merge(std::vector<cv::Mat>{single, single, single}, three);
  return three;
}

cv::Mat membrane(const cv::Mat& values, const cv::Mat& weight);

// The membrane over values and weight halved, each half-size pixel the weighted mean of the four
// it covers, brought back to their size.
cv::Mat membraneFromHalf(const cv::Mat& values, const cv::Mat& weight) {
  const cv::Size half((values.cols + 1) / 2, (values.rows + 1) / 2);
  cv::Mat sums, halfWeight, halfValues, surface;
  cv::resize(values.mul(threeChannels(weight)), sums, half, 0, 0, cv::INTER_AREA);
  cv::resize(weight, halfWeight, half, 0, 0, cv::INTER_AREA);
  cv::divide(sums, cv::max(threeChannels(halfWeight), 1e-6f), halfValues);
  cv::resize(membrane(halfValues, halfWeight), surface, values.size(), 0, 0, cv::INTER_LINEAR);
  return surface;
}

// The smoothest surface over the pixels that are mostly unknown: each of them the mean of its
// four neighbours (beyond the picture's border, its edge pixels repeated), the others held at
// their colour. values (32-bit RGB) are the colours of the known parts of each pixel, weight
// (32-bit) the share of each pixel that is known. Solved coarse to fine: each level starts from
// the coarser level's surface, so that a few sweeps settle it.
cv::Mat membrane(const cv::Mat& values, const cv::Mat& weight) {
  const cv::Mat held = weight > 0.5f;
  if (std::max(values.cols, values.rows) <= membraneBottom) {
    cv::Mat surface = values.clone();
    const double known = cv::sum(weight)[0];
    surface.setTo(cv::sum(values.mul(threeChannels(weight))) / known, ~held);
    return surface;
  }
  cv::Mat surface = membraneFromHalf(values, weight), next;
  values.copyTo(surface, held);
  const cv::Mat neighbours = (cv::Mat_<float>(3, 3) << 0, 0.25, 0, 0.25, 0, 0.25, 0, 0.25, 0);
  for (int i = 0; i < membraneSweeps; ++i) {
    cv::filter2D(surface, next, -1, neighbours, {-1, -1}, 0, cv::BORDER_REPLICATE);
    values.copyTo(next, held);
    std::swap(surface, next);
  }
  return surface;
}

// A large hole: inpainted from its rim, so that edges and colour continue there, and deeper in
// mixed evenly with the membrane over it. Deep inside, what the hole hid can't be read from its
// rim; the inpainting's lines run on straight and the membrane settles at the rim's mean, and
// their mean is never further from the hidden colour than the two are on average.
cv::Mat inpaintedIntoMembrane(const cv::Mat& rgb, const cv::Mat& hole, double mixLength) {
  const cv::Mat lines = inpainted(rgb, hole);
  // The membrane needs no more detail than half the scale: it is relaxed from there down.
  cv::Mat values, weight;
  rgb.convertTo(values, CV_32FC3);
  cv::Mat(hole == 0).convertTo(weight, CV_32F, 1.0 / 255);
  const cv::Mat surface = membraneFromHalf(values, weight);

  // The inpainting's share: all of it at the rim, half of it deep inside.
  cv::Mat depth;
  cv::distanceTransform(hole, depth, cv::DIST_L2, 3);
  const float perPixel = float(-1.0 / mixLength);
  cv::Mat mixed = lines.clone();
  for (int y = 0; y < rgb.rows; ++y) {
    const uint8_t* inHole = hole.ptr<uint8_t>(y);
    const float* d = depth.ptr<float>(y);
    const cv::Vec3f* smooth = surface.ptr<cv::Vec3f>(y);
    cv::Vec3b* out = mixed.ptr<cv::Vec3b>(y);
    for (int x = 0; x < rgb.cols; ++x) {
      if (!inHole[x]) continue;
      const float share = 0.5f + 0.5f * std::exp(d[x] * perPixel);
      for (int c = 0; c < 3; ++c) {
        out[x][c] = cv::saturate_cast<uint8_t>(out[x][c] * share + smooth[x][c] * (1 - share));
      }
    }
  }
  return mixed;
}

// A fill of a picture's unknown pixels, told the scale at which it sees the picture.
using HoleFill = std::function<cv::Mat(const cv::Mat& rgb, const cv::Mat& unknown, double scale)>;

// A picture and what of it is unknown, reduced to `scale` of their size: a reduced pixel counts as
// unknown when any of the pixels it covers is.
struct Reduced {
  cv::Mat rgb, unknown;
  double scale = 1;
};

// A length of the picture at `scale` of its size, as the reduced picture has it.
int scaledLength(int length, double scale) {
  return std::max(1, int(length * scale + 0.5));
}

// The picture and its unknown pixels at `scale` of their size; nothing at a scale of 1 or more.
Reduced reducedTo(const cv::Mat& rgb, const cv::Mat& unknown, double scale) {
  if (scale >= 1.0) return {};
  const cv::Size size(scaledLength(rgb.cols, scale), scaledLength(rgb.rows, scale));
  Reduced r;
  r.scale = scale;
  cv::resize(rgb, r.rgb, size, 0, 0, cv::INTER_AREA);
  cv::resize(unknown, r.unknown, size, 0, 0, cv::INTER_AREA);
  r.unknown = r.unknown > 0;
  return r;
}

// Fills target with fill(picture, unknown, scale), on the picture as `reduced` holds it unless that
// is nothing or its known pixels were too scattered to survive the reduction. False when there is
// nothing to fill from.
bool fillFrom(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, const Reduced& reduced,
              const HoleFill& fill) {
  if (cv::countNonZero(unknown) == int(unknown.total())) return false;
  cv::Mat filled;
  if (!reduced.rgb.empty() && cv::countNonZero(reduced.unknown) < int(reduced.unknown.total())) {
    cv::resize(fill(reduced.rgb, reduced.unknown, reduced.scale), filled, rgb.size(), 0, 0,
               cv::INTER_LINEAR);
  }
  if (filled.empty()) filled = fill(rgb, unknown, 1.0);
  filled.copyTo(rgb, target);
  return true;
}

// Fills target with fill(picture, unknown, scale), with the picture reduced to `scale` of its size
// when that is under 1. False when target holds pixels but there is nothing to fill them from.
bool fillAtScale(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, double scale,
                 const HoleFill& fill) {
  if (cv::countNonZero(target) == 0) return true;
  return fillFrom(rgb, target, unknown, reducedTo(rgb, unknown, scale), fill);
}

// The scale at which a picture is filled so that its longer side is at most largeSide.
double fillScale(const cv::Mat& rgb, int largeSide) {
  return std::min(1.0, double(largeSide) / double(std::max(rgb.cols, rgb.rows)));
}

// Fills target with fill(picture, unknown), at a reduced scale when the picture's longer side is
// above largeSide.
void fillWith(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, int largeSide,
              cv::Mat (*fill)(const cv::Mat&, const cv::Mat&)) {
  fillAtScale(
      rgb, target, unknown, fillScale(rgb, largeSide),
      [fill](const cv::Mat& picture, const cv::Mat& hole, double) { return fill(picture, hole); });
}

// The pixels that grain is not read from: the unknown ones and a clearance around them.
cv::Mat clearOf(const cv::Mat& unknown) {
  cv::Mat avoided;
  cv::dilate(unknown > 0, avoided,
             cv::getStructuringElement(cv::MORPH_ELLIPSE,
                                       cv::Size(2 * grainClearance + 1, 2 * grainClearance + 1)));
  return avoided;
}

// The fine detail of the known pixels of a part of a picture, and how strong its grain is.
class GrainSource {
 public:
  // The part r of picture, with its pixels where `avoided` (r's size) is non-zero unknown.
  GrainSource(const cv::Mat& picture, const cv::Rect& r, const cv::Mat& avoided)
      : picture_(picture(r)), known_(avoided == 0) {
    // The local mean of the known pixels around each is their sum over their weight, both
    // smoothed, kept in 16 bits: fine enough that a flat colour has no detail at all.
    picture_.convertTo(sums_, CV_16UC3, 256);
    sums_.setTo(cv::Scalar::all(0), avoided);
    cv::GaussianBlur(sums_, sums_, cv::Size(), grainSigma);
    known_.convertTo(weights_, CV_16U, 256);
    cv::GaussianBlur(weights_, weights_, cv::Size(), grainSigma);
    tilesAcross_ = (r.width + grainTile - 1) / grainTile;
    const int tilesDown = (r.height + grainTile - 1) / grainTile;
    level_.assign(size_t(tilesAcross_) * size_t(tilesDown), 0.0f);
    std::vector<uint8_t> seen(level_.size(), 0);
    cv::parallel_for_(cv::Range(0, tilesDown), [&](const cv::Range& rows) {
      std::vector<float> strengths;
      for (int ty = rows.start; ty < rows.end; ++ty) {
        for (int tx = 0; tx < tilesAcross_; ++tx) {
          strengths.clear();
          const cv::Rect tile = cv::Rect(tx * grainTile, ty * grainTile, grainTile, grainTile) &
                                cv::Rect(0, 0, r.width, r.height);
          for (int y = tile.y; y < tile.br().y; ++y) {
            const uint8_t* k = known_.ptr<uint8_t>(y);
            for (int x = tile.x; x < tile.br().x; ++x) {
              if (k[x]) strengths.push_back(strengthOf(detailAt({x, y})));
            }
          }
          if (strengths.empty()) continue;
          const auto quartile = strengths.begin() + std::ptrdiff_t(strengths.size() / 4);
          std::nth_element(strengths.begin(), quartile, strengths.end());
          level_[size_t(ty) * size_t(tilesAcross_) + size_t(tx)] = *quartile;
          seen[size_t(ty) * size_t(tilesAcross_) + size_t(tx)] = 1;
        }
      }
    });
    for (size_t t = 0; t < level_.size(); ++t) {
      if (seen[t]) counted_.push_back(level_[t]);
    }
  }

  const cv::Mat& known() const { return known_; }
  bool isKnown(cv::Point p) const {
    return p.x >= 0 && p.y >= 0 && p.x < known_.cols && p.y < known_.rows && known_.at<uint8_t>(p);
  }
  // Whether any tile has grain.
  bool grainy() const {
    return std::any_of(level_.begin(), level_.end(), [](float l) { return l >= grainFloor; });
  }
  // The median strength of the grain over the tiles with known pixels.
  float typicalGrain() const {
    std::vector<float> levels = counted_;
    if (levels.empty()) return 0;
    const auto middle = levels.begin() + std::ptrdiff_t(levels.size() / 2);
    std::nth_element(levels.begin(), middle, levels.end());
    return *middle;
  }

  // The detail of the known pixel p, if it is grain that fits a hole pixel filled with `fill`:
  // in a grainy tile, not far stronger than the tile's grain, and with the fill's colour around
  // it (the grain of the ground the hole lies in, not of the ground beyond an edge, whose step
  // would come in with it).
  std::optional<cv::Vec3f> grainAt(cv::Point p, const cv::Vec3b& fill) const {
    const float typical =
        level_[size_t(p.y / grainTile) * size_t(tilesAcross_) + size_t(p.x / grainTile)];
    if (typical < grainFloor) return std::nullopt;
    const cv::Vec3f d = detailAt(p);
    if (strengthOf(d) > grainOutlier * typical) return std::nullopt;
    const cv::Vec3b& colour = picture_.at<cv::Vec3b>(p);
    for (int k = 0; k < 3; ++k) {
      if (std::abs(float(colour[k]) - d[k] - float(fill[k])) > grainLike) return std::nullopt;
    }
    return d;
  }

 private:
  // A known pixel's colour less the local mean of the known pixels around it.
  cv::Vec3f detailAt(cv::Point p) const {
    const cv::Vec3b& colour = picture_.at<cv::Vec3b>(p);
    const cv::Vec3w& sum = sums_.at<cv::Vec3w>(p);
    const float weight = float(std::max(1, int(weights_.at<uint16_t>(p)))) / 255.0f;
    return {float(colour[0]) - sum[0] / weight, float(colour[1]) - sum[1] / weight,
            float(colour[2]) - sum[2] / weight};
  }
  // The largest of a detail's three channels.
  static float strengthOf(const cv::Vec3f& d) {
    return std::max({std::abs(d[0]), std::abs(d[1]), std::abs(d[2])});
  }

  cv::Mat picture_, known_, sums_, weights_;
  int tilesAcross_ = 0;
  std::vector<float> level_;    // the grain's strength in each tile, row by row
  std::vector<float> counted_;  // that of the tiles with known pixels
};

}  // namespace

void addGrain(cv::Mat& rgb, const cv::Mat& picture, const cv::Mat& hole, const cv::Mat& unknown) {
  // Only the hole's surroundings are read: the border pixels nearest to it, and the detail of
  // those within reach of them.
  const int margin = grainClearance + grainReach + int(std::ceil(3 * grainSigma)) + 1;
  const cv::Rect holeBox = cv::boundingRect(hole);
  if (holeBox.empty()) return;
  const cv::Rect r = (holeBox - cv::Point(margin, margin) + cv::Size(2 * margin, 2 * margin)) &
                     cv::Rect(0, 0, rgb.cols, rgb.rows);
  const cv::Mat avoided = clearOf(unknown(r));
  if (cv::countNonZero(avoided) == int(avoided.total())) return;  // nothing known
  // The nearest known pixel of each pixel, found on another thread while the grain is read:
  // labels number the known pixels in row order.
  std::future<cv::Mat> nearestKnown = std::async(std::launch::async, [&] {
    cv::Mat distance, labels;
    cv::distanceTransform(avoided, distance, labels, cv::DIST_L2, cv::DIST_MASK_3,
                          cv::DIST_LABEL_PIXEL);
    return labels;
  });
  const GrainSource source(picture, r, avoided);
  const cv::Mat labels = nearestKnown.get();
  if (!source.grainy()) return;  // flat ground all round: no grain to give
  std::vector<int> at(1);        // each label's pixel, as y * width + x
  at.reserve(size_t(cv::countNonZero(source.known())) + 1);
  for (int y = 0; y < r.height; ++y) {
    const uint8_t* k = source.known().ptr<uint8_t>(y);
    for (int x = 0; x < r.width; ++x) {
      if (k[x]) at.push_back(y * r.width + x);
    }
  }
  cv::parallel_for_(cv::Range(0, r.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      const uint8_t* h = hole.ptr<uint8_t>(r.y + y) + r.x;
      const int* label = labels.ptr<int>(y);
      cv::Vec3b* c = rgb.ptr<cv::Vec3b>(r.y + y) + r.x;
      for (int x = 0; x < r.width; ++x) {
        if (!h[x]) continue;
        const int n = at[size_t(label[x])];
        const cv::Point p(x, y), nearest(n % r.width, n / r.width);
        // Mirrored across the border, the grain runs on as it ran up to it. Deeper in a wide hole,
        // where the mirror falls into the hole too, it is drawn from just beyond the nearest
        // border pixel, at places that vary from pixel to pixel: a grain of the same strength,
        // with no streak along the lines from the border.
        const cv::Point outwards = nearest - p;
        const auto grainFrom = [&](cv::Point from) {
          return source.isKnown(from) ? source.grainAt(from, c[x]) : std::nullopt;
        };
        std::optional<cv::Vec3f> d = grainFrom(nearest + outwards);
        const float length = std::max(1.0f, float(std::hypot(outwards.x, outwards.y)));
        const cv::Point beyond =
            nearest + cv::Point(int(std::lround(float(outwards.x) * grainReach / length)),
                                int(std::lround(float(outwards.y) * grainReach / length)));
        for (uint32_t seed = scrambled(uint32_t(r.y + y) * 65521u + uint32_t(r.x + x)), tries = 0;
             !d && tries < grainTries; ++tries, seed = scrambled(seed)) {
          d = grainFrom(beyond + cv::Point(int(seed % (2 * grainReach + 1)) - grainReach,
                                           int((seed >> 16) % (2 * grainReach + 1)) - grainReach));
        }
        if (!d) continue;
        for (int k = 0; k < 3; ++k) {
          c[x][k] = cv::saturate_cast<uint8_t>(float(c[x][k]) + (*d)[k]);
        }
      }
    }
  });
}

int lineScaleSide(int w, int h, int height) {
  const double scale = std::min(1.0, double(height) / double(h));
  return std::max(1, int(double(std::max(w, h)) * scale));
}

void fillHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, int largeSide) {
  fillWith(rgb, target, unknown, largeSide, inpainted);
}

void fillStrokes(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown) {
  const cv::Mat avoided = clearOf(unknown);
  const bool textured = cv::countNonZero(avoided) < int(avoided.total()) &&
                        GrainSource(rgb, cv::Rect(0, 0, rgb.cols, rgb.rows), avoided).grainy();
  fillWith(rgb, target, unknown, lineScaleSide(rgb.cols, rgb.rows, strokeFillHeight),
           textured ? reconstructed : inpainted);
}

void fillSubjectHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown) {
  const cv::Rect box = cv::boundingRect(target);
  if (box.empty()) return;
  const int context = std::max(box.width, box.height) / 2;
  const cv::Rect around = (box - cv::Point(context, context) + cv::Size(2 * context, 2 * context)) &
                          cv::Rect(0, 0, rgb.cols, rgb.rows);
  // Whether the ground is textured is read from the known pixels around the hole, which the fill
  // leaves as they are: it is worked out from a copy of them while the hole is filled.
  const cv::Mat ground = rgb(around).clone();
  std::future<bool> textured = std::async(std::launch::async, [&] {
    return GrainSource(ground, cv::Rect(0, 0, ground.cols, ground.rows), clearOf(unknown(around)))
               .typicalGrain() >= texturedGrain;
  });
  // The inpainting meets the membrane at a depth that is a share of the whole picture's longer
  // side, at the scale the fill sees it: a part of the hole is filled on a crop of the picture.
  const int side = std::max(rgb.cols, rgb.rows);
  const HoleFill intoMembrane = [side](const cv::Mat& picture, const cv::Mat& hole, double s) {
    return inpaintedIntoMembrane(picture, hole, mixLengthShare * scaledLength(side, s));
  };
  // Where the edge of a band or a frame runs through the hole, each part of the hole between such
  // edges is filled from the ground on its own sides of them alone, so that the edge runs on
  // straight and neither area spreads into the other's part. A part with too little ground of its
  // own to be filled from leaves the hole whole. The edges are read on the picture as reduced for
  // the fill.
  const double scale = fillScale(rgb, subjectFillSide);
  const Reduced reduced = reducedTo(rgb, unknown, scale);
  std::vector<EdgeThrough> edges;
  if (reduced.rgb.empty()) {
    edges = edgesThrough(rgb, target, unknown);
  } else {
    cv::Mat hole;
    cv::resize(target, hole, reduced.rgb.size(), 0, 0, cv::INTER_AREA);
    edges = edgesThrough(reduced.rgb, hole > 0, reduced.unknown);
    for (EdgeThrough& e : edges) e.point *= float(1 / scale);
  }
  std::vector<std::pair<cv::Mat, cv::Mat>> parts;  // each part's hole and what it doesn't read
  for (const cv::Mat& part : partsBetween(edges, rgb.size())) {
    cv::Mat hole = target & part;
    if (cv::countNonZero(hole) == 0) continue;
    cv::Mat unread = unknown | ~part;
    if (int(unread.total()) - cv::countNonZero(unread) < leastGroundOfAPart) {
      parts.clear();
      break;
    }
    parts.emplace_back(std::move(hole), std::move(unread));
  }
  const bool synthesise = textured.get();
  if (parts.size() < 2) {
    fillFrom(rgb, target, unknown, reduced, intoMembrane);
    if (synthesise) rgb = synthesised(rgb, target, unknown);
    return;
  }
  // Each part is filled on the picture around it alone, at the scale of the whole picture: the
  // fill reads no more than the hole's rim.
  for (const auto& [hole, unread] : parts) {
    const cv::Rect b = cv::boundingRect(hole);
    const int margin = int(std::ceil(partMargin / scale));
    const cv::Rect area = (b - cv::Point(margin, margin) + cv::Size(2 * margin, 2 * margin)) &
                          cv::Rect(0, 0, rgb.cols, rgb.rows);
    cv::Mat view = rgb(area);
    if (!fillAtScale(view, hole(area), unread(area), scale, intoMembrane)) {
      fillAtScale(rgb, hole, unread, scale, intoMembrane);
    }
  }
  if (synthesise) rgb = synthesised(rgb, target, unknown);
}

}  // namespace plumvane
