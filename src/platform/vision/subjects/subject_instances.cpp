#include "platform/vision/subjects/subject_instances.h"

#include <algorithm>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace plumvane {
namespace {

constexpr float threshold = 0.5f;
constexpr double leastShare = 0.005;
// A real subject is a confident region: the model's mean inside it is high. On noise the model
// answers with scattered, hesitant regions whose mean stays near the threshold.
constexpr double leastConfidence = 0.8;
// A foreground leaves some background: a region over nearly the whole picture is a texture the
// model found salient all over (noise does this), not a subject.
constexpr double mostShare = 0.9;

// The map where region is set, 0 elsewhere.
Mask maskedMap(const Mask& map, const std::vector<uint8_t>& region) {
  Mask inside = map;
  for (size_t p = 0; p < inside.values.size(); ++p) {
    if (!region[p]) inside.values[p] = 0;
  }
  return inside;
}

}  // namespace

SubjectInstances findInstances(Mask map, int grow) {
  SubjectInstances result;
  result.map = std::move(map);
  const Mask& m = result.map;
  if (m.isEmpty()) return result;
  cv::Mat binary(m.height, m.width, CV_8U);
  for (int y = 0; y < m.height; ++y) {
    for (int x = 0; x < m.width; ++x) {
      binary.at<uint8_t>(y, x) = m.values[size_t(y) * size_t(m.width) + size_t(x)] > threshold;
    }
  }
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(binary, labels, stats, centroids, 8, CV_32S);
  std::vector<double> sums(size_t(count), 0.0);
  for (int y = 0; y < m.height; ++y) {
    for (int x = 0; x < m.width; ++x) {
      sums[size_t(labels.at<int>(y, x))] += m.values[size_t(y) * size_t(m.width) + size_t(x)];
    }
  }
  std::vector<int> kept;
  for (int label = 1; label < count; ++label) {
    const int area = stats.at<int>(label, cv::CC_STAT_AREA);
    const double share = double(area) / (double(m.width) * m.height);
    if (share >= leastShare && share <= mostShare &&
        sums[size_t(label)] / area >= leastConfidence) {
      kept.push_back(label);
    }
  }
  std::stable_sort(kept.begin(), kept.end(), [&](int a, int b) {
    return stats.at<int>(a, cv::CC_STAT_AREA) > stats.at<int>(b, cv::CC_STAT_AREA);
  });
  const cv::Mat disk =
      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * grow + 1, 2 * grow + 1));
  for (int label : kept) {
    cv::Mat component = labels == label;  // 255 inside
    if (grow > 0) cv::dilate(component, component, disk);
    std::vector<uint8_t> region(size_t(m.width) * size_t(m.height));
    for (int y = 0; y < m.height; ++y) {
      for (int x = 0; x < m.width; ++x) {
        region[size_t(y) * size_t(m.width) + size_t(x)] = component.at<uint8_t>(y, x) ? 1 : 0;
      }
    }
    result.regions.push_back(std::move(region));
  }
  return result;
}

Mask instanceMask(const SubjectInstances& instances, size_t i) {
  return maskedMap(instances.map, instances.regions.at(i));
}

std::optional<Mask> allInstancesMask(const SubjectInstances& instances) {
  if (instances.regions.empty()) return std::nullopt;
  std::vector<uint8_t> any(instances.regions.front().size(), 0);
  for (const auto& region : instances.regions) {
    for (size_t p = 0; p < any.size(); ++p) any[p] |= region[p];
  }
  return maskedMap(instances.map, any);
}

}  // namespace plumvane
