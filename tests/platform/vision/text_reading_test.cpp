#include "platform/vision/text/ctc_decoding.h"
#include "platform/vision/text/line_detection.h"
#include "platform/vision/text/line_ends.h"
#include "platform/vision/text/reading_order.h"
#include "platform/vision/text/text_tidying.h"
#include "platform/vision/text/word_spacing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <opencv2/imgproc.hpp>

#include "edit_distance.h"
#include "fresh_directory.h"

namespace plumvane {
namespace {

TEST(TextDecoding, ClassesComeFromTheKeysFileAndGreedyCtcCollapsesRepeatsAndDropsBlanks) {
  const std::string path = testing::freshDirectory() + "/keys.txt";
  std::ofstream(path) << "a\nb\r\n中\n";
  EXPECT_EQ(recognitionClasses(path), (std::vector<std::string>{"", "a", "b", "中", " "}));

  const std::vector<std::string> classes = {"", "a", "b", " "};
  // Steps: a a blank a b b blank space
  const std::vector<std::vector<float>> steps = {
      {0.1f, 0.8f, 0.1f, 0.0f}, {0.2f, 0.6f, 0.1f, 0.1f}, {0.9f, 0.1f, 0.0f, 0.0f},
      {0.0f, 1.0f, 0.0f, 0.0f}, {0.1f, 0.1f, 0.7f, 0.1f}, {0.0f, 0.0f, 0.9f, 0.1f},
      {0.7f, 0.1f, 0.1f, 0.1f}, {0.1f, 0.0f, 0.0f, 0.9f}};
  std::vector<float> flat;
  for (const auto& s : steps) flat.insert(flat.end(), s.begin(), s.end());
  const DecodedText decoded = ctcGreedyDecode(flat.data(), 8, 4, classes);
  EXPECT_EQ(decoded.text, "aab ");
  // The first step of each kept run counts: 0.8, 1.0, 0.7, 0.9.
  EXPECT_NEAR(decoded.confidence, (0.8f + 1.0f + 0.7f + 0.9f) / 4, 1e-6);
  // Each kept character's probability is the highest of its run, and its runner-up the
  // likeliest other character at that step.
  std::vector<float> probabilities;
  std::string runnersUp;
  for (const auto& e : decoded.emissions) {
    probabilities.push_back(e.probability);
    runnersUp += e.runnerUp;
  }
  EXPECT_EQ(probabilities, (std::vector<float>{0.8f, 1.0f, 0.9f, 0.9f}));
  EXPECT_EQ(runnersUp, "bb a");

  const std::vector<float> blanks = {1, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(ctcGreedyDecode(blanks.data(), 2, 4, classes).text, "");
  EXPECT_EQ(ctcGreedyDecode(blanks.data(), 2, 4, classes).confidence, 0.0f);
}

TEST(TextDecoding, LatinLinesAreTidiedAndTakePlainWordsFromTheOtherReading) {
  // Full-width letters and an ideographic space, as widely spaced Latin text is read.
  EXPECT_EQ(tidiedText("ＥＳＰ　bＡr"), "ESP bAr");
  // The Celsius sign, alone or after the degree sign it was read with.
  EXPECT_EQ(tidiedText("16°℃"), "16°C");
  EXPECT_EQ(tidiedText("16℃"), "16°C");
  EXPECT_EQ(tidiedText("  a \t  b  "), "a b");
  // A zero among capitals is the letter O; among digits, or on a line with small letters, a zero.
  EXPECT_EQ(tidiedText("CEASE T0 EXIST, 0K?"), "CEASE TO EXIST, OK?");
  EXPECT_EQ(tidiedText("ROOM 101 AT 10AM, 0"), "ROOM 101 AT 10AM, 0");
  EXPECT_EQ(tidiedText("Cease T0"), "Cease T0");
  // A Chinese line keeps its full-width comma.
  const std::string chinese = "中文，测";
  EXPECT_TRUE(hasCjk(chinese));
  EXPECT_EQ(tidiedText(chinese), chinese);
  EXPECT_FALSE(hasCjk("café °C"));
  // Words with letters beyond ASCII stay the Latin model's, plain ones are the other reader's.
  EXPECT_EQ(withPlainWordsFrom("et Qul On vous écrira ouf", "et Oui On vous ecrira oui"),
            "et Oui On vous écrira oui");
  EXPECT_EQ(withPlainWordsFrom("Straße gesperrt", "StraBe gesperrt"), "Straße gesperrt");
  // Words that don't pair up leave the Latin reading as it is.
  EXPECT_EQ(withPlainWordsFrom("Pas prévu", "Pas preuu Peu"), "Pas prévu");
}

// A character the recogniser doubts: where it is in the text, its probability, and the
// recogniser's second choice there.
struct Doubt {
  size_t at;
  float probability;
  std::string runnerUp;
};

// A recogniser's reading of `text`, each character but blanks emitted with probability 1 but the
// doubted ones.
DecodedText readingOf(const std::string& text, const std::vector<Doubt>& doubts = {}) {
  DecodedText decoded;
  decoded.text = text;
  size_t index = 0;
  for (const std::string_view c : testing::characters(text)) {
    DecodedText::Emission e{std::string(c), 0, 0, 1.0f, "", 0.0f};
    for (const Doubt& d : doubts) {
      if (d.at == index) {
        e.probability = d.probability;
        e.runnerUp = d.runnerUp;
        e.runnerUpProbability = 1 - d.probability;
      }
    }
    if (e.character != " ") decoded.emissions.push_back(e);
    ++index;
  }
  return decoded;
}

TEST(TextDecoding, DoubtfulLettersAndCaseComeFromTheLatinReading) {
  // Letters the recogniser doubts take the Latin model's letters when they were its second
  // choice; those it is sure of stay, and so do those the Latin model reads otherwise.
  EXPECT_EQ(withDoubtsReadFrom(readingOf("IN UTF", {{3, 0.77f, "V"}, {4, 0.84f, "I"}}), "IN VIF"),
            "IN VIF");
  EXPECT_EQ(withDoubtsReadFrom(readingOf("YOU WOULD", {{0, 0.95f, "V"}}), "VOU WOULD"),
            "YOU WOULD");
  EXPECT_EQ(withDoubtsReadFrom(readingOf("PHILIP K. DICK", {{7, 0.83f, "R"}}), "PHILIP H. DICK"),
            "PHILIP K. DICK");
  EXPECT_EQ(withDoubtsReadFrom(readingOf("FACIS", {{3, 0.68f, "T"}}), "FACTS!"), "FACTS");
  // A sign the Latin model reads for a letter leaves the letter.
  EXPECT_EQ(withDoubtsReadFrom(readingOf("IS", {{1, 0.7f, "$"}}), "I$"), "IS");
  // A doubtful ideograph in a Latin line, and the blank beside the letter it stands for.
  const DecodedText soul = readingOf("入SOUL", {{0, 0.27f, "A"}});
  EXPECT_FALSE(hasSureCjk(soul));
  EXPECT_TRUE(hasSureCjk(readingOf("入SOUL")));
  EXPECT_EQ(withDoubtsReadFrom(soul, "A SOUL"), "A SOUL");
  // Blanks that come from the ink, not from the emissions, stay.
  DecodedText spaced = readingOf("INUTF", {{2, 0.77f, "V"}, {3, 0.84f, "I"}});
  spaced.text = "IN UTF";
  EXPECT_EQ(withDoubtsReadFrom(spaced, "IN VIF"), "IN VIF");

  // Letters that differ only in size: the word takes the Latin model's case when the doubtful
  // letters alone would mix cases.
  EXPECT_EQ(withDoubtsReadFrom(
                readingOf("No one KNOWS", {{7, 0.73f, "k"}, {10, 0.71f, "w"}, {11, 0.82f, "s"}}),
                "No one knows"),
            "No one knows");
  EXPECT_EQ(withDoubtsReadFrom(readingOf("KiSs", {{0, 0.91f, "k"}, {2, 0.62f, "s"}}), "kiss"),
            "Kiss");
  // Without the Latin model: a doubtful letter takes the case of the rest of its word when that
  // was the recogniser's second choice; a first letter is only made a capital.
  EXPECT_EQ(withDoubtfulCaseOfItsWord(readingOf("turN to", {{3, 0.67f, "n"}})), "turn to");
  EXPECT_EQ(withDoubtfulCaseOfItsWord(readingOf("kNOWS", {{0, 0.6f, "K"}})), "KNOWS");
  EXPECT_EQ(withDoubtfulCaseOfItsWord(readingOf("Kiss", {{0, 0.6f, "k"}})), "Kiss");
  EXPECT_EQ(withDoubtfulCaseOfItsWord(readingOf("PIaNO", {{2, 0.86f, "A"}, {3, 0.79f, "w"}})),
            "PIANO");
  EXPECT_EQ(withDoubtfulCaseOfItsWord(readingOf("turN", {{3, 0.95f, "n"}})), "turN");
  EXPECT_EQ(withDoubtfulCaseOfItsWord(readingOf("iPhone")), "iPhone");
  // A word the recogniser is sure of keeps its case, mixed or not.
  EXPECT_EQ(withDoubtsReadFrom(readingOf("on iPhone"), "on iphone"), "on iPhone");
  // Characters that don't follow the emissions one to one leave the reading as it is.
  DecodedText degrees = readingOf("16°C", {{0, 0.5f, "l"}});
  degrees.emissions.pop_back();
  EXPECT_EQ(withDoubtsReadFrom(degrees, "l6°C"), "16°C");
}

TEST(TextDecoding, InkOfALineInTwoColoursHoldsBothInks) {
  // A dim red word beside white ones on black, and the same line as dark ink on paper: every
  // column with a stroke holds ink, and the ink's band is the strokes' height.
  for (const bool onBlack : {true, false}) {
    SCOPED_TRACE(onBlack ? "on black" : "on paper");
    const cv::Scalar paper = onBlack ? cv::Scalar(0, 0, 0) : cv::Scalar(240, 245, 245);
    cv::Mat line(48, 700, CV_8UC3, paper);
    const cv::Scalar red(30, 30, 150), other = onBlack ? cv::Scalar(235, 235, 235) : red;
    cv::putText(line, "centimes", {10, 36}, cv::FONT_HERSHEY_SIMPLEX, 1.2, red, 2, cv::LINE_AA);
    cv::putText(line, "Ticket", {250, 36}, cv::FONT_HERSHEY_SIMPLEX, 1.2, other, 4, cv::LINE_AA);
    cv::putText(line, "Restaurant", {420, 36}, cv::FONT_HERSHEY_SIMPLEX, 1.2, other, 4,
                cv::LINE_AA);
    // The strokes' cores: some channel at least 100 levels from the paper's.
    cv::Mat difference, stroke;
    cv::absdiff(line, paper, difference);
    cv::reduce(difference.reshape(1, int(line.total())), stroke, 1, cv::REDUCE_MAX);
    stroke = stroke.reshape(1, line.rows) >= 100;
    const InkProfile ink = inkProfile(line);
    ASSERT_EQ(ink.columns.size(), size_t(line.cols));
    int missed = 0;
    for (int x = 0; x < line.cols; ++x)
      missed += cv::countNonZero(stroke.col(x)) > 0 && ink.columns[size_t(x)] == 0;
    EXPECT_EQ(missed, 0);
    const cv::Rect strokes = cv::boundingRect(stroke);
    EXPECT_NEAR(ink.inkHeight, strokes.height, 3);
  }
}

TEST(TextDecoding, InkOfHeavyLettersTheBoxCutsIsToldOnTheirSurroundings) {
  // Heavy dark letters on a light blue ground, the line's box cutting their tops and bottoms:
  // within the box, ink is the larger part. Told apart on the line with its surroundings, the
  // gaps between the letters are free of ink and the letters' columns full.
  const cv::Scalar ground(200, 190, 100), ink(20, 20, 20);
  cv::Mat surround(80, 200, CV_8UC3, ground);
  const std::vector<std::pair<int, int>> letters = {{8, 40}, {46, 78}, {84, 116}, {140, 172}};
  for (const auto& [from, to] : letters)
    cv::rectangle(surround, cv::Point(from, 16), cv::Point(to - 1, 63), ink, cv::FILLED);
  const cv::Rect line(0, 20, 200, 40);
  for (const bool whole : {false, true}) {
    SCOPED_TRACE(whole ? "with surroundings" : "the box alone");
    const InkProfile profile =
        whole ? inkProfile(surround, line) : inkProfile(surround(line).clone());
    ASSERT_EQ(profile.columns.size(), size_t(line.width));
    if (!whole) {
      // Alone, the box's ground is taken for ink: the gaps are full.
      EXPECT_GT(profile.columns[43], 0);
      continue;
    }
    EXPECT_EQ(profile.inkHeight, line.height);
    for (int x = 0; x < line.width; ++x) {
      const bool inLetter = std::any_of(letters.begin(), letters.end(), [x](const auto& l) {
        return x >= l.first && x < l.second;
      });
      EXPECT_EQ(profile.columns[size_t(x)], inLetter ? line.height : 0) << x;
    }
  }
}

TEST(TextDecoding, LinesAreReadRowsThenColumnsAndWordsJoinByTheirGapAndHeight) {
  // Boxes in a top-left frame: a row of two whose tops differ by a few pixels, then a lower one.
  const std::vector<Rect> boxes = {
      {300, 104, 100, 30}, {10, 200, 100, 30}, {20, 100, 100, 30}, {500, 98, 80, 30}};
  EXPECT_EQ(readingOrder(boxes, 10), (std::vector<size_t>{2, 0, 3, 1}));

  // Detector boxes (top-left frame) from real posters. A typewriter face at display size: words
  // a little more than a line's height apart, and a lone "a" lower than the words beside it.
  EXPECT_EQ(groupIntoLines({{129, 178, 193, 51}, {362, 179, 106, 51}, {513, 189, 41, 38}}),
            (std::vector<std::vector<size_t>>{{0, 1, 2}}));
  EXPECT_EQ(groupIntoLines({{103, 340, 143, 52}, {299, 339, 261, 50}}),
            (std::vector<std::vector<size_t>>{{0, 1}}));
  // A name set in two stacked lines close beside a word more than twice as high, and a drawing
  // twice as high as the line beside it: each stays apart.
  EXPECT_EQ(groupIntoLines({{44, 229, 341, 113}, {432, 224, 238, 47}, {433, 278, 238, 43}}),
            (std::vector<std::vector<size_t>>{{0}, {1}, {2}}));
  EXPECT_EQ(groupIntoLines({{42, 47, 291, 106}, {392, 31, 253, 214}}),
            (std::vector<std::vector<size_t>>{{0}, {1}}));
  // The middle of a large T that the detector marked apart, touching the rest of its word, is
  // part of it however much lower.
  EXPECT_EQ(groupIntoLines({{126, 267, 181, 167}, {308, 130, 637, 423}}),
            (std::vector<std::vector<size_t>>{{0, 1}}));
  // Words two line heights apart are not one line.
  EXPECT_EQ(groupIntoLines({{0, 0, 200, 50}, {300, 0, 200, 50}}),
            (std::vector<std::vector<size_t>>{{0}, {1}}));
}

// A detected line along a rectangle centred at (x, y), w x h, turned by `slope` radians.
DetectedLine detected(float x, float y, float w, float h, float slope) {
  const cv::Point2f along(std::cos(slope) / 2, std::sin(slope) / 2), down(-along.y, along.x);
  const cv::Point2f c(x, y);
  DetectedLine line;
  line.corners = {c - w * along - h * down, c + w * along - h * down, c + w * along + h * down,
                  c - w * along + h * down};
  const cv::Rect2f box =
      cv::boundingRect(std::vector<cv::Point2f>(line.corners.begin(), line.corners.end()));
  line.box = Rect{box.x, box.y, box.width, box.height};
  return line;
}

TEST(TextDecoding, AShortWordTheDetectorTiltsJoinsTheLevelWordBesideIt) {
  // "Primus 10kg" in heavy type: the detector tilts the box of "10kg" by 0.113 radians.
  const DetectedLine primus = detected(464, 640, 354, 81, 0);
  const DetectedLine figures = detected(778, 646, 240, 95, 0.113f);
  std::vector<DetectedLine> lines = joinedWords({primus, figures});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].level());
  EXPECT_NEAR(lines[0].box.minX(), primus.box.minX(), 1);
  EXPECT_NEAR(lines[0].box.maxX(), figures.box.maxX(), 1);
  // Alone, or beside another tilted word, it keeps its slope; so does a long line that slopes.
  EXPECT_EQ(joinedWords({figures}).front().corners, figures.corners);
  lines = joinedWords({figures, detected(1000, 670, 160, 95, 0.113f)});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_FALSE(lines[0].level() || lines[1].level());
  lines = joinedWords({primus, detected(900, 660, 400, 95, 0.113f)});
  EXPECT_EQ(lines.size(), 2u);
}

TEST(TextDecoding, ALinesEndsTakeInTheLettersItsBoxCutsAndNothingElse) {
  // Block letters 30 pixels high and 4 apart on a box 40 high: "letters" (count, width) from x.
  for (const bool dark : {true, false}) {
    SCOPED_TRACE(dark ? "dark ink" : "light ink");
    const uint8_t paper = dark ? 200 : 30, ink = dark ? 20 : 230;
    auto page = [&] { return cv::Mat(200, 700, CV_8U, cv::Scalar(paper)); };
    auto letters = [&](cv::Mat& grey, int x, int count, int width) {
      for (int i = 0; i < count; ++i, x += width + 4) {
        grey(cv::Rect(x, 85, width, 30)).setTo(ink);
        grey(cv::Rect(x + 3, 95, width - 6, 10)).setTo(paper);  // a counter
      }
      return x - 4;
    };
    const cv::Rect box(100, 80, 140, 40);
    cv::Mat grey = page();
    // A thin first letter just left of the box, and the box's last letter cut in half.
    grey(cv::Rect(94, 85, 4, 30)).setTo(ink);
    int end = letters(grey, 102, 8, 16);
    EXPECT_EQ(inkEnds(grey, box + cv::Size(10, 0)), (std::pair<int, int>{94, end}));
    // A box of small type keeps its ends.
    EXPECT_EQ(inkEnds(grey, cv::Rect(100, 90, 150, 16)), (std::pair<int, int>{100, 250}));
    // A swash that runs on from the box's last letter beyond a letter's width is no letter, nor
    // is a frame it runs into.
    grey(cv::Rect(end, 100, 60, 6)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, box + cv::Size(10, 0)), (std::pair<int, int>{94, 250}));
    grey(cv::Rect(end, 0, 200, 200)).setTo(paper);
    grey(cv::Rect(end, 0, 12, 200)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, box + cv::Size(10, 0)), (std::pair<int, int>{94, 250}));
    // A rule a letter gap after the line, a word a word space before it: the box stays.
    grey = page();
    letters(grey, 20, 3, 16);
    end = letters(grey, 102, 8, 14);
    grey(cv::Rect(end + 4, 98, 400, 4)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, cv::Rect(100, 80, end - 100 + 2, 40)),
              (std::pair<int, int>{100, end + 2}));
    // Heavy letters whose middle rows are mostly ink, near the picture's edge with nothing
    // beside them: the box stays.
    grey = page();
    for (int x = 12; x < 130; x += 22) grey(cv::Rect(x, 85, 20, 30)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, box - cv::Point(90, 0)), (std::pair<int, int>{10, 150}));
    // Two small lines stacked close before the line (a label) are not a letter of it.
    grey = page();
    letters(grey, 102, 7, 14);
    grey(cv::Rect(60, 86, 36, 10)).setTo(ink);
    grey(cv::Rect(60, 104, 36, 10)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, box), (std::pair<int, int>{100, 240}));
    // A solid square a letter gap after the line (a block of colour) is not a letter, nor is a
    // photo running on beside it or into the picture's edge.
    grey = page();
    letters(grey, 102, 7, 14);
    grey(cv::Rect(228, 70, 30, 60)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, box), (std::pair<int, int>{100, 240}));
    grey(cv::Rect(228, 60, 300, 100)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, box), (std::pair<int, int>{100, 240}));
    grey(cv::Rect(0, 60, 96, 100)).setTo(ink);
    EXPECT_EQ(inkEnds(grey, box), (std::pair<int, int>{100, 240}));
  }
}

}  // namespace
}  // namespace plumvane
