#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "fresh_directory.h"
#include "platform/image_file.h"
#include "platform/png_writer.h"

namespace plumvane {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spill(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A 40 x 20 BGR picture: left half pure blue-ish (B 200, G 100, R 50), right half white.
cv::Mat twoTone() {
  cv::Mat bgr(20, 40, CV_8UC3, cv::Scalar(200, 100, 50));
  bgr(cv::Rect(20, 0, 20, 20)).setTo(cv::Scalar(255, 255, 255));
  return bgr;
}

class ImageFiles : public ::testing::Test {
 protected:
  std::string dir = testing::freshDirectory();
  std::string path(const std::string& name) const { return dir + "/" + name; }
};

TEST_F(ImageFiles, DecodesEachFormatAsRgba) {
  struct Case {
    std::string name;
    float tolerance;  // lossy formats decode near the original
  };
  for (const Case& c : {Case{"a.png", 0}, Case{"a.jpg", 6 / 255.f}, Case{"a.tiff", 0},
                        Case{"a.webp", 0}, Case{"a.bmp", 0}}) {
    std::vector<int> params;
    if (c.name == "a.webp") params = {cv::IMWRITE_WEBP_QUALITY, 101};  // lossless
    ASSERT_TRUE(cv::imwrite(path(c.name), twoTone(), params)) << c.name;
    const auto image = decodePicture(path(c.name));
    ASSERT_TRUE(image) << c.name;
    EXPECT_EQ(image->extent(), (Rect{0, 0, 40, 20})) << c.name;
    const Pixel& left = image->at(5, 10);
    EXPECT_NEAR(left.r, 50 / 255.f, c.tolerance + 1e-6) << c.name;
    EXPECT_NEAR(left.g, 100 / 255.f, c.tolerance + 1e-6) << c.name;
    EXPECT_NEAR(left.b, 200 / 255.f, c.tolerance + 1e-6) << c.name;
    EXPECT_EQ(left.a, 1.0f) << c.name;
    EXPECT_NEAR(image->at(35, 10).r, 1.0f, c.tolerance + 1e-6) << c.name;
  }
}

TEST_F(ImageFiles, DecodesGreySixteenBitAndAlpha) {
  cv::Mat grey(2, 3, CV_8UC1, cv::Scalar(51));
  ASSERT_TRUE(cv::imwrite(path("grey.png"), grey));
  auto image = decodePicture(path("grey.png"));
  ASSERT_TRUE(image);
  EXPECT_NEAR(image->at(2, 1).r, 0.2f, 1e-6);
  EXPECT_EQ(image->at(2, 1).r, image->at(2, 1).b);
  EXPECT_EQ(image->at(2, 1).a, 1.0f);

  cv::Mat deep(2, 3, CV_16UC3, cv::Scalar(65535, 0, 13107));  // B, G, R
  ASSERT_TRUE(cv::imwrite(path("deep.png"), deep));
  image = decodePicture(path("deep.png"));
  ASSERT_TRUE(image);
  EXPECT_NEAR(image->at(0, 0).r, 0.2f, 1e-6);
  EXPECT_NEAR(image->at(0, 0).b, 1.0f, 1e-6);

  cv::Mat withAlpha(2, 3, CV_8UC4, cv::Scalar(0, 0, 255, 51));  // red at alpha 0.2
  ASSERT_TRUE(cv::imwrite(path("alpha.png"), withAlpha));
  image = decodePicture(path("alpha.png"));
  ASSERT_TRUE(image);
  const Pixel p = image->at(1, 1);
  EXPECT_NEAR(p.r, 0.2f, 1e-6);  // premultiplied
  EXPECT_NEAR(p.a, 0.2f, 1e-6);
  EXPECT_EQ(p.g, 0.0f);
}

TEST_F(ImageFiles, TakesTheFirstPageOfAMultiPageTiff) {
  const std::vector<cv::Mat> pages = {cv::Mat(4, 6, CV_8UC3, cv::Scalar(0, 0, 255)),
                                      cv::Mat(8, 8, CV_8UC3, cv::Scalar(255, 0, 0))};
  ASSERT_TRUE(cv::imwritemulti(path("pages.tiff"), pages));
  const auto image = decodePicture(path("pages.tiff"));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->extent(), (Rect{0, 0, 6, 4}));
  EXPECT_EQ(image->at(0, 0), (Pixel{1, 0, 0, 1}));
}

TEST_F(ImageFiles, IgnoresOrientationMetadata) {
  // A JPEG with an EXIF orientation of 6 (turn a quarter clockwise to display) keeps its stored
  // 40 x 20 layout.
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", twoTone(), jpeg));
  const unsigned char exif[] = {
      0xFF, 0xE1, 0x00, 0x22, 'E',  'x',  'i',  'f',  0,    0,           // APP1, length 34
      'M',  'M',  0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,                    // TIFF header
      0x00, 0x01,                                                        // one entry
      0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0, 0,  // orientation 6
      0x00, 0x00, 0x00, 0x00};                                           // no next IFD
  std::string bytes(jpeg.begin(), jpeg.begin() + 2);
  bytes.append(reinterpret_cast<const char*>(exif), sizeof exif);
  bytes.append(jpeg.begin() + 2, jpeg.end());
  spill(path("turned.jpg"), bytes);
  ASSERT_EQ(cv::imread(path("turned.jpg")).cols, 20) << "the EXIF block must be read";
  const auto image = decodePicture(path("turned.jpg"));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->extent(), (Rect{0, 0, 40, 20}));
}

