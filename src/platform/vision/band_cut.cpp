#include "platform/vision/band_cut.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/vision/mask_refinement.h"

namespace plumvane {
namespace {

// The cut runs on a copy whose longer side is at most this: three pixels per pixel of the
// subject model's map, fine enough to place the outline within a map pixel's third, small
// enough that the cut costs a fraction of the model's inference.
constexpr double workSide = 960;
// The band's half width, in map pixels: the model places its outline about a map pixel off, and
// the refinement before has already moved it by up to that much.
constexpr double bandMapPixels = 1.5;
// The colour models are learnt from the sure pixels this many band widths around the band.
constexpr int modelReach = 2;
// How soft the cut's outline is drawn, in pixels of the copy (and at least twice that in the
// picture's, so that on a small picture fur isn't drawn in steps).
constexpr double cutSoftness = 1.0;
// A clear edge: a gradient of at least this share of the picture's 95th percentile. Where none
// is within the band's reach, the edge is out of focus or the two sides alike, and the refined
// alpha's soft ramp says more than a cut between colour models could.
constexpr double clearEdgeShare = 0.3;
// ... and at least this (a grey slope of about 6 levels per pixel under the 3x3 Sobel filter):
// in a picture all out of focus, the 95th percentile is itself soft.
constexpr double clearEdgeFloor = 45;
// The regions of the refined mask that the cut may not break apart: where its coverage on the copy
// is at least this (a thin stem of a colour near the background's is half transparent in it).
constexpr float heldCoverage = 0.2f;
// Pieces the cut broke apart are joined again by paths of at most this many band half widths.
constexpr int joinReach = 6;
// Coverage between these is a hesitation, not a decision.
constexpr float plateauLow = 0.1f, plateauHigh = 0.9f;
// The seam between the second refinement and the first, in pixels of the copy.
constexpr double seamSoftness = 1.5;

cv::Mat asMat(const Mask& mask) {
  return cv::Mat(mask.height, mask.width, CV_32F, const_cast<float*>(mask.values.data()));
}

// The picture as 8-bit BGR at the given size.
cv::Mat reducedBgr(const BitmapView& picture, cv::Size size) {
  const cv::Mat view(picture.height, picture.width, CV_8UC4, const_cast<uint8_t*>(picture.pixels),
                     picture.rowBytes);
  cv::Mat small, bgr;
  cv::resize(view, small, size, 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, bgr,
               picture.order == BitmapView::Order::rgba ? cv::COLOR_RGBA2BGR : cv::COLOR_BGRA2BGR);
  return bgr;
}

// Takes back the cut's moves where its new outline follows no clear edge of the copy and none is
// within `reach` pixels: there the edge is out of focus or the two sides look alike, and the
// refined alpha's ramp says more than the cut's colour models could.
void keepWhereUnclear(const cv::Mat& bgr, const cv::Mat& inside, cv::Mat& cutInside, int reach) {
  cv::Mat grey, dx, dy, magnitude;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::Sobel(grey, dx, CV_32F, 1, 0);
  cv::Sobel(grey, dy, CV_32F, 0, 1);
  cv::magnitude(dx, dy, magnitude);
  std::vector<float> values(magnitude.begin<float>(), magnitude.end<float>());
  auto at95 = values.begin() + std::ptrdiff_t(0.95 * double(values.size() - 1));
  std::nth_element(values.begin(), at95, values.end());
  const cv::Mat clear = magnitude >= std::max(clearEdgeFloor, clearEdgeShare * double(*at95));
  const cv::Mat disc =
      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1));
  cv::Mat onClear, nearClear, grown, shrunk, nearUnclear;
  cv::dilate(clear, onClear, cv::Mat());
  cv::dilate(clear, nearClear, disc);
  const cv::Mat moved = cutInside != inside;
  cv::dilate(cutInside, grown, cv::Mat());
  cv::erode(cutInside, shrunk, cv::Mat());
  cv::dilate(grown & ~shrunk & moved & ~onClear, nearUnclear, disc);
  inside.copyTo(cutInside, moved & nearUnclear & ~nearClear);
}

