// TIFF on libtiff: deep and float samples as stored, every 8-bit kind through libtiff's RGBA
// reading.
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "platform/files/file_bytes.h"
#include "platform/files/library_decoders.h"

namespace plumvane {
namespace {

struct Source {
  std::span<const uint8_t> bytes;
  toff_t at = 0;
};

using Tiff = std::unique_ptr<TIFF, void (*)(TIFF*)>;

// The file's bytes as a TIFF that libtiff reads through callbacks, never mapping the file.
Tiff openTiff(Source& source) {
  auto read = [](thandle_t h, tdata_t into, tmsize_t count) -> tmsize_t {
    auto* s = static_cast<Source*>(h);
    const size_t left = s->bytes.size() - std::min<size_t>(s->at, s->bytes.size());
    const size_t n = std::min(size_t(std::max<tmsize_t>(count, 0)), left);
    if (n > 0) std::memcpy(into, s->bytes.data() + s->at, n);
    s->at += n;
    return tmsize_t(n);
  };
  auto write = [](thandle_t, tdata_t, tmsize_t) -> tmsize_t { return 0; };
  auto seek = [](thandle_t h, toff_t offset, int whence) -> toff_t {
    auto* s = static_cast<Source*>(h);
    s->at = whence == SEEK_SET   ? offset
            : whence == SEEK_CUR ? s->at + offset
                                 : s->bytes.size() + offset;
    return s->at;
  };
  auto close = [](thandle_t) { return 0; };
  auto size = [](thandle_t h) -> toff_t { return static_cast<Source*>(h)->bytes.size(); };
  auto map = [](thandle_t, tdata_t*, toff_t*) { return 0; };
  auto unmap = [](thandle_t, tdata_t, toff_t) {};
  // libtiff's messages stay off standard error.
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  return Tiff(TIFFClientOpen("picture", "rm", &source, read, write, seek, close, size, map, unmap),
              TIFFClose);
}

// Unsigned 16-bit or 32-bit float samples, 1, 3 or 4 to a pixel, stored side by side, in strips
// or tiles, converted to OpenCV's layout by `conversion` (a cv::COLOR_ code, or -1 for none).
cv::Mat storedSamples(TIFF* tiff, int width, int height, int samples, int depth, bool whiteIsZero,
                      int conversion) {
  cv::Mat pixels(height, width, CV_MAKETYPE(depth, samples));
  const size_t rowBytes = pixels.cols * pixels.elemSize();
  if (TIFFIsTiled(tiff)) {
    uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    const size_t tileRowBytes = size_t(tileWidth) * pixels.elemSize();
    if (tileWidth == 0 || tileHeight == 0 ||
        TIFFTileSize64(tiff) != uint64_t(tileRowBytes) * tileHeight) {
      return {};
    }
    std::vector<uint8_t> tile(tileRowBytes * tileHeight);
    for (uint32_t top = 0; top < uint32_t(height); top += tileHeight) {
      for (uint32_t left = 0; left < uint32_t(width); left += tileWidth) {
        if (TIFFReadTile(tiff, tile.data(), left, top, 0, 0) < 0) return {};
        const uint32_t rows = std::min(tileHeight, uint32_t(height) - top);
        const size_t bytes = std::min(tileWidth, uint32_t(width) - left) * pixels.elemSize();
        for (uint32_t r = 0; r < rows; ++r) {
          std::memcpy(pixels.ptr(int(top + r)) + left * pixels.elemSize(),
                      tile.data() + r * tileRowBytes, bytes);
        }
      }
    }
  } else {
    if (TIFFScanlineSize64(tiff) != rowBytes) return {};
    for (int y = 0; y < height; ++y) {
      if (TIFFReadScanline(tiff, pixels.ptr(y), uint32_t(y)) < 0) return {};
    }
  }
  if (depth == CV_32F) cv::patchNaNs(pixels, 0);  // values that aren't numbers become 0
  if (whiteIsZero) pixels = cv::Scalar::all(depth == CV_16U ? 65535 : 1) - pixels;
  if (conversion >= 0) cv::cvtColor(pixels, pixels, conversion);
  return pixels;
}

// Any TIFF of 8 bits or fewer a sample through libtiff's RGBA reading, which premultiplies alpha:
// grey as grey, colour as BGR, and BGRA with straight alpha when there is alpha.
cv::Mat rgbaSamples(TIFF* tiff, int width, int height, bool grey, bool alpha) {
  char message[1024];
  if (!TIFFRGBAImageOK(tiff, message)) return {};
  std::vector<uint32_t> raster(size_t(width) * size_t(height));
  // Rows in the order the file stores them, as the other sample layouts come: the picture is
  // turned upright afterwards, for every format alike. Asked for the file's own orientation,
  // libtiff flips nothing (asked for another, it would flip but never transpose).
  uint16_t stored = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &stored);
  if (stored < ORIENTATION_TOPLEFT || stored > ORIENTATION_LEFTBOT) stored = ORIENTATION_TOPLEFT;
  if (!TIFFReadRGBAImageOriented(tiff, uint32_t(width), uint32_t(height), raster.data(), stored,
                                 1)) {
    return {};
  }
  cv::Mat pixels(height, width, CV_8UC(alpha ? 4 : grey ? 1 : 3));
  for (int y = 0; y < height; ++y) {
    const uint32_t* in = raster.data() + size_t(y) * size_t(width);
    uint8_t* out = pixels.ptr(y);
    for (int x = 0; x < width; ++x) {
      const uint32_t p = in[x];
      const int a = int(TIFFGetA(p));
      auto straight = [&](uint32_t c) {
        return alpha ? uint8_t(a ? std::min(255, (int(c) * 255 + a / 2) / a) : 0) : uint8_t(c);
      };
      if (grey && !alpha) {
        out[x] = uint8_t(TIFFGetR(p));
        continue;
      }
      uint8_t* o = out + x * pixels.channels();
      o[0] = straight(TIFFGetB(p));
      o[1] = straight(TIFFGetG(p));
      o[2] = straight(TIFFGetR(p));
      if (alpha) o[3] = uint8_t(a);
    }
  }
  return pixels;
}

// Grey with alpha, which libtiff's RGBA reading premultiplies and rounds: 8 or 16 bits, in
// strips, the two samples side by side, read as stored. Empty for any other TIFF.
cv::Mat greyWithAlpha(TIFF* tiff) {
  uint32_t width = 0, height = 0;
  uint16_t samples = 0, bits = 0, photometric = 0, planar = PLANARCONFIG_CONTIG;
  uint16_t extraCount = 0;
  uint16_t* extraTypes = nullptr;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  if (!grey || samples != 2 || (bits != 8 && bits != 16) || planar != PLANARCONFIG_CONTIG ||
      TIFFIsTiled(tiff) || width == 0 || height == 0 || int64_t(width) * height > maxPixels) {
    return {};
  }
  cv::Mat pixels(int(height), int(width), bits == 8 ? CV_8UC2 : CV_16UC2);
  if (TIFFScanlineSize(tiff) != tmsize_t(pixels.cols * pixels.elemSize())) return {};
  for (uint32_t row = 0; row < height; ++row) {
    if (TIFFReadScanline(tiff, pixels.ptr(int(row)), row) < 0) return {};
  }
  const double full = bits == 8 ? 255 : 65535;
  const bool premultiplied = extraCount > 0 && extraTypes[0] == EXTRASAMPLE_ASSOCALPHA;
  std::vector<cv::Mat> planes;
  cv::split(pixels, planes);
  if (photometric == PHOTOMETRIC_MINISWHITE) planes[0] = full - planes[0];
  if (premultiplied) cv::divide(planes[0], planes[1], planes[0], full);
  cv::merge(planes, pixels);
  return pixels;
}

}  // namespace

