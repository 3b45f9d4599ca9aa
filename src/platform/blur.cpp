#include "platform/blur.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

namespace plumvane {
namespace {

// Deriche's fourth-order approximation writes the Gaussian as a sum of four damped complex
// exponentials, sum_k alpha_k exp(-lambda_k |x| / sigma). Split into a causal and an
// anti-causal part, each becomes a recursive filter of order four.
struct DericheFilter {
  std::array<double, 4> b{};  // causal numerator: x[n] .. x[n-3]
  std::array<double, 4> a{};  // anti-causal numerator: x[n+1] .. x[n+4]
  std::array<double, 4> d{};  // shared denominator: y[n-1] .. y[n-4]
  double causalGain = 0;      // response of the causal part to a constant 1
  double antiCausalGain = 0;  // likewise for the anti-causal part
};

DericheFilter dericheFilter(double sigma) {
  using C = std::complex<double>;
  const std::array<C, 4> alpha = {C(0.84, 1.8675), C(0.84, -1.8675), C(-0.34015, -0.1299),
                                  C(-0.34015, 0.1299)};
  const std::array<C, 4> lambda = {C(1.783, 0.6318), C(1.783, -0.6318), C(1.723, 1.997),
                                   C(1.723, -1.997)};
  std::array<C, 4> beta;
  for (int k = 0; k < 4; ++k) beta[k] = std::exp(-lambda[k] / sigma);

  // Multiplies a polynomial in w (coefficients by power) by (1 - root w).
  auto times = [](std::array<C, 5> p, C root) {
    for (int m = 4; m >= 1; --m) p[m] -= root * p[m - 1];
    return p;
  };
  std::array<C, 5> denominator = {1, 0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) denominator = times(denominator, beta[k]);
  std::array<C, 5> causal{}, antiCausal{};
  for (int k = 0; k < 4; ++k) {
    std::array<C, 5> others = {1, 0, 0, 0, 0};
    for (int j = 0; j < 4; ++j) {
      if (j != k) others = times(others, beta[j]);
    }
    for (int m = 0; m < 4; ++m) {
      causal[m] += alpha[k] * others[m];
      antiCausal[m + 1] += alpha[k] * beta[k] * others[m];
    }
  }

  DericheFilter f;
  double dSum = 1, bSum = 0, aSum = 0;
  for (int m = 0; m < 4; ++m) {
    f.d[m] = denominator[m + 1].real();
    f.b[m] = causal[m].real();
    f.a[m] = antiCausal[m + 1].real();
    dSum += f.d[m];
    bSum += f.b[m];
    aSum += f.a[m];
  }
  // Normalise so that the whole filter sums to 1.
  const double gain = (bSum + aSum) / dSum;
  for (int m = 0; m < 4; ++m) {
    f.b[m] /= gain;
    f.a[m] /= gain;
  }
  f.causalGain = bSum / gain / dSum;
  f.antiCausalGain = aSum / gain / dSum;
  return f;
}

constexpr size_t laneBlock = 256;  // lanes per block: the histories stay in the first-level cache

// Memory that one worker reuses for every block it filters.
struct Workspace {
  std::vector<double> storage;  // the rolling histories
  std::vector<float> causal;    // the causal pass's output, lines x block
  std::vector<double> xNext;
};

// One line of the causal pass over n lanes: y[n] from x[n], x[n-1..n-3] and y[n-1..n-4]. The
// oldest histories x3 and y4 are overwritten with x[n] and y[n]; out receives y[n]. The
// pointers are parameters so that their restrict qualifiers let the loop be vectorised.
// Built for AVX2 too, chosen at run time where the processor has it.
__attribute__((target_clones("avx2", "default"))) void causalStep(
    size_t n, const float* __restrict x, const double* __restrict x1, const double* __restrict x2,
    double* __restrict x3, const double* __restrict y1, const double* __restrict y2,
    const double* __restrict y3, double* __restrict y4, float* __restrict out,
    const DericheFilter& f) {
  const double b0 = f.b[0], b1 = f.b[1], b2 = f.b[2], b3 = f.b[3];
  const double d1 = f.d[0], d2 = f.d[1], d3 = f.d[2], d4 = f.d[3];
  for (size_t j = 0; j < n; ++j) {
    const double xj = x[j];
    const double v = b0 * xj + b1 * x1[j] + b2 * x2[j] + b3 * x3[j] - d1 * y1[j] - d2 * y2[j] -
                     d3 * y3[j] - d4 * y4[j];
    y4[j] = v;
    x3[j] = xj;
    out[j] = float(v);
  }
}

// One line of the anti-causal pass: y[n] from x[n+1] (next), x[n+2..n+4] and y[n+1..n+4]. The
// oldest histories x4 and y4 are overwritten with x[n+1] and y[n], next with x[n]; x receives
// the sum of the causal output and y[n].
__attribute__((target_clones("avx2", "default"))) void antiCausalStep(
    size_t n, float* __restrict x, double* __restrict next, const double* __restrict x2,
    const double* __restrict x3, double* __restrict x4, const double* __restrict y1,
    const double* __restrict y2, const double* __restrict y3, double* __restrict y4,
    const float* __restrict causal, const DericheFilter& f) {
  const double a1 = f.a[0], a2 = f.a[1], a3 = f.a[2], a4 = f.a[3];
  const double d1 = f.d[0], d2 = f.d[1], d3 = f.d[2], d4 = f.d[3];
  for (size_t j = 0; j < n; ++j) {
    const double v = a1 * next[j] + a2 * x2[j] + a3 * x3[j] + a4 * x4[j] - d1 * y1[j] - d2 * y2[j] -
                     d3 * y3[j] - d4 * y4[j];
    y4[j] = v;
    x4[j] = next[j];
    next[j] = x[j];
    x[j] = float(causal[j] + v);
  }
}

// Filters a block of lanes [lane0, lane1) of a lines x lanes float matrix along the lines, in
// place. Lanes are independent signals; each line holds one sample of every lane.
void filterLanes(float* data, size_t lines, size_t lanes, size_t lane0, size_t lane1,
                 const DericheFilter& f, Edges edges, Workspace& work) {
  const size_t n = lane1 - lane0;
  // Rolling histories: x[n-1..n-3] and y[n-1..n-4].
  std::vector<double>& storage = work.storage;
  storage.resize(7 * n);
  std::array<double*, 3> xs;
  std::array<double*, 4> ys;
  for (int i = 0; i < 3; ++i) xs[i] = &storage[size_t(i) * n];
  for (int i = 0; i < 4; ++i) ys[i] = &storage[size_t(3 + i) * n];
  const bool clamp = edges == Edges::clampToExtent;
  auto sample = [&](size_t line) { return data + line * lanes + lane0; };

  // Causal pass, top to bottom; its output replaces the input only after the anti-causal pass
  // has read it, so it is kept in `causal`.
  std::vector<float>& causal = work.causal;
  causal.resize(lines * n);
  {
    const float* first = sample(0);
    for (size_t j = 0; j < n; ++j) {
      const double edge = clamp ? first[j] : 0.0;
      for (auto* x : xs) x[j] = edge;
      for (auto* y : ys) y[j] = edge * f.causalGain;
    }
    for (size_t line = 0; line < lines; ++line) {
      causalStep(n, sample(line), xs[0], xs[1], xs[2], ys[0], ys[1], ys[2], ys[3],
                 &causal[line * n], f);
      std::rotate(ys.begin(), ys.begin() + 3, ys.end());
      std::rotate(xs.begin(), xs.begin() + 2, xs.end());
    }
  }

  // Anti-causal pass, bottom to top: y[n] = sum a_m x[n+m] - sum d_m y[n+m].
  {
    const float* last = sample(lines - 1);
    for (size_t j = 0; j < n; ++j) {
      const double edge = clamp ? last[j] : 0.0;
      for (auto* x : xs) x[j] = edge;
      for (auto* y : ys) y[j] = edge * f.antiCausalGain;
    }
    std::vector<double>& xNext = work.xNext;  // x[n+1], which xs[0] holds once shifted
    xNext.resize(n);
    for (size_t j = 0; j < n; ++j) xNext[j] = clamp ? last[j] : 0.0;
    for (size_t line = lines; line-- > 0;) {
      antiCausalStep(n, sample(line), xNext.data(), xs[0], xs[1], xs[2], ys[0], ys[1], ys[2], ys[3],
                     &causal[line * n], f);
      std::rotate(xs.begin(), xs.begin() + 2, xs.end());
      std::rotate(ys.begin(), ys.begin() + 3, ys.end());
    }
  }
}

// Filters every lane of a lines x lanes matrix along the lines, in place. The blocks of lanes
// are independent, so they are shared out among the processor's cores.
void filterAlongLines(float* data, size_t lines, size_t lanes, const DericheFilter& f,
                      Edges edges) {
  const size_t blocks = (lanes + laneBlock - 1) / laneBlock;
  const size_t workers = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, blocks);
  auto work = [&](size_t worker) {
    Workspace space;
    // Worker w takes a contiguous run of blocks.
    const size_t first = blocks * worker / workers, last = blocks * (worker + 1) / workers;
    for (size_t block = first; block < last; ++block) {
      const size_t lane0 = block * laneBlock;
      filterLanes(data, lines, lanes, lane0, std::min(lanes, lane0 + laneBlock), f, edges, space);
    }
  };
  std::vector<std::thread> helpers;
  for (size_t worker = 1; worker < workers; ++worker) helpers.emplace_back(work, worker);
  work(0);
  for (std::thread& helper : helpers) helper.join();
}

Image sampledKernelBlur(const Image& image, double sigma, Edges edges) {
  const int reach = int(std::ceil(4 * sigma));
  cv::Mat kernel(2 * reach + 1, 1, CV_32F);
  double sum = 0;
  for (int i = -reach; i <= reach; ++i) sum += std::exp(-i * i / (2 * sigma * sigma));
  for (int i = -reach; i <= reach; ++i) {
    kernel.at<float>(i + reach) = float(std::exp(-i * i / (2 * sigma * sigma)) / sum);
  }
  Image out = image;
  cv::Mat in(image.height, image.width, CV_32FC4, const_cast<Pixel*>(image.pixels.data()));
  cv::Mat result(out.height, out.width, CV_32FC4, out.pixels.data());
  const int border = edges == Edges::clampToExtent ? cv::BORDER_REPLICATE : cv::BORDER_CONSTANT;
  cv::sepFilter2D(in, result, CV_32F, kernel, kernel, cv::Point(-1, -1), 0, border);
  return out;
}

// Filters a matrix of interleaved float channels in place: down its columns, then along its rows
// (as the columns of its transpose).
void filterImage(cv::Mat& pixels, const DericheFilter& f, Edges edges) {
  const size_t rows = size_t(pixels.rows), cols = size_t(pixels.cols);
  const size_t channels = size_t(pixels.channels());
  filterAlongLines(pixels.ptr<float>(), rows, cols * channels, f, edges);
  cv::Mat transposed;
  cv::transpose(pixels, transposed);
  filterAlongLines(transposed.ptr<float>(), cols, rows * channels, f, edges);
  cv::transpose(transposed, pixels);
}

bool isGreyAndOpaque(const Image& image) {
  return std::all_of(image.pixels.begin(), image.pixels.end(),
                     [](const Pixel& p) { return p.g == p.r && p.b == p.r && p.a == 1.0f; });
}

Image recursiveBlur(const Image& image, double radius, Edges edges) {
  const DericheFilter f = dericheFilter(radius);
  Image out = image;
  if (!isGreyAndOpaque(image)) {
    cv::Mat view(out.height, out.width, CV_32FC4, out.pixels.data());
    filterImage(view, f, edges);
    return out;
  }
  // A grey opaque mask: its grey and its alpha are all there is to blur, half the work.
  cv::Mat greyAlpha(image.height, image.width, CV_32FC2);
  for (int row = 0; row < image.height; ++row) {
    cv::Vec2f* to = greyAlpha.ptr<cv::Vec2f>(row);
    const Pixel* from = &image.at(0, row);
    for (int column = 0; column < image.width; ++column) to[column] = {from[column].r, 1.0f};
  }
  filterImage(greyAlpha, f, edges);
  for (int row = 0; row < image.height; ++row) {
    const cv::Vec2f* from = greyAlpha.ptr<cv::Vec2f>(row);
    Pixel* to = &out.at(0, row);
    for (int column = 0; column < image.width; ++column) {
      to[column] = Pixel{from[column][0], from[column][0], from[column][0], from[column][1]};
    }
  }
  return out;
}

// The image shrunk by block averages of factor x factor pixels, over the image continued by `pad`
// pixels on every side as the edges say, and rounded up to whole blocks.
Image shrunk(const Image& image, int factor, int pad, Edges edges) {
  Image small;
  small.width = (image.width + 2 * pad + factor - 1) / factor;
  small.height = (image.height + 2 * pad + factor - 1) / factor;
  small.pixels.assign(size_t(small.width) * size_t(small.height), clearColour);
  const bool clamp = edges == Edges::clampToExtent;
  // Where column x of the continued image reads from: a column of the image, or nothing.
  std::vector<int> source(size_t(small.width) * size_t(factor));
  for (size_t x = 0; x < source.size(); ++x) {
    const int inImage = int(x) - pad;
    source[x] = clamp ? std::clamp(inImage, 0, image.width - 1)
                      : (inImage >= 0 && inImage < image.width ? inImage : -1);
  }
  const float area = 1.0f / float(factor * factor);
  std::vector<Pixel> sums(size_t(small.width));
  for (int r = 0; r < small.height; ++r) {
    std::fill(sums.begin(), sums.end(), clearColour);
    for (int k = 0; k < factor; ++k) {
      int row = r * factor + k - pad;
      if (clamp) row = std::clamp(row, 0, image.height - 1);
      if (row < 0 || row >= image.height) continue;
      const Pixel* line = &image.at(0, row);
      for (size_t x = 0; x < source.size(); ++x) {
        if (source[x] < 0) continue;
        const Pixel& p = line[source[x]];
        Pixel& sum = sums[x / size_t(factor)];
        sum.r += p.r;
        sum.g += p.g;
        sum.b += p.b;
        sum.a += p.a;
      }
    }
    for (int c = 0; c < small.width; ++c) {
      const Pixel& sum = sums[size_t(c)];
      small.at(c, r) = Pixel{sum.r * area, sum.g * area, sum.b * area, sum.a * area};
    }
  }
  return small;
}

// Where each pixel of a side of `size` pixels falls between the block centres of a shrunk side
// that starts `pad` pixels before it: the lower block and the weight of the upper one.
void blockPositions(int size, int factor, int pad, int blocks, std::vector<int>& lower,
                    std::vector<float>& weight) {
  lower.resize(size_t(size));
  weight.resize(size_t(size));
  for (int i = 0; i < size; ++i) {
    const double at = (double(i + pad) + 0.5) / factor - 0.5;
    const int below = std::clamp(int(std::floor(at)), 0, blocks - 2);
    lower[size_t(i)] = below;
    weight[size_t(i)] = float(std::clamp(at - below, 0.0, 1.0));
  }
}

// A wide blur computed on the image shrunk by `factor`: block averages down, the recursive blur
// at the smaller radius that makes up the same spread, bilinear interpolation back up. The edges
// are continued by two blocks before shrinking, so that the border is interpolated between
// blocks that hold what the blur sees there.
Image decimatedBlur(const Image& image, double radius, Edges edges, int factor) {
  const int pad = 2 * factor;
  // Shrinking by blocks adds the spread of a box of `factor` pixels (variance factor^2 / 12) and
  // growing back bilinearly that of a triangle (factor^2 / 6): the blur supplies the rest.
  const double smallRadius = std::sqrt(radius * radius / (double(factor) * factor) - 0.25);
  const Image small = recursiveBlur(shrunk(image, factor, pad, edges), smallRadius, edges);

  std::vector<int> column, row;
  std::vector<float> columnWeight, rowWeight;
  blockPositions(image.width, factor, pad, small.width, column, columnWeight);
  blockPositions(image.height, factor, pad, small.height, row, rowWeight);
  Image out;
  out.x = image.x;
  out.y = image.y;
  out.width = image.width;
  out.height = image.height;
  out.pixels.resize(image.pixels.size());
  std::vector<Pixel> blended(size_t(small.width));
  for (int y = 0; y < out.height; ++y) {
    // The two shrunk rows around this row, blended, then the two columns around each pixel.
    const Pixel* upper = &small.at(0, row[size_t(y)]);
    const Pixel* lower = upper + small.width;
    const float v = rowWeight[size_t(y)], u = 1 - v;
    for (int c = 0; c < small.width; ++c) {
      blended[size_t(c)] = Pixel{upper[c].r * u + lower[c].r * v, upper[c].g * u + lower[c].g * v,
                                 upper[c].b * u + lower[c].b * v, upper[c].a * u + lower[c].a * v};
    }
    Pixel* line = &out.at(0, y);
    for (int x = 0; x < out.width; ++x) {
      const Pixel& left = blended[size_t(column[size_t(x)])];
      const Pixel& right = blended[size_t(column[size_t(x)]) + 1];
      const float h = columnWeight[size_t(x)], g = 1 - h;
      line[x] = Pixel{left.r * g + right.r * h, left.g * g + right.g * h, left.b * g + right.b * h,
                      left.a * g + right.a * h};
    }
  }
  return out;
}

// The recursive filter keeps its accuracy on the shrunk image while the radius there is at
// least this; wider blurs are shrunk by radius / this.
constexpr double shrunkRadius = 5;

}  // namespace

Image gaussianBlur(const Image& image, double radius, Edges edges) {
  if (!(radius > 0) || image.isEmpty()) return image;
  if (radius < 2) return sampledKernelBlur(image, radius, edges);
  // Shrinking by 2 costs more in resampling than it saves in filtering.
  const int factor = int(radius / shrunkRadius);
  if (factor >= 3) return decimatedBlur(image, radius, edges, factor);
  return recursiveBlur(image, radius, edges);
}

}  // namespace plumvane
