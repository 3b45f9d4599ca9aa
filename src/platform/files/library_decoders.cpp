// PNG on libpng, WebP on libwebp and JPEG 2000 on OpenJPEG.
#include "platform/files/library_decoders.h"

#include <openjpeg.h>
#include <png.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "platform/files/file_bytes.h"

namespace plumvane {
namespace {

// A file's bytes read in order, for the libraries that pull their input.
struct Source {
  std::span<const uint8_t> bytes;
  size_t at = 0;

  size_t left() const { return bytes.size() - std::min(at, bytes.size()); }
};

// PNG, on libpng. Each step that may fail runs under its own setjmp, and only plain data lives
// between a setjmp and libpng's jumps, so no destructor is ever skipped.
class PngDecoder {
 public:
  explicit PngDecoder(std::span<const uint8_t> file) : source_{file} {
    png_ = png_create_read_struct(
        PNG_LIBPNG_VER_STRING, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
        [](png_structp, png_const_charp) {});
    if (png_) info_ = png_create_info_struct(png_);
  }
  ~PngDecoder() { png_destroy_read_struct(&png_, &info_, nullptr); }
  PngDecoder(const PngDecoder&) = delete;
  PngDecoder& operator=(const PngDecoder&) = delete;

  // Reads the header and sets the transformations to OpenCV's layout. False when the file is
  // damaged or too large.
  bool start() {
    if (!png_ || !info_) return false;
    if (setjmp(png_jmpbuf(png_))) return false;
    png_set_read_fn(png_, &source_, [](png_structp p, png_bytep into, size_t count) {
      auto* s = static_cast<Source*>(png_get_io_ptr(p));
      if (count > s->left()) png_error(p, "the file ends early");
      std::memcpy(into, s->bytes.data() + s->at, count);
      s->at += count;
    });
    // libpng's own limit of a million pixels a side would refuse pictures that allowedSize takes.
    png_set_user_limits(png_, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_read_info(png_, info_);
    const int64_t width = png_get_image_width(png_, info_);
    const int64_t height = png_get_image_height(png_, info_);
    if (!allowedSize(width, height)) return false;
    const int colour = png_get_color_type(png_, info_), bits = png_get_bit_depth(png_, info_);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
    if (colour == PNG_COLOR_TYPE_GRAY && bits < 8) png_set_expand_gray_1_2_4_to_8(png_);
    if (png_get_valid(png_, info_, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png_);
    if (bits == 16) png_set_swap(png_);  // to the machine's order
    if (colour & PNG_COLOR_MASK_COLOR) png_set_bgr(png_);
    png_set_interlace_handling(png_);
    png_read_update_info(png_, info_);
    return true;
  }
  int width() const { return int(png_get_image_width(png_, info_)); }
  int height() const { return int(png_get_image_height(png_, info_)); }
  int type() const {
    return CV_MAKETYPE(png_get_bit_depth(png_, info_) == 16 ? CV_16U : CV_8U,
                       png_get_channels(png_, info_));
  }
  size_t rowBytes() const { return png_get_rowbytes(png_, info_); }

  // Decodes every row into `rows`. False when the file is damaged or cut short.
  bool readInto(png_bytepp rows) {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_read_image(png_, rows);
    return true;
  }

 private:
  Source source_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

// OpenJPEG's stream over a file's bytes.
opj_stream_t* jpeg2000Stream(Source& source) {
  opj_stream_t* stream = opj_stream_default_create(OPJ_TRUE);
  if (!stream) return nullptr;
  opj_stream_set_user_data(stream, &source, nullptr);
  opj_stream_set_user_data_length(stream, source.bytes.size());
  opj_stream_set_read_function(stream, [](void* into, OPJ_SIZE_T count, void* user) {
    auto* s = static_cast<Source*>(user);
    const size_t n = std::min(size_t(count), s->left());
    if (n == 0) return OPJ_SIZE_T(-1);
    std::memcpy(into, s->bytes.data() + s->at, n);
    s->at += n;
    return OPJ_SIZE_T(n);
  });
  opj_stream_set_skip_function(stream, [](OPJ_OFF_T count, void* user) -> OPJ_OFF_T {
    auto* s = static_cast<Source*>(user);
    if (count < 0 || size_t(count) > s->left()) return -1;
    s->at += size_t(count);
    return count;
  });
  opj_stream_set_seek_function(stream, [](OPJ_OFF_T to, void* user) -> OPJ_BOOL {
    auto* s = static_cast<Source*>(user);
    if (to < 0 || size_t(to) > s->bytes.size()) return OPJ_FALSE;
    s->at = size_t(to);
    return OPJ_TRUE;
  });
  return stream;
}

}  // namespace

cv::Mat decodePng(std::span<const uint8_t> file) {
  PngDecoder decoder(file);
  if (!decoder.start()) return {};
  cv::Mat pixels(decoder.height(), decoder.width(), decoder.type());
  if (decoder.rowBytes() != pixels.cols * pixels.elemSize()) return {};
  std::vector<png_bytep> rows(size_t(pixels.rows));
  for (int y = 0; y < pixels.rows; ++y) rows[size_t(y)] = pixels.ptr(y);
  if (!decoder.readInto(rows.data())) return {};
  return pixels;
}

namespace {

// The first frame of an animation as a viewer shows it: drawn on the canvas, which is
// transparent where the frame doesn't reach. Straight alpha, as a still's.
cv::Mat firstFrame(std::span<const uint8_t> file) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return {};
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  const WebPData data{file.data(), file.size()};
  const std::unique_ptr<WebPAnimDecoder, decltype(&WebPAnimDecoderDelete)> decoder(
      WebPAnimDecoderNew(&data, &options), WebPAnimDecoderDelete);
  WebPAnimInfo info;
  uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info) ||
      !WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp)) {
    return {};
  }
  return cv::Mat(int(info.canvas_height), int(info.canvas_width), CV_8UC4, canvas).clone();
}

}  // namespace

