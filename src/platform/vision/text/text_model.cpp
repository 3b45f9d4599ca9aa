// The text service: PP-OCR detection, line direction and recognition, and a Latin-script
// recogniser for the lines that aren't Chinese or Japanese.
//
// How each line is read. The Latin-script model (latin_model.h) knows the accented letters, ß,
// œ, æ, ø, ł, ş, ő, €, £ and dashes that PP-OCR's dictionary lacks or that PP-OCR loses below
// headline sizes; PP-OCR reads Chinese and Japanese, and paths and symbols in small UI type.
// The line classifier looks at each line first. A line it takes for upright is read by the
// Latin model, and when the Latin model is sure of its reading (a confidence of at least
// `sureConfidence`), that reading is the line's: on Chinese and Japanese lines, which it reads
// as nonsense, its confidence stays below 0.5. Otherwise, and for a line the classifier
// takes for upside down (read both ways), PP-OCR reads the line (and once more with a margin
// when the line's box cuts its letters: see read); a reading that holds a CJK character PP-OCR
// is fairly sure of stands. For any other line the Latin model's reading counts
// when its confidence is at least `leastConfidence` (below it the Latin model has met what it
// reads badly): it is taken whole when PP-OCR reads something but is less sure of it than that
// and than the Latin model (where PP-OCR reads nothing, the box holds a fragment of ink), or when
// it holds a character beyond ASCII; otherwise PP-OCR's reading stands, with the letters PP-OCR
// doubts read from the Latin model's reading (see withDoubtsReadFrom): on English lines PP-OCR
// reads as well or better, but in display faces it confuses letters the Latin model reads
// plainly. A Latin reading with characters beyond ASCII keeps PP-OCR's plain words (see
// withPlainWordsFrom), and is passed over when it holds under nine tenths of PP-OCR's
// characters: it has left out words. Measured on real screenshots and
// printed pages, English lines and lines in eleven Latin-script languages in real fonts
// (bench/text_bench.sh), no group is read worse than by PP-OCR alone, and the Latin-script
// lines are read with under a fiftieth of PP-OCR's errors.
#include <algorithm>
#include <cmath>
#include <future>
#include <opencv2/imgproc.hpp>
#include <string_view>

#include "platform/vision/onnx_model.h"
#include "platform/vision/text/ctc_decoding.h"
#include "platform/vision/text/latin_model.h"
#include "platform/vision/text/line_detection.h"
#include "platform/vision/text/reading_order.h"
#include "platform/vision/text/text_model.h"
#include "platform/vision/text/text_tidying.h"
#include "platform/vision/text/word_spacing.h"

namespace plumvane {
namespace {

// Lines whose tops are this close (in picture pixels) count as one row when ordering.
constexpr double sameLinePixels = 10;

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

// Whether `reading` leaves out words that `other` holds: it has fewer than `mostMissed` of its
// characters (counted without blanks, each UTF-8 sequence once). The Latin model drops whole
// words set in a colour it takes for background.
constexpr double mostMissed = 0.9;
bool missesWords(std::string_view reading, std::string_view other) {
  const auto characters = [](std::string_view text) {
    return std::count_if(text.begin(), text.end(),
                         [](char c) { return c != ' ' && (c & 0xC0) != 0x80; });
  };
  return double(characters(reading)) < mostMissed * double(characters(other));
}

// A line whose box cuts its letters is read once more with its margin when the recogniser reads
// its crop with at least this confidence: below it, the crop holds a fragment of ink, which
// its margin may show as a letter (a fragment on a photo read as "®" 0.13 became "?" 0.33).
constexpr float lineConfidence = 0.5f;

// The Latin model sees each line with this share of its height of the picture around it on
// every side: the detected box cuts off the accents above capitals.
constexpr double latinMargin = 0.15;

class OnnxText : public TextRecognizer {
 public:
  explicit OnnxText(const TextModels& models)
      : models_(models),
        // The detector runs a few times on the whole picture, without an arena: its activations
        // (about 165 MB on a 3000 x 2000 poster) go back to the heap for the plate to reuse.
        detector_(models.detection.file, 0, ModelUse::once),
        direction_(models.direction.file),
        recogniser_(models.recognition.file),
        classes_(recognitionClasses(models.keys)) {}

