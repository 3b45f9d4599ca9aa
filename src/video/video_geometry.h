// The arithmetic of a video run: matte size, frame rate, frame total and orientation.
#pragma once

#include <cstdint>

#include "platform/files/video_reader.h"

namespace plumvane {

struct VideoGeometry {
  double naturalWidth = 0;  // the natural size put through the transform; may be negative
  double naturalHeight = 0;
  double W0 = 0;  // the displayed frame's width and height
  double H0 = 0;
  double k = 1;   // scale from the displayed frame to the matte, at most 1
  int64_t W = 0;  // the matte's width and height
  int64_t H = 0;
};

// The matte size for a frame of width x height stored pixels shown through t, bounded by maxSide
// on its longer side and never enlarged. W and H are rounded separately, halves away from zero.
VideoGeometry videoGeometry(const AffineTransform& t, double width, double height, int64_t maxSide);

// The nominal frame rate when it is above 0, else 30.
float framesPerSecond(float nominal);

// fps times the duration, rounded halves away from zero; 0 when that is not a finite number
// (an unknown duration) or does not fit in 64 bits.
int64_t frameTotal(float fps, double durationSeconds);

// The orientation, as an EXIF orientation value, that turns a stored frame
// upright: 6 for a quarter turn clockwise, 8 for a quarter turn anticlockwise, 3 for a half turn,
// 1 for anything else.
int orientationOf(const AffineTransform& t);

}  // namespace plumvane
