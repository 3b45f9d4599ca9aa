#include "poster/text_ink.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "poster/hole_fill.h"
#include "poster/hole_rim.h"

namespace plumvane {
namespace {

constexpr float byteScale = 255.0f;
constexpr float inkPercentile = 0.88f;
constexpr float leastInkDifference = 0.12f;
constexpr size_t leastInkPixels = 8;
constexpr float colourReach = 0.22f;  // colour distance at which the colour opacity reaches 0
constexpr float colourRamp = 0.1f;
constexpr float gateStart = 0.04f;
constexpr float gateRamp = 0.06f;
constexpr float strongDifference = 0.3f;
constexpr float opaqueKeyed = 0.5f;
constexpr float fallbackStart = 0.16f;
constexpr float fallbackRamp = 0.14f;
// A line whose words are set in several colours (one in blue, the next in white and the rest in
// red) has strong differences that are neither its ink nor a blend of the ink with the background
// (within blendReach a channel): at least otherInkShare of them, in one other colour.
constexpr float otherInkShare = 0.03f;
constexpr float blendReach = 0.25f;
constexpr int borderRing = 2;  // pixels of the rectangle's border taken as background at first
constexpr int rimGrowth = 3;   // pixels the strokes grow by to take their anti-aliased rims
constexpr int estimateHeight = 64;
constexpr int borderShare = 15;  // percent of the border's pixels in a background colour
constexpr int sideShare = 5;     // and of the pixels of at least `leastSides` of its sides
constexpr int leastSides = 3;
constexpr int uprightRuleShare = 95;  // percent of a column's pixels
// A line's rectangle is padded by 0.22 of the line's height on every side: at its ends, by about
// this share of its own height.
constexpr double endShare = 0.15;
// A picture stored with a lossy compression rings around its letters: on flat ground, pixels up to
// haloReach beyond the grown strokes stay a few levels off the ground's colour, and would show on
// the plate as the letters' ghost. Where the ground a few pixels further out has a median fine
// detail of at most flatDetail levels, the pixels within haloReach that differ from the ground
// painted in from beyond them by more than haloLevels and at most haloMost (in their most different
// channel), and that reach the hole through such pixels, go with it. What differs more is drawn (a
// rule, a dot of a pattern beside the letters), and stays.
constexpr int haloReach = 5;
constexpr double flatDetail = 1.0;
constexpr int haloLevels = 2, haloMost = 32;

float unit(float v) {
  return std::clamp(v, 0.0f, 1.0f);
}

// The median as the upper of the two middle values.
float upperMedian(std::vector<float>& values) {
  std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
  return values[values.size() / 2];
}

// Whether a pixel (RGBA bytes) is a blend of an ink colour and the background (RGBA bytes) under
// it, within blendReach a channel: the anti-aliased rims of strokes are, with the colour fringes
// that a picture once compressed gives them.
bool blendOf(const uint8_t* pixel, const uint8_t* background, const std::array<float, 3>& ink) {
  std::array<float, 3> off, towards;
  float along = 0, contrast = 0;
  for (size_t c = 0; c < 3; ++c) {
    off[c] = float(pixel[c] - background[c]) / byteScale;
    towards[c] = ink[c] - float(background[c]) / byteScale;
    along += off[c] * towards[c];
    contrast += towards[c] * towards[c];
  }
  const float t = contrast > 0 ? unit(along / contrast) : 0.0f;
  float miss = 0;
  for (size_t c = 0; c < 3; ++c) miss = std::max(miss, std::abs(off[c] - t * towards[c]));
  return miss <= blendReach;
}

// How many of some pixels of a picture (RGBA bytes) are in their most common colour: in the
// fullest bin of 32 levels a channel, or a bin beside it.
size_t inCommonColour(const uint8_t* picture, const std::vector<size_t>& pixels) {
  constexpr int bins = 8;
  const auto binOf = [&](size_t p, size_t c) { return int(picture[p * 4 + c]) * bins / 256; };
  std::vector<int> count(bins * bins * bins, 0);
  for (size_t p : pixels) ++count[size_t((binOf(p, 0) * bins + binOf(p, 1)) * bins + binOf(p, 2))];
  const int fullest = int(std::max_element(count.begin(), count.end()) - count.begin());
  const std::array<int, 3> centre = {fullest / (bins * bins), fullest / bins % bins,
                                     fullest % bins};
  return size_t(std::count_if(pixels.begin(), pixels.end(), [&](size_t p) {
    for (size_t c = 0; c < 3; ++c) {
      if (std::abs(binOf(p, c) - centre[c]) > 1) return false;
    }
    return true;
  }));
}

// The picture with the hole's pixels painted in from around them, as RGBA bytes. The estimate
// needs no detail finer than the letters: it is made with the line at most estimateHeight
// pixels high.
std::vector<uint8_t> inpainted(const cv::Mat& rgb, const cv::Mat& hole) {
  cv::Mat filled = rgb.clone();
  fillHoles(filled, hole, hole, lineScaleSide(rgb.cols, rgb.rows, estimateHeight));
  cv::Mat rgba;
  cv::cvtColor(filled, rgba, cv::COLOR_RGB2RGBA);
  return std::vector<uint8_t>(rgba.datastart, rgba.dataend);
}

// The difference of each pixel from the background: the largest of the colour channels', 0..1.
std::vector<float> differenceOf(const uint8_t* picture, const uint8_t* background, size_t n) {
  std::vector<float> difference(n);
  for (size_t p = 0; p < n; ++p) {
    float d = 0;
    for (size_t c = 0; c < 3; ++c) {
      d = std::max(d,
                   std::abs(float(picture[p * 4 + c]) - float(background[p * 4 + c])) / byteScale);
    }
    difference[p] = d;
  }
  return difference;
}

// Which pixels are not in a colour that dominates the rectangle's border: one that, with its
// near neighbours (bins of 16 levels a channel, and a bin on every side), covers at least 15%
// of the border's pixels, and at least 5% of each of three of its four sides. A background shows
// all along the border; a letter cut by it, a bright spot of a photo, or a rule or the letters of
// another line running along one side (the heavy type of a tightly set poster) don't. The pixels
// in a colour that covers 15% of the border but not three of its sides go to `alongOneSide`.
std::vector<uint8_t> notBorderColours(const uint8_t* picture, const cv::Mat& others, int w, int h,
                                      int ring, cv::Mat& alongOneSide) {
  constexpr int bins = 16;
  auto binOf = [&](const uint8_t* p) { return (p[0] / 16 * bins + p[1] / 16) * bins + p[2] / 16; };
  // Per side (top, bottom, left, right), the border's pixels in each bin.
  std::array<std::vector<int>, 4> seen;
  seen.fill(std::vector<int>(bins * bins * bins, 0));
  std::array<int, 4> sideCount{};
  int border = 0;
  // The top and bottom rows beside the padding at the line's ends show what lies beyond its
  // ends as much as what lies above and below it (a panel narrower than the padded rectangle,
  // and the frame around it): they count for no side.
  const int ends = std::max(ring, int(std::ceil(endShare * h)));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (x >= ring && y >= ring && x < w - ring && y < h - ring) continue;
      if ((x < ends || x >= w - ends) && (y < ring || y >= h - ring)) continue;
      if (others.at<uint8_t>(y, x)) continue;
      const size_t side = y < ring ? 0 : y >= h - ring ? 1 : x < ring ? 2 : 3;
      ++seen[side][size_t(binOf(picture + (size_t(y) * size_t(w) + size_t(x)) * 4))];
      ++sideCount[side];
      ++border;
    }
  }
  std::vector<uint8_t> dominant(seen[0].size(), 0), oneSided(seen[0].size(), 0);
  for (int r = 0; r < bins; ++r) {
    for (int g = 0; g < bins; ++g) {
      for (int b = 0; b < bins; ++b) {
        std::array<int, 4> near{};
        for (int dr = std::max(0, r - 1); dr <= std::min(bins - 1, r + 1); ++dr) {
          for (int dg = std::max(0, g - 1); dg <= std::min(bins - 1, g + 1); ++dg) {
            for (int db = std::max(0, b - 1); db <= std::min(bins - 1, b + 1); ++db) {
              for (size_t side = 0; side < 4; ++side) {
                near[side] += seen[side][size_t((dr * bins + dg) * bins + db)];
              }
            }
          }
        }
        int sides = 0;
        for (size_t side = 0; side < 4; ++side) {
          sides += sideCount[side] > 0 && near[side] * 100 >= sideCount[side] * sideShare;
        }
        const int all = near[0] + near[1] + near[2] + near[3];
        const size_t bin = size_t((r * bins + g) * bins + b);
        dominant[bin] = all * 100 >= border * borderShare && sides >= leastSides;
        oneSided[bin] = all * 100 >= border * borderShare && sides < leastSides;
      }
    }
  }
  // A line set in a panel narrower than its padded rectangle has the panel along the top and
  // bottom and the frame around the panel at both ends, each along two sides: then the colour
  // that covers most of the border, the panel's, is the background, with its near neighbours.
  if (std::find(dominant.begin(), dominant.end(), 1) == dominant.end()) {
    size_t most = 0;
    for (size_t bin = 0; bin < dominant.size(); ++bin) {
      if (seen[0][bin] + seen[1][bin] + seen[2][bin] + seen[3][bin] >
          seen[0][most] + seen[1][most] + seen[2][most] + seen[3][most]) {
        most = bin;
      }
    }
    const int r = int(most) / (bins * bins), g = int(most) / bins % bins, b = int(most) % bins;
    for (int dr = std::max(0, r - 1); dr <= std::min(bins - 1, r + 1); ++dr) {
      for (int dg = std::max(0, g - 1); dg <= std::min(bins - 1, g + 1); ++dg) {
        for (int db = std::max(0, b - 1); db <= std::min(bins - 1, b + 1); ++db) {
          const size_t bin = size_t((dr * bins + dg) * bins + db);
          dominant[bin] = 1;
          oneSided[bin] = 0;
        }
      }
    }
  }
  std::vector<uint8_t> evidence(size_t(w) * size_t(h));
  alongOneSide = cv::Mat(h, w, CV_8U, cv::Scalar(0));
  for (size_t p = 0; p < evidence.size(); ++p) {
    evidence[p] = !others.data[p] && !dominant[size_t(binOf(picture + p * 4))];
    alongOneSide.data[p] = oneSided[size_t(binOf(picture + p * 4))] ? 255 : 0;
  }
  return evidence;
}

