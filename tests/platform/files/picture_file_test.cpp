#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <cstdio>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "fresh_directory.h"
#include "platform/files/picture_file.h"
#include "platform/files/png_file.h"
#include "tagged_jpeg.h"

#include <array>
#include <map>

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

const std::string adobeRgb = "/usr/share/color/icc/colord/AdobeRGB1998.icc";

class ImageFiles : public ::testing::Test {
 protected:
  std::string dir = testing::freshDirectory();
  std::string path(const std::string& name) const { return dir + "/" + name; }
  // Runs a command in the test's folder.
  void run(const std::string& command) const {
    ASSERT_EQ(std::system(("cd '" + dir + "' && " + command + " >/dev/null 2>&1").c_str()), 0)
        << command;
  }
};

// A 40 x 20 picture of eight colour bands, to see a colour conversion on many colours.
cv::Mat bands() {
  cv::Mat bgr(20, 40, CV_8UC3);
  const cv::Scalar colours[] = {{200, 100, 50}, {20, 220, 120}, {255, 255, 255}, {0, 0, 0},
                                {90, 90, 90},   {10, 30, 240},  {240, 40, 10},   {128, 200, 250}};
  for (int i = 0; i < 8; ++i) bgr(cv::Rect(i * 5, 0, 5, 20)).setTo(colours[i]);
  return bgr;
}

// The BGR pixel converted from the profile to sRGB by Little CMS, as 0..1 RGB.
std::array<float, 3> toSrgb(const std::string& profile, cv::Vec3b bgr) {
  cmsHPROFILE from = cmsOpenProfileFromFile(profile.c_str(), "r");
  cmsHPROFILE to = cmsCreate_sRGBProfile();
  cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_16, to, TYPE_RGB_16, INTENT_PERCEPTUAL, 0);
  const uint16_t in[3] = {uint16_t(bgr[2] * 257), uint16_t(bgr[1] * 257), uint16_t(bgr[0] * 257)};
  uint16_t out[3];
  cmsDoTransform(t, in, out, 1);
  cmsDeleteTransform(t);
  cmsCloseProfile(to);
  cmsCloseProfile(from);
  return {out[0] / 65535.f, out[1] / 65535.f, out[2] / 65535.f};
}

// A JPEG of the picture with an ICC profile in an APP2 segment.
std::string jpegWithProfile(const cv::Mat& bgr, const std::string& profile) {
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 100});
  return testing::withProfile(jpeg, profile);
}

TEST_F(ImageFiles, DecodesEachFormatAsRgba) {
  // The bands in every format: OpenCV writes the common ones, ffmpeg and heif-enc the rest.
  cv::Mat withAlpha;
  cv::cvtColor(bands(), withAlpha, cv::COLOR_BGR2BGRA);
  withAlpha(cv::Rect(0, 0, 20, 20)).setTo(cv::Scalar(0, 0, 0, 0));
  ASSERT_TRUE(cv::imwrite(path("clear.png"), withAlpha));
  for (const std::string name : {"a.png", "a.jpg", "a.tiff", "a.bmp"}) {
    ASSERT_TRUE(cv::imwrite(path(name), bands())) << name;
  }
  ASSERT_TRUE(cv::imwrite(path("a.webp"), bands(), {cv::IMWRITE_WEBP_QUALITY, 101}));  // lossless
  run("heif-enc -L -p chroma=444 a.png -o a.heic");
  run("heif-enc -L -p chroma=444 clear.png -o clear.heic");
  run("heif-enc -A -L -p chroma=444 a.png -o a.avif");
  run("ffmpeg -v error -i a.png -vf \"split[a][b];[a]palettegen[p];[b][p]paletteuse=dither=none\" "
      "a.gif");
  for (const std::string name :
       {"a.png", "a.jpg", "a.tiff", "a.webp", "a.bmp", "a.heic", "a.avif", "a.gif", "clear.heic"}) {
    const auto image = decodePicture(path(name));
    ASSERT_TRUE(image) << name;
    ASSERT_EQ(image->extent(), (Rect{0, 0, 40, 20})) << name;
    // Lossless formats give the bands back exactly; JPEG, HEIF's colour coding and GIF's palette
    // nearly.
    const bool exact = name == "a.png" || name == "a.tiff" || name == "a.webp" || name == "a.bmp";
    const float tolerance = (exact ? 0.5f : name == "a.jpg" ? 6 : 3) / 255.f;
    const bool clear = name == "clear.heic";
    for (int x = clear ? 22 : 2; x < 40; x += 5) {
      const cv::Vec3b want = bands().at<cv::Vec3b>(10, x);
      const Pixel got = image->at(x, 10);
      EXPECT_NEAR(got.r, want[2] / 255.f, tolerance) << name << " at " << x;
      EXPECT_NEAR(got.g, want[1] / 255.f, tolerance) << name << " at " << x;
      EXPECT_NEAR(got.b, want[0] / 255.f, tolerance) << name << " at " << x;
      EXPECT_EQ(got.a, 1.0f) << name;
    }
    if (clear) {
      EXPECT_EQ(image->at(5, 10).a, 0.0f);
    }
  }
}

