#include "platform/vision/mask_refinement.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace plumvane {
namespace {

// The map's hesitation well inside or outside a subject is not an edge: values this far from
// the middle count as sure, and the map is stretched to 0..1 between them.
constexpr float hesitation = 0.3f;
// The edge is decided on a grid of about this many cells per map pixel: fine enough to place it
// within a couple of picture pixels, coarse enough to stay cheap on any picture.
constexpr double cellsPerMapPixel = 3;
// Colour samples of each side are looked for this many cells around a band cell (beyond the
// band's half width of about a map pixel), and the nearest few of each side are paired.
constexpr int sampleReach = 8;
constexpr size_t samplesPerSide = 4;
// Colours this close (0..1 RGB, squared distance) are the same colour to the eye.
constexpr float sameColour = 0.03f * 0.03f;
// Below this distance between the two sides' colours (squared) colour can't tell them apart,
// and the map decides.
constexpr float alikeSides = 0.08f * 0.08f;

// The map's rise per map pixel below which it hesitates on a plateau, and above which it is
// crossing its outline.
constexpr float flatRamp = 0.05f;
constexpr float steepRamp = 0.25f;

// What a cell of the grid is: in the band to decide, or surely one side.
enum Side : uint8_t { band = 0, background = 1, foreground = 2 };

// The grid-sized buffers of one refinement, kept from call to call: a video's frames are all
// the same size, and allocating them anew for each frame costs more than using them.
struct Workspace {
  cv::Mat coverage;   // CV_32F, the firmed map at each cell's centre
  cv::Mat outline;    // CV_8U, 255 within a map pixel of where the map hesitates
  cv::Mat steepness;  // CV_32F, how steeply the map rises across each cell, per map pixel
  cv::Mat side;       // CV_8U, a Side per cell
  cv::Mat needed;     // CV_8U, the cells whose colour the band's decisions read
  cv::Mat colours;    // CV_32FC3, the mean colour of each cell within reach of the band
  cv::Mat decided;    // CV_32F, a band cell's coverage as its colour says
  cv::Mat trust;      // CV_32F, how far that is to be trusted; 0 off the band
  cv::Mat edge;       // CV_8U, 1 on band cells where the decided edge runs
  std::vector<cv::Point> bandCells;  // row by row, left to right
  std::vector<size_t> rowStarts;     // where each row of the grid starts in bandCells
  // The background and foreground colours that explain each band cell, in bandCells' order:
  // only the band has them, and a grid of them at a 12-megapixel photo's own size (the outline's
  // second pass) took 288 MB.
  std::vector<cv::Vec6f> pairs;
};

cv::Vec3f colourOf(const uint8_t* pixel) {
  return cv::Vec3f(pixel[0], pixel[1], pixel[2]) * (1.0f / 255);
}

// A coverage pushed away from one half by the factor, within 0..1.
float crisp(float coverage, float factor) {
  return std::clamp((coverage - 0.5f) * factor + 0.5f, 0.0f, 1.0f);
}

float squaredDistance(const cv::Vec3f& a, const cv::Vec3f& b) {
  const cv::Vec3f d = a - b;
  return d.dot(d);
}

// Where colour c lies between b and f: the share of f in the mix of the two nearest to c, and
// how far c is from that mix (squared).
struct Between {
  float along;
  float off;
};

Between between(const cv::Vec3f& c, const cv::Vec3f& b, const cv::Vec3f& f) {
  const cv::Vec3f apart = f - b;
  const float spread = std::max(apart.dot(apart), 1e-6f);
  const float along = std::clamp((c - b).dot(apart) / spread, 0.0f, 1.0f);
  return {along, squaredDistance(c, b + along * apart)};
}

// The offsets of every other cell within the sample reach (sure cells are alike in colour
// nearby), nearest first.
const std::vector<cv::Point>& nearestFirst() {
  static const std::vector<cv::Point> offsets = [] {
    std::vector<cv::Point> all;
    for (int v = -sampleReach; v <= sampleReach; v += 2) {
      for (int u = -sampleReach; u <= sampleReach; u += 2) all.emplace_back(u, v);
    }
    std::stable_sort(all.begin(), all.end(), [](cv::Point a, cv::Point b) {
      return a.x * a.x + a.y * a.y < b.x * b.x + b.y * b.y;
    });
    return all;
  }();
  return offsets;
}

// Decides each band cell's coverage from its colour, as a mix of a sure foreground colour and a
// sure background colour found nearby: of the pairs of the nearest few of each side, the one
// that explains the cell's colour best. Pairs rather than means, because a subject is often
// several colours (a ladybird's red, black and white); a mix rather than a choice, because hair,
// fur and anti-aliased rims are mixes. A colour that one side matches about as well as the mix
// is that side's own, as inside a textured subject.
void decideBand(Workspace& w, const BitmapView& picture, int step) {
  // A cell's mean colour; a cell of one pixel is that pixel, read where it lies.
  const auto colourAt = [&](cv::Point at) {
    return step == 1 ? colourOf(picture.pixels + size_t(at.y) * picture.rowBytes + size_t(at.x) * 4)
                     : w.colours.at<cv::Vec3f>(at);
  };
  w.trust.create(w.side.size(), CV_32F);
  w.pairs.resize(w.bandCells.size());
  w.trust.setTo(0);
  const std::vector<cv::Point>& offsets = nearestFirst();
  cv::parallel_for_(cv::Range(0, int(w.bandCells.size())), [&](const cv::Range& range) {
    std::vector<cv::Vec3f> samples[2];  // background, foreground
    for (int i = range.start; i < range.end; ++i) {
      const cv::Point cell = w.bandCells[size_t(i)];
      samples[0].clear();
      samples[1].clear();
      for (const cv::Point& o : offsets) {
        const cv::Point at = cell + o;
        if (at.x < 0 || at.y < 0 || at.x >= w.side.cols || at.y >= w.side.rows) continue;
        const uint8_t s = w.side.at<uint8_t>(at);
        if (s == band || samples[s - 1].size() == samplesPerSide) continue;
        samples[s - 1].push_back(colourAt(at));
        if (samples[0].size() == samplesPerSide && samples[1].size() == samplesPerSide) break;
      }
      if (samples[0].empty() || samples[1].empty()) continue;
      const cv::Vec3f colour = colourAt(cell);
      // The sample of each side nearest the colour: a colour that one side matches about as
      // well as any mix is that side's own, as inside a textured subject.
      float pure[2] = {HUGE_VALF, HUGE_VALF};
      cv::Vec3f nearest[2];
      for (int s = 0; s < 2; ++s) {
        for (const cv::Vec3f& one : samples[s]) {
          const float distance = squaredDistance(colour, one);
          if (distance < pure[s]) {
            pure[s] = distance;
            nearest[s] = one;
          }
        }
      }
      Between best{0, HUGE_VALF};
      cv::Vec3f b = nearest[0], f = nearest[1];
      if (std::min(pure[0], pure[1]) > 4 * sameColour) {
        for (const cv::Vec3f& someB : samples[0]) {
          for (const cv::Vec3f& someF : samples[1]) {
            const Between mix = between(colour, someB, someF);
            if (mix.off < best.off) {
              best = mix;
              b = someB;
              f = someF;
            }
          }
        }
      }
      if (std::min(pure[0], pure[1]) <= 4 * best.off + sameColour) {
        best = {pure[1] < pure[0] ? 1.0f : 0.0f, std::min(pure[0], pure[1])};
      }
      const float spread = squaredDistance(f, b);
      if (spread <= alikeSides) continue;
      // Trusted as far as the two sides differ and the mix explains the colour.
      w.trust.at<float>(cell) = std::min(1.0f, 2 * spread / (spread + 4 * (best.off + sameColour)));
      w.decided.at<float>(cell) = best.along;
      w.pairs[size_t(i)] = cv::Vec6f(b[0], b[1], b[2], f[0], f[1], f[2]);
    }
  });
}

// A cell's coverage after the decision: its colour's where trusted, else the map's side.
float cellCoverage(const Workspace& w, int x, int y) {
  const float trust = w.trust.at<float>(y, x);
  const float map = w.coverage.at<float>(y, x) >= 0.5f ? 1.0f : 0.0f;
  return trust > 0 ? trust * w.decided.at<float>(y, x) + (1 - trust) * map : map;
}

// Marks the band cells where the decided edge runs (a neighbour lies on the other side of one
// half) or the colour decided a mix: only there may a pixel's colour make it a mix. Inside a
// textured subject, a colour between the two sides' is texture.
void findEdge(Workspace& w) {
  w.edge.create(w.side.size(), CV_8U);
  for (const cv::Point& cell : w.bandCells) {
    const float here = cellCoverage(w, cell.x, cell.y);
    bool edge = here > 0.1f && here < 0.9f;
    for (int v = std::max(0, cell.y - 1); !edge && v <= std::min(w.side.rows - 1, cell.y + 1);
         ++v) {
      for (int u = std::max(0, cell.x - 1); u <= std::min(w.side.cols - 1, cell.x + 1); ++u) {
        if ((cellCoverage(w, u, v) >= 0.5f) != (here >= 0.5f)) edge = true;
      }
    }
    w.edge.at<uint8_t>(cell) = edge;
  }
}

// Linear interpolation along one axis of the grid, for one picture pixel: between the cells
// `first` and `second` (centres at whole numbers), `share` of the way to the second.
struct Lerp {
  int first = 0;
  int second = 0;
  float share = 0;

