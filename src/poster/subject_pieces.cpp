#include "poster/subject_pieces.h"

#include <cstdio>
#include <string>

#include "platform/image/foreground_colour.h"
#include "platform/image/image_ops.h"
#include "platform/image/mask_conversions.h"
#include "poster/mask_extent.h"
#include "poster/piece_files.h"
#include "run/output.h"
#include "run/saved_png.h"

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

std::vector<cv::Mat> cutOutSubjects(const PosterRun& run, const std::vector<Subject>& subjects) {
  std::vector<cv::Mat> cutouts(subjects.size());
  for (size_t i = 0; i < subjects.size(); ++i) {
    if (!subjects[i].pieced) continue;
    // Cropped first, so that only the extent is blended; with a margin, so that the soft edge's
    // colours are estimated from the background around it too.
    const Rect& e = *subjects[i].extent;
    const Rect around = intersection(outset(e, edgeMargin, edgeMargin), run.working.extent());
    // The mask is kept as a coverage map, a quarter of a grey mask's memory: a large subject's
    // images are the most memory the poster holds while the plate is made beside them.
    Image part = crop(run.working, around);
    const Mask coverage = coverageOf(crop(subjects[i].mask, around));
    useSubjectColours(part, coverage);
    const Image cutout = withAlpha(std::move(part), coverage, e);
    if (cutout.isEmpty()) continue;
    cutouts[i] = cv::Mat(cutout.height, cutout.width, CV_8UC4);
    const std::vector<uint8_t> bytes = renderStraightRgba8(cutout);
    std::copy(bytes.begin(), bytes.end(), cutouts[i].data);
  }
  return cutouts;
}

SubjectPieceFiles writeSubjectPieces(const PosterRun& run, const std::vector<Subject>& subjects,
                                     const std::vector<cv::Mat>& cutouts) {
  SubjectPieceFiles files;
  int64_t n = 0;
  for (size_t i = 0; i < subjects.size(); ++i) {
    const Subject& subject = subjects[i];
    if (!subject.pieced) {
      const std::string description =
          subject.extent ? "Optional(" + describeRect(*subject.extent, run.working.height) + ")"
                         : "nil";
      std::fputs(("skipped a subject: " + description + "\n").c_str(), stderr);
      continue;
    }
    ++n;
    const std::string name = "subject-" + std::to_string(n) + ".png";
    const cv::Mat& cutout = cutouts[i];
    std::optional<std::string> reason =
        cutout.empty()
            ? "the piece is empty"
            : writePng((run.outDir / name).string(), {cutout.data, cutout.cols, cutout.rows, 4});
    if (reason) {
      files.failure = cantWrite(name, *reason);
      break;
    }
    files.lines.push_back(subjectLine(box(*subject.extent), n));
  }
  return files;
}

}  // namespace plumvane