// The strokes without rules: a part that starts or ends in the rectangle's top or bottom eighth
// and runs along at least half its width while at most a quarter of its height high is a rule of
// the design running past the line, not a letter. Nor is a column inked over nearly all the
// rectangle's height (the padding above and below a line is clear of its letters): it is a
// frame or an upright rule beside the line, and a letter that runs into it stops there.
void withoutRules(cv::Mat& strokes) {
  for (int x = 0; x < strokes.cols; ++x) {
    if (cv::countNonZero(strokes.col(x)) * 100 >= strokes.rows * uprightRuleShare) {
      strokes.col(x).setTo(0);
    }
  }
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(strokes, labels, stats, centroids, 8);
  const int w = strokes.cols, h = strokes.rows;
  for (int k = 1; k < count; ++k) {
    const int y = stats.at<int>(k, cv::CC_STAT_TOP);
    const int cw = stats.at<int>(k, cv::CC_STAT_WIDTH), ch = stats.at<int>(k, cv::CC_STAT_HEIGHT);
    if ((8 * y < h || 8 * (y + ch) > 7 * h) && 2 * cw >= w && 4 * ch <= h) {
      strokes.setTo(0, labels == k);
    }
  }
}

// The strokes keyed against a background, grown by their rims; empty when there is too little
// ink.
std::optional<KeyedInk> strokesAgainst(const uint8_t* picture, const std::vector<uint8_t>& bg,
                                       const std::vector<uint8_t>& evidence, const cv::Mat& others,
                                       int w, int h, cv::Mat& grown) {
  std::optional<KeyedInk> keyed =
      keyedInk(picture, bg.data(), size_t(w) * size_t(h), evidence.data());
  if (!keyed) return std::nullopt;
  cv::Mat strokes(h, w, CV_8U);
  for (size_t p = 0; p < keyed->alpha.size(); ++p) {
    strokes.data[p] = keyed->alpha[p] >= 0.5f ? 255 : 0;
  }
  strokes.setTo(0, others);
  withoutRules(strokes);
  if (cv::countNonZero(strokes) == 0) return std::nullopt;
  const cv::Mat disk =
      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * rimGrowth + 1, 2 * rimGrowth + 1));
  cv::dilate(strokes, grown, disk);
  grown.setTo(0, others);
  return keyed;
}

