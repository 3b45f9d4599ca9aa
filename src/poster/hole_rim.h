// The rim around the holes that subjects leave: what there is the subject's, what the design's.
#pragma once

#include <opencv2/core.hpp>

namespace plumvane {

struct HoleRim {
  cv::Mat swallowed;  // rim pixels that go with the hole: the subject's halo, scraps cut with it
  cv::Mat unread;     // pixels near the hole that stay but are never read into it
};

// Reads the surroundings of hole (an 8-bit mask of an 8-bit RGB picture), at most 1000 pixels on
// the picture's longer side, where the backdrop is mostly flat (a designed one of plain colour
// or gentle gradients; on a photo nothing is marked). Within 24 pixels of the hole at that
// scale, whatever stands out from the background near it (a frame or ring, a shadow, a halo)
// is never read into the hole. Of that, the hole swallows each patch that clings to it without
// reaching that far out, when its pixels are mostly nearer the colours of subject (an 8-bit mask
// of where the subjects mostly are) next to them than the background's, and within 12 pixels
// of it, whatever does not continue in its colour a structure at least 3 pixels thick that
// reaches out (a frame or ring, which stays whole up to the hole). Both masks are at the
// picture's size and outside hole.
HoleRim readHoleRim(const cv::Mat& rgb, const cv::Mat& subject, const cv::Mat& hole);

// How far each pixel of a 3-channel picture lies from a colour (a picture of colours, or one
// colour), in levels on its most different channel: one channel of the picture's depth.
cv::Mat channelDistance(const cv::Mat& values, cv::InputArray colours);

}  // namespace plumvane
