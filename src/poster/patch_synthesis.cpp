#include "poster/patch_synthesis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace plumvane {
namespace {

// Squares of 7 x 7 pixels.
constexpr int radius = 3;
// The coarsest scale is the first at which the hole's longer side is at most coarsestHole pixels,
// or else the last at which the picture's part around it is at least 8 squares across.
constexpr int coarsestHole = 32;
// Rounds of search and blending at each scale: more at the coarsest, where the layout of the fill
// is settled, and fewer above, where each starts from the scale below.
constexpr int coarseRounds = 8, fineRounds = 3;
constexpr int searchPasses = 3;
// Squares are blended by how alike they are to what they cover: a square whose pixels differ by
// likeLevels on average weighs e^-1/2 as much as one that fits exactly.
constexpr float likeLevels = 5;

// Scales with more squares over the hole than this are searched once, and only near the matches
// brought up from the scale below: searching them in full would take most of the time and change
// little, for at that size the layout is settled and the squares bring the fine detail. That one
// pass looks this far around each match, in this many bands of rows side by side.
constexpr size_t mostSearched = 150000;
constexpr int nearReach = 16;
constexpr size_t nearBands = 16;

struct Scale {
  cv::Mat image;    // CV_8UC3
  cv::Mat hole;     // CV_8U, 255 where it is filled
  cv::Mat unknown;  // CV_8U, 255 where it is not read (the hole among it)
};

class Completion {
 public:
  Completion(cv::Mat& image, const cv::Mat& hole, const cv::Mat& unknown)
      : image_(image), hole_(hole) {
    // Square centres whose square lies wholly in the picture and in known pixels.
    cv::Mat known = unknown == 0;
    cv::erode(known, source_, cv::Mat::ones(2 * radius + 1, 2 * radius + 1, CV_8U), {-1, -1}, 1,
              cv::BORDER_CONSTANT, cv::Scalar(0));
    for (int y = 0; y < source_.rows; ++y) {
      for (int x = 0; x < source_.cols; ++x) {
        if (source_.at<uint8_t>(y, x)) sources_.push_back({x, y});
      }
    }
    // The centres of the squares that overlap the hole.
    cv::Mat near;
    cv::dilate(hole, near, cv::Mat::ones(2 * radius + 1, 2 * radius + 1, CV_8U));
    for (int y = 0; y < near.rows; ++y) {
      for (int x = 0; x < near.cols; ++x) {
        if (near.at<uint8_t>(y, x)) targets_.push_back({x, y});
      }
    }
    index_ = cv::Mat(hole.size(), CV_32S, cv::Scalar(-1));
    for (size_t i = 0; i < targets_.size(); ++i) index_.at<int>(targets_[i]) = int(i);
    match_.assign(targets_.size(), {0, 0});
    distance_.assign(targets_.size(), 0);
  }

  bool possible() const { return !sources_.empty(); }

  // Each square's match: a random known square, or (from the scale below) the match of the square
  // half as far out, doubled, where that is known.
  void startMatches(const std::vector<cv::Point>* below, const cv::Mat* belowIndex) {
    for (size_t i = 0; i < targets_.size(); ++i) {
      const cv::Point t = targets_[i];
      cv::Point m = sources_[scrambled(uint32_t(i) * 2654435761u) % sources_.size()];
      if (below) {
        const cv::Point half(std::min(t.x / 2, belowIndex->cols - 1),
                             std::min(t.y / 2, belowIndex->rows - 1));
        const int j = belowIndex->at<int>(half);
        if (j >= 0) {
          const cv::Point up = (*below)[size_t(j)] * 2 + cv::Point(t.x % 2, t.y % 2);
          if (isSource(up)) m = up;
        }
      }
      match_[i] = m;
    }
  }

  // Rounds of search (unless there are too many squares), then of blending the matched squares
  // into the hole.
  void run(int rounds) {
    const bool searched = targets_.size() <= mostSearched;
    for (int round = 0; round < (searched ? rounds : 1); ++round) {
      cv::parallel_for_(cv::Range(0, int(targets_.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
          distance_[size_t(i)] = distanceOf(targets_[size_t(i)], match_[size_t(i)],
                                            std::numeric_limits<int64_t>::max());
        }
      });
      if (searched) {
        for (int pass = 0; pass < searchPasses; ++pass) {
          search(pass, uint32_t(round * 16 + pass), std::max(image_.cols, image_.rows), 1);
        }
      } else {
        search(0, uint32_t(round * 16), nearReach, nearBands);
      }
      blend();
    }
  }

