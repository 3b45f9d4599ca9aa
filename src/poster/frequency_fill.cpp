#include "poster/frequency_fill.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <vector>

namespace plumvane {
namespace {

// Each block is fitted in a window of windowSide pixels around it, the size of its DFT.
constexpr int windowSide = 32;
constexpr int windowArea = windowSide * windowSide;
constexpr int largestBlock = 16;
constexpr int smallestBlock = 4;
// At each block size from the largest down: how fast a known pixel's weight falls with its
// distance from the block's centre (the factor per pixel), and under what standard deviation of
// its window's known pixels (of 255) a block is rebuilt whole rather than split. Blocks of the
// smallest size are always rebuilt.
struct Level {
  float decay;
  float homogeneous;
};
constexpr Level levels[] = {{0.80f, 0.014f}, {0.70f, 0.030f}, {0.66f, 0.0f}};
// The number of frequencies a block is given: iterationsPerDeviation times its window's standard
// deviation, within these bounds (a frequency and its mirror count as two).
constexpr int fewestIterations = 20;
constexpr int mostIterations = 100;
constexpr float iterationsPerDeviation = 1000;
// Each step adds this share of the chosen frequency's projection: the frequencies are not
// orthogonal over a window with holes, and a full step overshoots.
constexpr float stepShare = 0.5f;
// Rebuilt pixels are read by the blocks after them at this weight.
constexpr float rebuiltWeight = 0.5f;

// A real window's spectrum is its own conjugate mirrored through the origin: its columns 0 to
// windowSide / 2 hold all of it.
constexpr int halfColumns = windowSide / 2 + 1;
constexpr int halfArea = windowSide * halfColumns;

// The first `columns` columns of a window's spectrum, row by row.
struct Spectrum {
  std::vector<float> re, im;
};

Spectrum spectrumOf(const cv::Mat& window, int columns) {
  cv::Mat complex;
  cv::dft(window, complex, cv::DFT_COMPLEX_OUTPUT);
  Spectrum s;
  s.re.resize(size_t(windowSide * columns));
  s.im.resize(size_t(windowSide * columns));
  for (int y = 0; y < windowSide; ++y) {
    for (int x = 0; x < columns; ++x) {
      const cv::Vec2f& v = complex.at<cv::Vec2f>(y, x);
      s.re[size_t(y * columns + x)] = v[0];
      s.im[size_t(y * columns + x)] = v[1];
    }
  }
  return s;
}

// The index of the frequency (ky, kx), each taken modulo the window's side.
int frequency(int ky, int kx) {
  const auto wrap = [](int k) { return ((k % windowSide) + windowSide) % windowSide; };
  return wrap(ky) * windowSide + wrap(kx);
}

// How much a frequency is favoured, squared: one at the lowest, falling towards the highest, so
// that a block is built from its coarse structure first.
const std::vector<float>& favourSquared() {
  static const std::vector<float> weights = [] {
    std::vector<float> w(halfArea);
    for (int y = 0; y < windowSide; ++y) {
      for (int x = 0; x < halfColumns; ++x) {
        const float fy = float(windowSide / 2 - std::abs(y - windowSide / 2));
        const float fx = float(windowSide / 2 - std::abs(x - windowSide / 2));
        const float favour = 1 - std::sqrt(fx * fx + fy * fy) * std::sqrt(2.0f) / windowSide;
        w[size_t(y * halfColumns + x)] = favour * favour;
      }
    }
    return w;
  }();
  return weights;
}

class Extrapolation {
 public:
  Extrapolation(const cv::Mat& picture, const cv::Mat& known) {
    picture.convertTo(values_, CV_32F);
    cv::Mat(known != 0).convertTo(weights_, CV_32F, 1.0 / 255);
  }

  cv::Mat result() const {
    cv::Mat out;
    values_.convertTo(out, CV_8U);
    return out;
  }