// Joins again what the cut broke apart: the pieces of the cut's mask that lie in one region of
// the refined mask are linked by the shortest paths through that region, at most `longest` pixels
// long (a spanning tree over the pieces, its links found where their geodesic neighbourhoods
// meet). A thin stem that the cut took for background, or left as dots, gets its line back.
void keepWhole(const cv::Mat& held, cv::Mat& cutInside, int longest) {
  cv::Mat pieces;
  const int pieceCount = cv::connectedComponents(cutInside, pieces, 8, CV_32S);
  if (pieceCount <= 2) return;
  const int width = held.cols, height = held.rows;
  const size_t size = size_t(width) * size_t(height);
  std::vector<int> owner(size, 0), dist(size, -1), parent(size, -1), queue;
  queue.reserve(size);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int piece = pieces.at<int>(y, x);
      if (piece == 0) continue;
      const int at = y * width + x;
      owner[size_t(at)] = piece;
      dist[size_t(at)] = 0;
      queue.push_back(at);
    }
  }
  // Each piece's geodesic neighbourhood through the refined mask, half a link's length deep.
  for (size_t head = 0; head < queue.size(); ++head) {
    const int at = queue[head], x = at % width, y = at / width;
    if (2 * dist[size_t(at)] >= longest) continue;
    for (int v = std::max(0, y - 1); v <= std::min(height - 1, y + 1); ++v) {
      for (int u = std::max(0, x - 1); u <= std::min(width - 1, x + 1); ++u) {
        const int next = v * width + u;
        if (dist[size_t(next)] >= 0 || !held.at<uint8_t>(v, u)) continue;
        dist[size_t(next)] = dist[size_t(at)] + 1;
        owner[size_t(next)] = owner[size_t(at)];
        parent[size_t(next)] = at;
        queue.push_back(next);
      }
    }
  }
  // The shortest link between each two neighbouring pieces.
  struct Link {
    int length, from, to;
  };
  std::map<std::pair<int, int>, Link> links;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int at = y * width + x, a = owner[size_t(at)];
      if (a == 0) continue;
      for (const auto& [du, dv] : {std::pair{1, 0}, {0, 1}, {1, 1}, {-1, 1}}) {
        const int u = x + du, v = y + dv;
        if (u < 0 || u >= width || v >= height) continue;
        const int next = v * width + u, b = owner[size_t(next)];
        if (b == 0 || b == a) continue;
        const Link link{dist[size_t(at)] + dist[size_t(next)], at, next};
        auto [found, added] = links.try_emplace(std::minmax(a, b), link);
        if (!added && link.length < found->second.length) found->second = link;
      }
    }
  }
  std::vector<Link> order;
  for (const auto& entry : links) order.push_back(entry.second);
  std::sort(order.begin(), order.end(),
            [](const Link& a, const Link& b) { return a.length < b.length; });
  std::vector<int> leader(static_cast<size_t>(pieceCount));
  for (int i = 0; i < pieceCount; ++i) leader[size_t(i)] = i;
  const auto find = [&](int i) {
    while (leader[size_t(i)] != i) i = leader[size_t(i)] = leader[size_t(leader[size_t(i)])];
    return i;
  };
  for (const Link& link : order) {
    const int a = find(owner[size_t(link.from)]), b = find(owner[size_t(link.to)]);
    if (a == b) continue;
    leader[size_t(a)] = b;
    for (int end : {link.from, link.to}) {
      for (int at = end; at >= 0 && dist[size_t(at)] > 0; at = parent[size_t(at)]) {
        cutInside.at<uint8_t>(at / width, at % width) = 255;
      }
    }
  }
}

}  // namespace

