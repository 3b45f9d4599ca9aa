// Reading a video's frames, on FFmpeg.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace plumvane {

// An affine transform as (x, y) -> (a x + c y + tx, b x + d y + ty).
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// One decoded frame: 8-bit blue, green, red and alpha, top row first.
struct VideoFrame {
  int width = 0;
  int height = 0;
  size_t rowBytes = 0;
  std::vector<uint8_t> bgra;
};

struct VideoTrackInfo {
  AffineTransform preferredTransform;  // from the display matrix: rotation only
  int naturalWidth = 0;                // the coded size of the frames
  int naturalHeight = 0;
  float nominalFrameRate = 0;  // frames per second; 0 when the file gives none
  double durationSeconds = 0;  // NaN when the file gives none
};

class VideoReader {
 public:
  // The file can't be read as a video, or has no video stream: nothing to read.
  struct NoVideo {};
  // The video stream is there but can't be decoded; text is FFmpeg's error in full.
  struct CannotRead {
    std::string text;
  };
  // Opens the first video stream of the file that is not an attached picture.
  static std::variant<std::unique_ptr<VideoReader>, NoVideo, CannotRead> open(
      const std::string& path);

  ~VideoReader();
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  const VideoTrackInfo& info() const { return info_; }

  enum class Status { frame, end, failed };
  // Decodes the next frame in presentation order into `frame`. At the end of the stream returns
  // end; on a read or decode error returns failed, and failure() tells what went wrong. A file
  // that ends before all the frames its index promises counts as failed, not as the end.
  Status next(VideoFrame& frame);
  const std::string& failure() const { return failure_; }

 private:
  struct Streams;
  explicit VideoReader(std::unique_ptr<Streams> streams);
  Status fail(int error);

  std::unique_ptr<Streams> s_;
  VideoTrackInfo info_;
  std::string failure_;
};

}  // namespace plumvane
