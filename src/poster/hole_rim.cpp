#include "poster/hole_rim.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace plumvane {
namespace {

// The rim is read at the scale at which subjects' holes are filled.
constexpr int rimSide = 1000;

// The background is read from beyond this many pixels of a hole at that scale, past most of
// the halo or glow that the segmenter leaves outside a subject; the hole swallows what stands out
// within twice as many.
constexpr int rimWidth = 6;

// Within this many rim widths of a hole, what stands out from the background is not read into
// it: a structure cut by the hole (a frame, a ring) would otherwise be drawn on into it as a
// streak from wherever the unread part ends.
constexpr int unreadWidths = 4;

// A pixel whose colour is further than this (in levels, on its most different channel) from the
// background near it stands out from it.
constexpr float oddLevel = 12;

// The background near a hole is told apart from what stands out only where it is mostly flat
// (a designed backdrop of plain colour or gentle gradients): where more than half of it within
// flatWindow / 2 rim widths changes by less than flatSlope levels a pixel. On a photo, where the
// background's own edges would stand out, everything is read as it is: measured on subjects
// pasted on blurred photos, this keeps their fill as it was.
constexpr float flatSlope = 0.5f;
constexpr int flatWindow = 20;

// The background near a pixel is the mean of the known pixels within a spread of this many rim
// widths, taken again without those far from it: wide enough that a frame, a ring or a shadow
// is a small part of them, and drops out.
constexpr double backgroundSpread = 5;

cv::Mat disc(int radius) {
  return cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1));
}

// A mask of the reduced scale brought back to the picture's size, every pixel that a reduced
// pixel of the mask touches included. Only the part around its lit pixels is scaled.
cv::Mat enlarged(const cv::Mat& mask, cv::Size size) {
  if (mask.size() == size) return mask.clone();
  cv::Mat big(size, CV_8U, cv::Scalar(0));
  cv::Rect lit = cv::boundingRect(mask);
  if (lit.empty()) return big;
  lit = (lit - cv::Point(1, 1) + cv::Size(2, 2)) & cv::Rect(0, 0, mask.cols, mask.rows);
  const double fx = double(size.width) / mask.cols, fy = double(size.height) / mask.rows;
  const cv::Rect area(int(lit.x * fx), int(lit.y * fy), int(lit.br().x * fx) - int(lit.x * fx),
                      int(lit.br().y * fy) - int(lit.y * fy));
  cv::Mat part;
  cv::resize(mask(lit), part, area.size(), 0, 0, cv::INTER_LINEAR);
  big(area).setTo(255, part > 0);
  return big;
}

// The mean of colours (32-bit RGB) near each pixel, each weighted by weight (32-bit) and by a
// Gaussian of the given spread.
cv::Mat weightedMean(const cv::Mat& colours, const cv::Mat& weight, double spread) {
  cv::Mat weight3, sums, weights, mean;
  cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weight3);
  cv::GaussianBlur(colours.mul(weight3), sums, {0, 0}, spread);
  cv::GaussianBlur(weight3, weights, {0, 0}, spread);
  cv::divide(sums, cv::max(weights, 1e-3f), mean);
  return mean;
}

// The prevailing colour of the known pixels near each pixel of a 32-bit RGB picture: their mean
// weighted by a Gaussian of the given spread, taken again as many rounds as asked without those
// far from the last mean, so that a thin frame or ring among them does not tint it. Worked out
// at a quarter of the scale, where it costs a sixteenth.
cv::Mat prevailing(const cv::Mat& values, const cv::Mat& known, double spread, int rounds) {
  constexpr int step = 4;
  const cv::Size coarse((values.cols + step - 1) / step, (values.rows + step - 1) / step);
  cv::Mat weight, weight3, sums, counted, colours;
  known.convertTo(weight, CV_32F, 1.0 / 255);
  cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weight3);
  cv::resize(values.mul(weight3), sums, coarse, 0, 0, cv::INTER_AREA);
  cv::resize(weight, counted, coarse, 0, 0, cv::INTER_AREA);
  cv::merge(std::vector<cv::Mat>{counted, counted, counted}, weight3);
  cv::divide(sums, cv::max(weight3, 1e-3f), colours);
  cv::Mat mean = weightedMean(colours, counted, spread / step);
  const float tolerances[] = {4 * oddLevel, 2 * oddLevel, oddLevel};
  for (int round = 0; round < rounds && round < 3; ++round) {
    cv::Mat near;
    cv::Mat(channelDistance(colours, mean) < tolerances[round]).convertTo(near, CV_32F, 1.0 / 255);
    mean = weightedMean(colours, counted.mul(near), spread / step);
  }
  cv::resize(mean, mean, values.size(), 0, 0, cv::INTER_LINEAR);
  return mean;
}

// Where the backdrop is mostly flat (of the pixels of area within flatWindow / 2 rim widths),
// its slope read on a 32-bit RGB picture's most changing channel.
cv::Mat mostlyFlat(const cv::Mat& values, const cv::Mat& area) {
  // Taken over a smoothed copy, so that the grain or dither of a gradient does not count.
  cv::Mat smooth, dx, dy;
  cv::GaussianBlur(values, smooth, {0, 0}, 1);
  cv::Sobel(smooth, dx, CV_32F, 1, 0, 3, 1.0 / 8);
  cv::Sobel(smooth, dy, CV_32F, 0, 1, 3, 1.0 / 8);
  std::vector<cv::Mat> across, down;
  cv::split(dx, across);
  cv::split(dy, down);
  cv::Mat slope, channel;
  for (size_t c = 0; c < 3; ++c) {
    cv::magnitude(across[c], down[c], channel);
    slope = c == 0 ? channel : cv::max(slope, channel);
  }
  const cv::Mat flat = (slope < flatSlope) & area;
  cv::Mat flatCount, areaCount;
  const cv::Size window(flatWindow * rimWidth + 1, flatWindow * rimWidth + 1);
  cv::boxFilter(flat, flatCount, CV_32F, window, {-1, -1}, false);
  cv::boxFilter(area, areaCount, CV_32F, window, {-1, -1}, false);
  return flatCount > 0.5 * areaCount;
}

}  // namespace

