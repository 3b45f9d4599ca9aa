// The segmentation model's time alone over a clip's frames, for comparison with a whole video
// run on the same clip.
//
//   plumvane_segment_bench CLIP subject|person [FRAMES]
//
// Decodes the first FRAMES frames (all when absent), then times only the segmentation calls of
// the given path on them (for subjects, the model's map and its refinement, as a video reads a
// frame the model looks at), and prints the total and the frames per second.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/files/video_reader.h"
#include "platform/vision/vision.h"

using namespace plumvane;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: plumvane_segment_bench CLIP subject|person [FRAMES]\n");
    return 2;
  }
  const bool person = std::string(argv[2]) == "person";
  const long limit = argc > 3 ? std::atol(argv[3]) : -1;
  auto opened = VideoReader::open(argv[1]);
  auto* reader = std::get_if<std::unique_ptr<VideoReader>>(&opened);
  if (!reader) {
    std::fprintf(stderr, "can't read %s\n", argv[1]);
    return 1;
  }
  std::vector<VideoFrame> frames;
  VideoFrame frame;
  while ((limit < 0 || long(frames.size()) < limit) &&
         (*reader)->next(frame) == VideoReader::Status::frame) {
    frames.push_back(frame);
  }
  auto vision = installedVision();
  SubjectSegmenter* subjects = person ? nullptr : vision->subjects();
  if (!person && !subjects) {
    std::fprintf(stderr, "no subject model is installed\n");
    return 1;
  }
  double seconds = 0;
  for (const VideoFrame& f : frames) {
    const BitmapView view{f.bgra.data(), f.width, f.height, f.rowBytes, BitmapView::Order::bgra};
    const auto start = std::chrono::steady_clock::now();
    if (person) {
      vision->people().personMask(view);
    } else if (std::optional<Mask> map = subjects->modelMap(view)) {
      subjects->frameInstances(view, std::move(*map));  // as a video's frame is read
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::printf("%zu frames, segmentation alone %.3f s, %.2f frames per second\n", frames.size(),
              seconds, double(frames.size()) / seconds);
  return 0;
}
