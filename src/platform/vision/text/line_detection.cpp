#include "platform/vision/text/line_detection.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "platform/vision/text/colour_breaks.h"
#include "platform/vision/text/column_gaps.h"
#include "platform/vision/text/detection_pass.h"
#include "platform/vision/text/line_ends.h"
#include "platform/vision/text/reading_order.h"
#include "platform/vision/text/size_breaks.h"
#include "platform/vision/text/small_print.h"

namespace plumvane {

namespace {

// Words whose top edge slopes less than this (in radians) may join others on their line.
constexpr double mostSlope = 0.09;  // about 5 degrees
// A line's rectangle at least this many times as high as wide may run down the picture, and its
// crop be turned a quarter to be read (see tallLine).
constexpr double turnedHeight = 1.5;
// A level line at least this many times as high as wide surely runs down the picture: a word of
// three letters or more. A short word of narrow letters ("IS") may be half as tall again as wide.
constexpr double uprightHeight = 2.5;

// Small print: lines lower than this many detection pixels are below the detector's comfortable
// size. It marks them poorly, runs stacked ones together and misses some.
constexpr double comfortableHeight = 12;
// The enlarged copy on which small print is looked for again: at this scale of the picture, or
// less so that it holds at most this many pixels, which keeps its time to a share of the run's.
// It is made only when it is at least the picture's own size (a picture too large for that is
// not looked at again: the time would grow with it) and at least `leastGain` times the first
// detection's scale.
constexpr double enlargedScale = 1.6;
constexpr double enlargedPixels = 2.2e6;
constexpr double leastGain = 1.4;
// The enlarged copy is detected in tiles of this many picture pixels a side, overlapping by
// `tileOverlap` so that a line of small print lies whole in at least one of them. A tile whose
// local contrast (the grey range of any 3 x 3 neighbourhood) stays below `leastContrast` holds
// no lettering and is skipped: the paper and the flat colour of a poster cost nothing.
constexpr int tileSide = 640;
constexpr int tileOverlap = 48;
constexpr double leastContrast = 24;
constexpr double seenMargin = 0.25;
// On a picture too large for the enlarged copy, the tiles that hold small print are detected at
// this scale of the picture, cropped to the small print they hold (see small_print.h).
constexpr double smallPrintScale = 1.6;
// Two lines are one when this share of the smaller one's box lies in the other's; a speck is no
// line of its own when this share of it lies in a larger line.
constexpr double sameLineShare = 0.5;
constexpr double speckShare = 0.9;
// See withoutSpecks.
constexpr double speckHeight = 2;
// See withCoarseLines.
constexpr double coarseSide = 256;
constexpr double coarseCanvas = 1.25;
constexpr double mostCoarseShare = 0.6;
constexpr double mostCovered = 0.25;

// The boxes of the `seen` lines, with a margin: a line's letters reach a little beyond its box.
std::vector<cv::Rect> seenBoxes(const std::vector<DetectedLine>& seen) {
  std::vector<cv::Rect> boxes;
  for (const DetectedLine& line : seen) {
    const int margin = int(std::ceil(seenMargin * line.height()));
    boxes.emplace_back(int(line.box.x) - margin, int(line.box.y) - margin,
                       int(line.box.width) + 2 * margin + 1, int(line.box.height) + 2 * margin + 1);
  }
  return boxes;
}

// The regions the detector marks in the picture enlarged by `scale`, tile by tile, in picture
// pixels. Only tiles where the 8-bit mask `where` is set are looked at; with `cropped`, only the
// part of the tile that bounds the mask.
std::vector<DetectedLine> detectTiles(OnnxModel& detector, const TextModels& models,
                                      const BitmapView& picture, double scale, const cv::Mat& where,
                                      bool cropped) {
  std::vector<DetectedLine> lines;
  const int step = tileSide - tileOverlap;
  for (int y = 0;; y += step) {
    const int h = std::min(tileSide, picture.height - y);
    for (int x = 0;; x += step) {
      const int w = std::min(tileSide, picture.width - x);
      const cv::Rect tile(x, y, w, h);
      cv::Rect part = tile;
      if (cropped) part = cv::boundingRect(where(tile)) + tile.tl();
      if (cropped ? !part.empty() : cv::countNonZero(where(tile)) > 0) {
        const cv::Size size =
            detectionInputSize(part.width, part.height, scale, models.detectionMultiple);
        // A tile keeps what is centred in its own share of the overlaps: a line cut at an edge is
        // whole in the next tile, and a long line cut across joins its other part there.
        const float half = tileOverlap / 2.0f;
        const cv::Rect2f own(x > 0 ? float(x) + half : 0, y > 0 ? float(y) + half : 0,
                             float(w) - (x > 0 ? half : 0) - (x + w < picture.width ? half : 0),
                             float(h) - (y > 0 ? half : 0) - (y + h < picture.height ? half : 0));
        const BitmapView view = partOf(picture, part.x, part.y, part.width, part.height);
        for (const DetectedLine& found : detectAt(detector, models, view, size)) {
          const Rect& b = found.box;
          const cv::Point2f centre(float(part.x + b.x + b.width / 2),
                                   float(part.y + b.y + b.height / 2));
          if (!own.contains(centre)) continue;
          auto corners = found.corners;
          for (auto& p : corners) p += cv::Point2f(float(part.x), float(part.y));
          lines.push_back(lineAlong(corners, picture));
        }
      }
      if (x + w >= picture.width) break;
    }
    if (y + h >= picture.height) break;
  }
  return lines;
}

// The share of the smaller box that lies in the other.
double sharedShare(const Rect& a, const Rect& b) {
  const Rect shared = intersection(a, b);
  const double smaller = std::min(a.area(), b.area());
  return shared.isEmpty() || smaller <= 0 ? 0 : shared.area() / smaller;
}

// Whether two boxes are much the same: each shares at least `sameLineShare` of its area with
// the other.
bool sameBox(const Rect& a, const Rect& b) {
  const Rect shared = intersection(a, b);
  const double larger = std::max(a.area(), b.area());
  return !shared.isEmpty() && larger > 0 && shared.area() >= sameLineShare * larger;
}

// Whether the box is a speck within a larger one: `speckShare` of it lies in the other.
bool speckIn(const Rect& speck, const Rect& larger) {
  return speck.area() < larger.area() && sharedShare(speck, larger) >= speckShare;
}

// The lines of both detections, each once. A line found at both scales is the first's, unless the
// first saw it below its comfortable size or ran lines together that the enlarged copy holds
// apart (two lines each at least half its width, one under the other): then the enlarged copy's
// lines stand for it. The lines up to twice the comfortable height that only the enlarged copy
// found are added, the largest of those that overlap: the first scale misses some lines of
// narrow letters over a photo at a comfortable height too (a larger line that the enlarged copy
// alone found may be cut by the edge of a tile).
std::vector<DetectedLine> merged(const std::vector<DetectedLine>& first, double firstScale,
                                 const std::vector<DetectedLine>& found) {
  // Specks the enlarged copy marks inside a larger line of its own (parts of a large letter) go.
  std::vector<DetectedLine> enlarged;
  for (const DetectedLine& line : found) {
    if (std::none_of(found.begin(), found.end(),
                     [&](const DetectedLine& other) { return speckIn(line.box, other.box); })) {
      enlarged.push_back(line);
    }
  }
  std::vector<DetectedLine> lines;
  std::vector<bool> matched(enlarged.size(), false);
  for (const DetectedLine& line : first) {
    std::vector<size_t> inside;
    for (size_t k = 0; k < enlarged.size(); ++k) {
      if (sharedShare(line.box, enlarged[k].box) >= sameLineShare) inside.push_back(k);
    }
    // Lines that span at least half of it, one under the other.
    bool stacked = false;
    for (size_t a : inside) {
      for (size_t b : inside) {
        const Rect &above = enlarged[a].box, &below = enlarged[b].box;
        stacked |= 2 * std::min(above.width, below.width) >= line.box.width &&
                   below.minY() >= above.minY() + above.height / 2;
      }
    }
    const bool small = line.height() * firstScale < comfortableHeight;
    const bool replaced = !inside.empty() && (stacked || small);
    for (size_t k : inside) {
      matched[k] = true;
      if (replaced) lines.push_back(enlarged[k]);
    }
    if (!replaced) lines.push_back(line);
  }
  // Of those it found that overlap, the largest stands for the others.
  std::vector<DetectedLine> added;
  for (size_t k = 0; k < enlarged.size(); ++k) {
    if (!matched[k] && enlarged[k].height() * firstScale < 2 * comfortableHeight) {
      added.push_back(enlarged[k]);
    }
  }
  std::stable_sort(added.begin(), added.end(), [](const DetectedLine& a, const DetectedLine& b) {
    return a.box.area() > b.box.area();
  });
  const size_t kept = lines.size();
  for (const DetectedLine& line : added) {
    if (std::none_of(lines.begin() + long(kept), lines.end(), [&](const DetectedLine& other) {
          return sharedShare(line.box, other.box) >= sameLineShare;
        })) {
      lines.push_back(line);
    }
  }
  return lines;
}

// The direction in which a line runs (along its rectangle's longer side), in [0, pi).
double runAngle(const DetectedLine& line) {
  const auto& c = line.corners;
  const cv::Point2f run =
      cv::norm(c[1] - c[0]) >= cv::norm(c[3] - c[0]) ? c[1] - c[0] : c[3] - c[0];
  const double angle = std::atan2(run.y, run.x);
  return angle < 0 ? angle + CV_PI : angle >= CV_PI ? angle - CV_PI : angle;
}

// The turn between the directions of two lines, in [0, pi/2].
double turnBetween(const DetectedLine& a, const DetectedLine& b) {
  const double d = std::abs(runAngle(a) - runAngle(b));
  return std::min(d, CV_PI - d);
}

// Whether `piece` is a piece of the line `line`: it runs the same way, to within `samePieceTurn`,
// and its middle lies in the line's rectangle.
constexpr double samePieceTurn = 0.15;  // about 9 degrees
bool pieceOf(const DetectedLine& piece, const DetectedLine& line) {
  if (turnBetween(piece, line) > samePieceTurn) return false;
  const cv::Point2f middle = (piece.corners[0] + piece.corners[2]) * 0.5f;
  const std::vector<cv::Point2f> outline(line.corners.begin(), line.corners.end());
  return cv::pointPolygonTest(outline, middle, false) >= 0;
}

// The width and height of the rectangle with these corners: the longer of each two sides.
cv::Size2f sidesOf(const std::array<cv::Point2f, 4>& p) {
  return {std::max(float(cv::norm(p[0] - p[1])), float(cv::norm(p[2] - p[3]))),
          std::max(float(cv::norm(p[0] - p[3])), float(cv::norm(p[1] - p[2])))};
}

// The box with its axes swapped: a line that runs down the picture runs along it.
Rect transposed(const Rect& box) {
  return Rect{box.y, box.x, box.height, box.width};
}

// The corners of the box, clockwise from the top left.
std::array<cv::Point2f, 4> cornersOf(const Rect& box) {
  const float x0 = float(box.minX()), y0 = float(box.minY());
  const float x1 = float(box.maxX()), y1 = float(box.maxY());
  return {cv::Point2f(x0, y0), cv::Point2f(x1, y0), cv::Point2f(x1, y1), cv::Point2f(x0, y1)};
}

// One line along the upright box that holds all the boxes.
DetectedLine alongBoxes(const std::vector<Rect>& boxes) {
  Rect box = boxes.front();
  for (const Rect& b : boxes) box = bothOf(box, b);
  return DetectedLine{cornersOf(box), box};
}

// Display lines too large for the detector at the first scale: heavy or hatched letters more
// than about a hundred detection pixels high may go unmarked. They are looked for again on the
// picture made `coarseSide` pixels on its longer side (when that is at most `mostCoarseShare` of
// the first scale), set in the middle of a canvas `coarseCanvas` times its size in the colour of
// the picture's border: the detector marks a line poorly that reaches the edge of its input. A
// line found so that is at least twice the comfortable height there is taken where the lines
// already found cover less than `mostCovered` of it (at this scale, a paragraph or a stack of
// lines already found looks like one line), and the lines it holds whole go: they are pieces of
// it. A line set at a slant is measured against the lines that aren't pieces of it (see pieceOf):
// its upright box holds much that is not its own, and the detector marks parts of large slanted
// words at the first scale as words of their own.
std::vector<DetectedLine> withCoarseLines(std::vector<DetectedLine> lines, OnnxModel& detector,
                                          const TextModels& models, const BitmapView& picture,
                                          const cv::Mat& pixels, double scale) {
  const double coarse = coarseSide / std::max(picture.width, picture.height);
  if (coarse > mostCoarseShare * scale) return lines;
  const cv::Size inner(std::max(1, int(std::lround(picture.width * coarse))),
                       std::max(1, int(std::lround(picture.height * coarse))));
  const cv::Size size =
      detectionInputSize(inner.width, inner.height, coarseCanvas, models.detectionMultiple);
  if (inner.width > size.width || inner.height > size.height) return lines;
  cv::Mat border;
  cv::vconcat(pixels.row(0), pixels.row(pixels.rows - 1), border);
  cv::Mat sides;
  cv::hconcat(pixels.col(0), pixels.col(pixels.cols - 1), sides);
  const cv::Scalar fill =
      (cv::mean(border) * double(border.total()) + cv::mean(sides) * double(sides.total())) /
      double(border.total() + sides.total());
  cv::Mat canvas(size, CV_8UC4, fill);
  const cv::Point offset((size.width - inner.width) / 2, (size.height - inner.height) / 2);
  cv::resize(pixels, canvas(cv::Rect(offset, inner)), inner, 0, 0, cv::INTER_AREA);
  const BitmapView view{canvas.data, canvas.cols, canvas.rows, canvas.step[0], picture.order};
  for (const DetectedLine& found : detectAt(detector, models, view, size)) {
    if (found.height() < 2 * comfortableHeight) continue;
    auto corners = found.corners;
    for (auto& p : corners) p = (p - cv::Point2f(offset)) * float(1 / coarse);
    const DetectedLine line = lineAlong(corners, picture);
    const double area = line.box.area();
    const bool slanted = line.slanted();
    double covered = 0;
    for (const DetectedLine& seen : lines) {
      const Rect shared = intersection(seen.box, line.box);
      if (!shared.isEmpty() && !(slanted && pieceOf(seen, line))) {
        covered += shared.area();
      }
    }
    if (area <= 0 || covered >= mostCovered * area) continue;
    std::erase_if(lines, [&](const DetectedLine& seen) {
      if (slanted) return pieceOf(seen, line);
      return speckIn(seen.box, line.box);
    });
    lines.push_back(line);
  }
  return lines;
}

// Whether a detected word is short (its rectangle less than `shortWord` times as long as high)
// and slopes less than `mostShortSlope`: the detector tilts the rectangle of a short word in heavy
// type, a descender or a figure pulling at one corner, by up to about 7 degrees.
constexpr double shortWord = 3;
constexpr double mostShortSlope = 0.15;
bool shortAndNearlyLevel(const DetectedLine& line) {
  const auto& c = line.corners;
  const double length = cv::norm(c[1] - c[0]), height = cv::norm(c[3] - c[0]);
  return length < shortWord * height &&
         std::abs(std::atan2(c[1].y - c[0].y, c[1].x - c[0].x)) < mostShortSlope;
}

// Each line parted at its column gaps, and each part where a stack of small lines stands beside
// larger type (each line of the stack a line of its own); the parts cut along the line's own
// rectangle.
std::vector<DetectedLine> partedAtColumns(const std::vector<DetectedLine>& found,
                                          const BitmapView& picture, const cv::Mat& pixels) {
  std::vector<DetectedLine> lines;
  for (const DetectedLine& line : found) {
    const auto& [tl, tr, br, bl] = line.corners;
    // Only lines that run across: a line set upright is turned a quarter when it is cut out.
    const bool across = cv::norm(tr - tl) > cv::norm(bl - tl);
    const cv::Mat crop = across ? uprightCrop(pixels, line.corners) : cv::Mat();
    if (crop.empty()) {
      lines.push_back(line);
      continue;
    }
    cv::Mat grey;
    cv::cvtColor(crop, grey, cv::COLOR_BGRA2GRAY);
    // The point of the line's rectangle at (x, y) of its crop.
    const cv::Point2f right = (tr - tl) * (1.0f / float(crop.cols));
    const cv::Point2f down = (bl - tl) * (1.0f / float(crop.rows));
    const cv::Point2f origin = tl;
    auto at = [&](int x, int y) { return origin + float(x) * right + float(y) * down; };
    std::vector<std::pair<int, std::vector<SizePart>>> columns;
    size_t count = 0;
    for (const auto& [from, to] : columnParts(grey)) {
      cv::Mat colour;
      cv::cvtColor(crop.colRange(from, to), colour, cv::COLOR_BGRA2BGR);
      std::vector<SizePart> parts = colourParts(colour);
      columns.emplace_back(from, parts.size() > 1 ? parts : sizeParts(grey.colRange(from, to)));
      for (const SizePart& part : columns.back().second) count += part.rows.size();
    }
    if (count < 2) {
      lines.push_back(line);
      continue;
    }
    for (const auto& [from, parts] : columns) {
      for (const SizePart& part : parts) {
        const int x0 = from + part.from, x1 = from + part.to;
        for (const auto& [y0, y1] : part.rows) {
          const DetectedLine piece =
              lineAlong({at(x0, y0), at(x1, y0), at(x1, y1), at(x0, y1)}, picture);
          // A part the detector also found as a line of its own is that line, found once.
          if (std::none_of(found.begin(), found.end(), [&](const DetectedLine& other) {
                return &other != &line && sameBox(other.box, piece.box);
              })) {
            lines.push_back(piece);
          }
        }
      }
    }
  }
  return lines;
}

// Each level line with its ends carried out to the letters its box cuts or leaves just outside
// (see line_ends.h); a line running down the picture, along its length in the picture turned a
// quarter.
std::vector<DetectedLine> withInkEnds(std::vector<DetectedLine> lines, const BitmapView& picture,
                                      const cv::Mat& grey) {
  cv::Mat turnedGrey;
  for (DetectedLine& line : lines) {
    if (!line.level()) continue;
    const bool upright = line.upright();
    if (upright && turnedGrey.empty()) cv::transpose(grey, turnedGrey);
    const cv::Mat& along = upright ? turnedGrey : grey;
    const Rect lineBox = upright ? transposed(line.box) : line.box;
    const int x0 = int(std::floor(lineBox.minX())), y0 = int(std::floor(lineBox.minY()));
    const cv::Rect box =
        cv::Rect(x0, y0, int(std::ceil(lineBox.maxX())) - x0, int(std::ceil(lineBox.maxY())) - y0) &
        cv::Rect(0, 0, along.cols, along.rows);
    const auto [from, to] = inkEnds(along, box);
    if (from >= box.x && to <= box.x + box.width) continue;
    const double start = std::min(lineBox.minX(), double(from));
    Rect carried{start, lineBox.y, std::max(lineBox.maxX(), double(to)) - start, lineBox.height};
    if (upright) carried = transposed(carried);
    line = lineAlong(cornersOf(carried), picture);
  }
  return lines;
}

// The lines without those that lie within a level line at least `speckHeight` times as high as
// themselves (`speckShare` of their box in its): parts of its letters that the detector marked as
// well, such as the strokes of a large outlined letter. A level line's box is its letters' own,
// so nothing else of the picture lies in it.
std::vector<DetectedLine> withoutSpecks(const std::vector<DetectedLine>& lines) {
  std::vector<DetectedLine> kept;
  for (const DetectedLine& speck : lines) {
    if (std::none_of(lines.begin(), lines.end(), [&](const DetectedLine& line) {
          return line.level() && line.height() >= speckHeight * speck.height() &&
                 speckIn(speck.box, line.box);
        })) {
      kept.push_back(speck);
    }
  }
  return kept;
}

}  // namespace

std::vector<DetectedLine> joinedWords(std::vector<DetectedLine> found) {
  std::vector<DetectedLine> lines;
  std::vector<size_t> candidates;
  for (size_t i = 0; i < found.size(); ++i) {
    if (found[i].level() || shortAndNearlyLevel(found[i])) {
      candidates.push_back(i);
    } else {
      lines.push_back(found[i]);
    }
  }
  // Words set down the picture first: those no wider than high that would be on one line with a
  // word running down it, were the picture turned a quarter, are one line. The detector parts a
  // large vertical word where its letters are widely spaced or outlined.
  std::vector<Rect> turnedBoxes;
  std::vector<size_t> turnedIndex;
  for (size_t c = 0; c < candidates.size(); ++c) {
    const Rect& box = found[candidates[c]].box;
    if (box.width > box.height) continue;
    turnedBoxes.push_back(transposed(box));
    turnedIndex.push_back(c);
  }
  std::vector<bool> joined(candidates.size(), false);
  for (const auto& group : groupIntoLines(turnedBoxes)) {
    const bool anyUpright = std::any_of(group.begin(), group.end(), [&](size_t g) {
      return found[candidates[turnedIndex[g]]].upright();
    });
    if (group.size() == 1 || !anyUpright) continue;
    std::vector<Rect> boxes;
    for (size_t g : group) {
      boxes.push_back(found[candidates[turnedIndex[g]]].box);
      joined[turnedIndex[g]] = true;
    }
    lines.push_back(alongBoxes(boxes));
  }
  // Then the words of each level line.
  std::vector<Rect> levelBoxes;
  std::vector<size_t> levelIndex;
  for (size_t c = 0; c < candidates.size(); ++c) {
    if (joined[c]) continue;
    levelBoxes.push_back(found[candidates[c]].box);
    levelIndex.push_back(candidates[c]);
  }
  for (const auto& group : groupIntoLines(levelBoxes)) {
    const bool anyLevel = std::any_of(group.begin(), group.end(),
                                      [&](size_t g) { return found[levelIndex[g]].level(); });
    if (group.size() == 1 || !anyLevel) {
      for (size_t g : group) lines.push_back(found[levelIndex[g]]);
      continue;
    }
    std::vector<Rect> boxes;
    for (size_t g : group) boxes.push_back(levelBoxes[g]);
    lines.push_back(alongBoxes(boxes));
  }
  return lines;
}

bool DetectedLine::level() const {
  return std::abs(std::atan2(corners[1].y - corners[0].y, corners[1].x - corners[0].x)) < mostSlope;
}

bool DetectedLine::slanted() const {
  const double angle = runAngle(*this);
  const double offLevel = std::min(angle, CV_PI - angle);
  return offLevel > mostSlope && std::abs(angle - CV_PI / 2) > mostSlope;
}

bool DetectedLine::upright() const {
  return level() && box.height >= uprightHeight * box.width;
}

double DetectedLine::height() const {
  return std::min(cv::norm(corners[0] - corners[1]), cv::norm(corners[0] - corners[3]));
}

std::vector<DetectedLine> detectLines(OnnxModel& detector, const TextModels& models,
                                      const BitmapView& picture, const cv::Mat& pixels) {
  const double longer = std::max(picture.width, picture.height);
  const double scale = std::min(1.0, models.detectionMaxSide / longer);
  cv::Mat grey;
  cv::cvtColor(pixels, grey, cv::COLOR_BGRA2GRAY);
  std::vector<DetectedLine> lines =
      detectAt(detector, models, picture,
               detectionInputSize(picture.width, picture.height, scale, models.detectionMultiple));
  const double enlarged =
      std::min(enlargedScale, std::sqrt(enlargedPixels / (double(picture.width) * picture.height)));
  if (enlarged >= 1 && enlarged >= leastGain * scale) {
    // Lines the first detection saw at a comfortable size need no second look.
    std::vector<DetectedLine> comfortable;
    for (const DetectedLine& line : lines) {
      if (line.height() * scale >= comfortableHeight) comfortable.push_back(line);
    }
    // Tiles without contrast outside the comfortable lines are skipped.
    cv::Mat contrast;
    cv::morphologyEx(grey, contrast, cv::MORPH_GRADIENT, cv::Mat());
    const cv::Rect all(0, 0, contrast.cols, contrast.rows);
    for (const cv::Rect& box : seenBoxes(comfortable)) contrast(box & all).setTo(0);
    lines =
        merged(lines, scale,
               detectTiles(detector, models, picture, enlarged, contrast >= leastContrast, false));
  } else if (enlarged < 1) {
    // A picture too large to be enlarged whole is looked at again only where it holds runs of
    // small strokes. At a fraction of the picture's size, a few tightly set lines of small print
    // may look like one line of a comfortable height: only lines twice that high are left out.
    std::vector<DetectedLine> plain;
    for (const DetectedLine& line : lines) {
      if (line.height() * scale >= 2 * comfortableHeight) plain.push_back(line);
    }
    const cv::Mat where = smallPrintMask(grey, seenBoxes(plain));
    lines =
        merged(lines, scale, detectTiles(detector, models, picture, smallPrintScale, where, true));
  }
  lines = withCoarseLines(std::move(lines), detector, models, picture, pixels, scale);
  return withoutSpecks(
      withInkEnds(partedAtColumns(joinedWords(std::move(lines)), picture, pixels), picture, grey));
}

bool tallLine(const std::array<cv::Point2f, 4>& p) {
  const cv::Size2f size = sidesOf(p);
  return double(int(size.height)) >= turnedHeight * double(int(size.width));
}

cv::Mat uprightCrop(const cv::Mat& pixels, const std::array<cv::Point2f, 4>& p, int margin,
                    bool turn) {
  const auto [width, height] = sidesOf(p);
  const int w = int(width), h = int(height);
  if (w < 1 || h < 1) return {};
  const float m = float(margin);
  const std::array<cv::Point2f, 4> target = {cv::Point2f(m, m), cv::Point2f(width + m, m),
                                             cv::Point2f(width + m, height + m),
                                             cv::Point2f(m, height + m)};
  const cv::Mat transform = cv::getPerspectiveTransform(p.data(), target.data());
  cv::Mat crop;
  cv::warpPerspective(pixels, crop, transform, cv::Size(w + 2 * margin, h + 2 * margin),
                      cv::INTER_CUBIC, cv::BORDER_REPLICATE);
  if (turn) cv::rotate(crop, crop, cv::ROTATE_90_COUNTERCLOCKWISE);
  return crop;
}

}  // namespace plumvane