  // Rebuilds the blocks of every size, each size's in their order, splitting the blocks that
  // vary too much for the next size down.
  void run() {
    std::vector<cv::Point> blocks;  // top-left corners of the blocks still to rebuild
    for (int y = 0; y < values_.rows; y += largestBlock) {
      for (int x = 0; x < values_.cols; x += largestBlock) {
        blocks.emplace_back(x, y);
      }
    }
    int side = largestBlock;
    for (const Level& level : levels) {
      std::vector<cv::Point> now, split, missing;
      for (const cv::Point& corner : blocks) {
        const cv::Rect block = blockAt(corner, side);
        if (block.empty() || !hasMissing(block)) continue;
        missing.push_back(corner);
        if (side == smallestBlock || deviation(windowAround(block)) < level.homogeneous) {
          now.push_back(corner);
        } else {
          for (int q = 0; q < 4; ++q) {
            split.emplace_back(corner.x + (q % 2) * side / 2, corner.y + (q / 2) * side / 2);
          }
        }
      }
      rebuildInOrder(now, missing, side, level.decay);
      if (split.empty() || side == smallestBlock) break;
      blocks = std::move(split);
      side /= 2;
    }
  }

 private:
  cv::Rect blockAt(cv::Point corner, int side) const {
    return cv::Rect(corner, cv::Size(side, side)) & cv::Rect(0, 0, values_.cols, values_.rows);
  }
  // The window around a block, within the picture.
  cv::Rect windowAround(const cv::Rect& block) const {
    const int margin = (windowSide - block.width) / 2;
    const cv::Rect window(block.x - margin, block.y - (windowSide - block.height) / 2, windowSide,
                          windowSide);
    return window & cv::Rect(0, 0, values_.cols, values_.rows);
  }
  bool hasMissing(const cv::Rect& r) const {
    for (int y = r.y; y < r.br().y; ++y) {
      const float* w = weights_.ptr<float>(y);
      for (int x = r.x; x < r.br().x; ++x) {
        if (w[x] == 0) return true;
      }
    }
    return false;
  }
  // The standard deviation (of 255) of the pixels read in r.
  double deviation(const cv::Rect& r) const {
    cv::Scalar mean, deviation;
    const cv::Mat read = weights_(r) > 0;
    if (cv::countNonZero(read) == 0) return NAN;  // NaN: never homogeneous
    cv::meanStdDev(values_(r), mean, deviation, read);
    return deviation[0] / 255;
  }

  // Rebuilds the blocks of one size, each time the one with fewest neighbours still missing
  // pixels (a neighbour beyond the picture's border counts as one), on a tie the one with most
  // weight read around it at the start, then the first in row order. `missing` are all the
  // blocks of this size with missing pixels: `now` and those split for the next size.
  void rebuildInOrder(const std::vector<cv::Point>& now, const std::vector<cv::Point>& missing,
                      int side, float decay) {
    const int across = (values_.cols + side - 1) / side, down = (values_.rows + side - 1) / side;
    std::vector<uint8_t> open(size_t(across) * size_t(down), 0);
    for (const cv::Point& c : missing) open[size_t((c.y / side) * across + c.x / side)] = 1;
    const auto openNeighbours = [&](cv::Point c) {
      int count = 0;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const int x = c.x / side + dx, y = c.y / side + dy;
          if (dx == 0 && dy == 0) continue;
          count += x < 0 || y < 0 || x >= across || y >= down || open[size_t(y * across + x)];
        }
      }
      return count;
    };
    // The blocks still to rebuild, first first: fewest open neighbours, most weight, row order.
    std::vector<int> neighbours(now.size()), indexAt(open.size(), -1);
    std::vector<double> read(now.size());
    std::set<std::tuple<int, double, size_t>> order;
    for (size_t b = 0; b < now.size(); ++b) {
      neighbours[b] = openNeighbours(now[b]);
      read[b] = cv::sum(weights_(windowAround(blockAt(now[b], side))))[0];
      indexAt[size_t((now[b].y / side) * across + now[b].x / side)] = int(b);
      order.emplace(neighbours[b], -read[b], b);
    }
    while (!order.empty()) {
      const size_t best = std::get<2>(*order.begin());
      order.erase(order.begin());
      const int bx = now[best].x / side, by = now[best].y / side;
      for (int y = std::max(0, by - 1); y <= std::min(down - 1, by + 1); ++y) {
        for (int x = std::max(0, bx - 1); x <= std::min(across - 1, bx + 1); ++x) {
          const int b = indexAt[size_t(y * across + x)];
          if (b < 0 || !order.erase({neighbours[size_t(b)], -read[size_t(b)], size_t(b)})) continue;
          order.emplace(--neighbours[size_t(b)], -read[size_t(b)], size_t(b));
        }
      }
      rebuild(blockAt(now[best], side), decay);
    }
  }

