// The crops a video frame's people are segmented in, and how their maps are laid into the
// frame's matte.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "platform/image/mask.h"
#include "platform/vision/people/people_tracker.h"

namespace plumvane {

// A crop around one or more people, how they move (pixels a frame), and their boxes.
struct Crop {
  cv::Rect rect;
  cv::Point2f velocity;
  std::vector<cv::Rect2f> people;
};

// The crops with those that mostly overlap merged into one.
std::vector<Crop> merged(std::vector<Crop> crops);

// The part r of a picture, small and grey, as crops are compared between frames; and whether
// two such are the same picture, up to noise.
cv::Mat stillOf(const BitmapView& picture, const cv::Rect& r);
bool unchanged(const cv::Mat& was, const cv::Mat& now);

// Fades the map of the part `inside` of a crop now at `at` towards the crop's borders that lay
// within `frame` where it was segmented, at `was`: a border at the picture's edge cuts nobody.
void fadeBorders(cv::Mat& map, const cv::Rect& was, const cv::Rect& at, const cv::Rect& inside,
                 const cv::Rect& frame);

// Where people can be, 0..1, over an area of the frame.
cv::Mat nearPeople(const std::vector<TrackedPerson>& people, const cv::Rect& area);

// The frame's map (0..1) believed more readily within people's boxes.
void believeWithin(cv::Mat& map, const std::vector<TrackedPerson>& people);

// The share of person `person`'s box within a crop at `crop` that the crop's map (at the crop's
// size) calls person, counted where no other box of `people` lies (over the whole box when the
// others cover all of it): where the boxes overlap, the others may be what the map calls person.
double litWithin(const Mask& map, const cv::Rect& crop, const std::vector<cv::Rect2f>& people,
                 size_t person);

// Crop `self` of `crops`, grown towards its borders inside the width x height picture where its
// map (at the crop's size) calls person where no other crop looks.
cv::Rect grownToFit(const Mask& map, const std::vector<cv::Rect>& crops, size_t self, int width,
                    int height);

}  // namespace plumvane
