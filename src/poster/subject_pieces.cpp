#include "poster/subject_pieces.h"

#include <cstdio>
#include <string>

#include "platform/image/image_ops.h"
#include "poster/mask_extent.h"
#include "poster/piece_files.h"
#include "run/output.h"

namespace plumvane {

bool largeEnough(const Rect& extent, double W, double H) {
  const double minimumArea = H * W * 0.01;
  return extent.width * extent.height > minimumArea;
}

std::vector<bool> piecedSubjects(const PosterRun& run, const std::vector<Image>& masks) {
  std::vector<bool> pieced;
  for (const Image& mask : masks) {
    const std::optional<Rect> e = measureExtent(mask, run.W, run.H).extent;
    pieced.push_back(e && largeEnough(*e, double(run.W), double(run.H)));
  }
  return pieced;
}

void writeSubjectPieces(const PosterRun& run, const std::vector<Image>& masks) {
  if (debugSwitch()) {
    for (size_t i = 0; i < masks.size(); ++i) {
      std::fputs(("mask " + std::to_string(i) + " extent " +
                  describeRect(masks[i].extent(), double(run.H)) + "\n")
                     .c_str(),
                 stderr);
      run.save(masks[i], run.workingRect, "mask-" + std::to_string(i) + ".png");
    }
  }
  int64_t n = 0;
  for (const Image& mask : masks) {
    const std::optional<Rect> e = run.extentOf(mask);
    if (!e || !largeEnough(*e, double(run.W), double(run.H))) {
      // The second measurement repeats the first; the message shows the rejected extent.
      const std::optional<Rect> again = run.extentOf(mask);
      const std::string description =
          again ? "Optional(" + describeRect(*again, double(run.H)) + ")" : "nil";
      std::fputs(("skipped a subject: " + description + "\n").c_str(), stderr);
      continue;
    }
    ++n;
    // Cropped first, so that only the extent is blended and written.
    const Image cutout = run.withAlpha(crop(run.working, *e), crop(mask, *e));
    run.save(cutout, *e, "subject-" + std::to_string(n) + ".png");
    printLine(subjectLine(run.box(*e), n));
  }
}

}  // namespace plumvane
