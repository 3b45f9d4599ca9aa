// The poster's first phase: one grey mask per subject, and their union.
#pragma once

#include <optional>
#include <vector>

#include "platform/vision/vision.h"
#include "poster/poster_run.h"
#include "poster/text_ink.h"
#include "poster/text_regions.h"

namespace plumvane {

struct SubjectMasks {
  std::vector<Image> masks;  // grey masks over workingRect, in the segmenter's order
  Image subjectUnion;        // their per-pixel maximum over black
};

// Asks the subject segmenter for one mask per instance of the working bitmap, or, when no
// subject model is installed, the person segmenter for one mask of all people, stretched to
// the working image. A failed request yields no masks.
SubjectMasks findSubjectMasks(Vision& vision, const BitmapView& workingBitmap,
                              const PosterRun& run);

// The grey masks and their union from masks of any size, each stretched to the working image.
SubjectMasks subjectMasksFrom(const std::vector<Mask>& masks, const PosterRun& run);

// The subjects without those that are lettering: a mask with at least two thirds of its weight
// inside the rectangles of lines of text is dropped, and the union is formed again. A line
// counts when it has ink (inks holds one element per region) and is wider than tall: a single
// large shape read as a letter (a cup's rim as "O") doesn't turn its subject into text. A
// subject that merely has text printed on it keeps most of its weight outside the lines. A mask
// with at least a quarter of its weight inside the lines is dropped too when its outline, outside
// the lines, runs through flat picture: a block of small print with the paper between its lines
// and paragraphs, taken whole for a subject, has no edge where its mask ends, as a thing has. So
// is one whose pixels outside the lines are flat colour, hardly any of them shaded: a sign, a
// page or a card of lettering is a panel the text lies on, not a thing with text printed on it.
SubjectMasks withoutLettering(SubjectMasks subjects, const std::vector<TextRegion>& regions,
                              const std::vector<std::optional<TextInk>>& inks,
                              const PosterRun& run);

// On a designed backdrop, each subject taken whole: where most of the picture is one flat colour
// (a poster's ground), the picture's shapes are what stands out from it, and a shape that a
// subject's mask covers for the most part (a photo in a frame, a disc, a diamond) belongs to
// that subject all of it, its parts the segmenter missed included. Otherwise those parts would
// stay on the plate as fragments of the photo, and its fill would be drawn from them. The
// lettering of the lines (inks holds one element per region) is never taken.
SubjectMasks wholeOnFlatBackdrop(SubjectMasks subjects, const BitmapView& workingBitmap,
                                 const std::vector<TextRegion>& regions,
                                 const std::vector<std::optional<TextInk>>& inks,
                                 const PosterRun& run);

}  // namespace plumvane
