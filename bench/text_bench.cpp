// The text service's reading of lines: the character error rate, spaces counted, and the time
// per line.
//
//   plumvane_text_bench LINES.TSV ROOT
//
// Reads the real lines and paragraphs that LINES.TSV lists (pictures under ROOT, each one's
// rectangle and its hand-made transcription), then lines rendered in DejaVu and Liberation fonts at
// UI sizes (16 and 28 px) and headline sizes (64 and 120 px), dark on light and light on dark.
// Prints each group's error rate (edit distance over the transcriptions' length, both counted in
// characters) and time per line.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "edit_distance.h"
#include "platform/vision/vision.h"

using namespace plumvane;

namespace {

struct Tally {
  size_t errors = 0, characters = 0, lines = 0;
  double seconds = 0;
};

Bitmap bitmapOf(const cv::Mat& bgr) {
  cv::Mat rgba;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  return Bitmap{rgba.cols, rgba.rows, std::vector<uint8_t>(rgba.datastart, rgba.dataend)};
}

// Reads the picture's lines, in reading order, as one line; the time goes to the tally.
void read(Vision& vision, const cv::Mat& bgr, const std::string& truth, Tally& tally) {
  const auto start = std::chrono::steady_clock::now();
  const auto lines = vision.text().textLines(bitmapOf(bgr).view());
  tally.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string text;
  for (const auto& line : lines) {
    if (!line.text.empty()) text += (text.empty() ? "" : " ") + line.text;
  }
  tally.errors += testing::editDistance(text, truth);
  tally.characters += testing::characters(truth).size();
  ++tally.lines;
  if (text != truth) std::printf("  \"%s\" read as \"%s\"\n", truth.c_str(), text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: plumvane_text_bench LINES.TSV ROOT\n");
    return 2;
  }
  auto vision = installedVision();
  std::map<std::string, Tally> groups;

  std::ifstream list(argv[1]);
  for (std::string row; std::getline(list, row);) {
    if (row.empty() || row[0] == '#') continue;
    std::istringstream fields(row);
    std::string package, file, x, y, w, h, truth;
    std::getline(fields, package, '\t');
    std::getline(fields, file, '\t');
    std::getline(fields, x, '\t');
    std::getline(fields, y, '\t');
    std::getline(fields, w, '\t');
    std::getline(fields, h, '\t');
    std::getline(fields, truth);
    // A PDF's page has been rendered beside it, as a PNG.
    const bool page = file.find(".pdf#") != std::string::npos;
    const cv::Mat picture =
        cv::imread(std::string(argv[2]) + "/" + file + (page ? ".png" : ""), cv::IMREAD_COLOR);
    if (picture.empty()) {
      std::fprintf(stderr, "can't read %s\n", file.c_str());
      return 1;
    }
    const cv::Rect line(std::stoi(x), std::stoi(y), std::stoi(w), std::stoi(h));
    // A margin of the picture around the line, as a poster or a screen shows it.
    cv::Mat framed;
    cv::copyMakeBorder(picture(line), framed, 16, 16, 16, 16,
                       cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
    const char* group = page             ? "real printed pages"
                        : package == "-" ? "real posters"
                                         : "real screenshots";
    read(*vision, framed, truth, groups[group]);
  }

  const std::vector<std::string> fonts = {
      "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
      "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf",
      "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
      "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf",
      "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf"};
  const std::vector<std::string> lines = {"Wednesday, 27 July 2016",
                                          "Feels like: 16°C",
                                          "Overcast Clouds",
                                          "Hulst (Netherlands)",
                                          "0 mm",
                                          "18 km/h",
                                          "ESPRESSO BAR",
                                          "them, often",
                                          "café au lait",
                                          "Morning Coffee Club"};
  for (const std::string& font : fonts) {
    auto type = cv::freetype::createFreeType2();
    type->loadFontData(font, 0);
    for (const int size : {16, 28, 64, 120}) {
      for (const bool lightOnDark : {false, true}) {
        for (const std::string& line : lines) {
          int baseline = 0;
          const cv::Size extent = type->getTextSize(line, size, -1, &baseline);
          cv::Mat page(extent.height + baseline + size, extent.width + 2 * size, CV_8UC3,
                       lightOnDark ? cv::Scalar(40, 35, 30) : cv::Scalar(240, 240, 235));
          type->putText(page, line, cv::Point(size, size / 2 + extent.height), size,
                        lightOnDark ? cv::Scalar(235, 235, 235) : cv::Scalar(30, 30, 30), -1,
                        cv::LINE_AA, true);
          read(*vision, page, line, groups[size < 64 ? "rendered UI sizes" : "rendered headlines"]);
        }
      }
    }
  }

  std::printf("\n%-20s %6s %10s %12s\n", "lines", "count", "error rate", "ms per line");
  for (const auto& [name, t] : groups) {
    std::printf("%-20s %6zu %10.4f %12.1f\n", name.c_str(), t.lines,
                double(t.errors) / double(t.characters), 1000 * t.seconds / double(t.lines));
  }
  return 0;
}