  std::vector<TextLine> textLines(const BitmapView& picture) override {
    if (picture.width <= 0 || picture.height <= 0) return {};
    const cv::Mat pixels(picture.height, picture.width, CV_8UC4,
                         const_cast<uint8_t*>(picture.pixels), picture.rowBytes);
    std::vector<DetectedLine> lines = detectLines(detector_, models_, picture, pixels);

    std::vector<Rect> boxes;
    for (const auto& line : lines) boxes.push_back(line.box);
    struct Line {
      size_t index;      // in `lines`
      cv::Mat crop;      // as PP-OCR reads it
      cv::Mat surround;  // the crop with `margin` pixels of the picture around it
      int margin = 0;
      bool upright = true;  // not taken for upside down by the line classifier
      std::future<std::optional<LatinReading>> latin;
    };
    std::vector<Line> found;
    for (size_t i : readingOrder(boxes, sameLinePixels)) {
      const bool turn = turnedToRead(lines[i], pixels, picture.order);
      cv::Mat crop = uprightCrop(pixels, lines[i].corners, 0, turn);
      if (crop.empty()) continue;
      if (!models_.latin.empty() && !latin_) latin_.emplace(models_.latin);
      const int margin = int(std::lround(latinMargin * lines[i].height()));
      Line line{i,
                crop,
                uprightCrop(pixels, lines[i].corners, margin, turn),
                margin,
                !mayBeUpsideDown(viewOf(crop, picture.order)),
                {}};
      // The Latin model loads, then reads the upright lines while the classifier and PP-OCR work
      // on the others.
      if (latin_ && line.upright) {
        line.latin = readLatin(line.surround, margin, false, picture.order);
      }
      found.push_back(std::move(line));
    }

    std::vector<TextLine> result;
    for (Line& line : found) {
      std::optional<LatinReading> latin;
      if (line.latin.valid()) latin = line.latin.get();
      std::optional<DecodedText> decoded;
      if (latin && latin->confidence >= models_.latinSureConfidence) {
        decoded = DecodedText{tidiedText(latin->text), latin->confidence, {}};
      } else {
        const BitmapView view = viewOf(line.crop, picture.order);
        bool turned = false;
        // The Latin model's reading, tidied, where it counts.
        const auto counted = [&]() -> std::optional<std::string> {
          if (!latin || latin->confidence < models_.latinConfidence) return std::nullopt;
          return tidiedText(latin->text);
        };
        std::optional<std::string> latinText = counted();
        decoded = line.upright ? read(view, line.surround, line.margin, latinText)
                               : readBothWays(view, line.surround, line.margin, turned);
        if (!decoded) continue;
        const bool cjk = hasSureCjk(*decoded);
        if (latin_ && !line.upright && !cjk) {
          latin = readLatin(line.surround, line.margin, turned, picture.order).get();
          latinText = counted();
        }
        if (latinText && !cjk) {
          if (!decoded->text.empty() && decoded->confidence < models_.latinConfidence &&
              latin->confidence > decoded->confidence) {
            decoded = DecodedText{*latinText, latin->confidence, {}};
          } else if (!isAscii(*latinText) && !missesWords(*latinText, decoded->text)) {
            decoded = DecodedText{
                withPlainWordsFrom(*latinText, withDoubtsReadFrom(*decoded, *latinText)),
                latin->confidence,
                {}};
          } else {
            decoded->text = withDoubtsReadFrom(*decoded, *latinText);
          }
        }
      }
      // A box whose crop reads as nothing (a fragment of ink beside a line) is no line.
      if (decoded->text.empty()) continue;
      const Rect& b = lines[line.index].box;
      result.push_back(TextLine{Rect{b.x / picture.width, b.y / picture.height,
                                     b.width / picture.width, b.height / picture.height},
                                decoded->confidence,
                                std::move(decoded->text),
                                {}});
      if (lines[line.index].slanted()) {
        for (const cv::Point2f& c : lines[line.index].corners) {
          result.back().outline.push_back(
              {double(c.x) / picture.width, double(c.y) / picture.height});
        }
      }
    }
    return result;
  }

 private:
  // The crop's width at the model's height, keeping its aspect, at most `width`.
  static int resizedWidth(const BitmapView& crop, int height, int width) {
    return std::clamp(int(std::ceil(height * double(crop.width) / crop.height)), 1, width);
  }

