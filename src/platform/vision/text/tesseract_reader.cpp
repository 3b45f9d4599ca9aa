// The Latin-script reader's module: Tesseract's LSTM reading single lines.
#include <dlfcn.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "platform/vision/text/latin_reader.h"

namespace plumvane {
namespace {

// Each line is scaled so that its ink, ascenders to descenders, is this many pixels high, and
// given this share of that height as a blank margin all round: Tesseract reads the tight crops
// of small UI text badly. Measured with ink from 14 to 38 pixels high, the higher the ink, the
// fewer accents are lost and the longer a line takes.
constexpr double inkPixels = 40;
constexpr double blankMargin = 0.3;
// A line is scaled to at most this width: a long line with little ink would otherwise grow
// wider than Tesseract reads in reasonable time.
constexpr double mostPixelsWide = 8000;
// The resolution Tesseract is told: lines scaled as above are text of about 8 points at it.
constexpr int pointsResolution = 300;
// A reading whose words span less than this share of the detected line's width has left words
// out (the model drops whole words set in a colour it takes for background, and is sure of the
// rest): its confidence is at most that share.
constexpr double leastSpan = 0.6;

// Dashes told apart by the width of their ink over the line's x-height, as measured on hyphens,
// en and em dashes in ten fonts from 20 to 56 pixels: hyphens 0.40-0.65, en dashes 0.67-1.16,
// em dashes 1.52-2.15. Between two letters a dash is a hyphen unless it is plainly wider.
constexpr double emDashWidth = 1.34;
constexpr double enDashWidth = 0.64;
constexpr double enDashWidthBetweenLetters = 0.9;

const std::string enDash = "\u2013", emDash = "\u2014";

// Tesseract's LSTM runs OpenMP parallel regions with a fixed number of threads; on a busy
// machine the threads spin for one another and a line takes ten times as long. One thread per
// region (no region is active) keeps a line at a few milliseconds. OpenMP is looked up in the
// process rather than linked, as it is only there through Tesseract.
void oneThreadPerRegion() {
  using SetLevels = void (*)(int);
  if (auto set = reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"))) {
    set(0);
  }
}

bool isDash(const std::string& s) {
  return s == "-" || s == enDash || s == emDash;
}

// The text with each dash made a hyphen, an en dash or an em dash by the width of its ink. The
// Latin model reads all three, but picks among them poorly. `grey` is the picture Tesseract read.
std::string dashesByWidth(tesseract::TessBaseAPI& api, const cv::Mat& grey, std::string text) {
  std::vector<std::pair<size_t, size_t>> dashes;  // where each dash is in the text, and its bytes
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '-') dashes.emplace_back(i, 1);
    if (text.compare(i, 3, enDash) == 0 || text.compare(i, 3, emDash) == 0)
      dashes.emplace_back(i, 3);
  }
  if (dashes.empty()) return text;
  const std::unique_ptr<tesseract::ResultIterator> symbols(api.GetIterator());
  if (!symbols || symbols->Empty(tesseract::RIL_SYMBOL)) return text;
  float rowHeight = 0, descenders = 0, ascenders = 0;
  symbols->RowAttributes(&rowHeight, &descenders, &ascenders);
  const double xHeight = rowHeight - ascenders + descenders;
  if (!(xHeight > 2)) return text;

