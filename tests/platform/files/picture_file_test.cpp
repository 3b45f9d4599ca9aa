// Reading picture files: pages, and the files that must be refused.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "picture_files.h"
#include "platform/files/picture_file.h"

namespace plumvane {
namespace {

using namespace testing;

TEST_F(PictureFiles, HugeDeclaredSizesAreRefusedUnread) {
  // Headers that claim far more pixels than the files hold, each followed by a little data.
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", bands(), jpeg));
  std::string bigJpeg(jpeg.begin(), jpeg.end());
  const size_t frame = bigJpeg.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  bigJpeg.replace(frame + 5, 4, "\x75\x30\x75\x30");  // 30000 x 30000
  const std::string tail(2000, '\0');
  const std::map<std::string, std::string> files = {
      {"huge.jpg", bigJpeg},
      {"huge.png",
       std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x7f\xff\0\0\x7f\xff\x08\0\0\0\0", 29) +
           tail},
      {"huge.webp", std::string("RIFF\x1a\0\0\0WEBPVP8L\x0d\0\0\0\x2f\xfe\xff\xff\x0f", 25) + tail},
      {"huge.gif", std::string("GIF89a\xff\xff\xff\xff\0\0\0", 13) + tail},
      {"huge.bmp",
       std::string("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x20\x4e\0\0\x20\x4e\0\0\x01\0\x18\0",
                   30) +
           tail},
      {"huge.ppm", "P6 20000 20000 255\n" + tail},
      // Sides whose product overflows 64 bits.
      {"huge.ras", std::string("\x59\xA6\x6A\x95\xff\xd8\xff\x49\xff\xd4\xe0\x00", 12) + tail},
      // Sides within the pixel limit, but far fewer bytes than such a picture takes.
      {"short.ppm", "P6 10000 10000 255\n" + tail},
      {"short.pam", "P7\nWIDTH 10000\nHEIGHT 10000\nDEPTH 4\nMAXVAL 65535\nENDHDR\n" + tail},
      {"short.pfm", "PF\n10000 10000\n-1.0\n" + tail},
      {"short.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 10000 +X 10000\n" + tail},
      {"short.bmp",
       std::string("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x10\x27\0\0\x10\x27\0\0\x01\0\x18\0",
                   30) +
           std::string(24, '\0') + tail},
      {"short.ras",
       std::string(
           "\x59\xA6\x6A\x95\0\0\x27\x10\0\0\x27\x10\0\0\0\x18\0\0\0\0\0\0\0\2\0\0\0\0\0\0\0\0",
           32) +
           tail},
  };
  for (const auto& [name, bytes] : files) {
    spill(path(name), bytes);
    EXPECT_FALSE(decodePicture(path(name))) << name;
  }
  // Not one of them was decoded: the process never grew near the size of such a picture.
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 1 << 20) << "peak resident KB";
}

TEST_F(PictureFiles, TakesTheFirstPageOfAMultiPageTiff) {
  const std::vector<cv::Mat> pages = {cv::Mat(4, 6, CV_8UC3, cv::Scalar(0, 0, 255)),
                                      cv::Mat(8, 8, CV_8UC3, cv::Scalar(255, 0, 0))};
  ASSERT_TRUE(cv::imwritemulti(path("pages.tiff"), pages));
  const auto image = decodePicture(path("pages.tiff"));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->extent(), (Rect{0, 0, 6, 4}));
  EXPECT_EQ(image->at(0, 0), (Pixel{1, 0, 0, 1}));
}

TEST_F(PictureFiles, RejectsMissingAndTextFilesButNotAJpegWithoutItsEndMarker) {
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
  // A JPEG that lacks only its end marker has every row: it is whole. (Files cut short in their
  // pixels are refused in the formats' own test.)
  ASSERT_TRUE(cv::imwrite(path("open.jpg"), noise));
  const std::string open = slurp(path("open.jpg"));
  spill(path("open.jpg"), open.substr(0, open.size() - 2));
  EXPECT_TRUE(decodePicture(path("open.jpg")));
}

}  // namespace
}  // namespace plumvane
