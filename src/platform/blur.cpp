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

// Filters a block of lanes [lane0, lane1) of a lines x lanes float matrix along the lines, in
// place. Lanes are independent signals; each line holds one sample of every lane.
void filterLanes(float* data, size_t lines, size_t lanes, size_t lane0, size_t lane1,
                 const DericheFilter& f, Edges edges) {
  const size_t n = lane1 - lane0;
  // Rolling histories: x[n-1..n-3] and y[n-1..n-4].
  std::vector<double> storage(7 * n);
  std::array<double*, 3> xs;
  std::array<double*, 4> ys;
  for (int i = 0; i < 3; ++i) xs[i] = &storage[size_t(i) * n];
  for (int i = 0; i < 4; ++i) ys[i] = &storage[size_t(3 + i) * n];
  const bool clamp = edges == Edges::clampToExtent;
  auto sample = [&](size_t line) { return data + line * lanes + lane0; };

  // Causal pass, top to bottom; its output replaces the input only after the anti-causal pass
  // has read it, so it is kept in `causal`.
  std::vector<float> causal(lines * n);
  {
    const float* first = sample(0);
    for (size_t j = 0; j < n; ++j) {
      const double edge = clamp ? first[j] : 0.0;
      for (auto* x : xs) x[j] = edge;
      for (auto* y : ys) y[j] = edge * f.causalGain;
    }
    for (size_t line = 0; line < lines; ++line) {
      const float* x = sample(line);
      double* y = ys[3];  // the oldest history row is overwritten with the new output
      float* out = &causal[line * n];
      for (size_t j = 0; j < n; ++j) {
        const double v = f.b[0] * x[j] + f.b[1] * xs[0][j] + f.b[2] * xs[1][j] + f.b[3] * xs[2][j] -
                         f.d[0] * ys[0][j] - f.d[1] * ys[1][j] - f.d[2] * ys[2][j] -
                         f.d[3] * ys[3][j];
        y[j] = v;
        out[j] = float(v);
      }
      std::rotate(ys.begin(), ys.begin() + 3, ys.end());
      double* oldest = xs[2];
      for (size_t j = 0; j < n; ++j) oldest[j] = x[j];
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
    std::vector<double> xNext(n);  // x[n+1], which xs[0] holds once shifted
    for (size_t j = 0; j < n; ++j) xNext[j] = clamp ? last[j] : 0.0;
    for (size_t line = lines; line-- > 0;) {
      float* x = sample(line);
      double* y = ys[3];
      const float* c = &causal[line * n];
      for (size_t j = 0; j < n; ++j) {
        const double v = f.a[0] * xNext[j] + f.a[1] * xs[0][j] + f.a[2] * xs[1][j] +
                         f.a[3] * xs[2][j] - f.d[0] * ys[0][j] - f.d[1] * ys[1][j] -
                         f.d[2] * ys[2][j] - f.d[3] * ys[3][j];
        y[j] = v;
        // Shift the input history: x[n+3] <- x[n+2] <- x[n+1] <- x[n].
        xs[2][j] = xs[1][j];
        xs[1][j] = xs[0][j];
        xs[0][j] = xNext[j];
        xNext[j] = x[j];
        x[j] = float(c[j] + v);
      }
      std::rotate(ys.begin(), ys.begin() + 3, ys.end());
    }
  }
}

// Filters every lane of a lines x lanes matrix along the lines, in place.
void filterAlongLines(float* data, size_t lines, size_t lanes, const DericheFilter& f,
                      Edges edges) {
  constexpr size_t block = 256;  // lanes per block: the histories stay in the first-level cache
  for (size_t lane0 = 0; lane0 < lanes; lane0 += block) {
    filterLanes(data, lines, lanes, lane0, std::min(lanes, lane0 + block), f, edges);
  }
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

}  // namespace

Image gaussianBlur(const Image& image, double radius, Edges edges) {
  if (!(radius > 0) || image.isEmpty()) return image;
  if (radius < 2) return sampledKernelBlur(image, radius, edges);
  const DericheFilter f = dericheFilter(radius);
  Image out = image;
  float* data = &out.pixels[0].r;
  const size_t w = size_t(out.width), h = size_t(out.height);
  // Vertically: each row is one line, each float of it one lane.
  filterAlongLines(data, h, w * 4, f, edges);
  // Horizontally: the same on the transposed image.
  cv::Mat view(out.height, out.width, CV_32FC4, data);
  cv::Mat transposed;
  cv::transpose(view, transposed);
  filterAlongLines(transposed.ptr<float>(), w, h * 4, f, edges);
  cv::transpose(transposed, view);
  return out;
}

}  // namespace plumvane
