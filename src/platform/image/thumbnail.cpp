#include "platform/image/thumbnail.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace plumvane {

cv::Mat greyThumbnail(const cv::Mat& bgra, int width) {
  const int height = std::max(1, int(std::lround(double(bgra.rows) * width / bgra.cols)));
  cv::Mat small, grey;
  cv::resize(bgra, small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, grey, cv::COLOR_BGRA2GRAY);
  return grey;
}

}  // namespace plumvane