  // Fits the block's window with frequencies, one at a time, each the one that most reduces the
  // weighted residual, and gives the block's missing pixels the fit.
  void rebuild(const cv::Rect& block, float decay) {
    const cv::Rect window = windowAround(block);
    // The window's pixels sit in a windowSide square at the same place relative to the block's
    // centre; beyond the picture, their weight is zero.
    const cv::Point offset((windowSide - block.width) / 2 - (block.x - window.x),
                           (windowSide - block.height) / 2 - (block.y - window.y));
    const cv::Mat& falloff = falloffFor(block.size(), decay);
    cv::Mat weight(windowSide, windowSide, CV_32F, cv::Scalar(0));
    cv::Mat weighted(windowSide, windowSide, CV_32F, cv::Scalar(0));
    for (int y = 0; y < window.height; ++y) {
      for (int x = 0; x < window.width; ++x) {
        const int u = y + offset.y, v = x + offset.x;
        const float w = weights_.at<float>(window.y + y, window.x + x) * falloff.at<float>(u, v);
        weight.at<float>(u, v) = w;
        weighted.at<float>(u, v) = w * values_.at<float>(window.y + y, window.x + x);
      }
    }
    const Spectrum W = spectrumOf(weight, windowSide), shifted = rowsTwice(W);
    Spectrum R = spectrumOf(weighted, halfColumns);
    if (W.re[0] <= 0) return;  // nothing read around the block

    const double deviationRead = deviation(window);
    const int iterations = std::clamp(
        int(std::lround(iterationsPerDeviation * (std::isnan(deviationRead) ? 0 : deviationRead))),
        fewestIterations, mostIterations);
    const std::vector<float>& favour = favourSquared();
    std::vector<float> modelRe(windowArea, 0), modelIm(windowArea, 0), strength(halfArea);
    for (int step = 0; step < iterations;) {
      for (size_t i = 0; i < halfArea; ++i) {
        strength[i] = (R.re[i] * R.re[i] + R.im[i] * R.im[i]) * favour[i];
      }
      const int chosen = int(std::max_element(strength.begin(), strength.end()) - strength.begin());
      const int ky = chosen / halfColumns, kx = chosen % halfColumns;
      const int at = frequency(ky, kx), mirror = frequency(-ky, -kx);
      const float cRe = stepShare * R.re[size_t(chosen)] / W.re[0];
      const float cIm = stepShare * R.im[size_t(chosen)] / W.re[0];
      modelRe[size_t(at)] += cRe;
      modelIm[size_t(at)] += cIm;
      // The residual's spectrum loses the frequency's weighted spectrum, W shifted to it, and,
      // for a frequency with a distinct mirror, the mirror's, with the conjugate coefficient: the
      // fit stays real.
      subtractShifted(R, shifted, ky, kx, cRe, cIm);
      if (mirror != at) {
        modelRe[size_t(mirror)] += cRe;
        modelIm[size_t(mirror)] -= cIm;
        subtractShifted(R, shifted, -ky, -kx, cRe, -cIm);
        step += 2;
      } else {
        step += 1;
      }
    }
    // The fit in the window: the inverse transform of the model.
    cv::Mat model(windowSide, windowSide, CV_32FC2), fit;
    for (int i = 0; i < windowArea; ++i) {
      model.at<cv::Vec2f>(i / windowSide, i % windowSide) = {modelRe[size_t(i)],
                                                             modelIm[size_t(i)]};
    }
    cv::dft(model, fit, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT);
    for (int y = block.y; y < block.br().y; ++y) {
      for (int x = block.x; x < block.br().x; ++x) {
        float& w = weights_.at<float>(y, x);
        if (w != 0) continue;
        const float v = fit.at<float>(y - window.y + offset.y, x - window.x + offset.x);
        values_.at<float>(y, x) = std::clamp(v, 0.0f, 255.0f);
        w = rebuiltWeight;
      }
    }
  }

