#include "platform/files/picture_decoders.h"

#include <gif_lib.h>
#include <libheif/heif.h>
#include <tiffio.h>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>
#include <csetjmp>
#include <cstdio>

#include <algorithm>
#include <cstring>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "platform/files/colour_profile.h"
#include "platform/files/picture_header.h"

namespace plumvane {
namespace {

// JPEG, on libjpeg. Each step that may fail runs under its own setjmp, and only plain data
// lives between a setjmp and libjpeg's jumps, so no destructor is ever skipped.
class JpegDecoder {
 public:
  explicit JpegDecoder(std::span<const uint8_t> file) : file_(file) {
    info_.err = jpeg_std_error(&errors_.manager);
    errors_.manager.error_exit = [](j_common_ptr c) {
      std::longjmp(reinterpret_cast<Errors*>(c->err)->jump, 1);
    };
    // Warnings stay off standard error. One matters: the data running out where more was
    // needed, which means the compressed data stops short and libjpeg fills the missing rows
    // with grey. A file that lacks only its end marker, every row present, gives another.
    errors_.manager.emit_message = [](j_common_ptr c, int level) {
      if (level < 0 && c->err->msg_code == JWRN_HIT_MARKER) {
        reinterpret_cast<Errors*>(c->err)->rowsMissing = true;
      }
    };
    jpeg_create_decompress(&info_);
  }
  ~JpegDecoder() { jpeg_destroy_decompress(&info_); }
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;

  // Reads the header and starts decompressing: grey stays grey, colour comes as BGR and CMYK
  // as CMYK. False when the file is damaged.
  bool start() {
    if (setjmp(errors_.jump)) return false;
    jpeg_mem_src(&info_, file_.data(), static_cast<unsigned long>(file_.size()));
    jpeg_read_header(&info_, TRUE);
    const J_COLOR_SPACE space = info_.jpeg_color_space;
    cmyk_ = space == JCS_CMYK || space == JCS_YCCK;
    info_.out_color_space = space == JCS_GRAYSCALE ? JCS_GRAYSCALE : cmyk_ ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_calc_output_dimensions(&info_);
    if (int64_t(info_.output_width) * info_.output_height > maxPixels) return false;
    jpeg_start_decompress(&info_);
    return true;
  }
  int width() const { return int(info_.output_width); }
  int height() const { return int(info_.output_height); }
  int channels() const { return info_.output_components; }

  // Decodes every row into `pixels`, height() x width() of channels() bytes each. False when
  // the file is damaged or rows are missing.
  bool readInto(cv::Mat& pixels) {
    if (setjmp(errors_.jump)) return false;
    while (info_.output_scanline < info_.output_height) {
      JSAMPROW row = pixels.ptr(int(info_.output_scanline));
      jpeg_read_scanlines(&info_, &row, 1);
    }
    jpeg_finish_decompress(&info_);
    return !errors_.rowsMissing;
  }

  bool isCmyk() const { return cmyk_; }
  // Adobe's encoders store CMYK inverted, and mark the file.
  bool isInverted() const { return info_.saw_Adobe_marker; }

 private:
  struct Errors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    bool rowsMissing = false;
  };
  std::span<const uint8_t> file_;
  Errors errors_;
  jpeg_decompress_struct info_;
  bool cmyk_ = false;
};

// CMYK as JPEG stores it to BGR, the way print colours mix on white: for a file without a CMYK
// profile.
cv::Mat mixedFromCmyk(const cv::Mat& cmyk, bool inverted) {
  cv::Mat bgr(cmyk.rows, cmyk.cols, CV_8UC3);
  for (int y = 0; y < cmyk.rows; ++y) {
    const uint8_t* in = cmyk.ptr(y);
    uint8_t* out = bgr.ptr(y);
    for (int x = 0; x < cmyk.cols; ++x, in += 4, out += 3) {
      // Inverted values are the amounts of light left: 255 - ink.
      int light[4];
      for (int i = 0; i < 4; ++i) light[i] = inverted ? in[i] : 255 - in[i];
      out[0] = uint8_t((light[2] * light[3] + 127) / 255);
      out[1] = uint8_t((light[1] * light[3] + 127) / 255);
      out[2] = uint8_t((light[0] * light[3] + 127) / 255);
    }
  }
  return bgr;
}

}  // namespace

cv::Mat decodeJpeg(std::span<const uint8_t> file, std::span<const uint8_t> icc) {
  JpegDecoder decoder(file);
  if (!decoder.start()) return {};
  cv::Mat pixels(decoder.height(), decoder.width(), CV_MAKETYPE(CV_8U, decoder.channels()));
  if (!decoder.readInto(pixels)) return {};
  if (!decoder.isCmyk()) return pixels;
  cv::Mat profiled = bgrFromCmyk(pixels, decoder.isInverted(), icc);
  return profiled.empty() ? mixedFromCmyk(pixels, decoder.isInverted()) : profiled;
}

