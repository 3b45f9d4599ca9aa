// Rebuilding the texture of a picture's missing pixels from the frequencies around them.
#pragma once

#include <opencv2/core.hpp>

namespace plumvane {

// The 8-bit single-channel picture with its pixels where known is zero rebuilt by
// frequency-selective extrapolation (Seiler and Kaup's, in the block order and with the
// parameters of its fast profile): block by block, those with the most known neighbours first,
// each block's missing pixels become the sum of the few two-dimensional frequencies that best fit
// the known pixels in a 32-pixel window around it, weighted to fall off with their distance.
// Stripes, veins and grain thus run on through a hole. A block whose surroundings vary strongly
// is split, down to 4 pixels, so that its frequencies fit more closely. Pixels rebuilt already
// are read for the blocks after them, at half a known pixel's weight. Known pixels keep their
// values; with no known pixel at all, the picture is returned as it is.
cv::Mat frequencyFilled(const cv::Mat& picture, const cv::Mat& known);

}  // namespace plumvane
