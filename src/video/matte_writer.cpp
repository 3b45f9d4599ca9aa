#include "video/matte_writer.h"

#include <cstdio>
#include <opencv2/core.hpp>

#include "platform/files/png_file.h"
#include "run/saved_png.h"

namespace plumvane {

std::string matteFileName(int64_t index) {
  char name[48];
  std::snprintf(name, sizeof name, "matte_%05lld.png", static_cast<long long>(index));
  return name;
}

std::optional<std::string> writeMatte(const Mask* mask, int64_t index, int64_t width,
                                      int64_t height, const std::filesystem::path& outDir) {
  const std::string path = (outDir / matteFileName(index)).string();
  std::vector<uint8_t> grey(size_t(width) * size_t(height), 0);
  if (mask && !mask->isEmpty()) {
    Mask stretched;
    const Mask* source = mask;
    if (mask->width != width || mask->height != height) {
      stretched = resizedMask(*mask, int(width), int(height));
      source = &stretched;
    }
    const cv::Mat from(int(height), int(width), CV_32F, const_cast<float*>(source->values.data()));
    cv::Mat to(int(height), int(width), CV_8U, grey.data());
    from.convertTo(to, CV_8U, 255.0);  // rounds to nearest and clamps
  }
  // Mattes are written once per frame and are mostly flat: runs of black and white, quickly
  // compressed, are enough.
  PngOptions options;
  options.srgb = false;
  options.compressionLevel = 1;
  options.runs = true;
  if (auto reason = writePng(path, {grey.data(), int(width), int(height), 1}, options)) {
    return cantWrite(path, *reason);
  }
  return std::nullopt;
}

}  // namespace plumvane