  cv::Mat ink, labels, stats, centroids;
  cv::threshold(grey, ink, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
  const int parts = cv::connectedComponentsWithStats(ink, labels, stats, centroids, 8);
  // Per dash read, its width over the x-height: that of the flat bar of ink that overlaps the
  // symbol's box most; 0 when there is none.
  std::vector<double> widths;
  do {
    const std::unique_ptr<char[]> symbol(symbols->GetUTF8Text(tesseract::RIL_SYMBOL));
    if (!symbol || !isDash(symbol.get())) continue;
    int left, top, right, bottom;
    symbols->BoundingBox(tesseract::RIL_SYMBOL, &left, &top, &right, &bottom);
    const int slack = int(0.3 * xHeight);
    int best = 0, bestOverlap = 0;
    for (int p = 1; p < parts; ++p) {
      const int x = stats.at<int>(p, cv::CC_STAT_LEFT), w = stats.at<int>(p, cv::CC_STAT_WIDTH),
                h = stats.at<int>(p, cv::CC_STAT_HEIGHT);
      if (h > 0.4 * xHeight || w < 1.2 * h) continue;
      const int overlap = std::min(right + slack, x + w) - std::max(left - slack, x);
      if (overlap > bestOverlap) {
        bestOverlap = overlap;
        best = p;
      }
    }
    widths.push_back(best > 0 ? stats.at<int>(best, cv::CC_STAT_WIDTH) / xHeight : 0);
  } while (symbols->Next(tesseract::RIL_SYMBOL));
  if (dashes.size() != widths.size()) return text;

  for (size_t k = dashes.size(); k-- > 0;) {
    const auto [at, bytes] = dashes[k];
    if (widths[k] == 0) continue;
    // A character beyond ASCII beside a dash is taken for a letter: most are.
    const auto letter = [&text](size_t i) {
      const auto c = static_cast<unsigned char>(i < text.size() ? text[i] : ' ');
      return std::isalpha(c) || c >= 0x80;
    };
    const bool betweenLetters = at > 0 && letter(at - 1) && letter(at + bytes);
    const std::string& dash =
        widths[k] >= emDashWidth                                                  ? emDash
        : widths[k] >= (betweenLetters ? enDashWidthBetweenLetters : enDashWidth) ? enDash
                                                                                  : "-";
    text.replace(at, bytes, dash);
  }
  return text;
}

// The text without a lone bar at either end: the border of a field or a text cursor beside a
// line of UI text, which Tesseract reads as "|".
std::string withoutEdgeBars(std::string text) {
  if (text.size() >= 2 && text.compare(0, 2, "| ") == 0) text.erase(0, 2);
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, " |") == 0) text.resize(text.size() - 2);
  return text;
}

