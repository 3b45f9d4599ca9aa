// The text service's reading of lines: the character error rate, spaces counted, and the time
// per line.
//
//   plumvane_text_bench LINES.TSV ROOT
//   plumvane_text_bench --page PICTURE
//
// Reads the real lines and paragraphs that LINES.TSV lists (pictures under ROOT, each one's
// rectangle and its hand-made transcription), then lines rendered in DejaVu and Liberation fonts at
// UI sizes (16 and 28 px) and headline sizes (64 and 120 px), dark on light and light on dark, and
// lines in eleven Latin-script languages (tests/latin_lines.h) at 20 and 56 px. Prints each
// group's error rate (edit distance over the transcriptions' length, both counted in characters)
// and time per line; then, when the models' description names a Latin-script model, that model
// alone: its load, its time per line and its error rate on the Latin-script lines.
//
// With --page, writes a 1280 x 800 page of twenty lines of English UI text, to time poster mode
// on.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "edit_distance.h"
#include "latin_lines.h"
#include "platform/vision/model_description.h"
#include "platform/vision/text/latin_model.h"
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

cv::Mat drawnLine(cv::freetype::FreeType2& type, const std::string& line, int size,
                  bool lightOnDark) {
  int baseline = 0;
  const cv::Size extent = type.getTextSize(line, size, -1, &baseline);
  cv::Mat page(extent.height + baseline + size, extent.width + 2 * size, CV_8UC3,
               lightOnDark ? cv::Scalar(40, 35, 30) : cv::Scalar(240, 240, 235));
  type.putText(page, line, cv::Point(size, size / 2 + extent.height), size,
               lightOnDark ? cv::Scalar(235, 235, 235) : cv::Scalar(30, 30, 30), -1, cv::LINE_AA,
               true);
  return page;
}

// Calls f with each Latin-script line drawn in each font, at 20 and 56 pixels, dark on light
// and light on dark, and its text.
template <typename F>
void forEachLatinScriptLine(F f) {
  for (const std::string& font : testing::latinScriptFonts) {
    auto type = cv::freetype::createFreeType2();
    type->loadFontData(font, 0);
    for (const int size : {20, 56}) {
      for (const bool lightOnDark : {false, true}) {
        for (const std::string& line : testing::latinScriptLines) {
          f(drawnLine(*type, line, size, lightOnDark), line);
        }
      }
    }
  }
}

// Twenty lines of a settings screen: five headings and fifteen lines of UI text.
cv::Mat englishPage() {
  const std::vector<std::string> lines = {"Settings",
                                          "Display and appearance",
                                          "Choose how windows and text look on this screen",
                                          "Screen resolution: 1920 x 1080",
                                          "Scale text and icons to 125%",
                                          "Night light turns on at 21:00",
                                          "Keyboard shortcuts",
                                          "Open the file manager with Super and E",
                                          "Take a screenshot of one window",
                                          "Network",
                                          "Connected to Office Guest (5 GHz)",
                                          "Signal strength: excellent",
                                          "Proxy settings are managed by your organisation",
                                          "Updates",
                                          "Last checked: Tuesday, 14 May 2024",
                                          "3 updates are ready to install",
                                          "Restart now to finish installing",
                                          "Privacy and security",
                                          "Location services are off for all apps",
                                          "Clear recent files after 30 days"};
  cv::Mat page(800, 1280, CV_8UC3, cv::Scalar(246, 244, 242));
  auto regular = cv::freetype::createFreeType2();
  regular->loadFontData("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 0);
  auto bold = cv::freetype::createFreeType2();
  bold->loadFontData("/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf", 0);
  int y = 40;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 || i == 6 || i == 9 || i == 13 || i == 17) {
      bold->putText(page, lines[i], cv::Point(300, y + 28), 28, cv::Scalar(30, 30, 30), -1,
                    cv::LINE_AA, false);
      y += 44;
    } else {
      regular->putText(page, lines[i], cv::Point(320, y + 20), 20, cv::Scalar(50, 50, 50), -1,
                       cv::LINE_AA, false);
      y += 32;
    }
  }
  return page;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The Latin-script model alone on the Latin-script lines, each drawn line read whole: its load
// (until its first, empty, line is read), its time per line and its error rate.
void latinModelAlone(const std::filesystem::path& file) {
  const auto start = std::chrono::steady_clock::now();
  LatinModel model(file);
  const Bitmap blank{8, 8, std::vector<uint8_t>(8 * 8 * 4, 255)};
  model.read(blank.view(), 0).get();
  const double load = secondsSince(start);
  Tally tally;
  forEachLatinScriptLine([&](const cv::Mat& drawn, const std::string& line) {
    const Bitmap page = bitmapOf(drawn);
    const auto read = std::chrono::steady_clock::now();
    const auto reading = model.read(page.view(), 0).get();
    tally.seconds += secondsSince(read);
    tally.errors += testing::editDistance(reading ? reading->text : "", line);
    tally.characters += testing::characters(line).size();
    ++tally.lines;
  });
  std::printf("\nLatin-script model alone: load %.3f s, %.1f ms per line, error rate %.4f\n", load,
              1000 * tally.seconds / double(tally.lines),
              double(tally.errors) / double(tally.characters));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--page") {
    return cv::imwrite(argv[2], englishPage()) ? 0 : 1;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: plumvane_text_bench LINES.TSV ROOT | --page PICTURE\n");
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
          read(*vision, drawnLine(*type, line, size, lightOnDark), line,
               groups[size < 64 ? "rendered UI sizes" : "rendered headlines"]);
        }
      }
    }
  }

  forEachLatinScriptLine([&](const cv::Mat& drawn, const std::string& line) {
    read(*vision, drawn, line, groups["rendered Latin-script"]);
  });

  std::printf("\n%-22s %6s %10s %12s\n", "lines", "count", "error rate", "ms per line");
  for (const auto& [name, t] : groups) {
    std::printf("%-22s %6zu %10.4f %12.1f\n", name.c_str(), t.lines,
                double(t.errors) / double(t.characters), 1000 * t.seconds / double(t.lines));
  }
  if (const TextModels models = loadTextModels(); !models.latin.empty()) {
    latinModelAlone(models.latin);
  }
  return 0;
}