  // The crop resized to the model's height and at most `width` wide (keeping its aspect),
  // normalised and padded with zeros on the right to `width`.
  static Tensor lineInput(const BitmapView& crop, const InputFormat& format, int width) {
    const int height = format.height;
    const int resized = resizedWidth(crop, height, width);
    const Tensor part = modelInput(crop, format, resized, height);
    Tensor t;
    t.shape = {1, 3, height, width};
    t.values.assign(size_t(3) * size_t(height) * size_t(width), 0.0f);
    for (int c = 0; c < 3; ++c) {
      for (int y = 0; y < height; ++y) {
        const float* from =
            &part.values[(size_t(c) * size_t(height) + size_t(y)) * size_t(resized)];
        std::copy(from, from + resized,
                  &t.values[(size_t(c) * size_t(height) + size_t(y)) * size_t(width)]);
      }
    }
    return t;
  }

  static BitmapView viewOf(const cv::Mat& crop, BitmapView::Order order) {
    return BitmapView{crop.data, crop.cols, crop.rows, crop.step, order};
  }

  // Whether the line is turned a quarter to be read. A tall line that is level may be a short
  // word of narrow letters ("IT") as well as a word set down the picture ("earth"): unless it is
  // surely upright, it is turned when the recogniser is surer of it turned, either way, than as
  // it stands.
  bool turnedToRead(const DetectedLine& line, const cv::Mat& pixels, BitmapView::Order order) {
    if (!tallLine(line.corners)) return false;
    if (!line.level() || line.upright()) return true;
    const cv::Mat asIs = uprightCrop(pixels, line.corners, 0, false);
    if (asIs.empty()) return true;
    const auto sureness = [&](const cv::Mat& crop) {
      const std::optional<Emissions> read = recognised(viewOf(crop, order));
      return read && !read->decoded.text.empty() ? read->decoded.confidence : 0.0f;
    };
    cv::Mat left, right;
    cv::rotate(asIs, left, cv::ROTATE_90_COUNTERCLOCKWISE);
    cv::rotate(asIs, right, cv::ROTATE_90_CLOCKWISE);
    return std::max(sureness(left), sureness(right)) > sureness(asIs);
  }

  // The line handed to the Latin model, cut with a margin, and turned over if it was read so.
  std::future<std::optional<LatinReading>> readLatin(const cv::Mat& surround, int margin,
                                                     bool turned, BitmapView::Order order) {
    cv::Mat crop = surround;
    if (turned) cv::rotate(surround, crop, cv::ROTATE_180);
    return latin_->read(viewOf(crop, order), margin);
  }

  // Whether the line classifier takes the line for upside down.
  bool mayBeUpsideDown(const BitmapView& crop) {
    const InputFormat& format = models_.direction.input;
    auto out = direction_.run(lineInput(crop, format, format.width));
    return out && !out->empty() && out->front().values.size() == 2 &&
           out->front().values[1] > out->front().values[0] &&
           out->front().values[1] > models_.flipThreshold;
  }

  // A line the classifier takes for upside down, read both ways: the reading with the higher
  // confidence is kept, as the classifier turns some upright lines over ("quiz" looks like
  // "zinb" turned). `turned` says whether that is the reading turned over.
  std::optional<DecodedText> readBothWays(const BitmapView& crop, const cv::Mat& surround,
                                          int margin, bool& turned) {
    const cv::Mat pixels(crop.height, crop.width, CV_8UC4, const_cast<uint8_t*>(crop.pixels),
                         crop.rowBytes);
    cv::Mat over, surroundOver;
    cv::rotate(pixels, over, cv::ROTATE_180);
    cv::rotate(surround, surroundOver, cv::ROTATE_180);
    std::optional<DecodedText> asIs = read(crop, surround, margin),
                               turnedOver = read(viewOf(over, crop.order), surroundOver, margin);
    turned = turnedOver && (!asIs || turnedOver->confidence > asIs->confidence);
    return turned ? turnedOver : asIs;
  }

