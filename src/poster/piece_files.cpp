#include "poster/piece_files.h"

#include <algorithm>

#include "platform/files/png_file.h"
#include "platform/image/image_ops.h"
#include "poster/poster_run.h"
#include "run/fail.h"
#include "run/number_text.h"

namespace plumvane {

std::string box(const Rect& rect) {
  const auto whole = [](double v) { return std::to_string(static_cast<int64_t>(v)); };
  return whole(rect.x) + " " + whole(rect.y) + " " + whole(rect.width) + " " + whole(rect.height);
}

std::string describeRect(const Rect& r, double H) {
  std::string text = "(";
  text += shortestDouble(r.x);
  for (double v : {H - r.y - r.height, r.width, r.height}) {
    text += ", ";
    text += shortestDouble(v);
  }
  text += ")";
  return text;
}

std::string plateLine(int64_t W, int64_t H) {
  return "piece plate 0 0 " + std::to_string(W) + " " + std::to_string(H) + " plate.png";
}

std::string subjectLine(const std::string& box, int64_t n) {
  return "piece subject " + box + " subject-" + std::to_string(n) + ".png";
}

std::string textLine(const std::string& box, int64_t n, const std::string& text) {
  std::string oneLine = text;
  std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
  return "piece text " + box + " text-" + std::to_string(n) + ".png " + oneLine;
}

std::string PosterRun::box(const Rect& rect) const {
  return plumvane::box(rect);
}

void PosterRun::save(const Image& image, const Rect& rect, const std::string& name) const {
  const Image piece = crop(image, rect);
  const std::vector<uint8_t> bytes = renderStraightRgba8(piece);
  const std::string path = (outDir / name).string();
  const auto error = piece.isEmpty() ? std::optional<std::string>("the piece is empty")
                                     : writePng(path, {bytes.data(), piece.width, piece.height, 4});
  if (error) fail("can't write " + name + ": " + *error);
}

}  // namespace plumvane
