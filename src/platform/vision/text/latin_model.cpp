#include "platform/vision/text/latin_model.h"

#include <dlfcn.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <limits>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "platform/vision/model_description.h"

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

// The model's file without its list of words. The Latin-script model's list of words in its
// languages is 89 of its 90 MB: loading it takes a quarter of a second and 250 MB, more than the
// rest of the lines' reading, and lines of UI text and headlines (names, places, prices) gain
// little from it. A traineddata file is a count of components, a table of their offsets (-1 for
// one that is absent), then the components in order (the format of Tesseract's
// combine_tessdata); the LSTM's word list is component 19. Nothing when the file can't be read
// or isn't in that format.
std::optional<std::string> withoutWordList(const std::filesystem::path& file) {
  constexpr int32_t wordList = 19, mostComponents = 100;
  std::ifstream in(file, std::ios::binary);
  int32_t count = 0;
  if (!in.read(reinterpret_cast<char*>(&count), sizeof count) || count <= wordList ||
      count > mostComponents) {
    return std::nullopt;
  }
  std::vector<int64_t> offsets(static_cast<size_t>(count));
  if (!in.read(reinterpret_cast<char*>(offsets.data()), std::streamsize(count * sizeof(int64_t))))
    return std::nullopt;
  in.seekg(0, std::ios::end);
  const int64_t size = in.tellg();
  const int64_t table = int64_t(sizeof count) + count * int64_t(sizeof(int64_t));

  std::vector<int64_t> kept(offsets.size(), -1);
  std::string out(size_t(table), '\0');
  int64_t start = -1;  // where the component being gathered starts
  size_t which = 0;
  for (size_t i = 0; i <= offsets.size(); ++i) {
    if (i < offsets.size() && offsets[i] < 0) continue;
    const int64_t end = i < offsets.size() ? offsets[i] : size;
    if (start >= 0) {  // the component before this one ends here
      if (end < start || end > size) return std::nullopt;
      if (which != size_t(wordList)) {
        kept[which] = int64_t(out.size());
        const size_t at = out.size();
        out.resize(at + size_t(end - start));
        in.seekg(start);
        if (!in.read(out.data() + at, std::streamsize(end - start))) return std::nullopt;
      }
    } else if (end < table) {
      return std::nullopt;
    }
    start = end;
    which = i;
  }
  std::memcpy(out.data(), &count, sizeof count);
  std::memcpy(out.data() + sizeof count, kept.data(), kept.size() * sizeof(int64_t));
  return out;
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
  LatinReading reading;
  // Every character of the model's set is in NFC, and none begins with a combining mark, so the
  // text Tesseract puts together from them is in NFC too.
  reading.text = withoutEdgeBars(dashesByWidth(api, grey, std::move(read)));
  reading.confidence = float(std::clamp(api.MeanTextConf(), 0, 100)) / 100.0f;
  return reading;
}

}  // namespace

struct LatinModel::Engine {
  struct Line {
    cv::Mat grey;
    int margin = 0;
    std::promise<std::optional<LatinReading>> reading;
  };

  std::filesystem::path file;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Line> lines;  // handed over, not yet read
  bool closing = false;
  std::thread thread;

  // Loads the model, then reads the lines handed over until the model is closed.
  void work() {
    tesseract::TessBaseAPI api;
    const bool loaded = load(api);
    for (;;) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [this] { return closing || !lines.empty(); });
      if (lines.empty()) return;
      Line line = std::move(lines.front());
      lines.pop_front();
      lock.unlock();
      try {
        if (!loaded) throwMissingModel(file);
        line.reading.set_value(readLine(api, std::move(line.grey), line.margin));
      } catch (...) {
        line.reading.set_exception(std::current_exception());
      }
    }
  }

  bool load(tesseract::TessBaseAPI& api) {
    std::optional<std::string> model = withoutWordList(file);
    if (!model || model->size() > size_t(std::numeric_limits<int>::max())) return false;
    // Tesseract's messages go nowhere: a model that fails to load is an installation fault,
    // reported as such.
    const std::vector<std::string> names = {"debug_file"}, values = {"/dev/null"};
    if (api.Init(model->data(), int(model->size()), file.stem().c_str(), tesseract::OEM_LSTM_ONLY,
                 nullptr, 0, &names, &values, false, nullptr) != 0) {
      return false;
    }
    api.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    // Lines are turned dark on light before they are read: Tesseract needn't try them inverted.
    api.SetVariable("tessedit_do_invert", "0");
    oneThreadPerRegion();
    return true;
  }
};

LatinModel::LatinModel(std::filesystem::path traineddata) : engine_(std::make_unique<Engine>()) {
  engine_->file = std::move(traineddata);
  engine_->thread = std::thread([engine = engine_.get()] { engine->work(); });
}

LatinModel::~LatinModel() {
  {
    std::lock_guard lock(engine_->mutex);
    engine_->closing = true;
  }
  engine_->changed.notify_one();
  engine_->thread.join();
}

std::future<std::optional<LatinReading>> LatinModel::read(const BitmapView& crop, int margin) {
  Engine::Line line;
  std::future<std::optional<LatinReading>> reading = line.reading.get_future();
  if (crop.width <= 2 * margin || crop.height <= 2 * margin) {
    line.reading.set_value(std::nullopt);
    return reading;
  }
  const cv::Mat pixels(crop.height, crop.width, CV_8UC4, const_cast<uint8_t*>(crop.pixels),
                       crop.rowBytes);
  cv::cvtColor(pixels, line.grey,
               crop.order == BitmapView::Order::rgba ? cv::COLOR_RGBA2GRAY : cv::COLOR_BGRA2GRAY);
  line.margin = margin;
  {
    std::lock_guard lock(engine_->mutex);
    engine_->lines.push_back(std::move(line));
  }
  engine_->changed.notify_one();
  return reading;
}

}  // namespace plumvane
