// Poster mode from the command line, on real photos and the installed models: posters made at
// test time, their manifest, their plate and their pieces laid back together.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "edit_distance.h"
#include "fresh_directory.h"
#include "platform/vision/vision.h"
#include "poster/hole_rim.h"
#include "run_binary.h"

namespace plumvane {
namespace {

using namespace testing;

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

Poster posterOn(const std::string& photo, double blur, cv::Size size = {1500, 1000}) {
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
void inkLine(Poster& poster, const std::string& line, const cv::Mat& coverage, cv::Scalar colour) {
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
void letter(Poster& poster, const std::string& font, const std::string& line, int size,
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
void letterTurned(Poster& poster, const std::string& font, const std::string& line, int size,
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

// The poster is stored as `file`: a PNG, a JPEG of quality 85 or a lossy WebP of quality 50.
Decomposed decompose(const Poster& poster, const std::string& dir,
                     const std::string& file = "poster.png") {
  Decomposed d;
  d.dir = dir + "/pieces";
  cv::Mat opaque;  // without alpha, which a WebP would keep
  cv::cvtColor(poster.picture, opaque, cv::COLOR_BGRA2BGR);
  // OpenCV's WebP writer reads only the first option.
  EXPECT_TRUE(cv::imwrite(dir + "/" + file, opaque,
                          {cv::IMWRITE_WEBP_QUALITY, 50, cv::IMWRITE_JPEG_QUALITY, 85}));
  const auto result = runPlumvane({"--image", dir + "/" + file, d.dir});
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
double meanError(const cv::Mat& a, const cv::Mat& b, const cv::Mat& where = cv::Mat()) {
  cv::Mat difference;
  cv::absdiff(a, b, difference);
  const cv::Scalar mean = cv::mean(difference, where);
  return (mean[0] + mean[1] + mean[2]) / 3;
}

TEST(PosterMode, PhotosBreakIntoAPlateAndSubjectsThatLayBackTogether) {
  for (const std::string name : {"astronaut.png", "coffee.png"}) {
    SCOPED_TRACE(name);
    const cv::Size size = cv::imread(std::string(PLUMVANE_TESTDATA) + "/" + name).size();
    const std::string dir = testing::freshDirectory() + "/" + name;
    std::filesystem::create_directory(dir);
    const Poster photo = posterOn(name, 0, size);
    const Decomposed d = decompose(photo, dir);
    ASSERT_GE(d.pieces.size(), 2u);
    EXPECT_EQ(d.pieces[0].rect, cv::Rect({0, 0}, size));
    cv::Mat covered(size, CV_8U, cv::Scalar(0)), touched = covered.clone();
    for (size_t i = 1; i < d.pieces.size(); ++i) {
      const Piece& p = d.pieces[i];
      EXPECT_EQ(p.kind, "subject") << "no text piece on a photo without text: " << p.text;
      EXPECT_EQ(p.file, "subject-" + std::to_string(i) + ".png");
      EXPECT_EQ(p.rect & cv::Rect({0, 0}, size), p.rect);
      cv::Mat alpha;
      cv::extractChannel(cv::imread(d.dir + "/" + p.file, cv::IMREAD_UNCHANGED), alpha, 3);
      cv::Mat opaque = alpha > 200, seen = alpha > 0;
      opaque.copyTo(covered(p.rect), opaque);
      seen.copyTo(touched(p.rect), seen);
    }
    ASSERT_GT(cv::countNonZero(covered), size.area() / 10) << "the subjects are found";
    // Away from the subjects the plate is the photo itself: no other hole.
    cv::dilate(touched, touched, cv::getStructuringElement(cv::MORPH_ELLIPSE, {41, 41}));
    cv::Mat kept;
    cv::absdiff(d.plate, photo.picture, kept);
    cv::inRange(kept, cv::Scalar::all(0), cv::Scalar(1, 1, 1, 255), kept);
    EXPECT_EQ(cv::countNonZero(~kept & ~touched), 0);
    // Inside the subjects the layers give the working image back.
    EXPECT_LE(meanError(d.laid, photo.picture, covered), 2.0);
    if (name == "astronaut.png") {
      // The astronaut's face is opaque in the first piece, at its place in the photo.
      const cv::Mat piece = cv::imread(d.dir + "/" + d.pieces[1].file, cv::IMREAD_UNCHANGED);
      cv::Mat alpha;
      cv::extractChannel(piece(cv::Rect(190, 80, 60, 70) - d.pieces[1].rect.tl()), alpha, 3);
      EXPECT_GT(cv::mean(alpha)[0], 0.9 * 255);
    }
  }
}

using testing::editDistance;

// The lines of text that the installed recogniser reads in a BGRA picture.
std::vector<TextLine> read(const cv::Mat& bgra) {
  static std::unique_ptr<Vision> vision = installedVision();
  const BitmapView view{bgra.data, bgra.cols, bgra.rows, bgra.step, BitmapView::Order::bgra};
  return vision->text().textLines(view);
}

// Checks the text pieces of a decomposed poster: the plate inside each text area is within
// `within` levels of what lies behind the text, each piece carries its own line's letters opaque
// and the rest clear (the letters of the lines around it included), and the plate shows no line
// any more.
void expectLettersLifted(const Poster& poster, const Decomposed& d, double within) {
  ASSERT_EQ(d.texts.size(), poster.lines.size());
  size_t errors = 0, characters = 0;
  for (size_t i = 0; i < d.texts.size(); ++i) {
    const Piece& p = d.texts[i];
    EXPECT_EQ(p.file, "text-" + std::to_string(i + 1) + ".png");
    errors += editDistance(p.text, poster.lines[i]);
    characters += poster.lines[i].size();
    const double plateError = meanError(d.plate(p.rect), poster.background(p.rect));
    EXPECT_LE(plateError, within) << p.text;
    const cv::Mat piece = cv::imread(d.dir + "/" + p.file, cv::IMREAD_UNCHANGED);
    cv::Mat alpha;
    cv::extractChannel(piece, alpha, 3);
    const cv::Mat own = poster.lineInk[i](p.rect);
    const cv::Mat strokes = own >= 128, clear = own == 0;
    const double opaqueStrokes =
        double(cv::countNonZero((alpha >= 128) & strokes)) / cv::countNonZero(strokes);
    const double opaqueRest =
        double(cv::countNonZero((alpha >= 128) & clear)) / cv::countNonZero(clear);
    EXPECT_GE(opaqueStrokes, 0.9) << p.text;
    EXPECT_LE(opaqueRest, 0.05) << p.text;
    std::printf("[ measure  ] %s: plate error %.2f, strokes opaque %.3f, rest opaque %.4f\n",
                p.text.c_str(), plateError, opaqueStrokes, opaqueRest);
  }
  EXPECT_LE(double(errors) / double(characters), 0.05);
  for (const TextLine& line : read(d.plate)) {
    EXPECT_LE(line.confidence, 0.3f) << "still on the plate: " << line.text;
  }
  const double laidError = meanError(d.laid, poster.picture);
  EXPECT_LE(laidError, 2.0);
  std::printf("[ measure  ] laid back: %.2f\n", laidError);
}

TEST(PosterMode, LinesOnABandComeOffStrokeByStrokeAndTheBandKeepsItsColour) {
  // Two lines on a light band over a photo, with the cup below as a subject.
  Poster poster = posterOn("coffee.png", 0);
  poster.picture(cv::Rect(0, 0, 1500, 280)).setTo(cv::Scalar(235, 240, 245, 255));
  poster.background = poster.picture.clone();
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "Morning Coffee Club", 110, {70, 140}, {40, 30, 20});
  letter(poster, "liberation/LiberationSerif-Regular.ttf", "Saturday at nine", 80, {75, 245},
         {40, 30, 20});
  const Decomposed d = decompose(poster, testing::freshDirectory());
  expectLettersLifted(poster, d, 4);
  // Laid back together, the lines read again.
  const auto again = read(d.laid);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_LE(
      editDistance(again[0].text, poster.lines[0]) + editDistance(again[1].text, poster.lines[1]),
      2u);
}

TEST(PosterMode, HeavyLinesStackedTightlyComeOffWholeEachOnItsOwnPiece) {
  // Display type over flat colour, set so tightly that each padded line reaches into the next;
  // below, a short word in hatched display type with capitals 200 pixels high, too large for the
  // detector to see at the picture's detection scale.
  Poster poster = posterOn("coffee.png", 0);
  poster.picture.setTo(cv::Scalar(60, 212, 236, 255));
  // A rule just above the first line, across the poster.
  poster.picture(cv::Rect(40, 44, 1420, 6)).setTo(cv::Scalar(20, 20, 20, 255));
  poster.background = poster.picture.clone();
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "DO NOT", 190, {80, 210}, {20, 20, 20});
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "EXIST", 190, {80, 365}, {20, 20, 20});
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "IGNORED", 190, {80, 520}, {40, 40, 200});
  letter(poster, "cabinsketch/CabinSketch-Bold.ttf", "BOLD", 280, {80, 920}, {20, 20, 20});
  expectLettersLifted(poster, decompose(poster, testing::freshDirectory()), 4);
}

TEST(PosterMode, WhiteLinesOverAPhotoLeaveThePhotoBetweenTheLetters) {
  Poster poster = posterOn("coffee.png", 0);
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "Espresso", 90, {40, 120}, {255, 255, 255});
  letter(poster, "liberation/LiberationSans-Bold.ttf", "Open daily", 80, {1070, 110},
         {250, 250, 250});
  expectLettersLifted(poster, decompose(poster, testing::freshDirectory()), 8);
}

// The fine detail of a BGRA picture over a mask: the deviation of its grey from its local mean
// (within a pixel or two), as root mean square.
double grainOf(const cv::Mat& bgra, const cv::Mat& where) {
  cv::Mat grey, mean, detail;
  cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
  grey.convertTo(grey, CV_32F);
  cv::GaussianBlur(grey, mean, cv::Size(), 1.5);
  cv::pow(grey - mean, 2, detail);
  return std::sqrt(cv::mean(detail, where)[0]);
}

// The plate's fine detail within the letters' strokes, against the poster's background there.
double grainWhereLettersWere(const Poster& poster, const Decomposed& d) {
  cv::Mat strokes;
  cv::erode(poster.ink >= 128, strokes, cv::Mat());
  const double kept = grainOf(d.plate, strokes) / grainOf(poster.background, strokes);
  std::printf("[ measure  ] grain under the letters: %.2f of the ground's\n", kept);
  return kept;
}

TEST(PosterMode, LettersOverAGrainyPhotoLeaveItsGrainWhereTheyWere) {
  // A photo with film grain, as a fast film or a high sensitivity gives it, under a white line.
  Poster poster = posterOn("coffee.png", 0);
  cv::Mat grain(poster.picture.size(), CV_16SC4);
  cv::RNG(7).fill(grain, cv::RNG::NORMAL, 0, 7);
  grain.col(3).setTo(0);
  cv::Mat grainy;
  poster.picture.convertTo(grainy, CV_16SC4);
  cv::Mat(grainy + grain).convertTo(poster.picture, CV_8UC4);
  poster.background = poster.picture.clone();
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "Espresso", 100, {1000, 150}, {255, 255, 255});
  const Decomposed d = decompose(poster, testing::freshDirectory());
  expectLettersLifted(poster, d, 10);
  // Where the letters were, the plate is as grainy as the photo was, not a smooth patch in their
  // shape.
  const double kept = grainWhereLettersWere(poster, d);
  EXPECT_GE(kept, 0.7);
  EXPECT_LE(kept, 1.3);
}

TEST(PosterMode, LettersOverGrassLeaveTheBladesRunningOnWhereTheyWere) {
  // Bold white lines over a field of grass: where the letters were, the plate goes on with the
  // blades around them. Filled from the rim, it showed the letters' shapes as streaks, and the
  // lines could still be read there.
  Poster poster = posterOn("dune.jpg", 0);
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "Sea breeze", 100, {760, 640}, {250, 250, 250});
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "Dune grass", 110, {80, 760}, {255, 255, 255});
  const Decomposed d = decompose(poster, testing::freshDirectory());
  expectLettersLifted(poster, d, 12);
  EXPECT_GE(grainWhereLettersWere(poster, d), 0.5);
}

