// Cutout mode against its model alone, and its peak memory.
//
//   plumvane_cutout_bench PLUMVANE PICTURE
//
// Times, on the same picture in one run: (a) the subject model's load plus inference on the
// decoded picture, in this process; (b) the whole `plumvane --cutout PICTURE` run, as a user
// starts it. Prints both, their ratio, and the run's peak resident memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/files/picture_file.h"
#include "platform/vision/vision.h"

using namespace plumvane;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: plumvane_cutout_bench PLUMVANE PICTURE\n");
    return 2;
  }
  const std::string binary = argv[1], picturePath = argv[2];
  const auto picture = decodePicture(picturePath);
  if (!picture) {
    std::fprintf(stderr, "can't read %s\n", picturePath.c_str());
    return 1;
  }
  const Bitmap bitmap{picture->width, picture->height, renderRgba8(*picture, picture->extent())};

  auto start = Clock::now();
  {
    auto vision = installedVision(ModelUse::once);
    SubjectSegmenter* subjects = vision->subjects();
    if (!subjects) return 1;
    const auto mask = subjects->allInstances(bitmap.view());
    std::printf("subject found: %s\n", mask ? "yes" : "no");
  }
  const double model = seconds(start);

  const std::string target = "/tmp/plumvane-cutout-bench.png";
  start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    execl(binary.c_str(), binary.c_str(), "--cutout", picturePath.c_str(), target.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double whole = seconds(start);
  unlink(target.c_str());

  std::printf("picture %dx%d\n", picture->width, picture->height);
  std::printf("model load + inference: %.3f s\n", model);
  std::printf("whole cutout run:       %.3f s (exit status %d)\n", whole, WEXITSTATUS(status));
  std::printf("ratio whole / model:    %.2f\n", whole / model);
  std::printf("peak memory of the run: %.0f MB\n", double(usage.ru_maxrss) / 1024);
  return 0;
}
