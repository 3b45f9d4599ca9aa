#include "poster/hole_edges.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <optional>

namespace plumvane {
namespace {

// Canny's thresholds on the grey picture; edge pixels this close to an unknown one are the
// subject's own outline or a letter's, not the ground's.
constexpr double cannyLow = 40, cannyHigh = 120;
constexpr int outlineClearance = 3;
// A straight run of edge pixels at least this long is a candidate.
constexpr int leastRun = 40;
// On each side of the hole, the line is followed as far as half the hole's width along it (at
// least `leastReach`), and at least `leastSupport` known pixels there, and `supportShare` of
// them, lie on the edge.
constexpr int leastReach = 24, leastSupport = 20;
constexpr double supportShare = 0.8;
// The two areas are read `offLine` pixels off the line on either side, and deeper: a quarter of
// the hole's width along the line, at least `leastDepth` pixels. One area is of one colour: its
// readings on both sides of the hole, near the line and deep, lie within `flatLevels` (in every
// channel) of their mean; the other differs from that colour by at least `leastContrast` (in some
// channel) at all four places. So a band of flat colour beside a photo is an edge, but neither a
// line of a photo's own grain nor the edge of a stalk narrower than the hole, which a fill of the
// hole's part beside it would not carry on as a stalk.
constexpr float offLine = 3, leastDepth = 12, depthShare = 0.25f;
constexpr double flatLevels = 12, leastContrast = 32;
// At most this many edges, and two lines this close (pixels, and radians) are one edge.
constexpr size_t mostEdges = 4;
constexpr double sameLinePixels = 4, sameLineAngle = 0.03;

// The largest difference of two colours in any channel.
double largest(const cv::Vec3d& v) {
  return std::max({std::abs(v[0]), std::abs(v[1]), std::abs(v[2])});
}

// An area's colour read at four places along an edge.
using Readings = std::array<cv::Vec3d, 4>;

// Whether `flat` is an area of one colour (all four readings within `flatLevels` of their mean),
// and `other` unlike it at all four (by at least `leastContrast`).
bool flatBeside(const Readings& flat, const Readings& other) {
  const cv::Vec3d mean = (flat[0] + flat[1] + flat[2] + flat[3]) / 4;
  return std::all_of(flat.begin(), flat.end(),
                     [&](const cv::Vec3d& c) { return largest(c - mean) <= flatLevels; }) &&
         std::all_of(other.begin(), other.end(),
                     [&](const cv::Vec3d& c) { return largest(c - mean) >= leastContrast; });
}

bool inside(const cv::Mat& m, cv::Point p) {
  return p.x >= 0 && p.y >= 0 && p.x < m.cols && p.y < m.rows;
}

// What the line meets along the part of it that a side of the hole offers.
struct SideOfHole {
  int known = 0, onEdge = 0;
  // Sums of the colours off the line at the edge's pixels, on its left and right, near it and
  // further off.
  cv::Vec3d left, right, leftDeep, rightDeep;
  std::vector<cv::Point2f> edgePixels;
};

class EdgeSearch {
 public:
  EdgeSearch(const cv::Mat& rgb, const cv::Mat& hole, const cv::Mat& unknown) : rgb_(rgb) {
    cv::Mat grey;
    cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
    cv::Canny(grey, edges_, cannyLow, cannyHigh, 3, true);
    cv::dilate(unknown, nearUnknown_,
               cv::getStructuringElement(cv::MORPH_RECT,
                                         {2 * outlineClearance + 1, 2 * outlineClearance + 1}));
    edges_.setTo(0, nearUnknown_);
    hole_ = hole;
    unknown_ = unknown;
  }

  const cv::Mat& edges() const { return edges_; }