TEST(PosterMode, LettersOfAJpegOrALossyWebpLeaveNoRingingOnThePlate) {
  // Dark lines on paper colour, stored lossily: the compression leaves pixels a few levels off
  // the paper around the letters, beyond their anti-aliased rims.
  Poster poster = posterOn("coffee.png", 0, {1200, 400});
  poster.picture.setTo(cv::Scalar(234, 238, 243, 255));
  poster.background = poster.picture.clone();
  letter(poster, "dejavu/DejaVuSans-Bold.ttf", "Morning Coffee Club", 90, {60, 140}, {40, 30, 20});
  letter(poster, "liberation/LiberationSerif-Regular.ttf", "Saturday at nine", 70, {60, 300},
         {40, 30, 20});
  // Beyond the ringing, a WebP's blocks beside the letters keep the paper up to 6 levels off.
  for (const auto& [file, level] :
       {std::pair<std::string, int>{"poster.jpg", 4}, {"poster.webp", 6}}) {
    SCOPED_TRACE(file);
    const std::string dir = testing::freshDirectory() + "/" + file;
    std::filesystem::create_directory(dir);
    const Decomposed d = decompose(poster, dir, file);
    ASSERT_EQ(d.texts.size(), 2u);
    for (size_t i = 0; i < d.texts.size(); ++i) {
      const Piece& p = d.texts[i];
      EXPECT_LE(editDistance(p.text, poster.lines[i]), 1u) << p.text;
      // The plate where the line was is the paper: the ringing went with the letters.
      const cv::Mat off = channelDistance(d.plate(p.rect), poster.background(p.rect));
      const double share = cv::countNonZero(off > level) / double(p.rect.area());
      std::printf("[ measure  ] %s, %s: plate over %d levels off the paper in %.4f\n", file.c_str(),
                  p.text.c_str(), level, share);
      EXPECT_LE(share, 0.01) << p.text;
    }
    for (const TextLine& line : read(d.plate)) {
      EXPECT_LE(line.confidence, 0.3f) << "still on the plate: " << line.text;
    }
  }
}

