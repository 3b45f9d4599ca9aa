// Pictures with colour profiles, CMYK JPEGs among them, come out in sRGB.
#include <gtest/gtest.h>
#include <lcms2.h>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <cstdio>

#include <array>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "picture_files.h"
#include "platform/files/picture_file.h"
#include "tagged_jpeg.h"

namespace plumvane {
namespace {

using namespace testing;

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

TEST_F(PictureFiles, ConvertsEmbeddedProfilesToSrgb) {
  const std::string profile = slurp(adobeRgb);
  ASSERT_FALSE(profile.empty()) << adobeRgb;
  // A PNG with the profile in an iCCP chunk, a HEIC made from it, and a JPEG with the profile
  // in APP2.
  ASSERT_TRUE(cv::imwrite(path("plain.png"), bands()));
  run("python3 -c \"import zlib,struct;p=open('plain.png','rb').read();i=open('" + adobeRgb +
      "','rb').read();d=b'AdobeRGB\\0\\0'+zlib.compress(i);c=b'iCCP'+d;"
      "open('tagged.png','wb').write(p[:33]+struct.pack('>I',len(d))+c+struct.pack('>I',"
      "zlib.crc32(c))+p[33:])\"");
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", bands(), jpeg, {cv::IMWRITE_JPEG_QUALITY, 100});
  spill(path("tagged.jpg"), testing::withProfile(jpeg, profile));
  run("heif-enc -L -p chroma=444 tagged.png -o tagged.heic");
  for (const std::string name : {"tagged.jpg", "tagged.png", "tagged.heic"}) {
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

TEST_F(PictureFiles, CmykJpegsGoThroughTheirProfile) {
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

}  // namespace
}  // namespace plumvane
