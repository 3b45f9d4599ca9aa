#include "platform/vision/text/latin_model.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "platform/process/modules.h"
#include "platform/vision/model_description.h"
#include "platform/vision/text/latin_reader.h"

namespace plumvane {
namespace {

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

// A reader of the model in `file`, from the reader's module; null when the module or the model
// can't be loaded.
std::unique_ptr<LatinLineReader> openReader(const std::filesystem::path& file) {
  std::string why;
  const auto open = reinterpret_cast<decltype(&plumvane_open_latin_reader)>(
      moduleEntry(latinReaderModule, latinReaderEntry, why));
  const std::optional<std::string> model = withoutWordList(file);
  if (!open || !model) return nullptr;
  return std::unique_ptr<LatinLineReader>(open(*model, file.stem().string()));
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
    const std::unique_ptr<LatinLineReader> reader = openReader(file);
    for (;;) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [this] { return closing || !lines.empty(); });
      if (lines.empty()) return;
      Line line = std::move(lines.front());
      lines.pop_front();
      lock.unlock();
      try {
        if (!reader) throwMissingModel(file);
        line.reading.set_value(reader->read(std::move(line.grey), line.margin));
      } catch (...) {
        line.reading.set_exception(std::current_exception());
      }
    }
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
