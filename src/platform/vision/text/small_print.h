// Where a large picture may hold small print that its first detection, at a fraction of its size,
// can't see: runs of small, sharp strokes.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace plumvane {

// An 8-bit mask of the picture (given in 8-bit grey) that is set around each run of small print:
// strokes narrower than a few pixels that stand out sharply from what lies next to them, joined
// along the line into words, lines and (where tightly set lines touch) paragraphs, whose runs are
// at least twice as wide as they are high and lie on flat ground. Nothing inside `seen` (lines
// already found) counts. Flat colour holds no such strokes; a photo's edges and shading belong to
// shapes wider than a stroke, and where its fine texture (hair, fur, foliage) makes strokes, the
// ground between them isn't flat, so a photo is mostly left out.
cv::Mat smallPrintMask(const cv::Mat& grey, const std::vector<cv::Rect>& seen);

}  // namespace plumvane
