// Every listed format, read by decoders of our own or by the format libraries: each file gives
// the picture that OpenCV's own reader gave, or the picture it was made from, and is refused
// when cut short; pages, the files that must be refused, and pictures turned upright as their
// orientation tag says they are to be shown.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "picture_files.h"
#include "platform/files/picture_file.h"

namespace plumvane {
namespace {

using namespace testing;

// What a picture in OpenCV's layout shows at (x, y): straight RGBA in 0..1, values clamped.
std::array<float, 4> shown(const cv::Mat& m, int x, int y) {
  cv::Mat pixel;
  const double scale = m.depth() == CV_8U ? 1 / 255.0 : m.depth() == CV_16U ? 1 / 65535.0 : 1;
  m(cv::Rect(x, y, 1, 1)).convertTo(pixel, CV_32F, scale);
  const float* v = pixel.ptr<float>();
  auto unit = [](float f) { return std::clamp(f, 0.0f, 1.0f); };
  switch (m.channels()) {
    case 1:
      return {unit(v[0]), unit(v[0]), unit(v[0]), 1};
    case 2:
      return {unit(v[0]), unit(v[0]), unit(v[0]), unit(v[1])};
    case 3:
      return {unit(v[2]), unit(v[1]), unit(v[0]), 1};
    default:
      return {unit(v[2]), unit(v[1]), unit(v[0]), unit(v[3])};
  }
}

// A 40 x 20 BMP of the bands in RLE8: runs of one index, line ends and the end mark. Each row's
// last run goes a pixel past its end, as writers that code a row's padding do.
std::string runLengthBmp() {
  const cv::Mat picture = bands();
  std::string data;
  for (int y = picture.rows - 1; y >= 0; --y) {  // the bottom row first
    data += std::string("\x05\x00\x05\x01\x05\x02\x05\x03\x05\x04\x05\x05\x05\x06\x06\x07", 16);
    data += std::string(y == 0 ? "\0\1" : "\0\0", 2);
  }
  std::string palette;
  for (int i = 0; i < 8; ++i) {
    const cv::Vec3b c = picture.at<cv::Vec3b>(0, i * 5);
    palette += std::string{char(c[0]), char(c[1]), char(c[2]), 0};
  }
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += char(v >> (8 * i));
    return s;
  };
  const uint32_t offset = 14 + 40 + uint32_t(palette.size());
  return "BM" + le(offset + uint32_t(data.size()), 4) + le(0, 4) + le(offset, 4) + le(40, 4) +
         le(40, 4) + le(20, 4) + le(1, 2) + le(8, 2) + le(1, 4) + le(uint32_t(data.size()), 4) +
         le(0, 4) + le(0, 4) + le(8, 4) + le(0, 4) + palette + data;
}

TEST_F(PictureFiles, EachFormatDecodesAsOpenCvDidAndRefusesDamage) {
  cv::Mat deep, floating, withAlpha, grey;
  bands().convertTo(deep, CV_16UC3, 257);
  deep(cv::Rect(0, 0, 5, 20)).setTo(cv::Scalar(1, 30000, 65534));
  bands().convertTo(floating, CV_32FC3, 1 / 255.0);
  floating(cv::Rect(0, 0, 5, 20)).setTo(cv::Scalar(0.25, 3.0, 0.5));  // above 1 comes out as 1
  cv::cvtColor(bands(), withAlpha, cv::COLOR_BGR2BGRA);
  withAlpha(cv::Rect(10, 0, 10, 20)).setTo(cv::Scalar(40, 80, 120, 100));
  cv::cvtColor(bands(), grey, cv::COLOR_BGR2GRAY);
  ASSERT_TRUE(cv::imwrite(path("a.png"), bands()));
  ASSERT_TRUE(cv::imwrite(path("a.jpg"), bands()));
  ASSERT_TRUE(cv::imwrite(path("alpha.png"), withAlpha));
  // What each file should show: the picture it was made from, or what OpenCV read from it (not
  // for PAM, whose red and blue OpenCV swapped).
  std::vector<std::pair<std::string, cv::Mat>> files = {
      {"a.png", bands()},       {"a.jpg", cv::Mat()},      {"a.tiff", bands()},
      {"a.bmp", bands()},       {"a.webp", bands()},       {"a.gif", bands()},
      {"a.heic", bands()},      {"a.avif", bands()},       {"alpha.heic", withAlpha},
      {"a.ppm", bands()},       {"a.pgm", grey},           {"deep.ppm", deep},
      {"a.pfm", floating},      {"a.hdr", cv::Mat()},      {"a.jp2", cv::Mat()},
      {"deep.tiff", deep},      {"float.tiff", cv::Mat()}, {"alpha.webp", withAlpha},
      {"pal8.bmp", cv::Mat()},  {"555.bmp", cv::Mat()},    {"bgra.bmp", cv::Mat()},
      {"mono.bmp", cv::Mat()},  {"rle.bmp", bands()},      {"a.ras", bands()},
      {"pal8.ras", cv::Mat()},  {"alpha.pam", withAlpha},  {"mono.pbm", cv::Mat()},
      {"alpha.png", withAlpha}, {"deep.png", deep},        {"ya8.png", cv::Mat()},
      {"ya8.tiff", cv::Mat()},  {"anim.webp", bands()},
  };
  // OpenCV writes the common formats; ffmpeg, heif-enc and runLengthBmp the rest.
  const auto made = [](const std::string& name) {
    return name == "a.ras" || name == "alpha.pam" || name == "a.gif" || name == "anim.webp" ||
           name == "rle.bmp" || name.ends_with(".heic") || name.ends_with(".avif");
  };
  for (const auto& [name, picture] : files) {
    if (picture.empty() || made(name)) continue;
    const std::vector<int> lossless = {cv::IMWRITE_WEBP_QUALITY, 101};
    ASSERT_TRUE(
        cv::imwrite(path(name), picture, name.ends_with(".webp") ? lossless : std::vector<int>{}))
        << name;
  }
  ASSERT_TRUE(cv::imwrite(path("a.hdr"), floating));
  ASSERT_TRUE(cv::imwrite(path("float.tiff"), floating));
  const std::string ff = "ffmpeg -v error -y -i ";
  run(ff + "a.png -pix_fmt pal8 pal8.bmp && " + ff + "a.png -pix_fmt rgb555le 555.bmp && " + ff +
      "alpha.png -pix_fmt bgra bgra.bmp && " + ff + "a.png -pix_fmt monob mono.bmp && " + ff +
      "a.png -pix_fmt monob mono.pbm && " + ff + "alpha.png -pix_fmt rgba alpha.pam && " + ff +
      "alpha.png -pix_fmt ya8 ya8.png && " + ff + "alpha.png -pix_fmt ya8 ya8.tiff && " + ff +
      "a.png -pix_fmt pal8 pal8.ras && " + ff + "a.png -pix_fmt bgr24 a.ras && " + ff +
      "a.png -c:v jpeg2000 -pred dwt53 a.jp2 && " + ff +
      "a.png -pix_fmt pal8 -rle 0 plain.ras && " + ff +
      "a.png -vf \"split[a][b];[a]palettegen[p];[b][p]paletteuse=dither=none\" a.gif && " + ff +
      "a.png -i alpha.png -filter_complex \"[0][1]concat,format=bgra\" -c:v libwebp_anim " +
      "-lossless 1 anim.webp && " +
      "heif-enc -L -p chroma=444 a.png -o a.heic && heif-enc -A -L -p chroma=444 a.png -o a.avif " +
      "&& heif-enc -L -p chroma=444 alpha.png -o alpha.heic");
  spill(path("rle.bmp"), runLengthBmp());
  for (const auto& [name, picture] : files) {
    // For the palette raster and the grey TIFF (whose alpha OpenCV drops), what OpenCV reads from
    // their plain raster and grey PNG twins.
    const std::string shownBy = name == "pal8.ras"   ? "plain.ras"
                                : name == "ya8.tiff" ? "ya8.png"
                                                     : name;
    const cv::Mat want =
        !picture.empty() ? picture : cv::imread(path(shownBy), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(want.empty()) << name;
    const auto image = decodePicture(path(name));
    ASSERT_TRUE(image) << name;
    ASSERT_EQ(image->extent(), (Rect{0, 0, 40, 20})) << name;
    // OpenCV widened five bits a channel by a shift, which leaves white eight levels short; HEIF
    // codes colour in other terms, and JPEG's decoders may round apart. PNGs, alpha and grey among
    // them, are premultiplied exactly.
    const bool heif = name.ends_with(".heic") || name.ends_with(".avif");
    const float tolerance = name.ends_with(".png") ? 1e-6f
                                                   : (name == "555.bmp"                    ? 9
                                                      : heif                               ? 3
                                                      : name == "a.jp2" || name == "a.jpg" ? 1
                                                                                           : 0.5f) /
                                                         255.f;
    int wrong = 0;
    for (int y = 0; y < 20; y += 3) {
      for (int x = 0; x < 40; ++x) {
        const auto w = shown(want, x, y);
        const Pixel got = image->at(x, y);
        const bool same = std::abs(got.r - w[0] * w[3]) <= tolerance &&
                          std::abs(got.g - w[1] * w[3]) <= tolerance &&
                          std::abs(got.b - w[2] * w[3]) <= tolerance &&
                          std::abs(got.a - w[3]) <= tolerance;
        if (!same && wrong++ < 3) {
          ADD_FAILURE() << name << " at " << x << ", " << y << ": " << got.r << " " << got.g << " "
                        << got.b << " " << got.a << " for " << w[0] << " " << w[1] << " " << w[2]
                        << " " << w[3];
        }
      }
    }
    // The file cut short anywhere in its pixels is refused, at once.
    const std::string whole = slurp(path(name));
    for (const double part : {0.5, 0.9}) {
      spill(path("cut-" + name), whole.substr(0, size_t(double(whole.size()) * part)));
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(decodePicture(path("cut-" + name))) << name << " cut at " << part;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << name;
    }
  }
}

TEST_F(PictureFiles, TellsPicturesStoredLossilyFromLosslessOnes) {
  // WebP is either: its image a VP8 stream (lossy, also after an alpha chunk in the extended
  // layout, or as an animation's first frame) or a lossless one.
  cv::Mat withAlpha;
  cv::cvtColor(bands(), withAlpha, cv::COLOR_BGR2BGRA);
  const std::vector<int> lossless = {cv::IMWRITE_WEBP_QUALITY, 101};
  const std::vector<int> lossy = {cv::IMWRITE_WEBP_QUALITY, 80};
  ASSERT_TRUE(cv::imwrite(path("a.png"), bands()));
  ASSERT_TRUE(cv::imwrite(path("a.jpg"), bands()));
  ASSERT_TRUE(cv::imwrite(path("a.tiff"), bands()));
  ASSERT_TRUE(cv::imwrite(path("lossless.webp"), bands(), lossless));
  ASSERT_TRUE(cv::imwrite(path("lossless-alpha.webp"), withAlpha, lossless));
  ASSERT_TRUE(cv::imwrite(path("lossy.webp"), bands(), lossy));
  ASSERT_TRUE(cv::imwrite(path("lossy-alpha.webp"), withAlpha, lossy));
  const std::string animation = "ffmpeg -v error -y -i a.png -i a.jpg -filter_complex concat ";
  run(animation + "-c:v libwebp_anim -lossless 1 lossless-animation.webp && " + animation +
      "-c:v libwebp_anim lossy-animation.webp");
  for (const auto& [name, stored] : std::map<std::string, bool>{{"a.png", false},
                                                                {"a.jpg", true},
                                                                {"a.tiff", false},
                                                                {"lossless.webp", false},
                                                                {"lossless-alpha.webp", false},
                                                                {"lossy.webp", true},
                                                                {"lossy-alpha.webp", true},
                                                                {"lossless-animation.webp", false},
                                                                {"lossy-animation.webp", true},
                                                                {"missing.jpg", false}}) {
    EXPECT_EQ(storedLossily(path(name)), stored) << name;
  }
}

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
