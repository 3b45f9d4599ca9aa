// The cut-out's edge on real photos, from two binaries in one run.
//
//   plumvane_edge_bench BEFORE AFTER PICTURE...
//
// Runs `--cutout` of each binary on each picture (median time of three runs) and measures the
// alpha it wrote:
//   band   soft pixels (0.05 < alpha < 0.95) per pixel of outline (the alpha >= 0.5 pixels with a
//          4-neighbour below 0.5): how wide the edge's ramp is;
//   edge   the picture's mean gradient on the outline over its 95th percentile gradient: how well
//          the outline sits on the picture's real edges;
//   sup    the share of the outline within two pixels of the picture's Canny edges (edges.h),
//          its mean over the pictures with a subject;
//   IoU    of the two binaries' alpha >= 0.5: whether the same subjects are found;
//   back   the share of the soft pixels (0.1 < alpha < 0.9) whose written colour is nearer the
//          background's colour nearby than the subject's (edges.h): how much of the old
//          background the edge keeps.
//   rim    the same share of the sure subject's own pixels beside the soft ones, with the after
//          binary's alpha: about what `back` would be with the subject's true colours, where
//          the subject near its edge looks like the ground.
// Prints one row per picture and the medians of the ratios after / before.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "edges.h"
#include "platform/files/picture_file.h"

using namespace plumvane;
using Clock = std::chrono::steady_clock;

