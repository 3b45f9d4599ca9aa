// Straight edges of the ground that a subject stood before: the edge of a band, a frame or a
// horizon that runs into the subject's hole and out of it again, and so on through it.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace plumvane {

// The line through `point` along `direction` (a unit vector), in picture pixels.
struct EdgeThrough {
  cv::Point2f point;
  cv::Point2f direction;
  // Whether p lies to the left of the line, looking along its direction (y down).
  bool leftOf(cv::Point2f p) const {
    return direction.x * (p.y - point.y) - direction.y * (p.x - point.x) < 0;
  }
};

// The straight edges between an area of one colour and ground unlike it, on both sides of the
// hole, that run into the hole (non-zero in `hole`, which lies within `unknown`) and out of it
// again, or on to the picture's border: a subject set over the edge of a band hid a piece of that
// edge. Lines of texture (the grain of wood, blades of grass) are not edges between two areas and
// are left out.
// `rgb` is an 8-bit RGB picture, best about a thousand pixels on its longer side: a band's edge
// is long and sharp at that scale, and the search takes a few milliseconds.
std::vector<EdgeThrough> edgesThrough(const cv::Mat& rgb, const cv::Mat& hole,
                                      const cv::Mat& unknown);

// The parts the edges cut a picture of `size` into: for each side of every edge, the pixels on
// those sides (8-bit masks), the empty parts left out; none when there are no edges.
std::vector<cv::Mat> partsBetween(const std::vector<EdgeThrough>& edges, cv::Size size);

}  // namespace plumvane