cv::Mat decodeWebp(std::span<const uint8_t> file) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(file.data(), file.size(), &features) != VP8_STATUS_OK ||
      !allowedSize(features.width, features.height)) {
    return {};
  }
  if (features.has_animation) return firstFrame(file);
  cv::Mat pixels(features.height, features.width, features.has_alpha ? CV_8UC4 : CV_8UC3);
  const size_t size = pixels.step * size_t(pixels.rows);
  const uint8_t* decoded =
      features.has_alpha
          ? WebPDecodeBGRAInto(file.data(), file.size(), pixels.data, size, int(pixels.step))
          : WebPDecodeBGRInto(file.data(), file.size(), pixels.data, size, int(pixels.step));
  if (!decoded) return {};
  return pixels;
}

cv::Mat decodeJpeg2000(std::span<const uint8_t> file, std::vector<uint8_t>& icc) {
  const FileBytes b{file};
  const bool codestream = b.startsWith(0, "\xFF\x4F\xFF\x51");
  Source source{file};
  const std::unique_ptr<opj_stream_t, decltype(&opj_stream_destroy)> stream(jpeg2000Stream(source),
                                                                            opj_stream_destroy);
  const std::unique_ptr<opj_codec_t, decltype(&opj_destroy_codec)> codec(
      opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2), opj_destroy_codec);
  if (!stream || !codec) return {};
  const auto quiet = [](const char*, void*) {};
  opj_set_error_handler(codec.get(), quiet, nullptr);
  opj_set_warning_handler(codec.get(), quiet, nullptr);
  opj_set_info_handler(codec.get(), quiet, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(codec.get(), &parameters)) return {};
  opj_image_t* rawImage = nullptr;
  const bool header = opj_read_header(stream.get(), codec.get(), &rawImage);
  const std::unique_ptr<opj_image_t, decltype(&opj_image_destroy)> image(rawImage,
                                                                         opj_image_destroy);
  if (!header || !image || image->x1 <= image->x0 || image->y1 <= image->y0) return {};
  const int64_t width = int64_t(image->x1) - image->x0, height = int64_t(image->y1) - image->y0;
  const int channels = int(image->numcomps);
  const bool colourSpaceKnown =
      image->color_space == OPJ_CLRSPC_UNKNOWN || image->color_space == OPJ_CLRSPC_UNSPECIFIED ||
      image->color_space == OPJ_CLRSPC_SRGB || image->color_space == OPJ_CLRSPC_GRAY;
  if (!allowedSize(width, height) || channels < 1 || channels > 4 || !colourSpaceKnown) return {};
  if (!opj_decode(codec.get(), stream.get(), image.get()) ||
      !opj_end_decompress(codec.get(), stream.get())) {
    return {};
  }
  int precision = 0;
  for (int c = 0; c < channels; ++c) {
    const opj_image_comp_t& comp = image->comps[c];
    if (!comp.data || comp.w != uint32_t(width) || comp.h != uint32_t(height) || comp.prec < 1 ||
        comp.prec > 16 || (c > 0 && int(comp.prec) != precision)) {
      return {};
    }
    precision = int(comp.prec);
  }
  const bool deep = precision > 8;
  const int64_t largest = (int64_t(1) << precision) - 1, full = deep ? 65535 : 255;
  cv::Mat pixels(int(height), int(width), CV_MAKETYPE(deep ? CV_16U : CV_8U, channels));
  const int order[4] = {channels >= 3 ? 2 : 0, 1, channels >= 3 ? 0 : 2, 3};  // RGB to BGR
  for (int c = 0; c < channels; ++c) {
    const opj_image_comp_t& comp = image->comps[c];
    const int64_t offset = comp.sgnd ? int64_t(1) << (precision - 1) : 0;
    for (int y = 0; y < pixels.rows; ++y) {
      const OPJ_INT32* in = comp.data + size_t(y) * size_t(width);
      for (int x = 0; x < pixels.cols; ++x) {
        const int64_t v = std::clamp<int64_t>(in[x] + offset, 0, largest) * full / largest;
        const size_t at = size_t(x) * size_t(channels) + size_t(order[c]);
        if (deep) {
          pixels.ptr<uint16_t>(y)[at] = uint16_t(v);
        } else {
          pixels.ptr<uint8_t>(y)[at] = uint8_t(v);
        }
      }
    }
  }
  if (image->icc_profile_buf && image->icc_profile_len > 0) {
    icc.assign(image->icc_profile_buf, image->icc_profile_buf + image->icc_profile_len);
  }
  return pixels;
}

}  // namespace plumvane
