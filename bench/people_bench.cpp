// How well the person path's mattes cover the walkers of a street clip from a fixed camera.
//
//   plumvane_people_bench VIDEO MATTES
//
// The walkers are the blobs of a background model (OpenCV's MOG2, its shadows left out), opened
// and closed, of at least 300 pixels and taller than wide, in every frame after the model's first
// 150 frames of learning. A walker counts as covered when at least 30% of its blob is white
// (>= 128) in that frame's matte. The matte's share on walkers is its total coverage within
// 8 pixels of any blob of the frame over its total coverage. The matte's steadiness is its mean
// change from one frame to the next where the picture is still (no pixel within 4 changes by more
// than 3 levels), over the whole clip. Mattes larger or smaller than the frames are compared at
// the frames' size.
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/background_segm.hpp>
#include <string>

#include "platform/files/video_reader.h"

using namespace plumvane;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: plumvane_people_bench VIDEO MATTES\n");
    return 2;
  }
  auto opened = VideoReader::open(argv[1]);
  auto* reader = std::get_if<std::unique_ptr<VideoReader>>(&opened);
  if (!reader) {
    std::fprintf(stderr, "can't read %s\n", argv[1]);
    return 1;
  }
  const int learning = 150, leastArea = 300;
  auto model = cv::createBackgroundSubtractorMOG2(300, 25, true);
  const cv::Mat open = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
  const cv::Mat close = cv::getStructuringElement(cv::MORPH_RECT, {9, 9});
  const cv::Mat near = cv::getStructuringElement(cv::MORPH_ELLIPSE, {17, 17});
  long walkers = 0, covered = 0;
  double onWalkers = 0, total = 0, change = 0, still = 0;
  cv::Mat previousGrey, previousMatte;
  VideoFrame frame;
  for (int n = 0; (*reader)->next(frame) == VideoReader::Status::frame; ++n) {
    const cv::Mat bgra(frame.height, frame.width, CV_8UC4, frame.bgra.data(), frame.rowBytes);
    cv::Mat bgr, foreground;
    cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
    model->apply(bgr, foreground);
    char name[32];
    std::snprintf(name, sizeof name, "/matte_%05d.png", n);
    cv::Mat matte = cv::imread(argv[2] + std::string(name), cv::IMREAD_GRAYSCALE);
    if (matte.empty()) {
      std::fprintf(stderr, "no matte %s\n", name + 1);
      return 1;
    }
    if (matte.size() != bgr.size()) cv::resize(matte, matte, bgr.size(), 0, 0, cv::INTER_AREA);
    cv::Mat grey, calm, moved;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    if (!previousGrey.empty()) {
      cv::absdiff(grey, previousGrey, calm);
      cv::erode(calm <= 3, calm, cv::Mat::ones(9, 9, CV_8U));
      cv::absdiff(matte, previousMatte, moved);
      change += cv::sum(moved & calm)[0];
      still += cv::countNonZero(calm);
    }
    previousGrey = grey;
    previousMatte = matte;
    if (n < learning) continue;
    cv::Mat blobs = foreground == 255, labels, stats, centres;
    cv::morphologyEx(blobs, blobs, cv::MORPH_OPEN, open);
    cv::morphologyEx(blobs, blobs, cv::MORPH_CLOSE, close);
    const int count = cv::connectedComponentsWithStats(blobs, labels, stats, centres, 8);
    for (int i = 1; i < count; ++i) {
      const int area = stats.at<int>(i, cv::CC_STAT_AREA);
      if (area < leastArea ||
          stats.at<int>(i, cv::CC_STAT_HEIGHT) < stats.at<int>(i, cv::CC_STAT_WIDTH)) {
        continue;
      }
      ++walkers;
      if (cv::countNonZero((labels == i) & (matte >= 128)) * 10 >= area * 3) ++covered;
    }
    cv::Mat around;
    cv::dilate(blobs, around, near);
    total += cv::sum(matte)[0];
    onWalkers += cv::sum(matte & around)[0];
  }
  std::printf("walkers %ld, covered %.3f, matte on walkers %.3f\n", walkers,
              walkers ? double(covered) / double(walkers) : 0.0,
              total > 0 ? onWalkers / total : 0.0);
  std::printf("matte change where the picture is still: %.3f levels a frame\n",
              still > 0 ? change / still : 0.0);
}
