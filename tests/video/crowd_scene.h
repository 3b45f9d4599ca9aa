// A crowd made at test time: real people cut out of real photos walk over a real photo in
// overlapping rows, from 70 to 520 pixels tall, so that each one's visible part and the ground
// are known exactly in every frame. Shared by the crowd's end-to-end test and its bench.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace plumvane::testing {

// A photo in the test data, the part of it around one person, to be cut out, and where the
// person lies in that part. The people are scaled and placed by that fixed place, not by the
// cut-out's extent: a pixel more or less at a shoe would move the whole crowd, and who is found
// in it.
struct PersonPhoto {
  std::string file;
  cv::Rect part;
  cv::Rect person;  // in the part's pixels
};
const std::vector<PersonPhoto>& crowdPhotos();

// The person of a cut-out (BGRA, transparent outside its subjects): its largest lit part and
// what touches it, cropped to `place`.
cv::Mat personOf(const cv::Mat& cutout, const cv::Rect& place);

struct CrowdScene {
  std::vector<cv::Mat> frames;  // BGR
  // Per frame: which person (1, 2, ...) is in front at each pixel they cover at least half of,
  // 0 where nobody does; and the people's coverage (0-255) at each pixel, the most of any.
  std::vector<cv::Mat> front, people;
  int count = 0;  // people
};

// A scene of `frames` frames of 1280 x 720 over `ground`, from the people (personOf) given.
CrowdScene crowdOf(const std::vector<cv::Mat>& people, const cv::Mat& ground, int frames);

struct CrowdScore {
  double coverage = 0;    // the mean share of a person's visible part that is white (>= 128)
  double worstTenth = 0;  // the same over the worst tenth of the people in all frames
  double groundLit = 0;   // the share of the ground (over 5 pixels from anyone) that is white
  // The longest run, in pixels along a row or a column, of a sharp step in a matte (by at least
  // half the range from one pixel to the next) where the people's coverage has no step within
  // 3 pixels: the border of a block the matte has and the picture hasn't.
  int straightRun = 0;
};
CrowdScore scoreOf(const CrowdScene& scene, const std::vector<cv::Mat>& mattes);

}  // namespace plumvane::testing