cv::Mat decodeHeif(std::span<const uint8_t> file, std::vector<uint8_t>& icc) {
  std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                      heif_context_free);
  if (!context ||
      heif_context_read_from_memory_without_copy(context.get(), file.data(), file.size(), nullptr)
              .code != heif_error_Ok) {
    return {};
  }
  heif_image_handle* rawHandle = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) {
    return {};
  }
  std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
      rawHandle, heif_image_handle_release);
  const int64_t width = heif_image_handle_get_width(handle.get());
  const int64_t height = heif_image_handle_get_height(handle.get());
  if (width <= 0 || height <= 0 || width * height > maxPixels) return {};

  const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(handle.get());
  if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
    icc.resize(heif_image_handle_get_raw_color_profile_size(handle.get()));
    if (heif_image_handle_get_raw_color_profile(handle.get(), icc.data()).code != heif_error_Ok) {
      icc.clear();
    }
  }
  const bool alpha = heif_image_handle_has_alpha_channel(handle.get());
  const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle.get()) > 8;
  const heif_chroma chroma =
      deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
           : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  heif_image* rawImage = nullptr;
  if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, chroma, nullptr).code !=
      heif_error_Ok) {
    return {};
  }
  std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);
  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (!plane || w <= 0 || h <= 0) return {};
  const int channels = alpha ? 4 : 3;
  const cv::Mat rgb(h, w, CV_MAKETYPE(deep ? CV_16U : CV_8U, channels), const_cast<uint8_t*>(plane),
                    size_t(stride));
  cv::Mat bgr;
  cv::cvtColor(rgb, bgr, alpha ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
  if (deep) {  // values of 10 or 12 bits, little-endian, to the full 16-bit range
    const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
    if (bits > 8 && bits < 16) bgr.convertTo(bgr, CV_16U, 65535.0 / ((1 << bits) - 1));
  }
  return bgr;
}

cv::Mat decodeGif(std::span<const uint8_t> file) {
  struct Source {
    std::span<const uint8_t> bytes;
    size_t at = 0;
  } source{file};
  auto read = [](GifFileType* gif, GifByteType* into, int count) -> int {
    auto* s = static_cast<Source*>(gif->UserData);
    const size_t n = std::min(size_t(std::max(count, 0)), s->bytes.size() - s->at);
    std::memcpy(into, s->bytes.data() + s->at, n);
    s->at += n;
    return int(n);
  };
  int error = 0;
  std::unique_ptr<GifFileType, void (*)(GifFileType*)> gif(
      DGifOpen(&source, read, &error), [](GifFileType* g) { DGifCloseFile(g, nullptr); });
  if (!gif) return {};
  const int64_t screenWidth = gif->SWidth, screenHeight = gif->SHeight;
  if (screenWidth <= 0 || screenHeight <= 0 || screenWidth * screenHeight > maxPixels) return {};

  int transparent = -1;
  for (;;) {
    GifRecordType record;
    if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR) return {};
    if (record == TERMINATE_RECORD_TYPE) return {};
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* extension = nullptr;
      if (DGifGetExtension(gif.get(), &code, &extension) == GIF_ERROR) return {};
      if (code == GRAPHICS_EXT_FUNC_CODE && extension && extension[0] >= 4 && (extension[1] & 1)) {
        transparent = extension[4];
      }
      while (extension) {
        if (DGifGetExtensionNext(gif.get(), &extension) == GIF_ERROR) return {};
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;

    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return {};
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* colours = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!colours || frame.Width <= 0 || frame.Height <= 0 ||
        int64_t(frame.Width) * frame.Height > maxPixels) {
      return {};
    }
    cv::Mat screen(int(screenHeight), int(screenWidth), CV_8UC4, cv::Scalar::all(0));
    std::vector<GifPixelType> line(size_t(frame.Width));
    // Interlaced frames store every 8th row from 0, every 8th from 4, every 4th from 2, then
    // every 2nd from 1.
    const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < (frame.Interlace ? 4 : 1); ++pass) {
      const int start = frame.Interlace ? starts[pass] : 0,
                step = frame.Interlace ? steps[pass] : 1;
      for (int row = start; row < frame.Height; row += step) {
        if (DGifGetLine(gif.get(), line.data(), frame.Width) == GIF_ERROR) return {};
        const int y = frame.Top + row;
        if (y < 0 || y >= screen.rows) continue;
        auto* out = screen.ptr<cv::Vec4b>(y);
        for (int column = 0; column < frame.Width; ++column) {
          const int x = frame.Left + column, index = line[size_t(column)];
          if (x < 0 || x >= screen.cols || index == transparent || index >= colours->ColorCount) {
            continue;
          }
          const GifColorType c = colours->Colors[index];
          out[x] = cv::Vec4b(c.Blue, c.Green, c.Red, 255);
        }
      }
    }
    return screen;
  }
}

}  // namespace plumvane
