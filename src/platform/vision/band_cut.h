// Moving a refined mask's outline onto the picture's edges where the colours around the subject
// tell the two sides apart better than the model's map did.
#pragma once

#include "platform/image/mask.h"

namespace plumvane {

// The refined mask (at the picture's size) with its outline decided again in a narrow band: on a
// reduced copy of the picture, a graph cut between colour models of the two sides, learnt from
// the sure pixels around the subject, draws the outline to the picture's edges; where the cut
// moves it, a second refinement from the cut places it on the picture's pixels, and elsewhere
// the refined mask stands. A wide plateau where the refined mask hesitates (the model unsure of
// a whole region, not of an edge) is decided by the cut as well, whichever side it takes.
// `mapPixel` is how many picture pixels a pixel of the model's map covers.
Mask cutAlongOutline(const BitmapView& picture, Mask refined, double mapPixel);

}  // namespace plumvane