// The hole with the ringing around it on flat ground (see haloReach) taken in.
cv::Mat withHalo(const cv::Mat& rgb, const cv::Mat& hole, const cv::Mat& elsewhere) {
  const auto grown = [&](int by) {
    cv::Mat out;
    cv::dilate(hole, out,
               cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * by + 1, 2 * by + 1)));
    return out;
  };
  const cv::Mat reach = grown(haloReach);
  const cv::Mat beyond = grown(haloReach + 3) & ~reach & ~elsewhere;
  if (cv::countNonZero(beyond) == 0) return hole;
  // The fine detail just beyond the reach: the grey's distance from its local mean.
  cv::Mat grey, local, detail;
  cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
  grey.convertTo(grey, CV_32F);
  cv::GaussianBlur(grey, local, cv::Size(0, 0), 1.5);
  cv::absdiff(grey, local, detail);
  std::vector<float> around;
  for (int y = 0; y < rgb.rows; ++y) {
    for (int x = 0; x < rgb.cols; ++x) {
      if (beyond.at<uint8_t>(y, x)) around.push_back(detail.at<float>(y, x));
    }
  }
  if (double(upperMedian(around)) > flatDetail) return hole;
  cv::Mat ground = rgb.clone();
  const cv::Mat painted = reach | elsewhere;
  fillHoles(ground, painted, painted, lineScaleSide(rgb.cols, rgb.rows, estimateHeight));
  const cv::Mat off = channelDistance(rgb, ground);
  const cv::Mat ringing = reach & ~elsewhere & (off > haloLevels) & (off <= haloMost);
  // Grown from the hole through the ringing, a pixel a step, as far as it reaches.
  cv::Mat taken = hole.clone(), step;
  for (int i = 0; i < haloReach; ++i) {
    cv::dilate(taken, step, cv::Mat::ones(3, 3, CV_8U));
    taken |= step & ringing;
  }
  return taken;
}

}  // namespace

