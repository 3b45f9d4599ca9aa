// Poster mode from the command line, on real photos and the installed models.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "edit_distance.h"
#include "fresh_directory.h"
#include "platform/vision.h"
#include "run_binary.h"

namespace plumvane {
namespace {

using testing::runPlumvane;

struct Piece {
  std::string kind;
  cv::Rect rect;  // top-left frame
  std::string file;
  std::string text;
};

// The manifest lines of a run's standard output; fails the test on a malformed line.
std::vector<Piece> manifest(const std::string& out) {
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
void layOver(cv::Mat& canvas, const cv::Mat& piece, cv::Rect rect) {
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

TEST(PosterMode, PhotosBreakIntoAPlateAndSubjectsThatLayBackTogether) {
  for (const std::string name : {"astronaut.png", "coffee.png"}) {
    SCOPED_TRACE(name);
    const std::string dir = testing::freshDirectory() + "/" + name;
    const std::string photo = std::string(PLUMVANE_TESTDATA) + "/" + name;
    const auto result = runPlumvane({"--image", photo, dir});
    ASSERT_EQ(result.status, 0) << result.err;
    const cv::Mat original = cv::imread(photo, cv::IMREAD_COLOR);
    const std::string size =
        "size " + std::to_string(original.cols) + " " + std::to_string(original.rows) + "\n";
    ASSERT_EQ(result.out.substr(0, size.size()), size);
    ASSERT_EQ(result.out.substr(result.out.size() - 5), "done\n");

    const auto pieces = manifest(result.out);
    ASSERT_GE(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].kind, "plate");
    EXPECT_EQ(pieces[0].rect, cv::Rect(0, 0, original.cols, original.rows));
    cv::Mat canvas = cv::imread(dir + "/plate.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(canvas.type(), CV_8UC4);

    cv::Mat covered(original.size(), CV_8U, cv::Scalar(0));
    for (size_t i = 1; i < pieces.size(); ++i) {
      const Piece& p = pieces[i];
      EXPECT_EQ(p.kind, "subject");
      EXPECT_EQ(p.file, "subject-" + std::to_string(i) + ".png");
      EXPECT_EQ(p.rect & cv::Rect(0, 0, original.cols, original.rows), p.rect);
      const cv::Mat piece = cv::imread(dir + "/" + p.file, cv::IMREAD_UNCHANGED);
      ASSERT_EQ(piece.type(), CV_8UC4);
      layOver(canvas, piece, p.rect);
      cv::Mat alpha;
      cv::extractChannel(piece, alpha, 3);
      cv::Mat opaque = alpha > 200;
      opaque.copyTo(covered(p.rect), opaque);
    }
    ASSERT_GT(cv::countNonZero(covered), original.total() / 10) << "the subjects are found";
    // Inside the subjects the layers give the working image back.
    cv::Mat laid, difference;
    cv::cvtColor(canvas, laid, cv::COLOR_BGRA2BGR);
    cv::absdiff(laid, original, difference);
    const cv::Scalar error = cv::mean(difference, covered);
    EXPECT_LE((error[0] + error[1] + error[2]) / 3, 2.0);
  }
}

TEST(PosterMode, TheAstronautPieceIsTheAstronaut) {
  const std::string dir = testing::freshDirectory();
  const auto result =
      runPlumvane({"--image", std::string(PLUMVANE_TESTDATA) + "/astronaut.png", dir});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto pieces = manifest(result.out);
  ASSERT_GE(pieces.size(), 2u);
  const Piece& p = pieces[1];
  const cv::Mat piece = cv::imread(dir + "/" + p.file, cv::IMREAD_UNCHANGED);
  // The face is opaque in the piece, at its place in the photo.
  const cv::Rect face = cv::Rect(190, 80, 60, 70) - p.rect.tl();
  cv::Mat alpha;
  cv::extractChannel(piece(face), alpha, 3);
  EXPECT_GT(cv::mean(alpha)[0], 0.9 * 255);
}

using testing::editDistance;

// The lines of text that the installed recogniser reads in a BGRA picture.
std::vector<TextLine> read(const cv::Mat& bgra) {
  static std::unique_ptr<Vision> vision = installedVision();
  const BitmapView view{bgra.data, bgra.cols, bgra.rows, bgra.step, BitmapView::Order::bgra};
  return vision->text().textLines(view);
}

TEST(PosterMode, TextIsTakenOffThePlateAndGivenPiecesOfItsOwn) {
  const std::string dir = testing::freshDirectory();
  const std::string data = PLUMVANE_TESTDATA;
  // The poster: a photo, the astronaut cut out and pasted in, and two lines on a light band.
  ASSERT_EQ(runPlumvane({"--cutout", data + "/astronaut.png", dir + "/astronaut.png"}).status, 0);
  cv::Mat poster;
  cv::resize(cv::imread(data + "/coffee.png"), poster, cv::Size(1200, 800));
  cv::Mat astronaut;
  cv::resize(cv::imread(dir + "/astronaut.png", cv::IMREAD_UNCHANGED), astronaut, {400, 400});
  cv::cvtColor(poster, poster, cv::COLOR_BGR2BGRA);
  layOver(poster, astronaut, cv::Rect(760, 380, 400, 400));
  poster(cv::Rect(0, 0, 1200, 220)).setTo(cv::Scalar(235, 240, 245, 255));
  const std::vector<std::string> lines = {"Morning Coffee Club", "Saturday at nine"};
  cv::putText(poster, lines[0], {60, 90}, cv::FONT_HERSHEY_SIMPLEX, 2.4, {40, 30, 20, 255}, 6,
              cv::LINE_AA);
  cv::putText(poster, lines[1], {60, 180}, cv::FONT_HERSHEY_SIMPLEX, 2.0, {40, 30, 20, 255}, 5,
              cv::LINE_AA);
  ASSERT_TRUE(cv::imwrite(dir + "/poster.png", poster));

  const auto result = runPlumvane({"--image", dir + "/poster.png", dir + "/pieces"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.substr(0, 14), "size 1200 800\n");
  EXPECT_EQ(result.out.substr(result.out.size() - 5), "done\n");
  const auto pieces = manifest(result.out);
  ASSERT_GE(pieces.size(), 4u);
  EXPECT_EQ(pieces[0].kind, "plate");
  std::vector<Piece> texts;
  size_t subjects = 0;
  for (const Piece& p : pieces) {
    if (p.kind == "text") texts.push_back(p);
    if (p.kind == "subject") ++subjects;
    EXPECT_TRUE(texts.empty() || p.kind == "text") << "text pieces come last";
  }
  EXPECT_GE(subjects, 1u);
  ASSERT_EQ(texts.size(), 2u);
  size_t errors = 0;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(texts[i].file, "text-" + std::to_string(i + 1) + ".png");
    errors += editDistance(texts[i].text, lines[i]);
  }
  EXPECT_LE(double(errors) / double(lines[0].size() + lines[1].size()), 0.05)
      << texts[0].text << " / " << texts[1].text;

  // The plate shows neither line.
  cv::Mat plate = cv::imread(dir + "/pieces/plate.png", cv::IMREAD_UNCHANGED);
  for (const TextLine& line : read(plate)) {
    EXPECT_LE(line.confidence, 0.3f) << "still on the plate: " << line.text;
  }
  // Laid over the plate, the text pieces bring both lines back.
  for (const Piece& p : texts)
    layOver(plate, cv::imread(dir + "/pieces/" + p.file, cv::IMREAD_UNCHANGED), p.rect);
  const auto again = read(plate);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_LE(editDistance(again[0].text, lines[0]) + editDistance(again[1].text, lines[1]), 2u);
}

TEST(PosterMode, FailuresSayWhatWentWrong) {
  const std::string dir = testing::freshDirectory();
  std::ofstream(dir + "/notes.txt") << "not a picture\n";
  for (const std::string& picture : {dir + "/notes.txt", dir + "/missing.png"}) {
    const auto result = runPlumvane({"--image", picture, dir + "/out"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "can't read the picture\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/out"));
  }
  std::ofstream(dir + "/taken") << "x";
  const auto result =
      runPlumvane({"--image", std::string(PLUMVANE_TESTDATA) + "/coffee.png", dir + "/taken"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "size 600 400\n");
  EXPECT_EQ(result.err, "can't write plate.png: Not a directory\n");
}

}  // namespace
}  // namespace plumvane