TEST_F(ImageFiles, ConvertsEmbeddedProfilesToSrgb) {
  const std::string profile = slurp(adobeRgb);
  ASSERT_FALSE(profile.empty()) << adobeRgb;
  // A PNG with the profile in an iCCP chunk, a HEIC made from it, and a JPEG with the profile
  // in APP2.
  ASSERT_TRUE(cv::imwrite(path("plain.png"), bands()));
  run("python3 -c \"import zlib,struct;p=open('plain.png','rb').read();i=open('" + adobeRgb +
      "','rb').read();d=b'AdobeRGB\\0\\0'+zlib.compress(i);c=b'iCCP'+d;"
      "open('tagged.png','wb').write(p[:33]+struct.pack('>I',len(d))+c+struct.pack('>I',"
      "zlib.crc32(c))+p[33:])\"");
  std::vector<std::string> names = {"tagged.jpg"};
  spill(path("tagged.jpg"), jpegWithProfile(bands(), profile));
  names.push_back("tagged.png");
  run("heif-enc -L -p chroma=444 tagged.png -o tagged.heic");
  names.push_back("tagged.heic");
  for (const std::string& name : names) {
    const auto image = decodePicture(path(name));
    ASSERT_TRUE(image) << name;
    for (int x = 2; x < 40; x += 5) {
      const auto want = toSrgb(adobeRgb, bands().at<cv::Vec3b>(10, x));
      const Pixel got = image->at(x, 10);
      // Within two levels of Little CMS's own conversion; JPEG's and HEIC's coding add one.
      const float tolerance = (name == "tagged.png" ? 2 : 3) / 255.f;
      EXPECT_NEAR(got.r, want[0], tolerance) << name << " at " << x;
      EXPECT_NEAR(got.g, want[1], tolerance) << name << " at " << x;
      EXPECT_NEAR(got.b, want[2], tolerance) << name << " at " << x;
    }
  }
}

// A CMYK profile unlike print: cyan ink takes away blue and yellow ink red (the other way
// round from print), so that a picture read through it can't be taken for one mixed as print
// mixes. Its table maps each ink to Lab through sRGB.
std::string swappedInksProfile() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM toLab =
      cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigOutputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* table = cmsStageAllocCLut16bit(nullptr, 5, 4, 3, nullptr);
  cmsStageSampleCLut16bit(
      table,
      [](const cmsUInt16Number in[], cmsUInt16Number out[], void* transform) -> int {
        const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0,
                     k = in[3] / 65535.0;
        const double rgb[3] = {(1 - y) * (1 - k), (1 - m) * (1 - k), (1 - c) * (1 - k)};
        cmsCIELab colour;
        cmsDoTransform(transform, rgb, &colour, 1);
        cmsFloat2LabEncoded(out, &colour);
        return 1;
      },
      toLab, 0);
  // The table between identity curves, as a v4 profile's lookup stores it.
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsPipelineInsertStage(pipeline, cmsAT_END, table);
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
  cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::string bytes(size, '\0');
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsPipelineFree(pipeline);
  cmsCloseProfile(profile);
  cmsDeleteTransform(toLab);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  return bytes;
}

// A CMYK JPEG, lossless enough, of 8 x 8 patches side by side, each of the given inks (0 none,
// 255 full). Adobe's files store 255 - ink and say so in an APP14 marker.
std::string cmykJpeg(const std::vector<cv::Vec4b>& inks, bool adobe, const std::string& profile) {
  const int width = int(inks.size()) * 8, height = 8;
  std::vector<uint8_t> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int i = 0; i < 4; ++i) {
        const uint8_t ink = inks[size_t(x / 8)][i];
        pixels.push_back(adobe ? uint8_t(255 - ink) : ink);
      }
    }
  }
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = JDIMENSION(width);
  info.image_height = JDIMENSION(height);
  info.input_components = 4;
  info.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, JCS_CMYK);
  info.write_Adobe_marker = adobe ? TRUE : FALSE;
  jpeg_set_quality(&info, 100, TRUE);
  jpeg_start_compress(&info, TRUE);
  if (!profile.empty()) {
    jpeg_write_icc_profile(&info, reinterpret_cast<const JOCTET*>(profile.data()),
                           unsigned(profile.size()));
  }
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = pixels.data() + size_t(info.next_scanline) * size_t(width) * 4;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string bytes(reinterpret_cast<char*>(out), size);
  free(out);
  return bytes;
}