Mask cutAlongOutline(const BitmapView& picture, Mask refined, double mapPixel) {
  if (refined.isEmpty() || picture.width < 16 || picture.height < 16) return refined;
  const double scale = std::min(1.0, workSide / std::max(picture.width, picture.height));
  const cv::Size work(std::max(1, int(std::lround(picture.width * scale))),
                      std::max(1, int(std::lround(picture.height * scale))));
  const int reach = std::max(2, int(std::lround(bandMapPixels * mapPixel * scale)));

  cv::Mat coverage;
  cv::resize(asMat(refined), coverage, work, 0, 0, cv::INTER_AREA);
  const cv::Mat inside = coverage >= 0.5f;
  const cv::Mat disc =
      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1));
  cv::Mat grown, shrunk;
  cv::dilate(inside, grown, disc);
  cv::erode(inside, shrunk, disc);
  // A plateau where the model hesitates over a whole region (an out-of-focus chest, a flag
  // behind someone), a band's width across, is decided by the cut as well.
  cv::Mat plateau = (coverage > plateauLow) & (coverage < plateauHigh);
  cv::morphologyEx(plateau, plateau, cv::MORPH_OPEN, disc);
  shrunk &= ~plateau;
  const cv::Mat band = (grown & ~shrunk) | plateau;
  if (cv::countNonZero(band) == 0) return refined;

  // Sure labels beyond the band, the refined side as a first guess within it.
  cv::Mat labels(work, CV_8U, cv::Scalar(cv::GC_BGD));
  labels.setTo(cv::GC_FGD, shrunk);
  labels.setTo(cv::GC_PR_FGD, band & inside);
  labels.setTo(cv::GC_PR_BGD, band & ~inside);
  const cv::Rect box = cv::boundingRect(band);
  const int margin = modelReach * reach;
  const cv::Rect window =
      cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
      cv::Rect(0, 0, work.width, work.height);
  cv::Mat part = labels(window);
  const int fore = cv::countNonZero((part & 1) != 0);
  if (fore < 32 || window.area() - fore < 32) return refined;
  const cv::Mat bgr = reducedBgr(picture, work);
  cv::theRNG().state = 0x12345678;  // the colour models' start, the same on every run
  try {
    cv::Mat backModel, foreModel;
    cv::grabCut(bgr(window), part, cv::Rect(), backModel, foreModel, 1, cv::GC_INIT_WITH_MASK);
  } catch (const cv::Exception&) {
    return refined;  // colour models that can't be learnt leave the refined outline as it is
  }

  cv::Mat cutInside = (labels & 1) != 0;
  // Far from a clear edge the refined side stands: the edge is out of focus, or the two sides
  // look alike, and the refined alpha's ramp says more than the cut's colour models could. A
  // plateau has no edge to follow, and is the cut's.
  const cv::Mat plateauCut = cutInside.clone();
  keepWhereUnclear(bgr, inside, cutInside, reach);
  plateauCut.copyTo(cutInside, plateau);
  // The cut may not break the subject apart; what it must give back keeps the refined alpha,
  // untouched by the second refinement around it.
  const cv::Mat proposed = cutInside.clone();
  keepWhole(coverage >= heldCoverage, cutInside, joinReach * reach);
  cv::Mat givenBack = cutInside & ~proposed;
  cv::dilate(givenBack, givenBack, cv::Mat());
  // A plateau's soft coverage gives way to the cut's decision, whichever side it takes.
  cv::Mat moved = (cutInside != inside) | plateau;
  if (cv::countNonZero(moved) == 0) return refined;
  // The cut stands in for the model's map in a second refinement at full resolution, which
  // places the moved outline on the picture's pixels. Where the cut kept the refined side, the
  // first refinement stands, its soft hair and fur with it.
  cv::Mat cutMap;
  cutInside.convertTo(cutMap, CV_32F, 1.0 / 255);
  // Softened by a pixel of the copy and at least two of the picture, so that the edge is not
  // drawn in whole pixels, and where the colour can't decide it keeps a ramp.
  cv::GaussianBlur(cutMap, cutMap, cv::Size(), std::max(cutSoftness, cutSoftness * 2 * scale));
  const Mask again =
      refinedMask(picture, Mask{cutMap.cols, cutMap.rows,
                                std::vector<float>(cutMap.begin<float>(), cutMap.end<float>())});
  // The second refinement is taken where the cut moved the outline, faded into the first over a
  // pixel or two of the copy, so that the seams between them don't show as steps.
  cv::dilate(moved, moved, cv::Mat(), cv::Point(-1, -1), 3);
  cv::Mat weight;
  moved.convertTo(weight, CV_32F, 1.0 / 255);
  cv::GaussianBlur(weight, weight, cv::Size(), seamSoftness);
  weight.setTo(0, givenBack);
  cv::resize(weight, weight, cv::Size(picture.width, picture.height), 0, 0, cv::INTER_LINEAR);
  // In place: at a photo's size, every whole-mask temporary costs tens of megabytes.
  const float* w = weight.ptr<float>();
  for (size_t i = 0; i < refined.values.size(); ++i) {
    refined.values[i] += w[i] * (again.values[i] - refined.values[i]);
  }
  return refined;
}

}  // namespace plumvane
