#include "poster/poster_pieces.h"

#include <cmath>
#include <filesystem>
#include <future>
#include <system_error>
#include <utility>

#include "platform/files/picture_file.h"
#include "platform/image/image_ops.h"
#include "platform/process/freed_memory.h"
#include "poster/piece_files.h"
#include "poster/plate.h"
#include "poster/subject_masks.h"
#include "poster/subject_pieces.h"
#include "poster/text_pieces.h"
#include "poster/text_regions.h"
#include "run/fail.h"
#include "run/output.h"
#include "run/saved_png.h"

namespace plumvane {

WorkingSize workingSize(double width, double height, int64_t maxSide) {
  WorkingSize size;
  const double longer = width <= height ? height : width;
  size.s = double(maxSide) / longer;
  size.scaled = size.s < 1;
  const double factor = size.scaled ? size.s : 1.0;
  size.W = int64_t(std::round(width * factor));
  size.H = int64_t(std::round(height * factor));
  return size;
}

void writePieces(const PosterRun& run, const std::vector<Subject>& subjects,
                 const std::vector<TextRegion>& regions,
                 const std::vector<std::optional<TextInk>>& inks) {
  // The subjects are cut out and their pieces written on a second thread while the plate is made
  // and compressed: the plate's fill leaves a core idle much of the time. The lines come in
  // order, each once its file is complete.
  std::future<SubjectPieceFiles> subjectFiles = std::async(std::launch::async, [&] {
    return writeSubjectPieces(run, subjects, cutOutSubjects(run, subjects));
  });
  Plate plate = reconstructPlate(run, subjects, inks);
  const std::optional<std::string> plateError =
      writePng((run.outDir / "plate.png").string(),
               {plate.plate.data, plate.plate.cols, plate.plate.rows, 4});
  const SubjectPieceFiles pieces = subjectFiles.get();
  if (plateError) fail(cantWrite("plate.png", *plateError));
  printLine(plateLine(run.working.width, run.working.height));
  for (const std::string& line : pieces.lines) printLine(line);
  if (pieces.failure) fail(*pieces.failure);
  plate.plate.release();  // the fill stays: the text pieces read it
  writeTextPieces(run, regions, inks, plate.fill);
}

void posterPieces(const std::string& picturePath, const std::string& outDir, int64_t maxSide,
                  Vision& vision) {
  // Poster mode makes and drops many full-size images, on its second threads too: their memory
  // is better reused, and taken from the heap that gets huge pages.
  keepFreedMemory();
  shareOneHeap();
  PosterRun run;
  run.outDir = outDir;
  std::error_code ignored;  // a directory that can't be made shows up in the first save
  std::filesystem::create_directories(run.outDir, ignored);

  std::optional<Image> picture = decodePicture(picturePath);
  if (!picture) fail("can't read the picture");
  run.lossy = storedLossily(picturePath);
  const WorkingSize size = workingSize(picture->width, picture->height, maxSide);
  // The picture is resampled to exactly W x H, so that every pixel of the working image is
  // covered whole.
  run.working = size.scaled ? scaled(*picture, int(size.W), int(size.H)) : std::move(*picture);
  picture.reset();
  if (run.working.isEmpty()) fail("can't draw the picture");
  const Rect working = run.working.extent();
  const Bitmap workingBitmap{run.working.width, run.working.height,
                             renderRgba8(run.working, working)};
  printLine("size " + std::to_string(size.W) + " " + std::to_string(size.H));

  // Lines of lettering found as subjects are text; the pieces are decided before the plate, so
  // that only what a piece carries is taken off it. The lines are found, and their ink told, on a
  // second thread while the subjects are found: neither model keeps both cores busy (the subject
  // map is refined, and the lines are read, on one core), and the lines are done first.
  std::future<FoundLines> lines =
      std::async(std::launch::async, [&] { return findLines(vision, workingBitmap.view(), run); });
  SubjectMasks found = findSubjectMasks(vision, workingBitmap.view(), run);
  auto [regions, inks] = lines.get();
  SubjectMasks kept = wholeOnFlatBackdrop(withoutLettering(std::move(found), regions, inks, run),
                                          workingBitmap.view(), regions, inks, run);
  leaveSubjectsTheirText(inks, regions, kept.subjectUnion);
  kept.subjectUnion = Image{};
  const std::vector<Subject> subjects = decideSubjects(std::move(kept.masks), run);

  writePieces(run, subjects, regions, inks);
  printLine("done");
}

}  // namespace plumvane
