#include "platform/image_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

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

  // To 4-channel float RGBA with straight alpha, 0..1.
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
  cv::Mat values;
  decoded.convertTo(values, CV_32F, scale);
  cv::Mat rgba;
  switch (values.channels()) {
    case 1:
      cv::cvtColor(values, rgba, cv::COLOR_GRAY2RGBA);
      break;
    case 3:
      cv::cvtColor(values, rgba, cv::COLOR_BGR2RGBA);
      break;
    case 4:
      cv::cvtColor(values, rgba, cv::COLOR_BGRA2RGBA);
      break;
    default:
      return std::nullopt;
  }

  Image image;
  image.width = rgba.cols;
  image.height = rgba.rows;
  image.pixels.resize(size_t(rgba.cols) * size_t(rgba.rows));
  for (int row = 0; row < rgba.rows; ++row) {
    const cv::Vec4f* from = rgba.ptr<cv::Vec4f>(row);
    for (int column = 0; column < rgba.cols; ++column) {
      const float a = std::clamp(from[column][3], 0.0f, 1.0f);
      image.at(column, row) = Pixel{std::clamp(from[column][0], 0.0f, 1.0f) * a,
                                    std::clamp(from[column][1], 0.0f, 1.0f) * a,
                                    std::clamp(from[column][2], 0.0f, 1.0f) * a, a};
    }
  }
  return image;
}

}  // namespace plumvane