  // The edge along the line through a and b, refitted on its edge pixels, if it runs through the
  // hole between two areas of one colour each.
  std::optional<EdgeThrough> through(cv::Point2f a, cv::Point2f b) const {
    cv::Point2f d = b - a;
    d *= float(1.0 / std::hypot(d.x, d.y));
    // The samples along the whole line within the picture, one a pixel.
    const float reach = float(rgb_.cols + rgb_.rows);
    std::vector<cv::Point2f> samples;
    for (float t = -reach; t <= reach; t += 1) {
      const cv::Point2f q = a + d * t;
      if (q.x >= 0 && q.y >= 0 && q.x < float(rgb_.cols) && q.y < float(rgb_.rows)) {
        samples.push_back(q);
      }
    }
    // Each run of unknown samples that holds some of the hole, with the known line either side.
    for (size_t i = 0; i < samples.size();) {
      if (!unknown_.at<uint8_t>(at(samples[i]))) {
        ++i;
        continue;
      }
      size_t end = i;
      bool inHole = false;
      while (end < samples.size() && unknown_.at<uint8_t>(at(samples[end]))) {
        inHole = inHole || hole_.at<uint8_t>(at(samples[end]));
        ++end;
      }
      if (inHole) {
        const int span = std::max(leastReach, int(end - i) / 2);
        const float deep = std::max(leastDepth, float(end - i) * depthShare);
        // Where the hole reaches the picture's border along the line, the line is known on one
        // side of it only, and that side is read for both.
        const SideOfHole before = side(samples, int(i) - 1, -1, span, deep, d),
                         after = side(samples, int(end), 1, span, deep, d);
        const std::optional<EdgeThrough> edge = i == 0                  ? edgeOf(after, after)
                                                : end == samples.size() ? edgeOf(before, before)
                                                                        : edgeOf(before, after);
        if (edge) return edge;
      }
      i = end;
    }
    return std::nullopt;
  }

 private:
  // The known samples from `from` on, `step` at a time, up to `span` of them, with the areas
  // read `deep` pixels off the line as well.
  SideOfHole side(const std::vector<cv::Point2f>& samples, int from, int step, int span, float deep,
                  cv::Point2f d) const {
    SideOfHole s;
    const cv::Point2f normal(d.y, -d.x);  // to the left, looking along d
    for (int k = from; k >= 0 && k < int(samples.size()) && s.known < span; k += step) {
      // A sample counts where an edge would have been seen (clear of the unknown pixels, whose
      // surroundings hold no edges) and both areas can be read beside it.
      const cv::Point2f o = samples[size_t(k)];
      const cv::Point q = at(o);
      const std::array<cv::Point, 4> off = {at(o + normal * offLine), at(o - normal * offLine),
                                            at(o + normal * deep), at(o - normal * deep)};
      if (nearUnknown_.at<uint8_t>(q) || std::any_of(off.begin(), off.end(), [&](cv::Point p) {
            return !inside(rgb_, p) || unknown_.at<uint8_t>(p);
          })) {
        continue;
      }
      ++s.known;
      std::optional<cv::Point> edge;
      for (int dy = -1; dy <= 1 && !edge; ++dy) {
        for (int dx = -1; dx <= 1 && !edge; ++dx) {
          const cv::Point p = q + cv::Point(dx, dy);
          if (inside(edges_, p) && edges_.at<uint8_t>(p)) edge = p;
        }
      }
      if (!edge) continue;
      ++s.onEdge;
      s.left += cv::Vec3d(rgb_.at<cv::Vec3b>(off[0]));
      s.right += cv::Vec3d(rgb_.at<cv::Vec3b>(off[1]));
      s.leftDeep += cv::Vec3d(rgb_.at<cv::Vec3b>(off[2]));
      s.rightDeep += cv::Vec3d(rgb_.at<cv::Vec3b>(off[3]));
      s.edgePixels.emplace_back(float(edge->x), float(edge->y));
    }
    return s;
  }

  static cv::Point at(cv::Point2f q) { return {int(std::floor(q.x)), int(std::floor(q.y))}; }

