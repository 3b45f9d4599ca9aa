#include "platform/bitmap.h"

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

Mask maskUnion(const std::vector<Mask>& masks) {
  if (masks.empty()) return Mask{};
  Mask out = masks.front();
  for (size_t i = 1; i < masks.size(); ++i) {
    for (size_t p = 0; p < out.values.size(); ++p) {
      out.values[p] = std::max(out.values[p], masks[i].values[p]);
    }
  }
  return out;
}

}  // namespace plumvane