cv::Mat decodeTiff(std::span<const uint8_t> file) {
  Source source{file};
  const Tiff tiff = openTiff(source);
  if (!tiff) return {};
  if (cv::Mat pixels = greyWithAlpha(tiff.get()); !pixels.empty()) return pixels;
  uint32_t width = 0, height = 0;
  uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, photometric = 0;
  uint16_t planar = PLANARCONFIG_CONTIG, extraCount = 0;
  uint16_t* extraTypes = nullptr;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
  if (!TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric)) return {};
  if (!allowedSize(width, height)) return {};
  // LogLuv, which OpenCV writes for float pictures, is read as CIE XYZ floats.
  const bool logLuv = photometric == PHOTOMETRIC_LOGLUV;
  if (logLuv) {
    if (!TIFFSetField(tiff.get(), TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT)) return {};
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLEFORMAT, &format);
  }
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  const bool rgb = photometric == PHOTOMETRIC_RGB;
  const bool deep =
      (bits == 16 && format == SAMPLEFORMAT_UINT) || (bits == 32 && format == SAMPLEFORMAT_IEEEFP);
  if (deep) {
    const bool stored =
        planar == PLANARCONFIG_CONTIG &&
        ((grey && samples == 1) || ((rgb || logLuv) && samples == 3) || (rgb && samples == 4));
    if (!stored) return {};
    const int conversion = logLuv         ? cv::COLOR_XYZ2BGR
                           : samples == 3 ? cv::COLOR_RGB2BGR
                           : samples == 4 ? cv::COLOR_RGBA2BGRA
                                          : -1;
    return storedSamples(tiff.get(), int(width), int(height), samples, bits == 16 ? CV_16U : CV_32F,
                         photometric == PHOTOMETRIC_MINISWHITE, conversion);
  }
  if (bits > 8) return {};
  return rgbaSamples(tiff.get(), int(width), int(height), grey && samples == 1,
                     extraCount > 0 && extraTypes && extraTypes[0] != EXTRASAMPLE_UNSPECIFIED);
}

}  // namespace plumvane
