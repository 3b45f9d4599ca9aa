#include "poster/piece_files.h"

#include <algorithm>

#include "platform/image/image_ops.h"
#include "run/fail.h"
#include "run/number_text.h"
#include "run/saved_png.h"

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

void save(const PosterRun& run, const Image& image, const Rect& rect, const std::string& name) {
  const Image piece = crop(image, rect);
  if (piece.isEmpty()) fail(cantWrite(name, "the piece is empty"));
  const std::vector<uint8_t> bytes = renderStraightRgba8(piece);
  savePng((run.outDir / name).string(), {bytes.data(), piece.width, piece.height, 4}, name);
}

}  // namespace plumvane