  // R(p) -= c W(p - k) for every frequency p that R holds. W's rows are held twice over
  // (`twice`), so that each row of W shifted by kx is one run of memory.
  static void subtractShifted(Spectrum& R, const Spectrum& twice, int ky, int kx, float cRe,
                              float cIm) {
    const int shift = windowSide - (((kx % windowSide) + windowSide) % windowSide);
    for (int py = 0; py < windowSide; ++py) {
      const int wy = ((py - ky) % windowSide + windowSide) % windowSide;
      const float* __restrict wRe = twice.re.data() + wy * 2 * windowSide + shift;
      const float* __restrict wIm = twice.im.data() + wy * 2 * windowSide + shift;
      float* __restrict rRe = R.re.data() + py * halfColumns;
      float* __restrict rIm = R.im.data() + py * halfColumns;
      for (int px = 0; px < halfColumns; ++px) {
        rRe[px] -= cRe * wRe[px] - cIm * wIm[px];
        rIm[px] -= cRe * wIm[px] + cIm * wRe[px];
      }
    }
  }

  // The weight of each pixel of a window for a block of the given size: decay to the power of its
  // distance from the block's centre. Worked out once for each size (blocks at the picture's
  // border are cut short) and level.
  const cv::Mat& falloffFor(cv::Size block, float decay) {
    const auto key = std::make_tuple(block.width, block.height, decay);
    auto found = falloffs_.find(key);
    if (found != falloffs_.end()) return found->second;
    const float cy = float((windowSide - block.height) / 2) + float(block.height) / 2;
    const float cx = float((windowSide - block.width) / 2) + float(block.width) / 2;
    cv::Mat falloff(windowSide, windowSide, CV_32F);
    for (int u = 0; u < windowSide; ++u) {
      for (int v = 0; v < windowSide; ++v) {
        falloff.at<float>(u, v) =
            std::pow(decay, std::hypot(float(u) + 0.5f - cy, float(v) + 0.5f - cx));
      }
    }
    return falloffs_.emplace(key, falloff).first->second;
  }

  // A spectrum with each row held twice over.
  static Spectrum rowsTwice(const Spectrum& s) {
    Spectrum twice;
    twice.re.resize(2 * windowArea);
    twice.im.resize(2 * windowArea);
    for (int y = 0; y < windowSide; ++y) {
      for (int copy = 0; copy < 2; ++copy) {
        std::copy_n(s.re.begin() + y * windowSide, windowSide,
                    twice.re.begin() + (2 * y + copy) * windowSide);
        std::copy_n(s.im.begin() + y * windowSide, windowSide,
                    twice.im.begin() + (2 * y + copy) * windowSide);
      }
    }
    return twice;
  }

  cv::Mat values_;   // 32-bit: the picture, rebuilt where its weight was zero
  cv::Mat weights_;  // 32-bit: 1 known, rebuiltWeight rebuilt, 0 missing
  std::map<std::tuple<int, int, float>, cv::Mat> falloffs_;
};

}  // namespace

cv::Mat frequencyFilled(const cv::Mat& picture, const cv::Mat& known) {
  CV_Assert(picture.type() == CV_8UC1 && known.type() == CV_8UC1 && picture.size() == known.size());
  if (cv::countNonZero(known) == 0) return picture.clone();
  Extrapolation extrapolation(picture, known);
  extrapolation.run();
  return extrapolation.result();
}

}  // namespace plumvane