// The width of a line set in a font installed from Debian's packages.
int widthOf(const std::string& font, const std::string& line, int size) {
  auto type = cv::freetype::createFreeType2();
  type->loadFontData("/usr/share/fonts/truetype/" + font, 0);
  int baseline = 0;
  return type->getTextSize(line, size, -1, &baseline).width;
}

TEST(PosterMode, ColumnsOnOneBaselineAndSmallPrintComeOffLineByLine) {
  // On paper: a header row of three items a column gap apart, two columns of text with a narrow
  // gutter, and a paragraph whose capitals are about 7 pixels high, all on shared baselines.
  Poster poster = posterOn("coffee.png", 0);
  poster.picture.setTo(cv::Scalar(222, 232, 236, 255));
  poster.background = poster.picture.clone();
  const std::string bold = "dejavu/DejaVuSans-Bold.ttf", book = "dejavu/DejaVuSans.ttf";
  int x = 80;
  for (const std::string item : {"MONDAY", "HALL B", "FREE ENTRY"}) {
    letter(poster, bold, item, 32, {x, 150}, {40, 40, 150});
    x += widthOf(bold, item, 32) + 40;
  }
  const std::vector<std::string> left = {"The hall opens its doors at seven",
                                         "and the talk begins at eight",
                                         "in the reading room upstairs"};
  const std::vector<std::string> right = {"Tickets are free but places are few",
                                          "so write to the office by Friday", "to keep a seat"};
  int gutter = 0;
  for (const std::string& line : left) gutter = std::max(gutter, 80 + widthOf(book, line, 18));
  for (size_t i = 0; i < left.size(); ++i)
    letter(poster, book, left[i], 18, {80, 300 + int(i) * 24}, {30, 30, 30});
  for (size_t i = 0; i < right.size(); ++i) {
    letter(poster, book, right[i], 18, {gutter + 20, 300 + int(i) * 24}, {30, 30, 30});
  }
  for (const std::string line :
       {"Admission is free for members and their guests, and for children",
        "under twelve years of age on every day of the week; groups of ten",
        "or more are asked to write ahead to the front desk by Friday noon."}) {
    letter(poster, book, line, 10, {80, 520 + int(poster.lines.size() - 9) * 12}, {40, 40, 40});
  }
  expectLettersLifted(poster, decompose(poster, testing::freshDirectory()), 4);
}

