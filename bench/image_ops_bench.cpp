// Decoding a 24-megapixel JPEG with and without a colour profile, refining a subject map, and
// estimating the subject's colours at its edge.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "edges.h"
#include "platform/files/picture_file.h"
#include "platform/image/foreground_colour.h"
#include "platform/image/image_ops.h"
#include "platform/vision/mask_refinement.h"
#include "tagged_jpeg.h"

namespace plumvane {
namespace {

// A 6000 x 4000 JPEG of smooth noise, and the same with an AdobeRGB profile in APP2 when the
// profile is installed (colord-data). Returns the two paths.
std::pair<std::string, std::string> jpegs() {
  static const auto paths = [] {
    const auto dir = std::filesystem::temp_directory_path() / "plumvane-bench";
    std::filesystem::create_directories(dir);
    cv::Mat small(400, 600, CV_8UC3), photo;
    cv::randu(small, 0, 255);
    cv::resize(small, photo, cv::Size(6000, 4000), 0, 0, cv::INTER_CUBIC);
    const std::string plain = (dir / "plain.jpg").string(), tagged = (dir / "tagged.jpg").string();
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", photo, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
    std::ofstream(plain, std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
    std::ifstream in("/usr/share/color/icc/colord/AdobeRGB1998.icc", std::ios::binary);
    const std::string profile(std::istreambuf_iterator<char>(in), {});
    std::ofstream(tagged, std::ios::binary) << testing::withProfile(jpeg, profile);
    return std::pair{plain, tagged};
  }();
  return paths;
}

void BM_DecodeJpeg(benchmark::State& state) {
  const auto [plain, tagged] = jpegs();
  const std::string& path = state.range(0) ? tagged : plain;
  for (auto _ : state) benchmark::DoNotOptimize(decodePicture(path));
}
BENCHMARK(BM_DecodeJpeg)
    ->ArgName("profile")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// A benchmark over composites 1920, 3000 and 6000 pixels wide, timed in milliseconds of wall
// clock with the process's CPU time beside it.
void atPhotoWidths(benchmark::internal::Benchmark* b) {
  b->ArgName("width")
      ->Arg(1920)
      ->Arg(3000)
      ->Arg(6000)
      ->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime()
      ->UseRealTime();
}

// Refining a model's coarse map of a subject with a hard outline on a shallow-focus backdrop,
// at a video frame's, a poster's and a 24-megapixel photo's width (3:2).
void BM_RefineMask(benchmark::State& state) {
  const int width = int(state.range(0));
  const testing::Composite picture = testing::composite(0, cv::Size(width, width * 2 / 3));
  if (picture.rgba.empty()) {
    state.SkipWithError("no test photos");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(refinedMask(picture.view(), picture.map));
}
BENCHMARK(BM_RefineMask)->Apply(atPhotoWidths);

// The subject's own colours at its soft edge, on the same composite with a soft edge (blurred by
// two pixels) and its refined mask, at the same widths.
void BM_SubjectColours(benchmark::State& state) {
  const int width = int(state.range(0));
  const testing::Composite composite = testing::composite(2, cv::Size(width, width * 2 / 3));
  if (composite.rgba.empty()) {
    state.SkipWithError("no test photos");
    return;
  }
  const Mask mask = refinedMask(composite.view(), composite.map);
  Image picture{0, 0, composite.rgba.cols, composite.rgba.rows, {}};
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const cv::Vec4b p = composite.rgba.at<cv::Vec4b>(y, x);
      picture.pixels.push_back(Pixel{p[0] / 255.f, p[1] / 255.f, p[2] / 255.f, 1});
    }
  }
  for (auto _ : state) {
    state.PauseTiming();
    Image copy = picture;
    state.ResumeTiming();
    useSubjectColours(copy, mask);
    benchmark::DoNotOptimize(copy.pixels.data());
  }
}
BENCHMARK(BM_SubjectColours)->Apply(atPhotoWidths);

}  // namespace
}  // namespace plumvane
