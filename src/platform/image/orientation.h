// Turning stored pixels upright, as an EXIF orientation value says they are to be shown.
#pragma once

#include <opencv2/core.hpp>

namespace plumvane {

// The pixels turned and mirrored as the orientation (1 to 8, EXIF's meaning: 6 turns a quarter
// clockwise, 8 a quarter anticlockwise, 3 a half; 2, 4, 5 and 7 mirror) says; any other value
// leaves them as they are, without a copy.
cv::Mat upright(cv::Mat stored, int orientation);

}  // namespace plumvane