TEST(PosterMode, ALabelBesideALargeWordAndRowsOfTwoInksComeOffLineByLine) {
  // On flat red: a label of two small stacked lines set close beside a large word, and below, a
  // row of white words beside larger black ones on a lower baseline.
  Poster poster = posterOn("coffee.png", 0);
  poster.picture.setTo(cv::Scalar(50, 50, 210, 255));
  poster.background = poster.picture.clone();
  const std::string bold = "dejavu/DejaVuSans-Bold.ttf";
  const int label = 80 + widthOf(bold, "ALL DAY", 34) + 16;
  letter(poster, bold, "Harbour", 150, {label, 250}, {20, 20, 20});
  letter(poster, bold, "ALL DAY", 34, {80, 200}, {20, 20, 20});
  letter(poster, bold, "SUNDAY", 34, {80, 245}, {20, 20, 20});
  letter(poster, bold, "Milk, tea", 80, {80, 560}, {255, 255, 255});
  letter(poster, bold, "BREAD", 150, {80 + widthOf(bold, "Milk, tea", 80) + 30, 610}, {20, 20, 20});
  expectLettersLifted(poster, decompose(poster, testing::freshDirectory()), 4);
}

// Sets a line word by word, each word `space` pixels after the ink of the one before, as one
// line of the poster.
void spacedLine(Poster& poster, const std::string& font, const std::vector<std::string>& words,
                int size, cv::Point origin, cv::Scalar colour, int space) {
  const size_t first = poster.lines.size();
  for (const std::string& word : words) {
    letter(poster, font, word, size, origin, colour);
    const cv::Rect ink = cv::boundingRect(poster.lineInk.back());
    origin.x = ink.x + ink.width + space;
  }
  std::string line;
  cv::Mat coverage = poster.lineInk[first].clone();
  for (size_t i = first; i < poster.lines.size(); ++i) {
    line += (i == first ? "" : " ") + poster.lines[i];
    cv::max(coverage, poster.lineInk[i], coverage);
  }
  poster.lines.resize(first + 1);
  poster.lineInk.resize(first + 1);
  poster.lines[first] = line;
  poster.lineInk[first] = coverage;
}