// One line's reading, done on the model's thread.
std::optional<LatinReading> readLine(tesseract::TessBaseAPI& api, cv::Mat grey, int margin) {
  cv::Mat ink;
  // Ink is the smaller part of Otsu's split; Tesseract reads dark on light.
  cv::threshold(grey, ink, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
  if (cv::countNonZero(ink) * 2 > ink.rows * ink.cols) {
    grey = 255 - grey;
    ink = 255 - ink;
  }
  const double paper = cv::mean(grey, ink == 0)[0];

  // The margin brings back the accents above capitals, which the detected box cuts off, and
  // whatever else lies around the line. Ink in the margin that runs to the crop's edge belongs
  // to a neighbour (a line above or below, a widget's border) and is painted over; accents
  // don't reach the edge.
  cv::Mat labels, stats, centroids;
  const int parts = cv::connectedComponentsWithStats(ink, labels, stats, centroids, 8);
  const cv::Rect line(margin, margin, grey.cols - 2 * margin, grey.rows - 2 * margin);
  std::vector<uint8_t> neighbour(size_t(parts), 0);
  for (int p = 1; p < parts; ++p) {
    const cv::Rect r(stats.at<int>(p, cv::CC_STAT_LEFT), stats.at<int>(p, cv::CC_STAT_TOP),
                     stats.at<int>(p, cv::CC_STAT_WIDTH), stats.at<int>(p, cv::CC_STAT_HEIGHT));
    const bool edge = r.x == 0 || r.y == 0 || r.br().x == grey.cols || r.br().y == grey.rows;
    neighbour[size_t(p)] = edge && (r & line).empty();
  }
  int top = grey.rows, bottom = -1;
  for (int y = 0; y < grey.rows; ++y) {
    const int* label = labels.ptr<int>(y);
    uint8_t* g = grey.ptr<uint8_t>(y);
    for (int x = 0; x < grey.cols; ++x) {
      if (label[x] == 0) continue;
      if (neighbour[size_t(label[x])]) {
        g[x] = uint8_t(paper);
      } else {
        top = std::min(top, y);
        bottom = y;
      }
    }
  }
  if (bottom < 0) return std::nullopt;

  const double scale = std::min(inkPixels / (bottom - top + 1), mostPixelsWide / grey.cols);
  cv::resize(grey, grey, cv::Size(), scale, scale, scale > 1 ? cv::INTER_CUBIC : cv::INTER_AREA);
  const int blank = int(std::lround(blankMargin * inkPixels));
  cv::copyMakeBorder(grey, grey, blank, blank, blank, blank, cv::BORDER_CONSTANT,
                     cv::Scalar(paper));

  api.SetImage(grey.data, grey.cols, grey.rows, 1, int(grey.step));
  api.SetSourceResolution(pointsResolution);
  const std::unique_ptr<char[]> text(api.GetUTF8Text());
  if (!text) return std::nullopt;
  std::string read = text.get();
  std::replace(read.begin(), read.end(), '\n', ' ');
  read.erase(0, std::min(read.find_first_not_of(' '), read.size()));
  read.erase(read.find_last_not_of(' ') + 1);
  // The share of the line (the crop without its margin) that the words read span.
  double span = 1;
  if (const std::unique_ptr<tesseract::ResultIterator> words(api.GetIterator());
      words && !words->Empty(tesseract::RIL_WORD)) {
    int first = grey.cols, last = 0;
    do {
      int left, right, above, below;
      if (!words->BoundingBox(tesseract::RIL_WORD, &left, &above, &right, &below)) continue;
      first = std::min(first, left);
      last = std::max(last, right);
    } while (words->Next(tesseract::RIL_WORD));
    const double lineWidth = (grey.cols - 2 * blank) - 2 * margin * scale;
    if (lineWidth > 0 && last > first) span = (last - first) / lineWidth;
  }
  LatinReading reading;
  // Every character of the model's set is in NFC, and none begins with a combining mark, so the
  // text Tesseract puts together from them is in NFC too.
  reading.text = withoutEdgeBars(dashesByWidth(api, grey, std::move(read)));
  reading.confidence = float(std::clamp(api.MeanTextConf(), 0, 100)) / 100.0f;
  if (span < leastSpan) reading.confidence = std::min(reading.confidence, float(span));
  return reading;
}

class TesseractReader final : public LatinLineReader {
 public:
  // Loads the model; false when Tesseract can't.
  bool load(const std::string& model, const std::string& language) {
    // Tesseract's messages go nowhere: a model that fails to load is an installation fault,
    // reported as such.
    const std::vector<std::string> names = {"debug_file"}, values = {"/dev/null"};
    if (api_.Init(model.data(), int(model.size()), language.c_str(), tesseract::OEM_LSTM_ONLY,
                  nullptr, 0, &names, &values, false, nullptr) != 0) {
      return false;
    }
    api_.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    // Lines are turned dark on light before they are read: Tesseract needn't try them inverted.
    api_.SetVariable("tessedit_do_invert", "0");
    oneThreadPerRegion();
    return true;
  }

  std::optional<LatinReading> read(cv::Mat grey, int margin) override {
    return readLine(api_, std::move(grey), margin);
  }

 private:
  tesseract::TessBaseAPI api_;
};

}  // namespace
}  // namespace plumvane

extern "C" plumvane::LatinLineReader* plumvane_open_latin_reader(const std::string& model,
                                                                 const std::string& language) {
  if (model.size() > size_t(std::numeric_limits<int>::max())) return nullptr;
  auto reader = std::make_unique<plumvane::TesseractReader>();
  if (!reader->load(model, language)) return nullptr;
  return reader.release();
}
