// The poster's text pieces: each line's lettering taken out of the picture against the plate's
// fill.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "poster/poster_run.h"
#include "poster/text_ink.h"
#include "poster/text_regions.h"

namespace plumvane {

// The ink of each region (findTextInk over its rectangle of the working image, the letters of
// neighbouring lines that reach into it left out), nothing for a region with too little ink.
// One element per region, in order.
std::vector<std::optional<TextInk>> findTextInks(const PosterRun& run,
                                                 const std::vector<TextRegion>& regions);

// The lines of text of the working image and the ink of each (findTextRegions, findTextInks).
struct FoundLines {
  std::vector<TextRegion> regions;
  std::vector<std::optional<TextInk>> inks;
};
FoundLines findLines(Vision& vision, const BitmapView& workingBitmap, const PosterRun& run);

// Leaves out the ink of the regions that lie mostly on subjects (a coverage of 129 and up in
// subjectUnion). What is left decides which regions get a piece, before the plate is made: the
// others stay on the plate as they are.
void leaveSubjectsTheirText(std::vector<std::optional<TextInk>>& inks,
                            const std::vector<TextRegion>& regions, const Image& subjectUnion);

// The piece of a w x h region as premultiplied RGBA bytes (row 0 at the top), from the picture's
// and the plate's fill's RGBA bytes and the region's ink: opaque on the strokes, transparent
// outside the ink's hole. Inside the hole each pixel's opacity is how far it lies from the fill
// towards the ink colour (or, for lettering of many colours, its difference from the fill), and
// its colour is what, laid over the fill at that opacity, gives the picture's pixel back.
std::vector<uint8_t> keyText(const uint8_t* picture, const uint8_t* fill, const TextInk& ink);

// Writes text-N.png for each region that has ink, numbered from 1 without gaps, and prints its
// manifest line. Ends the run through fail when a file can't be written.
void writeTextPieces(const PosterRun& run, const std::vector<TextRegion>& regions,
                     const std::vector<std::optional<TextInk>>& inks, const cv::Mat& fill);

}  // namespace plumvane
