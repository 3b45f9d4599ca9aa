// Image operations on a 3000 x 2000 RGBA image, the size of a poster's working image.
#include <benchmark/benchmark.h>

#include <random>

#include "platform/blur.h"
#include "platform/filters.h"

namespace plumvane {
namespace {

const Image& photoSized() {
  static const Image image = [] {
    Image im = solidImage(clearColour, Rect{0, 0, 3000, 2000});
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(0, 1);
    for (Pixel& p : im.pixels) {
      const float a = unit(random);
      p = Pixel{unit(random) * a, unit(random) * a, unit(random) * a, a};
    }
    return im;
  }();
  return image;
}

void BM_GaussianBlur(benchmark::State& state) {
  const Image& image = photoSized();
  const double radius = double(state.range(0));
  const Edges edges = state.range(1) ? Edges::clampToExtent : Edges::transparent;
  for (auto _ : state) benchmark::DoNotOptimize(gaussianBlur(image, radius, edges));
}
BENCHMARK(BM_GaussianBlur)
    ->ArgNames({"radius", "clamped"})
    ->Args({5, 0})
    ->Args({300, 0})
    ->Args({300, 1})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_MorphologyMaximum(benchmark::State& state) {
  const Image& image = photoSized();
  for (auto _ : state) benchmark::DoNotOptimize(morphologyMaximum(image, int(state.range(0))));
}
BENCHMARK(BM_MorphologyMaximum)
    ->ArgName("radius")
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
}  // namespace plumvane
