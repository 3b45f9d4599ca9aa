// The poster's subject pieces: one cut-out per subject large enough, cropped to its extent.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "poster/poster_run.h"

namespace plumvane {

struct Subject {
  Image mask;                  // a grey mask over the working image
  std::optional<Rect> extent;  // where the mask is lit (mask_extent.h); nothing when it is not
  // Whether it gets a piece: its extent covers more than 1% of the working image. The plate
  // loses only these; a skipped subject stays on it.
  bool pieced = false;
};

// Measures each mask's extent, once, and decides which subjects get a piece. With
// PLUMVANE_DEBUG, first writes every mask as mask-i.png with a "mask i extent (...)" line on
// standard error.
std::vector<Subject> decideSubjects(std::vector<Image> masks, const PosterRun& run);

// Each pieced subject's cut-out, cropped to its extent, as straight 8-bit RGBA with its soft edge
// in the subject's own colours; an empty matrix for the others.
std::vector<cv::Mat> cutOutSubjects(const PosterRun& run, const std::vector<Subject>& subjects);

// What writing the subject pieces gave: the written pieces' manifest lines, in order, and the
// message of the first piece that could not be written, after which none was tried.
struct SubjectPieceFiles {
  std::vector<std::string> lines;
  std::optional<std::string> failure;
};

// Writes subject-N.png from each pieced subject's cut-out, numbered from 1 without gaps, and
// says "skipped a subject: " and the extent (or "nil") on standard error for the others. The
// lines are the caller's to print, and a failure the caller's to report.
SubjectPieceFiles writeSubjectPieces(const PosterRun& run, const std::vector<Subject>& subjects,
                                     const std::vector<cv::Mat>& cutouts);

}  // namespace plumvane
