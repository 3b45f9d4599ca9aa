// Writing PNG files: exact bytes at any width, whole files, and targets that are not plain files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "picture_files.h"
#include "platform/files/picture_file.h"
#include "platform/files/png_file.h"

namespace plumvane {
namespace {

using namespace testing;

TEST_F(PictureFiles, PngRoundTripsGiveTheExactBytesBack) {
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
  // A strip wider than libpng's default limit of a million pixels a side is written and read
  // back whole (refused, a panorama's cut-out failed only when it was to be written).
  std::vector<uint8_t> strip(1'100'000 * 2);
  for (size_t i = 0; i < strip.size(); ++i) strip[i] = uint8_t(i % 251);
  ASSERT_FALSE(writePng(path("strip.png"), {strip.data(), 1'100'000, 2, 1}, {false, 1}));
  const std::optional<Image> stripBack = decodePicture(path("strip.png"));
  ASSERT_TRUE(stripBack);
  EXPECT_EQ(stripBack->width, 1'100'000);
  EXPECT_EQ(stripBack->height, 2);
  for (const int x : {0, 999'999, 1'099'999}) {
    EXPECT_EQ(std::lround(stripBack->at(x, 1).r * 255), strip[1'100'000 + size_t(x)]) << x;
  }

  // Files get ordinary permissions, not those of a private temporary file.
  EXPECT_EQ(access(path("rgba.png").c_str(), R_OK), 0);
  const auto perms = std::filesystem::status(path("rgba.png")).permissions();
  EXPECT_NE(perms & std::filesystem::perms::others_read, std::filesystem::perms::none);
}

TEST_F(PictureFiles, PngFailuresReportTheSystemErrorAndTargetsNeedNotBePlainFiles) {
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

  // Through a link, the file it leads to is replaced and the link stays.
  std::filesystem::create_directory(path("real"));
  std::filesystem::create_symlink("real/target.png", path("link.png"));
  ASSERT_FALSE(writePng(path("link.png"), one));
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.png")));
  EXPECT_TRUE(decodePicture(path("real/target.png")));

  // A replaced file keeps its permissions; a read-only one is refused, even for the superuser.
  spill(path("private.png"), "x");
  std::filesystem::permissions(path("private.png"), std::filesystem::perms(0600));
  ASSERT_FALSE(writePng(path("private.png"), one));
  EXPECT_EQ(std::filesystem::status(path("private.png")).permissions(),
            std::filesystem::perms(0600));
  spill(path("locked.png"), "x");
  std::filesystem::permissions(path("locked.png"), std::filesystem::perms(0444));
  EXPECT_EQ(writePng(path("locked.png"), one), "Permission denied");
  EXPECT_EQ(slurp(path("locked.png")), "x");

  // A pipe gets the picture written into it; a device too.
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = slurp(path("pipe")); });
  EXPECT_FALSE(writePng(path("pipe"), one));
  reader.join();
  EXPECT_EQ(received.substr(1, 3), "PNG");
  EXPECT_TRUE(std::filesystem::is_fifo(path("pipe")));
  EXPECT_FALSE(writePng("/dev/null", one));
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

}  // namespace
}  // namespace plumvane
