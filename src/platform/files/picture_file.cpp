#include "platform/files/picture_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/files/colour_profile.h"
#include "platform/files/library_decoders.h"
#include "platform/files/picture_decoders.h"
#include "platform/files/picture_header.h"
#include "platform/files/simple_decoders.h"
#include "platform/image/orientation.h"

namespace plumvane {
namespace {

// The whole file, mapped read-only. Empty when the path is not a regular file that can be read.
// It is opened without blocking: a FIFO would otherwise wait for a writer, only to be refused.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      void* data = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (data != MAP_FAILED) {
        data_ = static_cast<const uint8_t*>(data);
        size_ = size_t(st.st_size);
      }
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (data_) munmap(const_cast<uint8_t*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::span<const uint8_t> bytes() const { return {data_, size_}; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Straight into the float RGBA image, row by row, so that no second full-size copy is made.
std::optional<Image> toImage(const cv::Mat& decoded) {
  double scale = 1.0;
  switch (decoded.depth()) {
    case CV_8U:
      scale = 1.0 / 255;
      break;
    case CV_16U:
      scale = 1.0 / 65535;
      break;
    case CV_32F:
    case CV_64F:
      break;
    default:
      return std::nullopt;
  }
  const int channels = decoded.channels();
  if (channels < 1 || channels > 4) return std::nullopt;
  Image image;
  image.width = decoded.cols;
  image.height = decoded.rows;
  image.pixels.resize(size_t(decoded.cols) * size_t(decoded.rows));
  cv::Mat row;
  for (int y = 0; y < decoded.rows; ++y) {
    decoded.row(y).convertTo(row, CV_32F, scale);
    const float* v = row.ptr<float>();
    Pixel* out = &image.at(0, y);
    for (int x = 0; x < decoded.cols; ++x, v += channels) {
      auto unit = [](float f) { return std::clamp(f, 0.0f, 1.0f); };
      if (channels <= 2) {  // grey, then alpha if there is one
        const float a = channels == 2 ? unit(v[1]) : 1.0f;
        const float grey = unit(v[0]) * a;
        out[x] = Pixel{grey, grey, grey, a};
      } else {
        // OpenCV orders colour as blue, green, red.
        const float a = channels == 4 ? unit(v[3]) : 1.0f;
        out[x] = Pixel{unit(v[2]) * a, unit(v[1]) * a, unit(v[0]) * a, a};
      }
    }
  }
  return image;
}

}  // namespace

bool storedLossily(const std::string& path) {
  const MappedFile file(path);
  const std::optional<PictureHeader> header = readPictureHeader(file.bytes());
  return header && header->lossy;
}

std::optional<Image> decodePicture(const std::string& path) {
  const MappedFile file(path);
  const std::optional<PictureHeader> header = readPictureHeader(file.bytes());
  if (!header) return std::nullopt;
  if (header->format != PictureFormat::heif && header->width * header->height > maxPixels) {
    return std::nullopt;
  }
  std::vector<uint8_t> icc = header->iccProfile;
  cv::Mat decoded;
  switch (header->format) {
    case PictureFormat::heif:
      decoded = decodeHeif(file.bytes(), icc);
      break;
    case PictureFormat::gif:
      decoded = decodeGif(file.bytes());
      break;
    case PictureFormat::jpeg:
      decoded = decodeJpeg(file.bytes(), icc);  // a CMYK profile is used there
      break;
    case PictureFormat::tiff:
      decoded = decodeTiff(file.bytes());
      break;
    case PictureFormat::png:
      decoded = decodePng(file.bytes());
      break;
    case PictureFormat::webp:
      decoded = decodeWebp(file.bytes());
      break;
    case PictureFormat::jpeg2000:
      decoded = decodeJpeg2000(file.bytes(), icc);
      break;
    case PictureFormat::bmp:
      decoded = decodeBmp(file.bytes());
      break;
    case PictureFormat::pnm:
      decoded = decodePnm(file.bytes());
      break;
    case PictureFormat::pfm:
      decoded = decodePfm(file.bytes());
      break;
    case PictureFormat::sunRaster:
      decoded = decodeSunRaster(file.bytes());
      break;
    case PictureFormat::radiance:
      decoded = decodeRadiance(file.bytes());
      break;
  }
  if (decoded.empty()) return std::nullopt;
  decoded = upright(std::move(decoded), header->orientation);
  convertToSrgb(decoded, icc);
  return toImage(decoded);
}

}  // namespace plumvane
