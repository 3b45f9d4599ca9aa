#include "platform/files/png_file.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <variant>
#include <vector>

#include "platform/process/temporary_file.h"

namespace plumvane {
namespace {

// libpng reports errors by long-jumping out of png_* calls; this holds its message.
struct ErrorState {
  char message[256] = {};
};

void onPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<ErrorState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof state->message, "%s", message);
  png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// Encodes the pixels into an open file. Returns false with a message in state on failure.
// Only C calls and plain data live between setjmp and the jumps, so no destructor is skipped.
bool encode(FILE* file, const PngPixels& pixels, const PngOptions& options, png_bytep* rows,
            ErrorState& state) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, onPngError, onPngWarning);
  if (!png) {
    std::snprintf(state.message, sizeof state.message, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    if (!state.message[0]) std::snprintf(state.message, sizeof state.message, "out of memory");
    return false;
  }
  png_init_io(png, file);
  // libpng refuses a side over a million pixels unless told otherwise, a guard for readers; a
  // panorama or a strip of that width is still a picture, and a PNG holds up to 2^31 - 1.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_compression_level(png, options.compressionLevel);
  if (options.runs) {
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_strategy(png, Z_RLE);
  } else {
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_PAETH);
  }
  png_set_IHDR(png, info, png_uint_32(pixels.width), png_uint_32(pixels.height), 8,
               pixels.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (options.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

mode_t creationMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Encodes into an open descriptor and closes it. Returns the error's description on failure.
std::optional<std::string> encodeInto(int fd, const PngPixels& pixels, const PngOptions& options) {
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    close(fd);
    return std::string(std::strerror(error));
  }
  std::vector<png_bytep> rows(size_t(pixels.height));
  const size_t stride = size_t(pixels.width) * size_t(pixels.channels);
  for (size_t row = 0; row < rows.size(); ++row) {
    rows[row] = const_cast<png_bytep>(pixels.data + row * stride);
  }
  ErrorState state;
  errno = 0;
  const bool encoded = encode(file, pixels, options, rows.data(), state);
  int error = encoded ? 0 : errno;
  if (std::fclose(file) != 0 && error == 0) error = errno;  // a late write error, such as ENOSPC
  if (!encoded || error != 0) return std::string(error ? std::strerror(error) : state.message);
  return std::nullopt;
}

// The file a path leads to through its symbolic links: the link's target is what gets replaced,
// not the link. ELOOP when the links go round.
std::variant<std::filesystem::path, int> throughLinks(std::filesystem::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
    // A path that can't be looked at may be a link: refused rather than replaced.
    if (error && status.type() != std::filesystem::file_type::not_found) return error.value();
    if (!std::filesystem::is_symlink(status)) return path;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) return error.value();
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return ELOOP;
}

// The descriptor that a path such as /dev/stdout, /dev/fd/N or /proc/self/fd/N names, whatever
// the file system holds under that name.
std::optional<int> descriptorNamedBy(const std::string& path) {
  if (path == "/dev/stdout") return STDOUT_FILENO;
  if (path == "/dev/stderr") return STDERR_FILENO;
  for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (path.size() <= prefix.size() || path.size() > prefix.size() + 9 ||
        path.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    const std::string number = path.substr(prefix.size());
    if (number.find_first_not_of("0123456789") == std::string::npos) return std::stoi(number);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> writePng(const std::string& path, const PngPixels& pixels,
                                    const PngOptions& options) {
  if (pixels.width <= 0 || pixels.height <= 0 || (pixels.channels != 1 && pixels.channels != 4)) {
    return std::string(std::strerror(EINVAL));
  }
  // One of the process's own descriptors named as a file (/dev/stdout, /dev/fd/3), or the file
  // that standard output is, is written through the descriptor itself: nothing is replaced, and
  // the picture and the lines printed after it keep their order.
  struct stat existing, output;
  const bool found = stat(path.c_str(), &existing) == 0;
  std::optional<int> stream = descriptorNamedBy(path);
  if (!stream && found && fstat(STDOUT_FILENO, &output) == 0 && existing.st_dev == output.st_dev &&
      existing.st_ino == output.st_ino) {
    stream = STDOUT_FILENO;
  }
  if (stream) {
    if (*stream == STDOUT_FILENO) std::fflush(stdout);
    const int fd = dup(*stream);
    if (fd < 0) return std::string(std::strerror(errno));
    return encodeInto(fd, pixels, options);
  }
  // A pipe or a device can't be replaced: the picture is written straight into it.
  if (found && !S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::string(std::strerror(errno));
    return encodeInto(fd, pixels, options);
  }

  const auto resolved = throughLinks(path);
  if (const int* error = std::get_if<int>(&resolved)) return std::string(std::strerror(*error));
  const std::filesystem::path& target = std::get<std::filesystem::path>(resolved);
  // A file that is there keeps its permissions and owner; one that is read-only is refused,
  // also where the superuser could write it.
  mode_t mode = creationMode();
  const bool replacing = lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  if (replacing) {
    mode = existing.st_mode & 07777;
    if (access(target.c_str(), W_OK) != 0 || (mode & 0222) == 0) {
      return std::string(std::strerror(EACCES));
    }
  }

  const std::filesystem::path directory =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string hidden = ".";
  hidden += target.filename().string();
  hidden += ".XXXXXX";
  // Removed unless it is renamed into place, also should the process be interrupted.
  TemporaryFile temporary((directory / hidden).string());
  if (temporary.fd() < 0) return std::string(std::strerror(errno));
  fchmod(temporary.fd(), mode);
  if (replacing && fchown(temporary.fd(), existing.st_uid, existing.st_gid) != 0) {
    fchmod(temporary.fd(), mode & 0777);  // no set-id bits on a file of another owner
  }
  const int fd = dup(temporary.fd());
  if (fd < 0) return std::string(std::strerror(errno));
  if (auto error = encodeInto(fd, pixels, options)) return error;
  if (const int error = temporary.commit(target.string())) return std::string(std::strerror(error));
  return std::nullopt;
}

}  // namespace plumvane
