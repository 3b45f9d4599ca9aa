// Posters made at test time and run through poster mode from the command line: their manifest,
// their plate and their pieces laid back together.
#pragma once

#include <gtest/gtest.h>
#include <cmath>

#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "run_binary.h"

namespace plumvane::testing {

struct Piece {
  std::string kind;
  cv::Rect rect;  // top-left frame
  std::string file;
  std::string text;
};

// The manifest lines of a run's standard output; fails the test on a malformed line.
inline std::vector<Piece> manifest(const std::string& out) {
  std::vector<Piece> pieces;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("piece ", 0) != 0) continue;
    std::istringstream in(line.substr(6));
    Piece p;
    in >> p.kind >> p.rect.x >> p.rect.y >> p.rect.width >> p.rect.height >> p.file;
    EXPECT_FALSE(in.fail()) << line;
    std::getline(in, p.text);
    if (!p.text.empty()) p.text.erase(0, 1);
    pieces.push_back(p);
  }
  return pieces;
}

// Lays a straight-alpha RGBA piece over a BGR(A) canvas at rect.
inline void layOver(cv::Mat& canvas, const cv::Mat& piece, cv::Rect rect) {
  ASSERT_EQ(piece.type(), CV_8UC4);
  ASSERT_EQ(piece.size(), rect.size());
  for (int y = 0; y < rect.height; ++y) {
    for (int x = 0; x < rect.width; ++x) {
      const cv::Vec4b p = piece.at<cv::Vec4b>(y, x);
      cv::Vec4b& c = canvas.at<cv::Vec4b>(rect.y + y, rect.x + x);
      const double a = p[3] / 255.0;
      for (int k = 0; k < 3; ++k) c[k] = cv::saturate_cast<uint8_t>(p[k] * a + c[k] * (1 - a));
    }
  }
}

// A poster made at test time from a real photo, with what lies behind its text and subjects
// known because they were laid onto it.
struct Poster {
  cv::Mat picture;     // BGRA
  cv::Mat background;  // BGRA: the picture before the text and the subjects were laid on
  cv::Mat ink;         // 8-bit: the text's coverage
  std::vector<std::string> lines;
  std::vector<cv::Mat> lineInk;  // 8-bit: each line's own coverage
};

inline Poster posterOn(const std::string& photo, double blur, cv::Size size = {1500, 1000}) {
  Poster poster;
  cv::Mat bgr;
  cv::resize(cv::imread(std::string(PLUMVANE_TESTDATA) + "/" + photo), bgr, size);
  if (blur > 0) cv::GaussianBlur(bgr, bgr, {0, 0}, blur);
  cv::cvtColor(bgr, poster.picture, cv::COLOR_BGR2BGRA);
  poster.background = poster.picture.clone();
  poster.ink = cv::Mat(bgr.size(), CV_8U, cv::Scalar(0));
  return poster;
}

// Inks a line's coverage (CV_8U, the poster's size) over the poster in `colour`, and records it.
inline void inkLine(Poster& poster, const std::string& line, const cv::Mat& coverage,
                    cv::Scalar colour) {
  for (int y = 0; y < coverage.rows; ++y) {
    for (int x = 0; x < coverage.cols; ++x) {
      const double c = coverage.at<uint8_t>(y, x) / 255.0;
      if (c == 0) continue;
      cv::Vec4b& p = poster.picture.at<cv::Vec4b>(y, x);
      for (int k = 0; k < 3; ++k) p[k] = cv::saturate_cast<uint8_t>(colour[k] * c + p[k] * (1 - c));
    }
  }
  cv::max(poster.ink, coverage, poster.ink);
  poster.lines.push_back(line);
  poster.lineInk.push_back(coverage);
}