  const std::vector<cv::Point>& matches() const { return match_; }
  const cv::Mat& index() const { return index_; }

 private:
  bool isSource(cv::Point p) const {
    return p.x >= 0 && p.y >= 0 && p.x < source_.cols && p.y < source_.rows &&
           source_.at<uint8_t>(p) != 0;
  }

  // The squared difference between the square at t (its pixels in the picture) and the known
  // square at s; at once when it exceeds `bound`.
  int64_t distanceOf(cv::Point t, cv::Point s, int64_t bound) const {
    int64_t sum = 0;
    for (int dy = -radius; dy <= radius; ++dy) {
      const int ty = t.y + dy;
      if (ty < 0 || ty >= image_.rows) continue;
      const cv::Vec3b* a = image_.ptr<cv::Vec3b>(ty);
      const cv::Vec3b* b = image_.ptr<cv::Vec3b>(s.y + dy);
      for (int dx = -radius; dx <= radius; ++dx) {
        const int tx = t.x + dx;
        if (tx < 0 || tx >= image_.cols) continue;
        const cv::Vec3b& p = a[tx];
        const cv::Vec3b& q = b[s.x + dx];
        for (int c = 0; c < 3; ++c) {
          const int d = int(p[c]) - int(q[c]);
          sum += d * d;
        }
      }
      if (sum > bound) return sum;
    }
    return sum;
  }

  void consider(size_t i, cv::Point s) {
    if (!isSource(s)) return;
    const int64_t d = distanceOf(targets_[i], s, distance_[i]);
    if (d < distance_[i]) distance_[i] = d, match_[i] = s;
  }

  // One pass of PatchMatch's search, forwards or backwards in reading order: each square tries
  // the matches of the squares before it, moved by one, then random squares ever closer around
  // its own match.
  void search(int pass, uint32_t seed, int widest, size_t bands) {
    const bool forwards = pass % 2 == 0;
    const int step = forwards ? 1 : -1;
    // In bands of rows side by side, each searched on its own (a square tries the matches of
    // squares of its own band), so that the result does not depend on the number of threads.
    cv::parallel_for_(cv::Range(0, int(bands)), [&](const cv::Range& range) {
      for (int band = range.start; band < range.end; ++band) {
        const size_t begin = targets_.size() * size_t(band) / bands;
        const size_t end = targets_.size() * size_t(band + 1) / bands;
        for (size_t k = begin; k < end; ++k) {
          const size_t i = forwards ? k : end - 1 - (k - begin);
          const cv::Point t = targets_[i];
          for (const cv::Point d : {cv::Point(step, 0), cv::Point(0, step)}) {
            const cv::Point n = t - d;
            if (n.x < 0 || n.y < 0 || n.x >= index_.cols || n.y >= index_.rows) continue;
            const int j = index_.at<int>(n);
            if (j >= int(begin) && j < int(end)) consider(i, match_[size_t(j)] + d);
          }
          uint32_t r = scrambled(seed * 0x9e3779b9u ^ uint32_t(i));
          for (int reach = widest; reach >= 1; reach /= 2) {
            r = scrambled(r);
            const int dx = int(r % uint32_t(2 * reach + 1)) - reach;
            const int dy = int((r >> 16) % uint32_t(2 * reach + 1)) - reach;
            consider(i, match_[i] + cv::Point(dx, dy));
          }
        }
      }
    });
  }