std::optional<KeyedInk> keyedInk(const uint8_t* picture, const uint8_t* background, size_t n,
                                 const uint8_t* evidence) {
  if (n == 0) return std::nullopt;
  const std::vector<float> difference = differenceOf(picture, background, n);
  auto counts = [&](size_t p) { return evidence == nullptr || evidence[p] != 0; };
  std::vector<float> sorted;
  for (size_t p = 0; p < n; ++p) sorted.push_back(counts(p) ? difference[p] : 0.0f);
  const auto at = sorted.begin() + long(float(n) * inkPercentile);
  std::nth_element(sorted.begin(), at, sorted.end());
  const float q = *at;

  // Ink: the pixels that differ most, and clearly.
  std::vector<float> inkRed, inkGreen, inkBlue;
  for (size_t p = 0; p < n; ++p) {
    if (counts(p) && difference[p] >= q && difference[p] > leastInkDifference) {
      inkRed.push_back(float(picture[p * 4]) / byteScale);
      inkGreen.push_back(float(picture[p * 4 + 1]) / byteScale);
      inkBlue.push_back(float(picture[p * 4 + 2]) / byteScale);
    }
  }
  if (inkRed.size() < leastInkPixels) return std::nullopt;
  KeyedInk keyed;
  keyed.ink = {upperMedian(inkRed), upperMedian(inkGreen), upperMedian(inkBlue)};

  // Keyed alpha: near the ink colour, and different enough from the background.
  keyed.alpha.resize(n);
  int64_t strong = 0, agree = 0;
  std::vector<size_t> unexplained;  // strong differences neither in the ink nor a blend of it
  for (size_t p = 0; p < n; ++p) {
    float distance = 0;
    for (size_t c = 0; c < 3; ++c) {
      distance = std::max(distance, std::abs(float(picture[p * 4 + c]) / byteScale - keyed.ink[c]));
    }
    const float colourOpacity = unit((colourReach - distance) / colourRamp);
    const float gate = unit((difference[p] - gateStart) / gateRamp);
    keyed.alpha[p] = colourOpacity * gate;
    if (counts(p) && difference[p] > strongDifference) {
      ++strong;
      if (keyed.alpha[p] > opaqueKeyed) {
        ++agree;
      } else if (!blendOf(picture + p * 4, background + p * 4, keyed.ink)) {
        unexplained.push_back(p);
      }
    }
  }
  // When the colour model doesn't fit the strong differences, or a word is set in a colour of
  // its own, the difference itself is used.
  if (strong != 0 &&
      (!(float(agree) / float(strong) > opaqueKeyed) ||
       float(inCommonColour(picture, unexplained)) >= otherInkShare * float(strong))) {
    keyed.oneColour = false;
    for (size_t p = 0; p < n; ++p) {
      keyed.alpha[p] = unit((difference[p] - fallbackStart) / fallbackRamp);
    }
  }
  return keyed;
}

