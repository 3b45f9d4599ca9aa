// The ink of a line of text: which pixels of its rectangle are lettering, told apart from the
// background that the rectangle shows around and between the letters.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image/rect.h"

namespace plumvane {

struct TextInk {
  Rect rect;  // the text region's rectangle, in working-image pixels
  int w = 0;  // its width and height in pixels
  int h = 0;
  std::vector<uint8_t> hole;   // w x h, row 0 at the top: 255 on the strokes and their rims
  std::array<float, 3> ink{};  // the lettering's colour (red, green, blue, 0..1)
  bool oneColour = true;  // whether the strokes share that colour (else they are told by contrast)
};

// Opacity of each of the n pixels as lettering against a background (both RGBA bytes): the
// pixels that differ most from the background (the top 12%, by more than 0.12) give the ink
// colour, their median; a pixel is opaque when it is near that colour and differs from the
// background. When fewer than half of the clearly different pixels (difference above 0.3) fit
// that colour, or 3% of them are in one other colour, neither the ink nor a blend of it with the
// background (a word set in a colour of its own), the difference alone decides: transparent up
// to 0.16, opaque from 0.30. Only the pixels where evidence is not 0 (all of them without it)
// count towards the colour and that choice. Nothing when fewer than 8 pixels count as ink.
struct KeyedInk {
  std::vector<float> alpha;  // n values, 0..1
  std::array<float, 3> ink{};
  bool oneColour = true;
};
std::optional<KeyedInk> keyedInk(const uint8_t* picture, const uint8_t* background, size_t n,
                                 const uint8_t* evidence = nullptr);

// The strokes of the text in a w x h rectangle of RGBA bytes (row 0 at the top). The
// background is estimated twice: first inward from the rectangle's border, then from the pixels
// around the strokes found against the first estimate, so that a band, a gradient or a photo
// behind the letters is followed closely. The ink is told only from pixels in colours that
// don't dominate the rectangle's border. The strokes (keyed opacity of at least one half) are
// grown by a few pixels to take their anti-aliased rims; in a picture that was stored `lossy`,
// also the ringing that the compression left around them on flat ground. Pixels where `others`
// is non-zero belong to other lines: they are neither background nor this line's ink. Nothing
// when there is too little ink.
std::optional<TextInk> findTextInk(const uint8_t* picture, int w, int h,
                                   const uint8_t* others = nullptr, bool lossy = false);

}  // namespace plumvane