TEST_F(ImageFiles, CmykJpegsGoThroughTheirProfile) {
  // Cyan, magenta, yellow, half black and no ink.
  const std::vector<cv::Vec4b> inks = {
      {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {0, 0, 0, 128}, {0, 0, 0, 0}};
  const std::string profile = swappedInksProfile();
  ASSERT_GT(profile.size(), 128u);
  // Through the profile, whether Adobe's or not, cyan ink shows yellow and yellow ink cyan.
  const std::vector<std::array<float, 3>> profiled = {
      {255, 255, 0}, {255, 0, 255}, {0, 255, 255}, {127, 127, 127}, {255, 255, 255}};
  // Without it, the inks mix as print colours do.
  const std::vector<std::array<float, 3>> mixed = {
      {0, 255, 255}, {255, 0, 255}, {255, 255, 0}, {127, 127, 127}, {255, 255, 255}};
  for (const bool adobe : {false, true}) {
    for (const bool withProfile : {true, false}) {
      const std::string name =
          std::string(adobe ? "adobe" : "plain") + (withProfile ? "-profiled" : "") + ".jpg";
      spill(path(name), cmykJpeg(inks, adobe, withProfile ? profile : ""));
      const auto image = decodePicture(path(name));
      ASSERT_TRUE(image) << name;
      ASSERT_EQ(image->extent(), (Rect{0, 0, 40, 8})) << name;
      for (size_t i = 0; i < inks.size(); ++i) {
        const auto& want = withProfile ? profiled[i] : mixed[i];
        const Pixel got = image->at(int(i) * 8 + 4, 4);
        EXPECT_NEAR(got.r * 255, want[0], 6) << name << " patch " << i;
        EXPECT_NEAR(got.g * 255, want[1], 6) << name << " patch " << i;
        EXPECT_NEAR(got.b * 255, want[2], 6) << name << " patch " << i;
      }
    }
  }
}

TEST_F(ImageFiles, GreyWithAlphaKeepsItsAlpha) {
  cv::Mat grey(20, 40, CV_8UC4, cv::Scalar(51, 51, 51, 255));
  grey(cv::Rect(0, 0, 20, 20)).setTo(cv::Scalar(51, 51, 51, 102));
  ASSERT_TRUE(cv::imwrite(path("rgba.png"), grey));
  run("ffmpeg -v error -i rgba.png -pix_fmt ya8 grey.png");
  run("ffmpeg -v error -i rgba.png -pix_fmt ya8 grey.tiff");
  for (const std::string name : {"grey.png", "grey.tiff"}) {
    const auto image = decodePicture(path(name));
    ASSERT_TRUE(image) << name;
    EXPECT_NEAR(image->at(5, 5).a, 0.4f, 1e-6) << name;
    EXPECT_NEAR(image->at(5, 5).r, 0.2f * 0.4f, 1e-6) << name;  // premultiplied
    EXPECT_EQ(image->at(30, 5).a, 1.0f) << name;
  }
}

TEST_F(ImageFiles, HugeDeclaredSizesAreRefusedUnread) {
  // Headers that claim far more pixels than the files hold, each followed by a little data.
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", twoTone(), jpeg));
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
  const unsigned char exif[] = {0xFF,
                                0xE1,
                                0x00,
                                0x22,
                                'E',
                                'x',
                                'i',
                                'f',
                                0,
                                0,  // APP1, length 34
                                'M',
                                'M',
                                0x00,
                                0x2A,
                                0x00,
                                0x00,
                                0x00,
                                0x08,  // TIFF header
                                0x00,
                                0x01,  // one entry
                                0x01,
                                0x12,
                                0x00,
                                0x03,
                                0x00,
                                0x00,
                                0x00,
                                0x01,
                                uint8_t(value >> 8),
                                uint8_t(value),
                                0,
                                0,
                                0x00,
                                0x00,
                                0x00,
                                0x00};  // no next IFD
  std::string bytes(jpeg.begin(), jpeg.begin() + 2);
  bytes.append(reinterpret_cast<const char*>(exif), sizeof exif);
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

TEST_F(ImageFiles, TurnsPicturesUprightAsTheirOrientationSays) {
  // Each of the eight orientations in JPEG, PNG, TIFF and WebP, tagged by exiftool (in one run:
  // it is slow to start): decoded, each is the upright picture.
  const std::vector<std::string> formats = {"jpg", "png", "tiff", "webp"};
  std::string arguments;
  for (int o = 1; o <= 8; ++o) {
    arguments += "-q\n-overwrite_original\n-n\n-Orientation=" + std::to_string(o) + "\n";
    for (const std::string& format : formats) {
      const std::string name = "o" + std::to_string(o) + "." + format;
      ASSERT_TRUE(cv::imwrite(path(name), storedFor(quadrants(), o))) << name;
      arguments += name + "\n";
    }
    if (o < 8) arguments += "-execute\n";
  }
  spill(path("arguments"), arguments);
  run("exiftool -@ arguments");
  for (int o = 1; o <= 8; ++o) {
    for (const std::string& format : formats) {
      const std::string name = "o" + std::to_string(o) + "." + format;
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
  // A JPEG that lacks only its end marker has every row: it is whole.
  ASSERT_TRUE(cv::imwrite(path("open.jpg"), noise));
  const std::string open = slurp(path("open.jpg"));
  spill(path("open.jpg"), open.substr(0, open.size() - 2));
  EXPECT_TRUE(decodePicture(path("open.jpg")));
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

TEST_F(ImageFiles, PngTargetsThatAreNotPlainFiles) {
  const uint8_t pixel[4] = {1, 2, 3, 4};
  const PngPixels one{pixel, 1, 1, 4};
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
