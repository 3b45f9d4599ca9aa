// The person path on a crowd made at test time (tests/video/crowd_scene.h): real people cut out
// of real photos by plumvane itself, walking over a real photo in overlapping rows, 70 to 520
// pixels tall.
//
//   plumvane_crowd_bench PLUMVANE TESTDATA [FRAMES]
//
// Reports the mean share of each person's visible part that is white in the matte, the same over
// the worst tenth of people in all frames, the share of the ground lit, the longest straight
// step in a matte where the picture has none, and the run's time against a floor of ffmpeg
// decoding the clip and writing grey PNGs.
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "video/crowd_scene.h"

using namespace plumvane::testing;
namespace fs = std::filesystem;

namespace {

// Seconds a shell command takes; -1 when it fails.
double seconds(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: plumvane_crowd_bench PLUMVANE TESTDATA [FRAMES]\n");
    return 2;
  }
  const std::string binary = argv[1], data = argv[2];
  const int frames = argc > 3 ? std::atoi(argv[3]) : 40;
  const fs::path work = fs::temp_directory_path() / ("plumvane_crowd_" + std::to_string(getpid()));
  fs::create_directories(work);
  const std::string dir = work.string();
  std::vector<cv::Mat> people;
  for (const PersonPhoto& p : crowdPhotos()) {
    const cv::Mat photo = cv::imread(data + "/" + p.file);
    if (photo.empty()) {
      std::fprintf(stderr, "can't read %s/%s\n", data.c_str(), p.file.c_str());
      return 1;
    }
    const std::string part = dir + "/part.png", cut = dir + "/cut.png";
    cv::imwrite(part, photo(p.part));
    if (seconds("'" + binary + "' --cutout '" + part + "' '" + cut + "' >/dev/null") < 0) return 1;
    people.push_back(personOf(cv::imread(cut, cv::IMREAD_UNCHANGED), p.person));
  }
  const CrowdScene scene = crowdOf(people, cv::imread(data + "/dune.jpg"), frames);
  for (size_t i = 0; i < scene.frames.size(); ++i) {
    cv::imwrite(dir + "/frame" + std::to_string(i) + ".png", scene.frames[i]);
  }
  const std::string in = "cd '" + dir + "' && ";
  if (seconds(in + "ffmpeg -nostdin -loglevel error -framerate 25 -i frame%d.png -c:v libx264 " +
              "-crf 16 -pix_fmt yuv420p crowd.mp4") < 0) {
    return 1;
  }
  fs::create_directories(work / "floor");
  const double floor = seconds(in + "ffmpeg -nostdin -loglevel error -i crowd.mp4 " +
                               "-vf format=gray floor/%05d.png");
  const double person = seconds(in + "'" + binary + "' crowd.mp4 mattes --person >/dev/null");
  if (floor < 0 || person < 0) return 1;
  std::vector<cv::Mat> mattes;
  for (int f = 0; f < frames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "/mattes/matte_%05d.png", f);
    mattes.push_back(cv::imread(dir + name, cv::IMREAD_GRAYSCALE));
    if (mattes.back().empty()) return 1;
  }
  const CrowdScore s = scoreOf(scene, mattes);
  std::printf(
      "crowd of %d over %d frames: coverage %.3f, worst tenth %.3f, ground lit %.4f, "
      "longest straight step %d px\n",
      scene.count, frames, s.coverage, s.worstTenth, s.groundLit, s.straightRun);
  std::printf("floor: %.2f s; person path: %.2f s; ratio %.2f\n", floor, person, person / floor);
  if (std::getenv("PLUMVANE_CROWD_KEEP")) {
    for (int f = 0; f < frames; ++f) {
      cv::imwrite(dir + "/front" + std::to_string(f) + ".png", scene.front[size_t(f)]);
      cv::imwrite(dir + "/people" + std::to_string(f) + ".png", scene.people[size_t(f)]);
    }
    std::printf("kept in %s, with each frame's people by number and their coverage\n", dir.c_str());
  } else {
    fs::remove_all(work);
  }
}