  static std::optional<EdgeThrough> edgeOf(const SideOfHole& before, const SideOfHole& after) {
    for (const SideOfHole* s : {&before, &after}) {
      if (s->known < leastSupport || s->onEdge < supportShare * s->known) return std::nullopt;
    }
    // The colours of each area: near the line and deep, before the hole and after it.
    const double b = before.onEdge, a = after.onEdge;
    const Readings left = {before.left / b, after.left / a, before.leftDeep / b,
                           after.leftDeep / a},
                   right = {before.right / b, after.right / a, before.rightDeep / b,
                            after.rightDeep / a};
    if (!flatBeside(left, right) && !flatBeside(right, left)) return std::nullopt;
    std::vector<cv::Point2f> pixels = before.edgePixels;
    pixels.insert(pixels.end(), after.edgePixels.begin(), after.edgePixels.end());
    cv::Vec4f fitted;
    cv::fitLine(pixels, fitted, cv::DIST_HUBER, 0, 0.01, 0.01);
    return EdgeThrough{{fitted[2] + 0.5f, fitted[3] + 0.5f}, {fitted[0], fitted[1]}};
  }

  const cv::Mat& rgb_;
  cv::Mat edges_, hole_, unknown_, nearUnknown_;
};

bool sameLine(const EdgeThrough& a, const EdgeThrough& b) {
  const double angle = std::acos(std::min(1.0, std::abs(double(a.direction.dot(b.direction)))));
  const cv::Point2f v = b.point - a.point;
  const double apart = std::abs(double(a.direction.x * v.y - a.direction.y * v.x));
  return angle < sameLineAngle && apart < sameLinePixels;
}

}  // namespace

std::vector<EdgeThrough> edgesThrough(const cv::Mat& rgb, const cv::Mat& hole,
                                      const cv::Mat& unknown) {
  if (cv::countNonZero(hole) == 0) return {};
  const EdgeSearch search(rgb, hole, unknown | hole);
  std::vector<cv::Vec4i> runs;
  cv::HoughLinesP(search.edges(), runs, 1, CV_PI / 360, leastRun, leastRun, 2);
  // The longest runs first: the edges of bands and frames.
  std::sort(runs.begin(), runs.end(), [](const cv::Vec4i& a, const cv::Vec4i& b) {
    return std::hypot(a[2] - a[0], a[3] - a[1]) > std::hypot(b[2] - b[0], b[3] - b[1]);
  });
  std::vector<EdgeThrough> found;
  for (const cv::Vec4i& r : runs) {
    if (found.size() == mostEdges) break;
    std::optional<EdgeThrough> edge =
        search.through(cv::Point2f(float(r[0]) + 0.5f, float(r[1]) + 0.5f),
                       cv::Point2f(float(r[2]) + 0.5f, float(r[3]) + 0.5f));
    if (!edge) continue;
    if (std::none_of(found.begin(), found.end(),
                     [&](const EdgeThrough& e) { return sameLine(e, *edge); })) {
      found.push_back(*edge);
    }
  }
  return found;
}

std::vector<cv::Mat> partsBetween(const std::vector<EdgeThrough>& edges, cv::Size size) {
  if (edges.empty()) return {};
  // Each pixel's sides, one bit an edge, then a part for each combination that occurs.
  cv::Mat sides(size, CV_8U, cv::Scalar(0));
  for (int y = 0; y < size.height; ++y) {
    uint8_t* row = sides.ptr<uint8_t>(y);
    for (int x = 0; x < size.width; ++x) {
      for (size_t k = 0; k < edges.size(); ++k) {
        if (edges[k].leftOf({float(x) + 0.5f, float(y) + 0.5f})) row[x] |= uint8_t(1u << k);
      }
    }
  }
  std::vector<cv::Mat> parts;
  for (int combination = 0; combination < (1 << edges.size()); ++combination) {
    cv::Mat part = sides == combination;
    if (cv::countNonZero(part) > 0) parts.push_back(std::move(part));
  }
  return parts;
}

}  // namespace plumvane
