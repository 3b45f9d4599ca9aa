#include "platform/files/picture_header.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include "platform/files/file_bytes.h"

namespace plumvane {
namespace {

using Bytes = FileBytes;

std::optional<PictureHeader> sized(PictureFormat format, int64_t width, int64_t height,
                                   std::vector<uint8_t> icc = {}) {
  // Sides beyond the pixel limit are refused here, so that width * height can't overflow.
  if (width <= 0 || height <= 0 || width > maxPixels || height > maxPixels) return std::nullopt;
  PictureHeader header{format, width, height, std::move(icc)};
  header.lossy = format == PictureFormat::jpeg || format == PictureFormat::jpeg2000;
  return header;
}

// zlib data that inflates to at most `limit` bytes; nothing when it is damaged or larger.
std::vector<uint8_t> inflated(std::span<const uint8_t> compressed, size_t limit) {
  z_stream z = {};
  if (inflateInit(&z) != Z_OK) return {};
  std::vector<uint8_t> out;
  z.next_in = const_cast<Bytef*>(compressed.data());
  z.avail_in = uInt(compressed.size());
  int status = Z_OK;
  while (status == Z_OK && out.size() < limit) {
    uint8_t chunk[16384];
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    if (status == Z_BUF_ERROR) break;
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END || out.size() > limit) return {};
  return out;
}

constexpr size_t maxProfileSize = 16 << 20;

std::optional<PictureHeader> png(const Bytes& b) {
  if (!b.startsWith(12, "IHDR")) return std::nullopt;
  const auto width = b.be(16, 4), height = b.be(20, 4);
  if (!width || !height) return std::nullopt;
  // The chunks before the pixel data may hold the profile; the EXIF data may also come after
  // it, so every chunk's header is looked at (not its data).
  std::vector<uint8_t> icc;
  int orientation = 1;
  bool iccRead = false, exifRead = false, pixelsSeen = false;
  for (size_t at = 8; b.has(at, 8) && !(iccRead && exifRead);) {
    const size_t length = *b.be(at, 4);
    if (!b.has(at + 8, length) || b.startsWith(at + 4, "IEND")) break;
    pixelsSeen = pixelsSeen || b.startsWith(at + 4, "IDAT");
    if (b.startsWith(at + 4, "iCCP") && !iccRead && !pixelsSeen) {
      const auto chunk = b.slice(at + 8, length);
      const auto nameEnd = std::find(chunk.begin(), chunk.end(), 0);
      if (chunk.end() - nameEnd >= 2) {  // the name's end, then the compression method
        icc = inflated(chunk.subspan(size_t(nameEnd - chunk.begin()) + 2), maxProfileSize);
      }
      iccRead = true;
    }
    if (b.startsWith(at + 4, "eXIf") && !exifRead) {
      orientation = exifOrientation(b.slice(at + 8, length));
      exifRead = true;
    }
    at += 12 + length;
  }
  auto header = sized(PictureFormat::png, *width, *height, std::move(icc));
  if (header) header->orientation = orientation;
  return header;
}

std::optional<PictureHeader> jpeg(const Bytes& b) {
  std::map<int, std::vector<uint8_t>> iccChunks;  // by sequence number
  std::optional<int> orientation;                 // from the first EXIF segment
  for (size_t at = 2; b.has(at, 4);) {
    if (b.data[at] != 0xFF) return std::nullopt;
    const uint8_t marker = b.data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // markers without a length
      at += 2;
      continue;
    }
    const size_t length = *b.be(at + 2, 2);
    if (length < 2 || !b.has(at + 2, length)) return std::nullopt;
    const size_t body = at + 4;
    if (marker == 0xE2 && b.startsWith(body, std::string_view("ICC_PROFILE\0", 12)) &&
        length >= 16) {
      iccChunks[b.data[body + 12]] = std::vector<uint8_t>(b.data.begin() + long(body + 14),
                                                          b.data.begin() + long(at + 2 + length));
    }
    if (marker == 0xE1 && !orientation && length >= 8 &&
        b.startsWith(body, std::string_view("Exif\0\0", 6))) {
      orientation = exifOrientation(b.slice(body + 6, length - 8));
    }
    // Start of frame: every SOFn but DHT (C4), JPG (C8) and DAC (CC).
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      const auto height = b.be(body + 1, 2), width = b.be(body + 3, 2);
      if (!height || !width) return std::nullopt;
      std::vector<uint8_t> icc;
      for (auto& [sequence, chunk] : iccChunks) icc.insert(icc.end(), chunk.begin(), chunk.end());
      if (icc.size() > maxProfileSize) icc.clear();
      auto header = sized(PictureFormat::jpeg, *width, *height, std::move(icc));
      if (header) header->orientation = orientation.value_or(1);
      return header;
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // scan or end before a frame
    at += 2 + length;
  }
  return std::nullopt;
}

std::optional<PictureHeader> webp(const Bytes& b) {
  std::optional<PictureHeader> header;
  std::vector<uint8_t> icc;
  int orientation = 1;
  bool lossy = false, firstFrameSeen = false;
  for (size_t at = 12; b.has(at, 8);) {
    const size_t length = *b.le(at + 4, 4);
    const size_t body = at + 8;
    if (!b.has(body, length)) break;
    if (b.startsWith(at, "VP8X") && length >= 10) {
      header = sized(PictureFormat::webp, int64_t(*b.le(body + 4, 3)) + 1,
                     int64_t(*b.le(body + 7, 3)) + 1);
    } else if (b.startsWith(at, "ICCP")) {
      if (length <= maxProfileSize)
        icc.assign(b.data.begin() + long(body), b.data.begin() + long(body + length));
    } else if (b.startsWith(at, "EXIF")) {
      orientation = exifOrientation(b.slice(body, length));
    } else if (b.startsWith(at, "VP8 ") && length >= 10) {
      lossy = true;
      if (!header) {
        header =
            sized(PictureFormat::webp, *b.le(body + 6, 2) & 0x3FFF, *b.le(body + 8, 2) & 0x3FFF);
      }
    } else if (b.startsWith(at, "ANMF") && !firstFrameSeen) {
      // An animation's frame: its position and timing, then its own chunks. The picture is the
      // first frame, stored lossily when its image is a VP8 stream.
      firstFrameSeen = true;
      for (size_t in = body + 16; in + 8 <= body + length && b.has(in, 8);) {
        const size_t inner = *b.le(in + 4, 4);
        if (b.startsWith(in, "VP8 ")) lossy = true;
        in += 8 + inner + (inner & 1);
      }
    } else if (b.startsWith(at, "VP8L") && length >= 5 && !header) {
      const uint32_t bits = *b.le(body + 1, 4);
      header = sized(PictureFormat::webp, (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    at = body + length + (length & 1);
  }
  if (header) {
    header->iccProfile = std::move(icc);
    header->orientation = orientation;
    header->lossy = lossy;
  }
  return header;
}

std::optional<PictureHeader> bmp(const Bytes& b) {
  const auto infoSize = b.le(14, 4);
  if (!infoSize) return std::nullopt;
  if (*infoSize == 12) {
    const auto width = b.le(18, 2), height = b.le(20, 2);
    if (!width || !height) return std::nullopt;
    return sized(PictureFormat::bmp, *width, *height);
  }
  const auto width = b.le(18, 4), height = b.le(22, 4);
  if (!width || !height) return std::nullopt;
  // The height is negative for pictures stored top row first.
  return sized(PictureFormat::bmp, int32_t(*width), std::abs(int64_t(int32_t(*height))));
}

std::optional<PictureHeader> tiff(const Bytes& b) {
  const bool little = b.data[0] == 'I';
  auto number = [&](size_t at, size_t count) { return little ? b.le(at, count) : b.be(at, count); };
  const auto ifd = number(4, 4);
  if (!ifd) return std::nullopt;
  const auto entries = number(*ifd, 2);
  if (!entries) return std::nullopt;
  int64_t width = 0, height = 0;
  std::vector<uint8_t> icc;
  for (size_t i = 0; i < *entries; ++i) {
    const size_t entry = *ifd + 2 + i * 12;
    const auto tag = number(entry, 2), type = number(entry + 2, 2), count = number(entry + 4, 4);
    if (!tag || !type || !count) return std::nullopt;
    const auto value = *type == 3 ? number(entry + 8, 2) : number(entry + 8, 4);  // SHORT or LONG
    if (!value) return std::nullopt;
    if (*tag == 256) width = *value;
    if (*tag == 257) height = *value;
    if (*tag == 34675 && *count <= maxProfileSize && *count > 4 && b.has(*value, *count)) {
      icc.assign(b.data.begin() + long(*value), b.data.begin() + long(*value + *count));
    }
  }
  auto header = sized(PictureFormat::tiff, width, height, std::move(icc));
  if (header) header->orientation = exifOrientation(b.data);
  return header;
}

// The whitespace-separated fields of a text header (PNM, PFM), comments left out.
struct TextFields {
  const Bytes& b;
  size_t at;
  std::string next() {
    std::string field;
    while (b.has(at, 1)) {
      const char c = char(b.data[at]);
      if (c == '#' && field.empty()) {
        while (b.has(at, 1) && b.data[at] != '\n') ++at;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++at;
        if (!field.empty()) return field;
      } else {
        field += c;
        ++at;
        if (field.size() > 20) return {};
      }
    }
    return field;
  }
};

int64_t wholeNumber(const std::string& text) {
  if (text.empty() || text.size() > 12 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return std::stoll(text);
}

std::optional<PictureHeader> pnm(const Bytes& b) {
  TextFields fields{b, 2};
  if (b.data[1] == '7') {  // PAM: lines of "KEY value" up to ENDHDR
    int64_t width = -1, height = -1;
    for (int i = 0; i < 64; ++i) {
      const std::string key = fields.next();
      if (key == "ENDHDR" || key.empty()) break;
      if (key == "WIDTH") width = wholeNumber(fields.next());
      if (key == "HEIGHT") height = wholeNumber(fields.next());
    }
    return sized(PictureFormat::pnm, width, height);
  }
  const int64_t width = wholeNumber(fields.next());
  return sized(PictureFormat::pnm, width, wholeNumber(fields.next()));
}

std::optional<PictureHeader> pfm(const Bytes& b) {
  TextFields fields{b, 2};
  const int64_t width = wholeNumber(fields.next());
  return sized(PictureFormat::pfm, width, wholeNumber(fields.next()));
}

std::optional<PictureHeader> radiance(const Bytes& b) {
  // Header lines up to an empty line, then the resolution line such as "-Y 480 +X 640".
  size_t at = 0;
  std::string line, previous;
  for (int lines = 0; b.has(at, 1) && lines < 256; ++lines) {
    line.clear();
    while (b.has(at, 1) && b.data[at] != '\n' && line.size() < 256) line += char(b.data[at++]);
    ++at;
    if (previous.empty() && lines > 0) {
      char yAxis[3] = {}, xAxis[3] = {};
      long long first = 0, second = 0;
      if (std::sscanf(line.c_str(), "%2s %lld %2s %lld", yAxis, &first, xAxis, &second) != 4) {
        return std::nullopt;
      }
      // "-Y h +X w" or, for pictures stored by columns, "+X w -Y h".
      const bool rowsFirst = yAxis[1] == 'Y';
      return sized(PictureFormat::radiance, rowsFirst ? second : first, rowsFirst ? first : second);
    }
    previous = line;
  }
  return std::nullopt;
}

std::optional<PictureHeader> jpeg2000(const Bytes& b) {
  if (b.startsWith(0, "\xFF\x4F\xFF\x51")) {  // a bare codestream: the SIZ segment
    const auto xs = b.be(8, 4), ys = b.be(12, 4), x0 = b.be(16, 4), y0 = b.be(20, 4);
    if (!xs || !ys || !x0 || !y0 || *x0 > *xs || *y0 > *ys) return std::nullopt;
    return sized(PictureFormat::jpeg2000, *xs - *x0, *ys - *y0);
  }
  // A JP2 file: boxes, the header box holding an image header box.
  for (size_t at = 0; b.has(at, 8);) {
    size_t length = *b.be(at, 4);
    if (b.startsWith(at + 4, "jp2h")) {
      at += 8;
      continue;  // its boxes follow
    }
    if (b.startsWith(at + 4, "ihdr")) {
      const auto height = b.be(at + 8, 4), width = b.be(at + 12, 4);
      if (!height || !width) return std::nullopt;
      return sized(PictureFormat::jpeg2000, *width, *height);
    }
    if (length < 8) return std::nullopt;
    at += length;
  }
  return std::nullopt;
}

bool isHeif(const Bytes& b) {
  if (!b.startsWith(4, "ftyp")) return false;
  const auto length = b.be(0, 4);
  if (!length || *length < 16 || !b.has(0, *length)) return false;
  // The major brand, then the compatible brands after the minor version.
  for (size_t at = 8; at + 4 <= *length; at += at == 8 ? 8 : 4) {
    for (std::string_view brand :
         {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif", "avis"}) {
      if (b.startsWith(at, brand)) return true;
    }
  }
  return false;
}

}  // namespace

int exifOrientation(std::span<const uint8_t> exif) {
  // PNG's and WebP's chunks should start with the TIFF header, but some writers keep the prefix
  // of JPEG's segment.
  if (Bytes{exif}.startsWith(0, std::string_view("Exif\0\0", 6))) exif = exif.subspan(6);
  const Bytes b{exif};
  const bool little = b.startsWith(0, std::string_view("II*\0", 4));
  if (!little && !b.startsWith(0, std::string_view("MM\0*", 4))) return 1;
  auto number = [&](size_t at, size_t count) { return little ? b.le(at, count) : b.be(at, count); };
  const auto ifd = number(4, 4);
  if (!ifd) return 1;
  const auto entries = number(*ifd, 2);
  if (!entries) return 1;
  for (size_t i = 0; i < *entries; ++i) {
    const size_t entry = size_t(*ifd) + 2 + i * 12;
    const auto tag = number(entry, 2), type = number(entry + 2, 2), count = number(entry + 4, 4);
    if (!tag || !type || !count) return 1;
    if (*tag != 0x0112) continue;
    // One SHORT, held in the entry itself.
    const auto value = *type == 3 && *count == 1 ? number(entry + 8, 2) : std::nullopt;
    return value && *value >= 1 && *value <= 8 ? int(*value) : 1;
  }
  return 1;
}

std::optional<PictureHeader> readPictureHeader(std::span<const uint8_t> file) {
  const Bytes b{file};
  if (b.startsWith(0, "\x89PNG\r\n\x1a\n")) return png(b);
  if (b.startsWith(0, "\xFF\xD8")) return jpeg(b);
  if (b.startsWith(0, "GIF87a") || b.startsWith(0, "GIF89a")) {
    return sized(PictureFormat::gif, b.le(6, 2).value_or(0), b.le(8, 2).value_or(0));
  }
  if (b.startsWith(0, "RIFF") && b.startsWith(8, "WEBP")) return webp(b);
  if (b.startsWith(0, "BM")) return bmp(b);
  if (b.startsWith(0, std::string_view("II*\0", 4)) ||
      b.startsWith(0, std::string_view("MM\0*", 4)))
    return tiff(b);
  if (b.has(0, 2) && b.data[0] == 'P' && b.data[1] >= '1' && b.data[1] <= '7') return pnm(b);
  if (b.startsWith(0, "PF") || b.startsWith(0, "Pf")) return pfm(b);
  if (b.startsWith(0, "\x59\xA6\x6A\x95")) {
    const auto width = b.be(4, 4), height = b.be(8, 4);
    if (!width || !height) return std::nullopt;
    return sized(PictureFormat::sunRaster, *width, *height);
  }
  if (b.startsWith(0, "#?")) return radiance(b);
  if (b.startsWith(0, "\xFF\x4F\xFF\x51") || b.startsWith(4, "jP  ")) return jpeg2000(b);
  if (isHeif(b)) {
    PictureHeader header{PictureFormat::heif, 0, 0, {}};
    header.lossy = true;
    return header;
  }
  return std::nullopt;
}

}  // namespace plumvane