  // Each hole pixel: the mean of the pixels that the squares over it match there, each square
  // weighed by how well it fits.
  void blend() {
    const float area = float((2 * radius + 1) * (2 * radius + 1) * 3);
    std::vector<float> weight(targets_.size());
    for (size_t i = 0; i < targets_.size(); ++i) {
      const float meanSquare = float(distance_[i]) / area;
      weight[i] = std::max(1e-6f, std::exp(-meanSquare / (2 * likeLevels * likeLevels)));
    }
    cv::Mat blended = image_.clone();
    cv::parallel_for_(cv::Range(0, image_.rows), [&](const cv::Range& rows) {
      for (int y = rows.start; y < rows.end; ++y) {
        const uint8_t* h = hole_.ptr<uint8_t>(y);
        for (int x = 0; x < image_.cols; ++x) {
          if (!h[x]) continue;
          cv::Vec3f sum(0, 0, 0);
          float total = 0;
          for (int dy = -radius; dy <= radius; ++dy) {
            const int ty = y - dy;
            if (ty < 0 || ty >= image_.rows) continue;
            const int* index = index_.ptr<int>(ty);
            for (int dx = -radius; dx <= radius; ++dx) {
              const int tx = x - dx;
              if (tx < 0 || tx >= image_.cols || index[tx] < 0) continue;
              const size_t i = size_t(index[tx]);
              const cv::Vec3b& c = image_.at<cv::Vec3b>(match_[i] + cv::Point(dx, dy));
              sum += weight[i] * cv::Vec3f(c[0], c[1], c[2]);
              total += weight[i];
            }
          }
          if (total <= 0) continue;
          sum /= total;
          blended.at<cv::Vec3b>(y, x) =
              cv::Vec3b(cv::saturate_cast<uint8_t>(sum[0]), cv::saturate_cast<uint8_t>(sum[1]),
                        cv::saturate_cast<uint8_t>(sum[2]));
        }
      }
    });
    blended.copyTo(image_);
  }

  cv::Mat& image_;
  cv::Mat hole_;
  cv::Mat source_;  // square centres wholly in known pixels
  cv::Mat index_;   // each target centre's number, -1 elsewhere
  std::vector<cv::Point> sources_, targets_, match_;
  std::vector<int64_t> distance_;
};

}  // namespace

cv::Mat synthesised(const cv::Mat& start, const cv::Mat& hole, const cv::Mat& unknown) {
  cv::Mat result = start.clone();
  const cv::Rect box = cv::boundingRect(hole);
  if (box.empty()) return result;
  const int context = std::max(box.width, box.height) / 2 + 2 * radius;
  const cv::Rect area = (box - cv::Point(context, context) + cv::Size(2 * context, 2 * context)) &
                        cv::Rect(0, 0, start.cols, start.rows);

  // The part around the hole at each scale, finest first.
  std::vector<Scale> scales{{start(area).clone(), hole(area) > 0, unknown(area) > 0}};
  for (;;) {
    const Scale& s = scales.back();
    const cv::Rect holeBox = cv::boundingRect(s.hole);
    if (std::max(holeBox.width, holeBox.height) <= coarsestHole ||
        std::min(s.image.cols, s.image.rows) / 2 < 8 * (2 * radius + 1))
      break;
    const cv::Size half((s.image.cols + 1) / 2, (s.image.rows + 1) / 2);
    Scale next;
    cv::resize(s.image, next.image, half, 0, 0, cv::INTER_AREA);
    cv::resize(s.hole, next.hole, half, 0, 0, cv::INTER_AREA);
    cv::resize(s.unknown, next.unknown, half, 0, 0, cv::INTER_AREA);
    next.hole = next.hole > 0;
    next.unknown = next.unknown > 0;
    scales.push_back(std::move(next));
  }

  std::vector<cv::Point> below;
  cv::Mat belowIndex, belowImage;
  for (size_t k = scales.size(); k-- > 0;) {
    Scale& s = scales[k];
    if (!belowImage.empty()) {
      // The hole starts from the scale below, brought up.
      cv::Mat up;
      cv::resize(belowImage, up, s.image.size(), 0, 0, cv::INTER_LINEAR);
      up.copyTo(s.image, s.hole);
    }
    Completion completion(s.image, s.hole, s.unknown);
    if (!completion.possible()) return result;
    completion.startMatches(below.empty() ? nullptr : &below,
                            below.empty() ? nullptr : &belowIndex);
    completion.run(belowImage.empty() ? coarseRounds : fineRounds);
    below = completion.matches();
    belowIndex = completion.index().clone();
    belowImage = s.image;
  }
  scales.front().image.copyTo(result(area), scales.front().hole);
  return result;
}

}  // namespace plumvane