  float of(const float* cells) const { return cells[first] * (1 - share) + cells[second] * share; }
};

// The interpolation of each of `pixels` pixels between the cells (`step` pixels each) of an axis
// `cells` long, the end cells repeated outwards.
std::vector<Lerp> lerps(int pixels, int step, int cells) {
  std::vector<Lerp> result(static_cast<size_t>(pixels));
  for (int p = 0; p < pixels; ++p) {
    const float at = std::clamp((float(p) + 0.5f) / float(step) - 0.5f, 0.0f, float(cells - 1));
    Lerp& l = result[size_t(p)];
    l.first = int(at);
    l.second = std::min(l.first + 1, cells - 1);
    l.share = at - float(l.first);
  }
  return result;
}

// The map with its hesitation well inside and outside a subject taken as sure.
Mask firmed(Mask map) {
  for (float& v : map.values) {
    v = std::clamp((v - (0.5f - hesitation)) / (2 * hesitation), 0.0f, 1.0f);
  }
  return map;
}

// The mean colour of each cell that the band's decisions read: the band's cells and the cells
// within the sample reach of them. Only those: the band is a small part of the picture.
void cellColours(Workspace& w, const BitmapView& picture, int step) {
  // Cells of one pixel are read from the picture: their grid at a 12-megapixel photo's own size
  // (the outline's second pass) took 144 MB.
  if (step == 1) return;
  cv::dilate(w.side == band, w.needed,
             cv::getStructuringElement(cv::MORPH_RECT,
                                       cv::Size(2 * sampleReach + 1, 2 * sampleReach + 1)));
  w.colours.create(w.side.size(), CV_32FC3);
  cv::parallel_for_(cv::Range(0, w.side.rows), [&](const cv::Range& rows) {
    for (int cy = rows.start; cy < rows.end; ++cy) {
      const uint8_t* needed = w.needed.ptr<uint8_t>(cy);
      cv::Vec3f* colours = w.colours.ptr<cv::Vec3f>(cy);
      const int y0 = cy * step, y1 = std::min(picture.height, y0 + step);
      for (int cx = 0; cx < w.side.cols; ++cx) {
        if (!needed[cx]) continue;
        const int x0 = cx * step, x1 = std::min(picture.width, x0 + step);
        cv::Vec3f sum(0, 0, 0);
        for (int y = y0; y < y1; ++y) {
          const uint8_t* row = picture.pixels + size_t(y) * picture.rowBytes;
          for (int x = x0; x < x1; ++x) sum += colourOf(row + x * 4);
        }
        colours[cx] = sum / float((y1 - y0) * (x1 - x0));
      }
    }
  });
}

// Marks the band to decide again: where the map hesitates, and a map pixel either side of its
// outline, since the model places it no better than that. Beyond the band the map is sure, and
// its cells give the colours of the two sides. Lists the band's cells.
void markBand(Workspace& w, const Mask& map, cv::Size grid) {
  const cv::Mat values(map.height, map.width, CV_32F, const_cast<float*>(map.values.data()));
  cv::resize(values, w.coverage, grid, 0, 0, cv::INTER_LINEAR);
  const cv::Mat inside = values >= 0.5f;
  cv::Mat grown, shrunk;
  cv::dilate(inside, grown, cv::Mat());
  cv::erode(inside, shrunk, cv::Mat());
  cv::resize(grown & ~shrunk, w.outline, grid, 0, 0, cv::INTER_LINEAR);  // rounded, not blocky
  w.outline = (w.outline > 127) | ((w.coverage > 0.02f) & (w.coverage < 0.98f));
  cv::Mat dx, dy, steepness;
  cv::Sobel(values, dx, CV_32F, 1, 0, 3, 1.0 / 8);
  cv::Sobel(values, dy, CV_32F, 0, 1, 3, 1.0 / 8);
  cv::magnitude(dx, dy, steepness);
  cv::resize(steepness, w.steepness, grid, 0, 0, cv::INTER_LINEAR);
  w.side.create(grid, CV_8U);
  w.decided.create(grid, CV_32F);  // the map's side until the colour decides
  w.bandCells.clear();
  w.rowStarts.resize(size_t(grid.height));
  for (int y = 0; y < grid.height; ++y) {
    w.rowStarts[size_t(y)] = w.bandCells.size();
    const float* coverage = w.coverage.ptr<float>(y);
    const uint8_t* outline = w.outline.ptr<uint8_t>(y);
    uint8_t* side = w.side.ptr<uint8_t>(y);
    float* decided = w.decided.ptr<float>(y);
    for (int x = 0; x < grid.width; ++x) {
      side[x] = outline[x] ? band : coverage[x] >= 0.5f ? foreground : background;
      decided[x] = coverage[x] >= 0.5f ? 1.0f : 0.0f;
      if (outline[x]) w.bandCells.emplace_back(x, y);
    }
  }
}

// Each pixel of the band on its own, in `refined` (the firmed map stretched to the picture).
// Where its cell's colour decided, that decision; elsewhere the map's outline, drawn sharp: the
// map's ramp across its outline says where the outline is, not how soft it is. Then, on the
// decided edge, the pixel's coverage is where its own colour lies between its cell's two sides,
// so the edge follows the picture's pixels and a mixed pixel (an anti-aliased rim, a hair) gets
// a mixed value. A colour off the line between the two (texture, a third colour) is left to the
// decision before.
void refinePixels(const Workspace& w, const BitmapView& picture, int step, float stretch,
                  Mask& refined) {
  const cv::Size grid = w.side.size();
  const std::vector<Lerp> across = lerps(picture.width, step, grid.width);
  const std::vector<Lerp> down = lerps(picture.height, step, grid.height);
  cv::parallel_for_(cv::Range(0, picture.height), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      const uint8_t* row = picture.pixels + size_t(y) * picture.rowBytes;
      float* out = refined.values.data() + size_t(y) * size_t(picture.width);
      const int cy = y / step;
      const uint8_t* side = w.side.ptr<uint8_t>(cy);
      const uint8_t* edge = w.edge.ptr<uint8_t>(cy);
      const float* steepness = w.steepness.ptr<float>(cy);
      const float* ownTrust = w.trust.ptr<float>(cy);
      const float* ownDecided = w.decided.ptr<float>(cy);
      const cv::Vec6f* pairs = w.pairs.data() + w.rowStarts[size_t(cy)];  // the row's band cells
      const Lerp& v = down[size_t(y)];
      const float* trust[2] = {w.trust.ptr<float>(v.first), w.trust.ptr<float>(v.second)};
      const float* decided[2] = {w.decided.ptr<float>(v.first), w.decided.ptr<float>(v.second)};
      for (int cx = 0; cx < grid.width; ++cx) {
        if (side[cx] != band) continue;
        const cv::Vec6f& cellPair = *pairs++;
        // A plateau where the model hesitates (thin hair, a veil) keeps its value.
        const float ramp =
            std::clamp((steepness[cx] - flatRamp) / (steepRamp - flatRamp), 0.0f, 1.0f);
        const float sharpen = 1 + (stretch - 1) * ramp;
        const bool pure = ownDecided[cx] == 0.0f || ownDecided[cx] == 1.0f;
        const bool mixes = edge[cx] && ownTrust[cx] > 0;
        const cv::Vec6f pair = mixes ? cellPair : cv::Vec6f();
        const cv::Vec3f b(pair[0], pair[1], pair[2]), f(pair[3], pair[4], pair[5]);
        const float spread = squaredDistance(f, b);
        for (int x = cx * step; x < std::min(picture.width, (cx + 1) * step); ++x) {
          const Lerp& u = across[size_t(x)];
          const float trusted = crisp(u.of(trust[0]) * (1 - v.share) + u.of(trust[1]) * v.share, 4);
          float alpha = crisp(out[x], sharpen);
          if (trusted > 0) {
            // Between cells decided pure, the edge is sharp: only a mixed cell makes mixed
            // pixels.
            float fromColour = u.of(decided[0]) * (1 - v.share) + u.of(decided[1]) * v.share;
            if (pure) fromColour = crisp(fromColour, float(2 * step));
            alpha = trusted * fromColour + (1 - trusted) * alpha;
          }
          if (mixes) {
            const Between mix = between(colourOf(row + x * 4), b, f);
            const float fit = spread / (spread + 4 * mix.off);
            alpha = fit * mix.along + (1 - fit) * alpha;
          }
          out[x] = alpha;
        }
      }
    }
  });
}

}  // namespace

Mask refinedMask(const BitmapView& picture, const Mask& coarse) {
  if (coarse.isEmpty() || picture.width <= 0 || picture.height <= 0) {
    return resizedMask(coarse, picture.width, picture.height);
  }
  const Mask map = firmed(coarse);
  Mask refined = resizedMask(map, picture.width, picture.height);
  const double stretch =
      std::max(double(picture.width) / map.width, double(picture.height) / map.height);
  const int step = std::max(1, int(std::lround(stretch / cellsPerMapPixel)));
  const cv::Size grid((picture.width + step - 1) / step, (picture.height + step - 1) / step);
  // One workspace per calling thread; the lambdas run on other threads, so they reach it through
  // this reference, never by its thread-local name.
  thread_local Workspace workspace;
  Workspace& w = workspace;

  markBand(w, map, grid);
  if (w.bandCells.empty()) return refined;
  cellColours(w, picture, step);
  decideBand(w, picture, step);
  findEdge(w);
  refinePixels(w, picture, step, float(stretch), refined);
  return refined;
}

}  // namespace plumvane