TEST(PosterMode, TypewriterLinesInAFramedPanelComeOffWholeAndThePanelStaysWhite) {
  // A white panel in a red frame, and on it red lines of a typewriter face whose word spaces are
  // about as wide as the words are high, above a large word set so close to the panel's sides
  // that its padded rectangle reaches into the frame at both ends.
  Poster poster = posterOn("coffee.png", 0);
  poster.picture.setTo(cv::Scalar(0, 0, 235, 255));
  const std::string mono = "liberation/LiberationMono-Regular.ttf";
  const std::string bold = "dejavu/DejaVuSans-Bold.ttf";
  const int wide = widthOf(bold, "Sit here", 230);
  const int left = (1500 - wide) / 2;
  poster.picture(cv::Rect(left - 14, 60, wide + 28, 880)).setTo(cv::Scalar(255, 255, 255, 255));
  poster.background = poster.picture.clone();
  const cv::Scalar red(0, 0, 235);
  spacedLine(poster, mono, {"down", "at", "a"}, 80, {left + 40, 200}, red, 62);
  spacedLine(poster, mono, {"and", "bleed"}, 80, {left + 40, 330}, red, 66);
  letter(poster, bold, "Sit here", 230, {left, 700}, red);
  expectLettersLifted(poster, decompose(poster, testing::freshDirectory()), 4);
}