// Sets a line in a font installed from Debian's packages, its baseline starting at origin.
inline void letter(Poster& poster, const std::string& font, const std::string& line, int size,
                   cv::Point origin, cv::Scalar colour) {
  auto type = cv::freetype::createFreeType2();
  type->loadFontData("/usr/share/fonts/truetype/" + font, 0);
  cv::Mat drawn(poster.picture.size(), CV_8UC3, cv::Scalar(0, 0, 0));
  type->putText(drawn, line, origin, size, {255, 255, 255}, -1, cv::LINE_AA, true);
  cv::Mat coverage;
  cv::extractChannel(drawn, coverage, 0);
  inkLine(poster, line, coverage, colour);
}

// Sets a line as `letter` does, turned by `degrees` (counterclockwise) about its middle, which
// lies at `centre`.
inline void letterTurned(Poster& poster, const std::string& font, const std::string& line, int size,
                         cv::Point centre, double degrees, cv::Scalar colour) {
  auto type = cv::freetype::createFreeType2();
  type->loadFontData("/usr/share/fonts/truetype/" + font, 0);
  int baseline = 0;
  const cv::Size extent = type->getTextSize(line, size, -1, &baseline);
  const int side = int(std::hypot(extent.width, extent.height + baseline)) + 20;
  cv::Mat drawn(side, side, CV_8UC3, cv::Scalar(0, 0, 0));
  type->putText(drawn, line, {(side - extent.width) / 2, (side + extent.height) / 2}, size,
                {255, 255, 255}, -1, cv::LINE_AA, true);
  cv::Mat turned;
  cv::extractChannel(drawn, turned, 0);
  cv::warpAffine(turned, turned,
                 cv::getRotationMatrix2D(cv::Point2f(float(side) / 2, float(side) / 2), degrees, 1),
                 turned.size(), cv::INTER_LINEAR);
  cv::Mat coverage(poster.picture.size(), CV_8U, cv::Scalar(0));
  const cv::Rect at = cv::Rect(centre.x - side / 2, centre.y - side / 2, side, side) &
                      cv::Rect({0, 0}, coverage.size());
  turned(at - cv::Point(centre.x - side / 2, centre.y - side / 2)).copyTo(coverage(at));
  inkLine(poster, line, coverage, colour);
}

// What a run made of a poster: its manifest, its plate, and the pieces laid back over the plate.
struct Decomposed {
  std::vector<Piece> pieces;
  cv::Mat plate;  // BGRA
  cv::Mat laid;   // BGRA
  std::vector<Piece> texts;
  std::string dir;
};

inline Decomposed decompose(const Poster& poster, const std::string& dir) {
  Decomposed d;
  d.dir = dir + "/pieces";
  EXPECT_TRUE(cv::imwrite(dir + "/poster.png", poster.picture));
  const auto result = runPlumvane({"--image", dir + "/poster.png", d.dir});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string size = "size " + std::to_string(poster.picture.cols) + " " +
                           std::to_string(poster.picture.rows) + "\n";
  EXPECT_EQ(result.out.substr(0, size.size()), size);
  EXPECT_TRUE(result.out.ends_with("\ndone\n")) << result.out;
  d.pieces = manifest(result.out);
  if (d.pieces.empty()) return d;
  EXPECT_EQ(d.pieces[0].kind, "plate");
  d.plate = cv::imread(d.dir + "/plate.png", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(d.plate.type(), CV_8UC4);
  d.laid = d.plate.clone();
  for (const Piece& p : d.pieces) {
    if (p.kind == "plate") continue;
    EXPECT_TRUE(d.texts.empty() || p.kind == "text") << "text pieces come last";
    if (p.kind == "text") d.texts.push_back(p);
    layOver(d.laid, cv::imread(d.dir + "/" + p.file, cv::IMREAD_UNCHANGED), p.rect);
  }
  return d;
}

// The mean absolute difference of two BGRA pictures over a mask (or all of them), 8-bit levels.
inline double meanError(const cv::Mat& a, const cv::Mat& b, const cv::Mat& where = cv::Mat()) {
  cv::Mat difference;
  cv::absdiff(a, b, difference);
  const cv::Scalar mean = cv::mean(difference, where);
  return (mean[0] + mean[1] + mean[2]) / 3;
}

}  // namespace plumvane::testing
