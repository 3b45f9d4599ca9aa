#include "platform/image_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

namespace plumvane {
namespace {

// Runs f with standard error captured, and returns what was written there. The codec libraries
// behind OpenCV (libjpeg, libpng, libtiff) print their warnings straight to standard error; they
// must not reach the user, and the one that says a JPEG file ended early must be seen, since
// libjpeg then returns a picture whose missing part is filled with grey.
template <typename F>
std::string capturingStandardError(F f) {
  const int capture = memfd_create("plumvane-decoder-messages", 0);
  const int saved = capture >= 0 ? dup(STDERR_FILENO) : -1;
  if (saved < 0) {
    if (capture >= 0) close(capture);
    f();
    return {};
  }
  fflush(stderr);
  dup2(capture, STDERR_FILENO);
  f();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text;
  char buffer[4096];
  ssize_t n;
  lseek(capture, 0, SEEK_SET);
  while ((n = read(capture, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
  close(capture);
  return text;
}

bool reportsPrematureEnd(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text.find("premature end") != std::string::npos;
}

}  // namespace

std::optional<Image> decodePicture(const std::string& path) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::Mat decoded;
  bool failed = false;
  const std::string messages = capturingStandardError([&] {
    try {
      decoded = cv::imread(path, cv::IMREAD_UNCHANGED | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const cv::Exception&) {
      failed = true;
    }
  });
  if (failed || decoded.empty() || reportsPrematureEnd(messages)) return std::nullopt;

  // Straight into the float RGBA image, row by row, so that no second full-size copy is made.
  double scale = 1.0;
  switch (decoded.depth()) {
    case CV_8U:
      scale = 1.0 / 255;
      break;
    case CV_16U:
      scale = 1.0 / 65535;
      break;
    case CV_32F:
    case CV_64F:
      break;
    default:
      return std::nullopt;
  }
  const int channels = decoded.channels();
  if (channels != 1 && channels != 3 && channels != 4) return std::nullopt;
  Image image;
  image.width = decoded.cols;
  image.height = decoded.rows;
  image.pixels.resize(size_t(decoded.cols) * size_t(decoded.rows));
  cv::Mat row;
  for (int y = 0; y < decoded.rows; ++y) {
    decoded.row(y).convertTo(row, CV_32F, scale);
    const float* v = row.ptr<float>();
    Pixel* out = &image.at(0, y);
    for (int x = 0; x < decoded.cols; ++x, v += channels) {
      auto unit = [](float f) { return std::clamp(f, 0.0f, 1.0f); };
      if (channels == 1) {
        out[x] = Pixel{unit(v[0]), unit(v[0]), unit(v[0]), 1};
      } else {
        // OpenCV orders colour as blue, green, red.
        const float a = channels == 4 ? unit(v[3]) : 1.0f;
        out[x] = Pixel{unit(v[2]) * a, unit(v[1]) * a, unit(v[0]) * a, a};
      }
    }
  }
  return image;
}

}  // namespace plumvane
