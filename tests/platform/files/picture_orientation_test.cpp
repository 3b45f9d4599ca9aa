// Pictures are decoded upright, as their orientation tag says they are to be shown.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "picture_files.h"
#include "platform/files/picture_file.h"

namespace plumvane {
namespace {

using namespace testing;

// A 40 x 20 picture of four flat quadrants, to see any turn or mirror.
cv::Mat quadrants() {
  cv::Mat bgr(20, 40, CV_8UC3, cv::Scalar(40, 40, 220));           // top left red
  bgr(cv::Rect(20, 0, 20, 10)).setTo(cv::Scalar(40, 200, 40));     // top right green
  bgr(cv::Rect(0, 10, 20, 10)).setTo(cv::Scalar(220, 60, 20));     // bottom left blue
  bgr(cv::Rect(20, 10, 20, 10)).setTo(cv::Scalar(250, 250, 250));  // bottom right white
  return bgr;
}

// The pixels a file tagged with EXIF orientation `o` stores for the upright picture, from the
// tag's definition: which side of the picture as shown its stored first row and first column are.
cv::Mat storedFor(const cv::Mat& upright, int o) {
  enum Side { top, bottom, left, right };
  const Side firstRow[] = {top, top, bottom, bottom, left, right, right, left};
  const Side firstColumn[] = {left, right, right, left, top, top, bottom, bottom};
  const Side row = firstRow[o - 1], column = firstColumn[o - 1];
  const int w = upright.cols, h = upright.rows;
  const bool turned = row == left || row == right;
  cv::Mat stored(turned ? w : h, turned ? h : w, upright.type());
  for (int sy = 0; sy < stored.rows; ++sy) {
    for (int sx = 0; sx < stored.cols; ++sx) {
      const int x = turned ? (row == left ? sy : w - 1 - sy) : (column == left ? sx : w - 1 - sx);
      const int y = turned ? (column == top ? sx : h - 1 - sx) : (row == top ? sy : h - 1 - sy);
      stored.at<cv::Vec3b>(sy, sx) = upright.at<cv::Vec3b>(y, x);
    }
  }
  return stored;
}

// A JPEG of the picture with an APP1 EXIF segment of one IFD entry: the orientation tag, given
// as a SHORT of `value`.
std::string jpegWithOrientation(const cv::Mat& bgr, int value) {
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95});
  // APP1 of length 34, a big-endian TIFF header, one entry (tag 0x112, SHORT, count 1) and no
  // next IFD.
  std::string exif(
      "\xFF\xE1\x00\x22"
      "Exif\0\0MM\x00\x2A\x00\x00\x00\x08"
      "\x00\x01\x01\x12\x00\x03\x00\x00\x00\x01\x00\x00\x00\x00"
      "\x00\x00\x00\x00",
      36);
  exif[28] = char(value >> 8);
  exif[29] = char(value);
  std::string bytes(jpeg.begin(), jpeg.begin() + 2);
  bytes += exif;
  bytes.append(jpeg.begin() + 2, jpeg.end());
  return bytes;
}

void expectUpright(const std::optional<Image>& image, const std::string& name) {
  ASSERT_TRUE(image) << name;
  ASSERT_EQ(image->extent(), (Rect{0, 0, 40, 20})) << name;
  for (const auto& [x, y] : {std::pair{9, 4}, {30, 4}, {9, 15}, {30, 15}}) {
    const cv::Vec3b want = quadrants().at<cv::Vec3b>(y, x);
    const Pixel got = image->at(x, y);
    EXPECT_NEAR(got.r * 255, want[2], 6) << name << " at " << x << "," << y;
    EXPECT_NEAR(got.g * 255, want[1], 6) << name << " at " << x << "," << y;
    EXPECT_NEAR(got.b * 255, want[0], 6) << name << " at " << x << "," << y;
  }
}

TEST_F(PictureFiles, TurnsPicturesUprightAsTheirOrientationSays) {
  // Each of the eight orientations in JPEG, PNG, TIFF and WebP, tagged by exiftool (in one run:
  // it is slow to start): decoded, each is the upright picture.
  const std::vector<std::string> formats = {"jpg", "png", "tiff", "webp"};
  std::string arguments;
  for (int o = 1; o <= 8; ++o) {
    arguments += "-q\n-overwrite_original\n-n\n-Orientation=" + std::to_string(o) + "\n";
    for (const std::string& format : formats) {
      const std::string name = cv::format("o%d.%s", o, format.c_str());
      ASSERT_TRUE(cv::imwrite(path(name), storedFor(quadrants(), o))) << name;
      arguments += name + "\n";
    }
    if (o < 8) arguments += "-execute\n";
  }
  spill(path("arguments"), arguments);
  run("exiftool -@ arguments");
  for (int o = 1; o <= 8; ++o) {
    for (const std::string& format : formats) {
      const std::string name = cv::format("o%d.%s", o, format.c_str());
      expectUpright(decodePicture(path(name)), name);
    }
  }
  // A missing tag, 1, 0, 9 and a value of the wrong type leave the picture as stored, and so
  // does EXIF data whose IFD lies beyond its segment.
  ASSERT_TRUE(cv::imwrite(path("plain.jpg"), quadrants()));
  expectUpright(decodePicture(path("plain.jpg")), "plain.jpg");
  for (const int value : {1, 0, 9, 0x106}) {
    spill(path("tagged.jpg"), jpegWithOrientation(quadrants(), value));
    expectUpright(decodePicture(path("tagged.jpg")), "orientation " + std::to_string(value));
  }
  std::string damaged = jpegWithOrientation(storedFor(quadrants(), 6), 6);
  damaged[17] = 0x40;  // the IFD's offset
  spill(path("damaged.jpg"), damaged);
  const auto image = decodePicture(path("damaged.jpg"));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->extent(), (Rect{0, 0, 20, 40}));
  // HEIF's own rotation is applied once: an EXIF orientation in the file does not turn it again.
  ASSERT_TRUE(cv::imwrite(path("plain.png"), quadrants()));
  run("heif-enc -L -p chroma=444 plain.png -o plain.heic");
  run("exiftool -q -overwrite_original -n -Orientation=6 plain.heic");
  expectUpright(decodePicture(path("plain.heic")), "plain.heic");
}

}  // namespace
}  // namespace plumvane