  // The line read as it stands; `surround` is the crop with `margin` pixels around it, and
  // `latin` the Latin model's reading of it where that counts.
  std::optional<DecodedText> read(const BitmapView& crop, const cv::Mat& surround, int margin,
                                  const std::optional<std::string>& latin = std::nullopt) {
    const int height = models_.recognition.input.height;
    std::optional<Emissions> line = recognised(crop);
    if (!line) return std::nullopt;
    const int resized = resizedWidth(crop, height, line->width);
    const cv::Mat pixels(crop.height, crop.width, CV_8UC4, const_cast<uint8_t*>(crop.pixels),
                         crop.rowBytes);
    const InkProfile ink = inkProfile(resizedBgr(pixels, {resized, height}));
    if (ink.inkHeight < height || margin <= 0 || surround.empty()) {
      return spaced(std::move(line->decoded), ink, line->stepPixels);
    }
    // Ink reaches the crop's top and bottom rows: the box cuts the letters, and may hold more
    // ink than background. Ink and background are then told apart on the surround, resized alike.
    const double across = double(resized) / crop.width, down = double(height) / crop.height;
    const cv::Mat around =
        resizedBgr(surround, {std::max(1, int(std::lround(surround.cols * across))),
                              std::max(1, int(std::lround(surround.rows * down)))});
    DecodedText decoded =
        spaced(std::move(line->decoded),
               inkProfile(around, cv::Rect(int(std::lround(margin * across)),
                                           int(std::lround(margin * down)), resized, height)),
               line->stepPixels);
    // The box may also cut off the letters' tops and feet (a K read as R, a d as o), so the line
    // is read once more with its margin. Its words are parted by the ink of the crop's rows alone:
    // the margin may hold letters of the lines above and below, which would fill the gaps. A crop
    // read with less confidence than `lineConfidence` is a fragment of ink, and stays so.
    if (!(decoded.confidence >= lineConfidence)) return decoded;
    const BitmapView all = viewOf(surround, crop.order);
    std::optional<Emissions> whole = recognised(all);
    if (!whole) return decoded;
    const int wholeResized = resizedWidth(all, height, whole->width);
    const int top = int(std::lround(margin * double(height) / surround.rows));
    DecodedText wholeDecoded = spaced(std::move(whole->decoded),
                                      inkProfile(resizedBgr(surround, {wholeResized, height}),
                                                 cv::Rect(0, top, wholeResized, height - 2 * top)),
                                      whole->stepPixels);
    // Where the two readings' letters differ, the one nearer the Latin model's reading is taken
    // (the margin can also lose a letter the crop showed: "AND I WILL" read "AND WILL"); without
    // it, or as near, the one the recogniser is surer of.
    if (letterDistance(wholeDecoded.text, decoded.text) == 0) return decoded;
    if (latin) {
      const size_t fromCrop = letterDistance(decoded.text, *latin),
                   fromWhole = letterDistance(wholeDecoded.text, *latin);
      if (fromCrop != fromWhole) return fromWhole < fromCrop ? wholeDecoded : decoded;
    }
    return wholeDecoded.confidence > decoded.confidence ? wholeDecoded : decoded;
  }

  // The recogniser's reading of a line's picture before its spaces are put back, the width the
  // picture is given at the model's height (padded on the right), and how many of those pixels
  // each step of the reading covers.
  struct Emissions {
    DecodedText decoded;
    int width;
    double stepPixels;
  };
  std::optional<Emissions> recognised(const BitmapView& line) {
    const InputFormat& format = models_.recognition.input;
    const double aspect = double(line.width) / line.height;
    const int width = int(format.height * std::max(320.0 / 48.0, aspect));
    auto out = recogniser_.run(lineInput(line, format, width));
    if (!out || out->empty() || out->front().shape.size() != 3) return std::nullopt;
    const Tensor& probabilities = out->front();
    const int steps = int(probabilities.shape[1]);
    const int classes = int(probabilities.shape[2]);
    if (probabilities.values.size() != size_t(steps) * size_t(classes) || steps < 1) {
      return std::nullopt;
    }
    return Emissions{ctcGreedyDecode(probabilities.values.data(), steps, classes, classes_), width,
                     double(width) / steps};
  }

  // The reading with the spaces its ink shows put back, tidied.
  static DecodedText spaced(DecodedText decoded, const InkProfile& ink, double stepPixels) {
    if (!hasSureCjk(decoded)) decoded.text = spacedFromInk(decoded, ink, stepPixels);
    decoded.text = tidiedText(decoded.text);
    if (!hasSureCjk(decoded)) decoded.text = withDoubtfulCaseOfItsWord(decoded);
    return decoded;
  }

  // A picture (8-bit BGRA) in BGR at `size`, as the ink is profiled.
  static cv::Mat resizedBgr(const cv::Mat& bgra, cv::Size size) {
    cv::Mat colour, small;
    cv::cvtColor(bgra, colour, cv::COLOR_BGRA2BGR);
    cv::resize(colour, small, size, 0, 0, cv::INTER_LINEAR);
    return small;
  }

  TextModels models_;
  OnnxModel detector_;
  OnnxModel direction_;
  OnnxModel recogniser_;
  std::vector<std::string> classes_;
  std::optional<LatinModel> latin_;  // loaded when the first line without CJK is found
};

}  // namespace

std::unique_ptr<TextRecognizer> onnxText(const TextModels& models) {
  return std::make_unique<OnnxText>(models);
}

}  // namespace plumvane
