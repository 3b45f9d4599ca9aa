// Measures of a mask's edge, and pictures whose subject's true edge is known with a model's
// coarse map of them: for the tests and the benchmarks of the masks' refinement.
#pragma once

#include <algorithm>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "platform/image/mask.h"

namespace plumvane::testing {

// The pixels of a 0..1 coverage (CV_32F) at or above one half with a 4-neighbour below it.
inline cv::Mat outlineOf(const cv::Mat& coverage) {
  const cv::Mat inside = coverage >= 0.5f;
  cv::Mat eroded;
  cv::erode(inside, eroded, cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3)));
  return inside & ~eroded;
}

// How wide the coverage's edge is: its soft pixels (0.05 < coverage < 0.95) per outline pixel.
inline double softBand(const cv::Mat& coverage) {
  const int outline = cv::countNonZero(outlineOf(coverage));
  if (outline == 0) return 0;
  return double(cv::countNonZero((coverage > 0.05f) & (coverage < 0.95f))) / outline;
}

// How well the coverage's outline sits on the picture's edges: the picture's mean gradient on
// the outline over its 95th percentile gradient. `grey` is the picture's luminance, CV_32F.
inline double edgeContrast(const cv::Mat& coverage, const cv::Mat& grey) {
  cv::Mat dx, dy, gradient;
  cv::Sobel(grey, dx, CV_32F, 1, 0);
  cv::Sobel(grey, dy, CV_32F, 0, 1);
  cv::magnitude(dx, dy, gradient);
  std::vector<float> sorted(gradient.begin<float>(), gradient.end<float>());
  const auto at95 = sorted.begin() + long(sorted.size() * 95 / 100);
  std::nth_element(sorted.begin(), at95, sorted.end());
  const cv::Mat outline = outlineOf(coverage);
  if (cv::countNonZero(outline) == 0 || *at95 <= 0) return 0;
  return cv::mean(gradient, outline)[0] / *at95;
}

// The share of the pixels `where` selects whose colour in `colours` is nearer the background's
// colour nearby (the picture's mean where coverage < 0.02 within 15 pixels) than the subject's
// (coverage > 0.98). Pixels without both sides nearby are not counted. `picture` and `colours`
// are CV_32FC3.
inline double nearerBackgroundShare(const cv::Mat& coverage, const cv::Mat& picture,
                                    const cv::Mat& colours, const cv::Mat& where) {
  auto meanWhere = [&](const cv::Mat& side, cv::Mat& count) {
    cv::Mat weight, weight3, sum;
    side.convertTo(weight, CV_32F, 1.0 / 255);
    cv::boxFilter(weight, count, -1, cv::Size(31, 31), {-1, -1}, false, cv::BORDER_CONSTANT);
    cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weight3);
    cv::boxFilter(picture.mul(weight3), sum, -1, cv::Size(31, 31), {-1, -1}, false,
                  cv::BORDER_CONSTANT);
    return sum;
  };
  cv::Mat backCount, foreCount;
  const cv::Mat back = meanWhere(coverage < 0.02f, backCount);
  const cv::Mat fore = meanWhere(coverage > 0.98f, foreCount);
  int counted = 0, nearer = 0;
  for (int y = 0; y < coverage.rows; ++y) {
    for (int x = 0; x < coverage.cols; ++x) {
      const float nb = backCount.at<float>(y, x), nf = foreCount.at<float>(y, x);
      if (!where.at<uchar>(y, x) || nb <= 0 || nf <= 0) continue;
      const cv::Vec3f c = colours.at<cv::Vec3f>(y, x);
      ++counted;
      nearer +=
          cv::norm(c - back.at<cv::Vec3f>(y, x) / nb) < cv::norm(c - fore.at<cv::Vec3f>(y, x) / nf);
    }
  }
  return counted > 0 ? double(nearer) / counted : 0.0;
}

// How much of the old background the edge's colours keep: nearerBackgroundShare of the soft
// pixels (0.1 < coverage < 0.9) in their written colours.
inline double bandBackgroundShare(const cv::Mat& coverage, const cv::Mat& picture,
                                  const cv::Mat& written) {
  return nearerBackgroundShare(coverage, picture, written, (coverage > 0.1f) & (coverage < 0.9f));
}