cv::Mat channelDistance(const cv::Mat& values, cv::InputArray colours) {
  cv::Mat difference;
  cv::absdiff(values, colours, difference);
  std::vector<cv::Mat> channels;
  cv::split(difference, channels);
  return cv::max(cv::max(channels[0], channels[1]), channels[2]);
}

HoleRim readHoleRim(const cv::Mat& rgb, const cv::Mat& subject, const cv::Mat& hole) {
  HoleRim rim{cv::Mat(rgb.size(), CV_8U, cv::Scalar(0)), cv::Mat(rgb.size(), CV_8U, cv::Scalar(0))};
  if (cv::countNonZero(hole) == 0) return rim;
  const double scale = std::min(1.0, double(rimSide) / double(std::max(rgb.cols, rgb.rows)));
  const cv::Size reduced(std::max(1, int(rgb.cols * scale + 0.5)),
                         std::max(1, int(rgb.rows * scale + 0.5)));
  cv::Mat small, smallHole, smallSubject, values;
  cv::resize(rgb, small, reduced, 0, 0, cv::INTER_AREA);
  small.convertTo(values, CV_32FC3);
  cv::resize(hole, smallHole, reduced, 0, 0, cv::INTER_AREA);
  smallHole = smallHole > 0;
  cv::resize(subject, smallSubject, reduced, 0, 0, cv::INTER_AREA);
  smallSubject = smallSubject > 127;

  // The background is read beyond a rim width from the hole; what stands out from it is looked
  // for near the hole, where the backdrop around is mostly flat.
  cv::Mat reach, near;
  cv::dilate(smallHole, reach, disc(rimWidth));
  cv::dilate(smallHole, near, disc(unreadWidths * rimWidth));
  const cv::Mat beyond = ~reach;
  near &= ~smallHole;
  if (cv::countNonZero(beyond) == 0) return rim;

  const cv::Mat background = prevailing(values, beyond, backgroundSpread * rimWidth, 3);
  const cv::Mat fromBackground = channelDistance(values, background);
  // The backdrop's flatness is judged twice as far out (by distance, far cheaper than so wide
  // a dilation).
  cv::Mat away;
  cv::distanceTransform(~smallHole, away, cv::DIST_L2, cv::DIST_MASK_3);
  const cv::Mat around = away <= 2 * unreadWidths * rimWidth;
  cv::Mat odd = near & (fromBackground > oddLevel) & mostlyFlat(values, around & beyond);
  if (cv::countNonZero(odd) == 0) return rim;
  // Their soft fringes too, so that no faint trace of them is read.
  cv::dilate(odd, odd, disc(1));
  odd &= near;

  // What stands out and reaches far from the hole (a frame or ring of the design) stays on the
  // plate, and so does what lies close to it along it. The rest that clings to the hole, its
  // pixels mostly nearer the subject's colours next to them than to the background's, is the
  // subject's own halo, or a scrap of something the subject was cut from: it goes with the hole.
  // So does whatever stands out close to the hole and does not continue a frame there (where a
  // halo meets a frame, the blend of the two).
  cv::Mat reached;
  cv::dilate(~(near | smallHole), reached, disc(1));
  reached &= odd;
  for (int step = 0; step < 2 * unreadWidths * rimWidth; ++step) {
    cv::dilate(reached, reached, disc(1));
    reached &= odd;
  }
  const cv::Mat loose = odd & ~reached;
  const cv::Mat likeSubject =
      channelDistance(values, prevailing(values, smallSubject, 2 * rimWidth, 0)) < fromBackground;
  cv::Mat labels;
  const int count = cv::connectedComponents(loose, labels, 8, CV_32S);
  cv::Mat touchesHole;
  cv::dilate(smallHole, touchesHole, disc(1));
  std::vector<uint8_t> clings(size_t(count), 0);
  std::vector<int> votes(size_t(count), 0);
  for (int y = 0; y < labels.rows; ++y) {
    const int* label = labels.ptr<int>(y);
    const uint8_t* inner = touchesHole.ptr<uint8_t>(y);
    const uint8_t* like = likeSubject.ptr<uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) {
      const size_t l = size_t(label[x]);
      if (l == 0) continue;
      if (inner[x]) clings[l] = 1;
      votes[l] += like[x] ? 1 : -1;
    }
  }
  cv::Mat close;
  cv::dilate(smallHole, close, disc(2 * rimWidth));
  // There only what continues a structure at least three pixels thick, in its colour, holds.
  cv::Mat thick;
  cv::morphologyEx(reached, thick, cv::MORPH_OPEN, disc(1));
  const cv::Mat continues =
      thick & (channelDistance(values, prevailing(values, thick, 2 * rimWidth, 3)) < 2 * oddLevel);
  cv::Mat swallowed = close & odd & ~continues;
  for (int y = 0; y < labels.rows; ++y) {
    const int* label = labels.ptr<int>(y);
    uint8_t* out = swallowed.ptr<uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) {
      const size_t l = size_t(label[x]);
      if (l != 0 && clings[l] && votes[l] > 0) out[x] = 255;
    }
  }
  rim.swallowed = enlarged(swallowed, rgb.size()) & ~hole;
  rim.unread = enlarged(odd, rgb.size()) & ~hole;
  return rim;
}

}  // namespace plumvane
