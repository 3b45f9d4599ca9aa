#include "platform/image/mask.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace plumvane {

Mask resizedMask(const Mask& mask, int width, int height) {
  Mask out{width, height,
           std::vector<float>(size_t(std::max(width, 0)) * size_t(std::max(height, 0)))};
  if (mask.isEmpty() || out.isEmpty()) return out;
  const cv::Mat from(mask.height, mask.width, CV_32F, const_cast<float*>(mask.values.data()));
  cv::Mat to(height, width, CV_32F, out.values.data());
  const bool shrinking = width <= mask.width && height <= mask.height;
  cv::resize(from, to, to.size(), 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
  return out;
}

}  // namespace plumvane
