// Filling a large hole in textured ground with patches of the ground around it.
#pragma once

#include <opencv2/core.hpp>

namespace plumvane {

// The 8-bit RGB picture `start` with the pixels where hole is non-zero synthesised from the
// pixels around the hole that unknown (which holds the hole) leaves known: each small square of the
// hole is made to look like some square of the known ground (grass, leaves, gravel), found by a
// randomised nearest-neighbour search and blended with the squares that overlap it, coarse to fine
// (the completion of Wexler, Shechtman and Irani, with the search of PatchMatch). In the hole,
// `start` holds a smooth fill that the coarsest scale starts from. Only the hole's surroundings,
// within half its size, are read, and the result is the same from run to run. `start` as it is
// where no square around the hole is wholly known.
cv::Mat synthesised(const cv::Mat& start, const cv::Mat& hole, const cv::Mat& unknown);

// A well-mixed 32-bit value of v (a multiply-xorshift hash): choices that vary from pixel to
// pixel yet are the same from run to run.
inline uint32_t scrambled(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352du;
  v ^= v >> 15;
  v *= 0x846ca68bu;
  return v ^ (v >> 16);
}

}  // namespace plumvane
