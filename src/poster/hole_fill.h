// Filling holes in a picture from their surroundings, nearest surroundings first.
#pragma once

#include <opencv2/core.hpp>

namespace plumvane {

// Paints the pixels of an 8-bit RGB picture where target is non-zero in from the pixels around
// them, rim first, each from its nearest known neighbours (OpenCV's fast-marching inpainting with
// the Navier-Stokes update, radius 2), so that edges and colour continue from the rim inwards.
// Pixels where unknown is non-zero are not used as sources (target lies within unknown). Large
// holes are filled at a reduced scale, at most largeSide pixels on the picture's longer side, and
// scaled back (at full scale when no known pixel would be left); thin holes (scale 1) keep full
// detail. Pixels outside target are left as they are, and so is everything when no pixel is known.
void fillHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, int largeSide);

// Paints in the strokes of a line of text (target, where unknown is non-zero too) from their
// surroundings, at full scale in a line up to 128 pixels high and scaled down to that height in a
// higher one: as fillHoles does where the ground around them is flat, and where it has grain (see
// addGrain) by rebuilding its texture, so that leaves, feathers or grass run on through the hole
// rather than being smeared into streaks in the letters' shape.
void fillStrokes(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown);

// Paints in the large holes that subjects leave, as fillHoles does at a reduced scale of at most
// 1000 pixels on the longer side, but deeper than a twenty-fourth of that side from the rim the
// inpainting is mixed, up to half and half, with the smoothest surface over the hole (each
// pixel the mean of its neighbours, solved at half the scale): closer to what the hole hid than
// either alone. Where the ground around a hole is textured (its typical grain at least a level:
// grass, wood, clouds), that smooth fill is only the start of the hole's synthesis from squares
// of the ground around it (patch_synthesis.h), at the picture's own scale. Where the straight
// edge of a band, a frame or a horizon runs through a hole (hole_edges.h), each part of the hole
// between such edges is filled smoothly from the ground on its own sides of them alone.
void fillSubjectHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown);

// Gives the filled pixels of rgb where hole is non-zero the grain of the picture around them:
// inpainting carries the rim's colours and edges inwards but smooths them, and over a grainy
// photo the hole shows as a smooth patch in the shape of what was there. Each hole pixel takes the
// fine detail (the picture less its local mean) of the known pixel mirrored across the hole's
// nearest border, read a little clear of the unknown pixels (hole lies within unknown) so that no
// halo of what was removed comes in. Only grain is copied: flat ground gets none, and a detail
// that is an edge (far stronger than the grain around it, or beside ground of another colour than
// the fill) is not drawn in. `picture` is rgb as it was before the fill.
void addGrain(cv::Mat& rgb, const cv::Mat& picture, const cv::Mat& hole, const cv::Mat& unknown);

// The longer side of a w x h line of text scaled to be at most height pixels high (never
// enlarged): the scale at which holes in it are filled without losing what matters.
int lineScaleSide(int w, int h, int height);

}  // namespace plumvane
