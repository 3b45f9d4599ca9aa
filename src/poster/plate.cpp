#include "poster/plate.h"

#include <algorithm>
#include <future>
#include <opencv2/imgproc.hpp>

#include "poster/hole_fill.h"
#include "poster/hole_rim.h"

namespace plumvane {
namespace {

constexpr int subjectGrowth = 8;
// A subject's coverage (of 255) from which its pixels are replaced whole on the plate.
constexpr double softEdgeLevel = 32;
constexpr int strokeMargin = 8;  // pixels around a line's rectangle that its fill may read
// A pixel within this many levels of a line's ink in each channel is drawn in that ink.
constexpr double inkLikeLevels = 40;
// A line whose area around, its own strokes aside, is more than this share other lines' strokes
// is set within them.
constexpr double nestedShare = 0.5;

// The pixels of a whole-pixel rectangle of the working image.
cv::Rect rows(const Rect& rect) {
  return cv::Rect(int(rect.x), int(rect.y), int(rect.width), int(rect.height));
}

// What a line's fill must not read in the area around it: the strokes, a pixel's width of their
// rims, and, when the line is in one ink, what else is drawn in that ink apart from them (a rule
// under a label, the letters of a word the detector missed): the fill would draw it into the hole
// as a dark smear. Ink-coloured shapes that touch the strokes stay readable (a frame the letters
// lean on goes on through the hole), and so do all of them where they are most of what is left.
cv::Mat unreadAround(const cv::Mat& area, const cv::Mat& strokes, const TextInk& ink) {
  cv::Mat unread;
  cv::dilate(strokes, unread, cv::Mat());
  if (!ink.oneColour) return unread;
  const cv::Scalar colour(ink.ink[0] * 255, ink.ink[1] * 255, ink.ink[2] * 255);
  const cv::Mat inkLike = (channelDistance(area, colour) <= inkLikeLevels) & (unread == 0);
  cv::Mat shapes;
  const int count = cv::connectedComponents(inkLike, shapes, 8, CV_32S);
  if (count <= 1) return unread;
  cv::Mat rim;
  cv::dilate(unread, rim, cv::Mat());
  std::vector<bool> apart(size_t(count), true);
  for (int y = 0; y < shapes.rows; ++y) {
    for (int x = 0; x < shapes.cols; ++x) {
      if (rim.at<uint8_t>(y, x)) apart[size_t(shapes.at<int>(y, x))] = false;
    }
  }
  cv::Mat both = unread.clone();
  for (int y = 0; y < shapes.rows; ++y) {
    for (int x = 0; x < shapes.cols; ++x) {
      const int s = shapes.at<int>(y, x);
      if (s > 0 && apart[size_t(s)]) both.at<uint8_t>(y, x) = 255;
    }
  }
  const int left = int(area.total()) - cv::countNonZero(unread);
  return int(area.total()) - cv::countNonZero(both) >= left / 2 ? both : unread;
}

// The area around a line's rectangle that its fill may read.
cv::Rect areaAround(const cv::Rect& line, int W, int H) {
  return (line + cv::Size(2 * strokeMargin, 2 * strokeMargin) -
          cv::Point(strokeMargin, strokeMargin)) &
         cv::Rect(0, 0, W, H);
}

// The line's own strokes within `around`, as far as they are still to be filled (`strokes`).
cv::Mat ownStrokes(const TextInk& ink, const cv::Rect& around, const cv::Mat& strokes) {
  cv::Mat own(around.size(), CV_8U, cv::Scalar(0));
  const cv::Rect r = rows(ink.rect), inside = r & around;
  const cv::Mat hole(ink.h, ink.w, CV_8U, const_cast<uint8_t*>(ink.hole.data()));
  hole(inside - r.tl()).copyTo(own(inside - around.tl()));
  return own & strokes(around);
}

}  // namespace

Plate reconstructPlate(const PosterRun& run, const std::vector<Subject>& subjects,
                       const std::vector<std::optional<TextInk>>& inks) {
  const int W = run.working.width, H = run.working.height;
  const std::vector<uint8_t> bytes = renderRgba8(run.working, run.working.extent());
  cv::Mat rgb;
  cv::cvtColor(cv::Mat(H, W, CV_8UC4, const_cast<uint8_t*>(bytes.data())), rgb, cv::COLOR_RGBA2RGB);

  // The holes: the grown subjects, soft at their rims, and the strokes.
  cv::Mat soft(H, W, CV_8U, cv::Scalar(0)), strokes(H, W, CV_8U, cv::Scalar(0));
  for (const Subject& subject : subjects) {
    if (!subject.pieced) continue;
    for (size_t p = 0; p < subject.mask.pixels.size(); ++p) {
      soft.data[p] = std::max(soft.data[p], toByte(subject.mask.pixels[p].r));
    }
  }
  const cv::Mat core = soft > 127;
  // Down to a low coverage a subject's soft edge is all replaced: what shows through it is the
  // subject's own colour, and its old backdrop's, as much as the background's.
  soft.convertTo(soft, CV_8U, 255.0 / softEdgeLevel);
  // Grown only around the subjects: a full-size dilation with a round element is slow.
  const cv::Rect grown = (cv::boundingRect(soft) - cv::Point(subjectGrowth, subjectGrowth) +
                          cv::Size(2 * subjectGrowth, 2 * subjectGrowth)) &
                         cv::Rect(0, 0, W, H);
  if (!grown.empty()) {
    cv::Mat area = soft(grown);
    cv::dilate(area, area,
               cv::getStructuringElement(cv::MORPH_ELLIPSE,
                                         cv::Size(2 * subjectGrowth + 1, 2 * subjectGrowth + 1)));
  }
  // The halo and scraps that cling to a hole go with it; what else stands out around it stays,
  // but is not read into it.
  cv::Mat removed = soft > 0;
  const HoleRim rim = readHoleRim(rgb, core, removed);
  // The hole's soft rim next to a swallowed halo is replaced whole too.
  cv::Mat swallowedRim;
  cv::dilate(rim.swallowed, swallowedRim,
             cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7)));
  removed |= rim.swallowed;
  soft.setTo(255, swallowedRim & removed);
  for (const auto& ink : inks) {
    if (!ink) continue;
    cv::Mat area = strokes(rows(ink->rect));
    cv::max(area, cv::Mat(ink->h, ink->w, CV_8U, const_cast<uint8_t*>(ink->hole.data())), area);
  }

  // The subjects' holes are filled at a reduced scale, with the strokes unknown as well.
  const cv::Mat picture = rgb.clone();
  const cv::Mat unknown = removed | strokes | rim.unread;
  // Each line's strokes from their rims, the filled subjects counting as known. A line reads
  // no pixel that another line's fill writes (all strokes are unknown to every line), so the
  // lines are filled side by side and their fills laid in order, as if filled one after another.
  // Strokes within a subject's hole are filled with it; the plate still takes them whole, where a
  // subject's faint rim alone would let the letters show through.
  const cv::Mat allStrokes = strokes.clone();
  strokes.setTo(0, removed);
  std::vector<cv::Rect> arounds(inks.size());
  for (size_t i = 0; i < inks.size(); ++i) {
    if (inks[i]) arounds[i] = areaAround(rows(inks[i]->rect), W, H);
  }
  // A line set within another's strokes (a credit inside a headline's letters) is filled after
  // them, from their fill: its own area, all strokes unknown, has little or no ground left to
  // read, and its fill, laid over the other's strokes there, showed as a dark box.
  std::vector<bool> nested(inks.size(), false);
  std::vector<cv::Mat> owns(inks.size());
  for (size_t i = 0; i < inks.size(); ++i) {
    if (!inks[i]) continue;
    const cv::Mat own = ownStrokes(*inks[i], arounds[i], strokes);
    const int ground = int(arounds[i].area()) - cv::countNonZero(own);
    nested[i] = cv::countNonZero(strokes(arounds[i]) & ~own) > nestedShare * ground;
    if (nested[i]) owns[i] = own;
  }
  // A line clear of the subjects' holes reads nothing that their fill writes: it is filled while
  // they are, from its area as it is now, and the others after them.
  std::vector<cv::Mat> fills(inks.size());
  std::vector<int> clear, after;
  for (size_t i = 0; i < inks.size(); ++i) {
    if (!inks[i] || nested[i]) continue;
    const bool touches = cv::countNonZero(removed(arounds[i])) > 0;
    (touches ? after : clear).push_back(int(i));
  }
  const auto takeAreas = [&](const std::vector<int>& lines) {
    for (const int i : lines) fills[size_t(i)] = rgb(arounds[size_t(i)]).clone();
  };
  const auto fillLines = [&](const std::vector<int>& lines) {
    cv::parallel_for_(cv::Range(0, int(lines.size())), [&](const cv::Range& range) {
      for (int l = range.start; l < range.end; ++l) {
        const size_t i = size_t(lines[size_t(l)]);
        const cv::Rect& around = arounds[i];
        fillStrokes(fills[i], strokes(around), unreadAround(fills[i], strokes(around), *inks[i]));
      }
    });
  };
  takeAreas(clear);
  std::future<void> subjectsFilled =
      std::async(std::launch::async, [&] { fillSubjectHoles(rgb, removed, unknown); });
  fillLines(clear);
  subjectsFilled.get();
  takeAreas(after);
  fillLines(after);
  cv::Mat unfilled = strokes.clone();
  for (size_t i = 0; i < inks.size(); ++i) {
    if (fills[i].empty()) continue;
    fills[i].copyTo(rgb(arounds[i]), strokes(arounds[i]));
    unfilled(arounds[i]).setTo(0);
  }
  // What no fill has reached yet (the strokes of other lines set within) stays unknown.
  for (size_t i = 0; i < inks.size(); ++i) {
    if (!nested[i]) continue;
    const cv::Mat& own = owns[i];
    cv::Mat area = rgb(arounds[i]).clone();
    fillStrokes(area, own, unreadAround(area, own | unfilled(arounds[i]), *inks[i]));
    area.copyTo(rgb(arounds[i]), own);
    unfilled(arounds[i]).setTo(0, own);
  }
  // Last, the grain of the picture around them, in both.
  addGrain(rgb, picture, removed | strokes, unknown);

  // The plate: the fill in the holes, blended into the picture at the subjects' soft rims.
  Plate result;
  result.plate.create(H, W, CV_8UC4);
  cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
    for (size_t p = size_t(rows.start) * size_t(W); p < size_t(rows.end) * size_t(W); ++p) {
      const uint8_t* c = rgb.data + p * 3;
      const float h = std::max(soft.data[p], allStrokes.data[p]) / 255.0f;
      const Pixel& kept = run.working.pixels[p];
      const Pixel blended{c[0] / 255.0f * h + kept.r * (1 - h),
                          c[1] / 255.0f * h + kept.g * (1 - h),
                          c[2] / 255.0f * h + kept.b * (1 - h), h + kept.a * (1 - h)};
      uint8_t* out = result.plate.data + p * 4;
      out[3] = toByte(blended.a);
      const float unpremultiply = out[3] == 0 ? 0.0f : 1.0f / blended.a;
      out[0] = toByte(blended.r * unpremultiply);
      out[1] = toByte(blended.g * unpremultiply);
      out[2] = toByte(blended.b * unpremultiply);
    }
  });
  result.fill = std::move(rgb);
  return result;
}

}  // namespace plumvane
