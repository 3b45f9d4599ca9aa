// Small grey copies of pictures, as frames and parts of frames are compared over time.
#pragma once

#include <opencv2/core.hpp>

namespace plumvane {

// The BGRA pixels area-averaged to `width` pixels across (the height in proportion, at least
// one), grey.
cv::Mat greyThumbnail(const cv::Mat& bgra, int width);

}  // namespace plumvane