TEST_F(ImageFiles, RejectsMissingTextAndTruncatedFiles) {
  EXPECT_FALSE(decodePicture(path("missing.png")));
  EXPECT_FALSE(decodePicture(dir));
  spill(path("notes.txt"), "these are words, not pixels\n");
  EXPECT_FALSE(decodePicture(path("notes.txt")));
  spill(path("notes.png"), "these are words, not pixels\n");
  EXPECT_FALSE(decodePicture(path("notes.png")));
  spill(path("empty.jpg"), "");
  EXPECT_FALSE(decodePicture(path("empty.jpg")));

  cv::Mat noise(64, 64, CV_8UC3);
  cv::randu(noise, 0, 255);
  for (const std::string name : {"cut.png", "cut.jpg"}) {
    ASSERT_TRUE(cv::imwrite(path(name), noise));
    const std::string whole = slurp(path(name));
    spill(path(name), whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(decodePicture(path(name))) << name;
  }
}

TEST_F(ImageFiles, PngRoundTripsGiveTheExactBytesBack) {
  std::vector<uint8_t> grey(37 * 11), rgba(37 * 11 * 4);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint8_t(i * 7);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 13 + 1);
  ASSERT_FALSE(writePng(path("grey.png"), {grey.data(), 37, 11, 1}, {false, 1}));
  ASSERT_FALSE(writePng(path("rgba.png"), {rgba.data(), 37, 11, 4}));

  const cv::Mat greyBack = cv::imread(path("grey.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(greyBack.type(), CV_8UC1);
  EXPECT_EQ(std::vector<uint8_t>(greyBack.datastart, greyBack.dataend), grey);
  cv::Mat rgbaBack = cv::imread(path("rgba.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(rgbaBack.type(), CV_8UC4);
  cv::cvtColor(rgbaBack, rgbaBack, cv::COLOR_BGRA2RGBA);
  EXPECT_EQ(std::vector<uint8_t>(rgbaBack.datastart, rgbaBack.dataend), rgba);

  // The RGBA file carries an sRGB chunk; the grey one was asked not to.
  EXPECT_NE(slurp(path("rgba.png")).find("sRGB"), std::string::npos);
  EXPECT_EQ(slurp(path("grey.png")).find("sRGB"), std::string::npos);
  // Files get ordinary permissions, not those of a private temporary file.
  EXPECT_EQ(access(path("rgba.png").c_str(), R_OK), 0);
  const auto perms = std::filesystem::status(path("rgba.png")).permissions();
  EXPECT_NE(perms & std::filesystem::perms::others_read, std::filesystem::perms::none);
}

TEST_F(ImageFiles, PngFailuresReportTheSystemErrorAndLeaveNoFile) {
  const uint8_t pixel[4] = {1, 2, 3, 4};
  const PngPixels one{pixel, 1, 1, 4};
  EXPECT_EQ(writePng(path("missing/a.png"), one), "No such file or directory");
  spill(path("plain"), "x");
  EXPECT_EQ(writePng(path("plain/a.png"), one), "Not a directory");
  std::filesystem::create_directory(path("taken.png"));
  EXPECT_EQ(writePng(path("taken.png"), one), "Is a directory");
  // Nothing is left behind under a temporary name.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 2u);  // plain, taken.png

  // A file is replaced whole.
  spill(path("old.png"), std::string(100000, 'x'));
  ASSERT_FALSE(writePng(path("old.png"), one));
  EXPECT_TRUE(decodePicture(path("old.png")));
}

}  // namespace
}  // namespace plumvane
