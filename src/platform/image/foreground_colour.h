// The subject's own colour at its soft edge.
//
// Where a subject only partly covers a pixel (hair, fur, an edge out of focus or merely
// anti-aliased), the picture holds a mix of the subject's colour and the background's. A cut-out
// that keeps the mixed colour draws a rim of the old background around the subject on any new
// one. This estimates the subject's own colour there instead.
#pragma once

#include "platform/image/image.h"
#include "platform/image/mask.h"

namespace plumvane {

// For each pixel of `picture` that `coverage` (a map of the picture's size, from its top-left
// pixel) covers only partly, so that the pixel is written with an alpha strictly
// between 0 and 255, replaces the picture's colour by the colour the subject alone has there:
// the F of picture = coverage * F + (1 - coverage) * B, estimated together with the background
// B from the pixel's colour and its neighbours', smooth where the coverage changes (the
// multi-level foreground estimation of Germer et al., 2020); where the sure background nearby is
// one flat colour, F comes near the colour that the mix with it gives exactly. Every other pixel
// keeps its colour exactly, and so do pixels that the picture itself leaves partly transparent;
// a map of another size changes nothing. The work is done only around the partly covered
// pixels: at a reduced resolution over their bounding box, then at the picture's own resolution
// on them alone.
void useSubjectColours(Image& picture, const Mask& coverage);

}  // namespace plumvane