// About what bandBackgroundShare gives with the subject's true colours: the same share of the sure
// subject's own pixels within two pixels of the soft ones. Where the subject's colours near
// its edge are like the ground's (white fur on a white wall, or the subject going on beyond the
// cut), they too lie nearer the background's mean.
inline double rimBackgroundShare(const cv::Mat& coverage, const cv::Mat& picture) {
  cv::Mat nearSoft;
  cv::dilate((coverage > 0.1f) & (coverage < 0.9f), nearSoft,
             cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
  return nearerBackgroundShare(coverage, picture, picture, nearSoft & (coverage > 0.98f));
}

inline cv::Mat photo(const std::string& name, cv::Size size) {
  const cv::Mat bgr = cv::imread(std::string(PLUMVANE_TESTDATA) + "/" + name);
  if (bgr.empty()) return {};
  cv::Mat resized;
  cv::resize(bgr, resized, size, 0, 0, cv::INTER_CUBIC);
  resized.convertTo(resized, CV_32FC3, 1.0 / 255);
  return resized;
}

struct Composite {
  cv::Mat rgba;      // the picture, 8-bit
  cv::Mat coverage;  // the subject's true coverage, CV_32F 0..1
  Mask map;          // what a model sees: the coverage at 320 pixels, blurred and shifted

  BitmapView view() const {
    return {rgba.data, rgba.cols, rgba.rows, rgba.step, BitmapView::Order::rgba};
  }
};

// A composite of the given size (the shapes scale with it): a rounded shape with a straight
// notch, textured with the astronaut photo, on the cat photo blurred as a shallow focus blurs it.
// The subject's edge is the shape's anti-aliased outline blurred by `edgeBlur` pixels (0: a hard
// edge; more: fur, motion). The map is the true coverage seen at 320 pixels across, blurred by a
// map pixel and shifted to the right by `offset` map pixels (one by default: the model's outline
// is off by about that much). Empty when the test photos are missing.
inline Composite composite(double edgeBlur, cv::Size size = {2400, 1600}, double offset = 1) {
  const double k = size.width / 2400.0;
  cv::Mat shape(size, CV_8U, cv::Scalar(0));
  cv::ellipse(shape, cv::Point(int(1200 * k), int(820 * k)), cv::Size(int(700 * k), int(560 * k)),
              15, 0, 360, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
  cv::rectangle(shape, cv::Rect(int(1150 * k), int(200 * k), int(160 * k), int(380 * k)),
                cv::Scalar(0), cv::FILLED);
  cv::Mat coverage;
  shape.convertTo(coverage, CV_32F, 1.0 / 255);
  if (edgeBlur > 0) cv::GaussianBlur(coverage, coverage, cv::Size(), edgeBlur);

  cv::Mat backdrop = photo("chelsea.png", size);
  const cv::Mat subject = photo("astronaut.png", size);
  if (backdrop.empty() || subject.empty()) return {};
  cv::GaussianBlur(backdrop, backdrop, cv::Size(), 12 * k);
  cv::Mat coverage3, mixed;
  cv::merge(std::vector<cv::Mat>{coverage, coverage, coverage}, coverage3);
  mixed = subject.mul(coverage3) + backdrop.mul(cv::Scalar::all(1) - coverage3);
  cv::Mat bgr8, rgba;
  mixed.convertTo(bgr8, CV_8UC3, 255);
  cv::cvtColor(bgr8, rgba, cv::COLOR_BGR2RGBA);

  cv::Mat seen;
  cv::resize(coverage, seen, cv::Size(320, 320 * size.height / size.width), 0, 0, cv::INTER_AREA);
  cv::GaussianBlur(seen, seen, cv::Size(), 1.0);
  const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, offset, 0, 1, 0);
  cv::warpAffine(seen, seen, shift, seen.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return {rgba, coverage,
          Mask{seen.cols, seen.rows, std::vector<float>(seen.begin<float>(), seen.end<float>())}};
}

}  // namespace plumvane::testing
