#include "poster/subject_pieces.h"

#include <cstdio>
#include <string>

#include "platform/image/foreground_colour.h"
#include "platform/image/image_ops.h"
#include "platform/image/mask_conversions.h"
#include "poster/mask_extent.h"
#include "poster/piece_files.h"
#include "run/output.h"

namespace plumvane {
namespace {

// How far around a subject's extent the background is looked at for its edge's colours.
constexpr double edgeMargin = 32;

}  // namespace

std::vector<Subject> decideSubjects(std::vector<Image> masks, const PosterRun& run) {
  const double W = run.working.width, H = run.working.height;
  if (debugSwitch()) {
    for (size_t i = 0; i < masks.size(); ++i) {
      const std::string line =
          "mask " + std::to_string(i) + " extent " + describeRect(masks[i].extent(), H) + "\n";
      std::fputs(line.c_str(), stderr);
      save(run, masks[i], run.working.extent(), "mask-" + std::to_string(i) + ".png");
    }
  }
  std::vector<Subject> subjects;
  for (Image& mask : masks) {
    const std::optional<Rect> extent = extentOf(mask);
    const bool pieced = extent && extent->width * extent->height > W * H * 0.01;
    subjects.push_back(Subject{std::move(mask), extent, pieced});
  }
  return subjects;
}

void writeSubjectPieces(const PosterRun& run, const std::vector<Subject>& subjects) {
  int64_t n = 0;
  for (const Subject& subject : subjects) {
    if (!subject.pieced) {
      const std::string description =
          subject.extent ? "Optional(" + describeRect(*subject.extent, run.working.height) + ")"
                         : "nil";
      std::fputs(("skipped a subject: " + description + "\n").c_str(), stderr);
      continue;
    }
    ++n;
    // Cropped first, so that only the extent is blended and written; with a margin, so that the
    // soft edge's colours are estimated from the background around it too.
    const Rect& e = *subject.extent;
    const Rect around = intersection(outset(e, edgeMargin, edgeMargin), run.working.extent());
    Image part = crop(run.working, around);
    const Image partMask = crop(subject.mask, around);
    useSubjectColours(part, partMask);
    const Image cutout = withAlpha(crop(std::move(part), e), crop(partMask, e), e);
    save(run, cutout, e, "subject-" + std::to_string(n) + ".png");
    printLine(subjectLine(box(e), n));
  }
}

}  // namespace plumvane
