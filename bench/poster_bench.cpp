// Poster mode's time on one picture, phase by phase, in one run.
//
//   plumvane_poster_bench PICTURE
//   plumvane_poster_bench --make PICTURE
//
// Runs the same building blocks as posterPieces, in its order and with its memory settings, and
// prints the seconds of each and the process's peak memory after it:
// decoding, the working image, the subject and text models (side by side), the lines' ink, masks
// and extents, the plate, and the pieces made and written. Model phases are marked with "model".
// With --make, it writes a 3000 x 2000 poster to PICTURE instead: a photo of the test set with a
// light band, two dark lines in real fonts on it and a white line over the photo.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/files/picture_file.h"
#include "platform/image/image_ops.h"
#include "platform/image/mask_conversions.h"
#include "platform/process/freed_memory.h"
#include "poster/piece_files.h"
#include "poster/plate.h"
#include "poster/poster_pieces.h"
#include "poster/poster_run.h"
#include "poster/subject_masks.h"
#include "poster/subject_pieces.h"
#include "poster/text_pieces.h"
#include "poster/text_regions.h"
#include "run/saved_png.h"

using namespace plumvane;
using Clock = std::chrono::steady_clock;

namespace {

// Sets a line in one of Debian's fonts with its baseline starting at origin.
void letter(cv::Mat& picture, const std::string& font, const std::string& line, int size,
            cv::Point origin, cv::Scalar colour) {
  auto type = cv::freetype::createFreeType2();
  type->loadFontData("/usr/share/fonts/truetype/" + font, 0);
  type->putText(picture, line, origin, size, colour, -1, cv::LINE_AA, true);
}

// The process's peak resident memory so far, in megabytes.
long peakMegabytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) / 1024;
  }
  return 0;
}

// The processor time of all the process's threads so far, in seconds.
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool makePoster(const std::string& path) {
  cv::Mat poster;
  cv::resize(cv::imread(std::string(PLUMVANE_TESTDATA) + "/coffee.png"), poster, {3000, 2000}, 0, 0,
             cv::INTER_CUBIC);
  poster(cv::Rect(0, 0, 3000, 520)).setTo(cv::Scalar(235, 240, 245));
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "Morning Coffee Club", 220, {140, 280},
         {40, 30, 20});
  letter(poster, "liberation/LiberationSerif-Regular.ttf", "Saturday at nine", 150, {150, 470},
         {40, 30, 20});
  letter(poster, "liberation/LiberationSerif-Regular.ttf", "Open daily", 120, {2150, 1900},
         {255, 255, 255});
  return cv::imwrite(path, poster);
}

}  // namespace

int main(int argc, char** argv) {
  keepFreedMemory();
  if (argc == 3 && std::string(argv[1]) == "--make") return makePoster(argv[2]) ? 0 : 1;
  if (argc != 2) {
    std::fprintf(stderr, "usage: plumvane_poster_bench PICTURE | --make PICTURE\n");
    return 2;
  }
  keepFreedMemory();
  auto vision = installedVision(ModelUse::once);
  vision->subjects();  // load the models before the clock starts, as a run's start-up
  vision->text();
  struct Phase {
    const char* name;
    double seconds;
    double cpuSeconds;
    long peakMB;
  };
  std::vector<Phase> phases;
  auto mark = [&, last = Clock::now(), lastCpu = cpuSeconds()](const char* phase) mutable {
    const auto now = Clock::now();
    const double cpu = cpuSeconds();
    phases.push_back(
        {phase, std::chrono::duration<double>(now - last).count(), cpu - lastCpu, peakMegabytes()});
    last = now, lastCpu = cpu;
  };

  std::optional<Image> picture = decodePicture(argv[1]);
  if (!picture) return 1;
  mark("decode");
  PosterRun run;
  run.outDir = std::filesystem::temp_directory_path() / "plumvane-poster-bench";
  std::filesystem::create_directories(run.outDir);
  const WorkingSize size = workingSize(picture->width, picture->height, 3000);
  run.working = size.scaled ? scaled(*picture, int(size.W), int(size.H)) : std::move(*picture);
  const Bitmap bitmap{run.working.width, run.working.height,
                      renderRgba8(run.working, run.working.extent())};
  mark("working image");
  std::future<FoundLines> lines =
      std::async(std::launch::async, [&] { return findLines(*vision, bitmap.view(), run); });
  SubjectMasks found = findSubjectMasks(*vision, bitmap.view(), run);
  auto [regions, inks] = lines.get();
  mark("subject and text models, text ink");
  SubjectMasks masks = wholeOnFlatBackdrop(withoutLettering(std::move(found), regions, inks, run),
                                           bitmap.view(), regions, inks, run);
  leaveSubjectsTheirText(inks, regions, masks.subjectUnion);
  masks.subjectUnion = Image{};
  const std::vector<Subject> subjects = decideSubjects(std::move(masks.masks), run);
  mark("masks and extents");
  // The pieces print their manifest lines: keep them out of the report.
  const int saved = dup(STDOUT_FILENO);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  writePieces(run, subjects, regions, inks);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(devNull);
  close(saved);
  mark("plate, pieces, files");
  std::filesystem::remove_all(run.outDir);

  double total = 0;
  for (const Phase& phase : phases) total += phase.seconds;
  std::printf("working image %lld x %lld, %zu subjects, %zu lines of text\n",
              static_cast<long long>(size.W), static_cast<long long>(size.H), subjects.size(),
              regions.size());
  for (const auto& [name, seconds, cpu, peakMB] : phases) {
    std::printf("%-34s %6.3f s  %4.1f%%  CPU %6.3f s  peak %5ld MB\n", name, seconds,
                100 * seconds / total, cpu, peakMB);
  }
  std::printf("%-34s %6.3f s\n", "total", total);
  double models = 0;
  for (const auto& [name, seconds, cpu, peakMB] : phases) {
    if (std::string(name).find("model") != std::string::npos) models += seconds;
  }
  std::printf("non-model work / model time: %.2f\n", (total - models) / models);
  return 0;
}