namespace {

// The outline's support on the picture's edges, 0..1: the share of the coverage's outline pixels
// within two pixels of an edge that Canny finds in the picture's colours (smoothed by a pixel,
// thresholds 40 and 120 of 255). A picture over 2560 pixels across is measured reduced to that,
// so that a soft edge counts alike at any size. `picture` is CV_32FC3, 0..1.
double edgeSupport(cv::Mat coverage, cv::Mat picture) {
  const double scale = 2560.0 / std::max(picture.cols, picture.rows);
  if (scale < 1) {
    cv::resize(picture, picture, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::resize(coverage, coverage, picture.size(), 0, 0, cv::INTER_AREA);
  }
  cv::Mat colours, edges, near;
  picture.convertTo(colours, CV_8UC3, 255);
  cv::GaussianBlur(colours, colours, cv::Size(), 1.0);
  cv::Canny(colours, edges, 40, 120, 3, true);
  cv::dilate(edges, near, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
  const cv::Mat outline = testing::outlineOf(coverage);
  const int n = cv::countNonZero(outline);
  return n > 0 ? double(cv::countNonZero(outline & near)) / n : 0.0;
}

const char* const target = "/tmp/plumvane-edge-bench.png";

// The median of three `--cutout` runs' wall times, in seconds; negative when a run failed.
double cutoutSeconds(const std::string& binary, const std::string& picture) {
  std::vector<double> times;
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      const int devNull = open("/dev/null", O_WRONLY);
      dup2(devNull, STDOUT_FILENO);
      execl(binary.c_str(), binary.c_str(), "--cutout", picture.c_str(), target,
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[1];
}

// The alpha (0..1) and the colours (straight RGB, CV_32FC3) of the last cut-out written.
struct Written {
  cv::Mat alpha;
  cv::Mat colours;
};
Written written() {
  const auto image = decodePicture(target);
  if (!image) return {};
  Written w{cv::Mat(image->height, image->width, CV_32F),
            cv::Mat(image->height, image->width, CV_32FC3)};
  for (int r = 0; r < image->height; ++r) {
    for (int c = 0; c < image->width; ++c) {
      const Pixel& p = image->at(c, r);
      w.alpha.at<float>(r, c) = p.a;
      w.colours.at<cv::Vec3f>(r, c) =
          p.a > 0 ? cv::Vec3f(p.r / p.a, p.g / p.a, p.b / p.a) : cv::Vec3f(0, 0, 0);
    }
  }
  return w;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: plumvane_edge_bench BEFORE AFTER PICTURE...\n");
    return 2;
  }
  const std::string before = argv[1], after = argv[2];
  std::printf("%-22s %10s %6s %6s %5s %5s %5s %5s %5s %5s %5s %5s %5s %5s\n", "picture", "size",
              "t0 s", "t1/t0", "band0", "band1", "edge0", "edge1", "sup0", "sup1", "IoU", "back0",
              "back1", "rim1");
  std::vector<double> timeRatios, bandsBefore, bandsAfter, edgesBefore, edgesAfter, backsBefore,
      backsAfter, rims, supportsBefore, supportsAfter;
  for (int i = 3; i < argc; ++i) {
    const std::string picture = argv[i];
    const auto decoded = decodePicture(picture);
    if (!decoded) {
      std::fprintf(stderr, "can't read %s\n", picture.c_str());
      return 1;
    }
    cv::Mat grey(decoded->height, decoded->width, CV_32F);
    cv::Mat colours(decoded->height, decoded->width, CV_32FC3);
    for (int r = 0; r < grey.rows; ++r) {
      for (int c = 0; c < grey.cols; ++c) {
        const Pixel& p = decoded->at(c, r);
        grey.at<float>(r, c) = 0.2126f * p.r + 0.7152f * p.g + 0.0722f * p.b;
        colours.at<cv::Vec3f>(r, c) = {p.r, p.g, p.b};
      }
    }
    const double t0 = cutoutSeconds(before, picture);
    const Written written0 = written();
    const double t1 = cutoutSeconds(after, picture);
    const Written written1 = written();
    const cv::Mat &alpha0 = written0.alpha, &alpha1 = written1.alpha;
    if (t0 < 0 || t1 < 0 || alpha0.empty() || alpha1.empty() || alpha0.size() != grey.size() ||
        alpha1.size() != grey.size()) {
      std::fprintf(stderr, "a cut-out of %s failed\n", picture.c_str());
      return 1;
    }
    const double band0 = testing::softBand(alpha0), band1 = testing::softBand(alpha1);
    const double edge0 = testing::edgeContrast(alpha0, grey),
                 edge1 = testing::edgeContrast(alpha1, grey);
    const double sup0 = edgeSupport(alpha0, colours), sup1 = edgeSupport(alpha1, colours);
    const cv::Mat in0 = alpha0 >= 0.5f, in1 = alpha1 >= 0.5f;
    const double unionArea = cv::countNonZero(in0 | in1);
    const double iou = unionArea > 0 ? cv::countNonZero(in0 & in1) / unionArea : 1.0;
    const double back0 = testing::bandBackgroundShare(alpha0, colours, written0.colours);
    const double back1 = testing::bandBackgroundShare(alpha1, colours, written1.colours);
    const double rim1 = testing::rimBackgroundShare(alpha1, colours);

    const std::string name = picture.substr(picture.find_last_of('/') + 1);
    const std::string size = std::to_string(grey.cols) + "x" + std::to_string(grey.rows);
    std::printf(
        "%-22s %10s %6.2f %6.2f %5.1f %5.1f %5.2f %5.2f %5.3f %5.3f %5.3f %5.3f %5.3f %5.3f\n",
        name.c_str(), size.c_str(), t0, t1 / t0, band0, band1, edge0, edge1, sup0, sup1, iou, back0,
        back1, rim1);
    std::fflush(stdout);
    timeRatios.push_back(t1 / t0);
    bandsBefore.push_back(band0);
    bandsAfter.push_back(band1);
    edgesBefore.push_back(edge0);
    edgesAfter.push_back(edge1);
    backsBefore.push_back(back0);
    backsAfter.push_back(back1);
    rims.push_back(rim1);
    if (cv::countNonZero(testing::outlineOf(alpha0)) > 0) {  // a subject was found
      supportsBefore.push_back(sup0);
      supportsAfter.push_back(sup1);
    }
  }
  unlink(target);
  const auto mean = [](const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0.0 : sum / double(values.size());
  };
  std::printf(
      "median time ratio %.2f, median band %.1f -> %.1f pixels, edge %.2f -> %.2f, "
      "background share %.3f -> %.3f (the subject's rim %.3f)\nmean support %.3f -> %.3f\n",
      median(timeRatios), median(bandsBefore), median(bandsAfter), median(edgesBefore),
      median(edgesAfter), median(backsBefore), median(backsAfter), median(rims),
      mean(supportsBefore), mean(supportsAfter));
  return 0;
}
