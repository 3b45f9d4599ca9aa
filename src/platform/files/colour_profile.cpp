#include "platform/files/colour_profile.h"

#include <lcms2.h>

#include <memory>

namespace plumvane {
namespace {

struct ProfileCloser {
  void operator()(void* p) const { cmsCloseProfile(p); }
};
struct TransformDeleter {
  void operator()(void* t) const { cmsDeleteTransform(t); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

// Little CMS's pixel format for an OpenCV matrix: colour in OpenCV's blue-green-red order.
cmsUInt32Number formatOf(int depth, int channels) {
  const cmsUInt32Number bytes = depth == CV_8U ? 1 : depth == CV_16U ? 2 : 4;
  const cmsUInt32Number isFloat = depth == CV_32F ? FLOAT_SH(1) : 0;
  switch (channels) {
    case 1:
      return COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | BYTES_SH(bytes) | isFloat;
    case 2:
      return COLORSPACE_SH(PT_GRAY) | EXTRA_SH(1) | CHANNELS_SH(1) | BYTES_SH(bytes) | isFloat;
    case 3:
      return COLORSPACE_SH(PT_RGB) | DOSWAP_SH(1) | CHANNELS_SH(3) | BYTES_SH(bytes) | isFloat;
    default:
      return COLORSPACE_SH(PT_RGB) | DOSWAP_SH(1) | EXTRA_SH(1) | CHANNELS_SH(3) | BYTES_SH(bytes) |
             isFloat;
  }
}

}  // namespace

void convertToSrgb(cv::Mat& picture, std::span<const uint8_t> icc) {
  if (icc.empty() || picture.empty()) return;
  const int depth = picture.depth(), channels = picture.channels();
  if (depth != CV_8U && depth != CV_16U && depth != CV_32F) return;
  // Little CMS reports damaged profiles through its error handler; a null profile is enough.
  cmsSetLogErrorHandler(nullptr);
  const Profile source(cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())));
  if (!source) return;
  const bool grey = channels <= 2;
  const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
  if (space != (grey ? cmsSigGrayData : cmsSigRgbData)) return;
  if (cmsGetDeviceClass(source.get()) == cmsSigLinkClass) return;
  const Profile srgb(cmsCreate_sRGBProfile());
  const int outChannels = channels == 2 || channels == 4 ? 4 : 3;
  const std::unique_ptr<void, TransformDeleter> transform(
      cmsCreateTransform(source.get(), formatOf(depth, channels), srgb.get(),
                         formatOf(depth, outChannels), INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA));
  if (!transform) return;
  cv::Mat out(picture.rows, picture.cols, CV_MAKETYPE(depth, outChannels));
  // A transform may be used from several threads at once: the rows are shared out.
  cv::parallel_for_(cv::Range(0, picture.rows), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      cmsDoTransform(transform.get(), picture.ptr(y), out.ptr(y), cmsUInt32Number(picture.cols));
    }
  });
  picture = out;
}

cv::Mat bgrFromCmyk(const cv::Mat& cmyk, bool inverted, std::span<const uint8_t> icc) {
  if (icc.empty() || cmyk.empty() || cmyk.type() != CV_8UC4) return {};
  cmsSetLogErrorHandler(nullptr);
  const Profile source(cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())));
  if (!source || cmsGetColorSpace(source.get()) != cmsSigCmykData ||
      cmsGetDeviceClass(source.get()) == cmsSigLinkClass) {
    return {};
  }
  const Profile srgb(cmsCreate_sRGBProfile());
  const std::unique_ptr<void, TransformDeleter> transform(
      cmsCreateTransform(source.get(), inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb.get(),
                         TYPE_BGR_8, INTENT_PERCEPTUAL, 0));
  if (!transform) return {};
  cv::Mat bgr(cmyk.rows, cmyk.cols, CV_8UC3);
  cv::parallel_for_(cv::Range(0, cmyk.rows), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      cmsDoTransform(transform.get(), cmyk.ptr(y), bgr.ptr(y), cmsUInt32Number(cmyk.cols));
    }
  });
  return bgr;
}

}  // namespace plumvane
