// Reading a video's frames, on FFmpeg.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/files/picture_header.h"

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
  // From the display matrix without its scale: a rotation, a mirror, or both.
  AffineTransform preferredTransform;
  // The size the frames are shown at: their coded size, wider or narrower where the file says
  // the pixels are not square.
  int naturalWidth = 0;
  int naturalHeight = 0;
  float nominalFrameRate = 0;  // frames per second; 0 when the file gives none
  double durationSeconds = 0;  // NaN when the file gives none
};

class VideoReader {
 public:
  // The path is not a readable file, the file can't be read as a video, or its only video
  // stream is a still picture (a picture file, or a single frame of a picture codec).
  struct NoVideo {};
  // The video stream is there but can't be decoded; text says why.
  struct CannotRead {
    std::string text;
  };
  // Opens the first video stream of the local file at path that is not an attached picture.
  // The path names a file, never a URL or another protocol, and the file opens nothing else.
  // The reader, on FFmpeg, is a module of its own (libplumvane_ffmpeg.so beside the program)
  // loaded on the first call, so that runs without a video never load FFmpeg's libraries; when
  // it can't be loaded, the video can't be read and the text says why.
  static std::variant<std::unique_ptr<VideoReader>, NoVideo, CannotRead> open(
      const std::string& path);

  virtual ~VideoReader() = default;
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  const VideoTrackInfo& info() const { return info_; }

  enum class Status { frame, end, failed };
  // Decodes the next frame in presentation order into `frame`, as a player would: damaged
  // packets are concealed or skipped, and empty ones (dropped frames) pass. Returns end after
  // the last frame the decoder gives; failed when the file turns out cut short, reading it
  // fails, or the stream can't be decoded any further, and failure() tells why.
  virtual Status next(VideoFrame& frame) = 0;
  const std::string& failure() const { return failure_; }

 protected:
  VideoReader() = default;

  VideoTrackInfo info_;
  std::string failure_;
};

}  // namespace plumvane
