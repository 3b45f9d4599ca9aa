#include "run/saved_png.h"

#include "run/fail.h"

namespace plumvane {

std::string cantWrite(std::string_view name, std::string_view reason) {
  std::string message = "can't write ";
  message += name;
  message += ": ";
  message += reason;
  return message;
}

void savePng(const std::string& path, const PngPixels& pixels, std::string_view name,
             const PngOptions& options) {
  if (auto reason = writePng(path, pixels, options)) fail(cantWrite(name, *reason));
}

}  // namespace plumvane