std::optional<TextInk> findTextInk(const uint8_t* picture, int w, int h, const uint8_t* others,
                                   bool lossy) {
  if (w <= 0 || h <= 0) return std::nullopt;
  const cv::Mat elsewhere = others ? cv::Mat(h, w, CV_8U, const_cast<uint8_t*>(others)) != 0
                                   : cv::Mat(h, w, CV_8U, cv::Scalar(0));
  cv::Mat rgb;
  cv::cvtColor(cv::Mat(h, w, CV_8UC4, const_cast<uint8_t*>(picture)), rgb, cv::COLOR_RGBA2RGB);
  // First estimate: the rectangle painted in from its border ring.
  cv::Mat inside(h, w, CV_8U, cv::Scalar(0));
  // The ring is at least borderRing pixels wide at the scale of the estimate.
  const int ring = std::min(
      {borderRing * ((h + estimateHeight - 1) / estimateHeight), (w - 1) / 2, (h - 1) / 2});
  inside(cv::Rect(ring, ring, w - 2 * ring, h - 2 * ring)).setTo(255);
  // The ink is told by pixels in colours that don't dominate the border: the lines are padded,
  // so their letters stand mostly clear of it, and what shows all along it (a band, a photo
  // below it) is background.
  cv::Mat alongOneSide;
  const std::vector<uint8_t> evidence =
      notBorderColours(picture, elsewhere, w, h, ring, alongOneSide);
  // The border's pixels in a colour that runs along one or two of its sides only (a rule, the
  // letters of another line) are painted in too, when background remains to paint from.
  cv::Mat first = inside | elsewhere;
  if (cv::countNonZero(first | alongOneSide) < w * h) first |= alongOneSide;
  cv::Mat grown;
  if (!strokesAgainst(picture, inpainted(rgb, first), evidence, elsewhere, w, h, grown)) {
    return std::nullopt;
  }
  // Second estimate: only the strokes found painted in from the pixels around them; the strokes
  // are keyed again against it.
  cv::Mat hole;
  std::optional<KeyedInk> keyed =
      strokesAgainst(picture, inpainted(rgb, grown | elsewhere), evidence, elsewhere, w, h, hole);
  if (!keyed) return std::nullopt;
  if (lossy) hole = withHalo(rgb, hole, elsewhere);
  TextInk found;
  found.w = w;
  found.h = h;
  found.hole.assign(hole.datastart, hole.dataend);
  found.ink = keyed->ink;
  found.oneColour = keyed->oneColour;
  return found;
}

}  // namespace plumvane
