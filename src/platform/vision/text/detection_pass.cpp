#include "platform/vision/text/detection_pass.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace plumvane {

namespace {

// Detected regions with a shorter side below this (in detection pixels) are dropped.
constexpr float leastSide = 3;
constexpr size_t mostCandidates = 1000;

// The corners of a rotated rectangle, clockwise from the top left.
std::array<cv::Point2f, 4> orderedCorners(const cv::RotatedRect& rect) {
  std::array<cv::Point2f, 4> p;
  rect.points(p.data());
  std::sort(p.begin(), p.end(), [](auto a, auto b) { return a.x < b.x; });
  const auto [topLeft, bottomLeft] =
      p[1].y > p[0].y ? std::pair{p[0], p[1]} : std::pair{p[1], p[0]};
  const auto [topRight, bottomRight] =
      p[3].y > p[2].y ? std::pair{p[2], p[3]} : std::pair{p[3], p[2]};
  return {topLeft, topRight, bottomRight, bottomLeft};
}

// The mean probability inside the rectangle's polygon.
float boxScore(const cv::Mat& probability, const std::array<cv::Point2f, 4>& corners) {
  cv::Rect bounds = cv::boundingRect(std::vector<cv::Point2f>(corners.begin(), corners.end()));
  bounds &= cv::Rect(0, 0, probability.cols, probability.rows);
  if (bounds.empty()) return 0;
  cv::Mat inside = cv::Mat::zeros(bounds.size(), CV_8U);
  std::vector<cv::Point> polygon;
  for (const auto& c : corners) {
    polygon.emplace_back(int(std::lround(c.x)) - bounds.x, int(std::lround(c.y)) - bounds.y);
  }
  cv::fillPoly(inside, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(1));
  return float(cv::mean(probability(bounds), inside)[0]);
}

}  // namespace

// The detection input size for a width x height picture at `scale`: each side rounded to the
// nearest multiple of `multiple`, at least one multiple.
cv::Size detectionInputSize(int width, int height, double scale, int multiple) {
  auto fit = [&](int side) {
    const double scaled = std::floor(side * scale);
    return std::max(int(std::lround(scaled / multiple)) * multiple, multiple);
  };
  return cv::Size(fit(width), fit(height));
}

// A line along the given corners, its box their upright bounds inside the picture.
DetectedLine lineAlong(std::array<cv::Point2f, 4> corners, const BitmapView& picture) {
  DetectedLine line;
  float x0 = float(picture.width), y0 = float(picture.height), x1 = 0, y1 = 0;
  for (auto& p : corners) {
    p.x = std::clamp(p.x, 0.0f, float(picture.width));
    p.y = std::clamp(p.y, 0.0f, float(picture.height));
    x0 = std::min(x0, p.x);
    y0 = std::min(y0, p.y);
    x1 = std::max(x1, p.x);
    y1 = std::max(y1, p.y);
  }
  line.corners = corners;
  line.box = Rect{x0, y0, x1 - x0, y1 - y0};
  return line;
}

// The regions the detector marks in the picture scaled to `size`, in picture pixels.
std::vector<DetectedLine> detectAt(OnnxModel& detector, const TextModels& models,
                                   const BitmapView& picture, cv::Size size) {
  auto outputs = detector.run(modelInput(picture, models.detection.input, size.width, size.height));
  if (!outputs || outputs->empty()) return {};
  Tensor& map = outputs->front();
  if (map.values.size() != size_t(size.width) * size_t(size.height)) return {};
  const cv::Mat probability(size.height, size.width, CV_32F, map.values.data());
  const cv::Mat text = probability > models.pixelThreshold;
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(text, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);

  const float sx = float(picture.width) / float(size.width);
  const float sy = float(picture.height) / float(size.height);
  std::vector<DetectedLine> lines;
  for (size_t c = 0; c < std::min(contours.size(), mostCandidates); ++c) {
    const cv::RotatedRect region = cv::minAreaRect(contours[c]);
    if (std::min(region.size.width, region.size.height) < leastSide) continue;
    if (boxScore(probability, orderedCorners(region)) < models.boxThreshold) continue;
    // Detection marks a shrunk core of each line: grow it back by area * ratio / perimeter.
    const float w = region.size.width, h = region.size.height;
    const float grow = w * h * models.unclipRatio / (2 * (w + h));
    const cv::RotatedRect grown(region.center, cv::Size2f(w + 2 * grow, h + 2 * grow),
                                region.angle);
    if (std::min(grown.size.width, grown.size.height) < leastSide + 2) continue;
    auto corners = orderedCorners(grown);
    for (auto& p : corners) p = cv::Point2f(p.x * sx, p.y * sy);
    DetectedLine line = lineAlong(corners, picture);
    if (line.box.width <= leastSide || line.box.height <= leastSide) continue;
    lines.push_back(line);
  }
  return lines;
}
}  // namespace plumvane
