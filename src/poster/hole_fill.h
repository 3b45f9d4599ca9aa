// Filling holes in a picture from their surroundings, nearest surroundings first.
#pragma once

#include <opencv2/core.hpp>

namespace plumvane {

// Paints the pixels of an 8-bit RGB picture where target is non-zero in from the pixels around
// them, each from its nearest known neighbours first (OpenCV's fast-marching inpainting, Telea's
// method), so that structure and colour continue from the rim inwards. Pixels where unknown is
// non-zero are not used as sources (target lies within unknown). Large holes are filled at a
// reduced scale, at most largeSide pixels on the picture's longer side, and scaled back; thin
// holes (scale 1) keep full detail. Pixels outside target are left as they are.
void fillHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, int largeSide);

// The longer side at which the holes of subjects are filled.
inline constexpr int subjectFillSide = 1000;

}  // namespace plumvane