TEST(PosterMode, SmallPrintOnALargePosterComesOffLineByLine) {
  // A photo at 3000 x 2000 with a paper band at its foot, and on the band a paragraph whose
  // capitals are about 7 pixels high, set so tightly that at the first detection's scale it looks
  // like one line.
  Poster poster = posterOn("coffee.png", 0, {3000, 2000});
  poster.picture(cv::Rect(0, 1800, 3000, 200)).setTo(cv::Scalar(222, 232, 236, 255));
  poster.background = poster.picture.clone();
  for (const std::string line :
       {"Admission is free for members and their guests, and for children",
        "under twelve years of age on every day of the week; groups of ten",
        "or more are asked to write ahead to the front desk by Friday noon."}) {
    letter(poster, "dejavu/DejaVuSans.ttf", line, 10, {120, 1880 + int(poster.lines.size()) * 12},
           {40, 40, 40});
  }
  expectLettersLifted(poster, decompose(poster, testing::freshDirectory()), 4);
}

TEST(PosterMode, ASlantedAndAnUprightLineAreReadAndComeOffTheirBand) {
  // On flat blue: a large white word set at 30 degrees on a black band of the same slant, too
  // large for the detector to mark whole at the picture's detection scale, with three bars
  // beside it that are no text; and a word set upright, reading upwards.
  Poster poster = posterOn("coffee.png", 0);
  poster.picture.setTo(cv::Scalar(250, 80, 70, 255));
  const cv::Point centre(600, 520);
  const cv::RotatedRect band(cv::Point2f(centre), cv::Size2f(1250, 360), -30);
  cv::Point2f corners[4];
  band.points(corners);
  std::vector<cv::Point> outline(corners, corners + 4);
  cv::fillConvexPoly(poster.picture, outline, cv::Scalar(0, 0, 0, 255), cv::LINE_AA);
  for (int x : {120, 190, 260}) {
    poster.picture(cv::Rect(x, 60, 36, 220)).setTo(cv::Scalar(0, 0, 0, 255));
  }
  poster.background = poster.picture.clone();
  const std::string bold = "dejavu/DejaVuSans-Bold.ttf";
  letterTurned(poster, bold, "LICENCE", 240, centre, 30, {255, 255, 255});
  letterTurned(poster, bold, "jupiter", 150, {1330, 500}, 90, {255, 255, 255});
  const Decomposed d = decompose(poster, testing::freshDirectory());
  for (size_t i = 0; i < poster.lines.size(); ++i) {
    const std::string& line = poster.lines[i];
    size_t nearest = line.size();
    for (const Piece& p : d.texts) nearest = std::min(nearest, editDistance(p.text, line));
    EXPECT_LE(double(nearest) / double(line.size()), 0.1) << line;
  }
  // The band, the bars and the blue keep their colours where the letters were and around them.
  cv::Mat near;
  cv::dilate(poster.ink, near, cv::Mat(), {-1, -1}, 8);
  const double plateError = meanError(d.plate, poster.background, near > 0);
  EXPECT_LE(plateError, 6) << "under the letters";
  const cv::Mat bars = cv::Mat::zeros(poster.ink.size(), CV_8U);
  bars(cv::Rect(100, 40, 220, 260)).setTo(255);
  EXPECT_LE(meanError(d.plate, poster.background, bars), 2) << "the bars";
  for (const TextLine& line : read(d.plate)) {
    EXPECT_LE(line.confidence, 0.3f) << "still on the plate: " << line.text;
  }
  std::printf("[ measure  ] plate error under the letters %.2f\n", plateError);
}

TEST(PosterMode, AFileInTheWayOfTheOutputFolderFailsTheRun) {
  // A picture that can't be read is said so in the cut-out's failure test.
  const std::string dir = testing::freshDirectory();
  std::ofstream(dir + "/taken") << "x";
  const auto result =
      runPlumvane({"--image", std::string(PLUMVANE_TESTDATA) + "/coffee.png", dir + "/taken"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "size 600 400\n");
  EXPECT_EQ(result.err, "can't write plate.png: Not a directory\n");
}

}  // namespace
}  // namespace plumvane
