#include "platform/files/ffmpeg_video_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "platform/files/still_pictures.h"

namespace plumvane {
namespace {

// Where a message that comes right before FFmpeg aborts is noted: the program's own
// noteLibraryPanic, handed over when the module is asked to open a video.
PanicNote notePanic = nullptr;

// FFmpeg's text for an error code.
std::string ffmpegErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

// FFmpeg's demuxers notice a file cut short but only say so in their log ("File ended
// prematurely", "partial file"), then end the stream as if it were complete. The log goes here
// instead of standard error, and such a message is kept for the reader to see at the end. A
// message at the panic level comes right before FFmpeg aborts on a failed assertion: it is kept
// to be said when the abort follows.
std::mutex logMutex;
std::string truncationMessage;

void onFfmpegLog(void*, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_WARNING) return;
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  if (level <= AV_LOG_FATAL && notePanic) notePanic("reading stopped: ", line);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.find("ended prematurely") != std::string::npos ||
      text.find("partial file") != std::string::npos) {
    std::lock_guard lock(logMutex);
    truncationMessage = text;
  }
}

std::string takeTruncationMessage() {
  std::lock_guard lock(logMutex);
  return std::exchange(truncationMessage, std::string());
}

// The file is read through its own descriptor, so that FFmpeg never sees the path as a URL.
int readFile(void* opaque, uint8_t* buffer, int size) {
  const int fd = *static_cast<int*>(opaque);
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size_t(size));
    if (n > 0) return int(n);
    if (n == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int64_t seekFile(void* opaque, int64_t offset, int whence) {
  const int fd = *static_cast<int*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : AVERROR(ENOSYS);
  }
  const off_t at = lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : int64_t(at);
}

// A demuxer that wants to open another file or URL (a playlist, a reference, an image sequence)
// is refused: the path given is the only file read.
int refuseToOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

// The display matrix as a transform without its scale. Entries within rounding of 0 or 1 are
// made exact, so that quarter turns and mirrors compare equal to their textbook values.
AffineTransform transformOf(const int32_t* matrix) {
  if (!matrix) return {};
  const double m0 = matrix[0] / 65536.0, m1 = matrix[1] / 65536.0;
  const double m3 = matrix[3] / 65536.0, m4 = matrix[4] / 65536.0;
  const double scaleX = std::hypot(m0, m3), scaleY = std::hypot(m1, m4);
  if (!(scaleX > 0) || !(scaleY > 0)) return {};
  auto snap = [](double v) {
    for (double exact : {-1.0, 0.0, 1.0}) {
      if (std::abs(v - exact) < 1e-4) return exact;
    }
    return v;
  };
  return AffineTransform{
      snap(m0 / scaleX), snap(m1 / scaleY), snap(m3 / scaleX), snap(m4 / scaleY), 0, 0};
}

// A run of this many packets or frames in a row that fail to decode means the stream can't go
// on: a damaged stretch of a real file is far shorter.
constexpr int maxFailuresInARow = 100;
// The bytes each converted row is rounded up to: the converter's widest block of pixels.
constexpr size_t rowAlignment = 64;

struct Streams {
  int fd = -1;
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  SwsContext* scaler = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* decoded = av_frame_alloc();
  std::deque<AVPacket*> ahead;  // packets of the stream read before decoding began
  int stream = -1;
  bool draining = false;  // the demuxer is done: the decoder gives out what it holds
  std::string cutShort;   // why the file counts as cut short, reported once drained
  int failuresInARow = 0;
  int lastFailure = 0;
  int64_t framesGiven = 0;
  int64_t promisedPackets = 0;  // from the container's index; 0 when unknown
  int64_t packetsRead = 0;
  bool lastPacketCut = false;  // the last packet read was shorter than the container said

  ~Streams() {
    for (AVPacket* p : ahead) av_packet_free(&p);
    sws_freeContext(scaler);
    av_frame_free(&decoded);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
    if (fd >= 0) ::close(fd);
  }

  // The demuxer's next packet of the stream into p.
  int demux(AVPacket* p) {
    int read = av_read_frame(format, p);
    while (read == 0 && p->stream_index != stream) {
      av_packet_unref(p);
      read = av_read_frame(format, p);
    }
    return read;
  }

  // The next packet of the stream into `packet`: one read ahead first, then the demuxer's.
  int readPacket() {
    if (ahead.empty()) return demux(packet);
    av_packet_move_ref(packet, ahead.front());
    av_packet_free(&ahead.front());
    ahead.pop_front();
    return 0;
  }

  // Reads up to `count` packets of the stream ahead and tells how many there are.
  size_t peek(size_t count) {
    while (ahead.size() < count) {
      AVPacket* p = av_packet_alloc();
      if (!p || demux(p) < 0) {
        av_packet_free(&p);
        break;
      }
      ahead.push_back(p);
    }
    return ahead.size();
  }
};

// The reader of one video stream.
class FfmpegVideoReader final : public VideoReader {
 public:
  FfmpegVideoReader(std::unique_ptr<Streams> streams, const VideoTrackInfo& info)
      : s_(std::move(streams)) {
    info_ = info;
  }
  Status next(VideoFrame& frame) override;

 private:
  Status fail(int error);

  std::unique_ptr<Streams> s_;
};

// The width the frames are shown at: stored with pixels wider or narrower than they are tall
// (PAL and NTSC widescreen, HDV), as players show them. An aspect beyond what any format uses is
// damage, and leaves the stored width.
constexpr double widestPixels = 8;
int shownWidth(int width, AVRational pixelAspect) {
  if (pixelAspect.num <= 0 || pixelAspect.den <= 0) return width;
  const double aspect = av_q2d(pixelAspect);
  if (aspect > widestPixels || aspect < 1 / widestPixels) return width;
  return std::max(1, int(std::lround(width * aspect)));
}

OpenedVideo openVideo(const std::string& path) {
  using NoVideo = VideoReader::NoVideo;
  using CannotRead = VideoReader::CannotRead;
  // Errors reach the user through the caller, once; the log is only watched.
  av_log_set_level(AV_LOG_WARNING);
  av_log_set_callback(onFfmpegLog);
  takeTruncationMessage();
  auto s = std::make_unique<Streams>();
  if (!s->packet || !s->decoded) return CannotRead{ffmpegErrorText(AVERROR(ENOMEM))};

  s->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (s->fd < 0 || fstat(s->fd, &st) != 0 || S_ISDIR(st.st_mode)) return NoVideo{};
  constexpr int bufferSize = 1 << 16;
  auto* buffer = static_cast<uint8_t*>(av_malloc(bufferSize));
  if (buffer)
    s->io = avio_alloc_context(buffer, bufferSize, 0, &s->fd, readFile, nullptr, seekFile);
  if (!s->io) {
    av_free(buffer);
    return CannotRead{ffmpegErrorText(AVERROR(ENOMEM))};
  }
  s->format = avformat_alloc_context();
  if (!s->format) return CannotRead{ffmpegErrorText(AVERROR(ENOMEM))};
  s->format->pb = s->io;
  s->format->flags |= AVFMT_FLAG_CUSTOM_IO;
  s->format->io_open = refuseToOpen;
  // Contexts that a demuxer makes of its own inherit this list, which names no protocol.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "none", 0);
  // The path serves only as a hint to the format's name, never as a URL.
  const int opened = avformat_open_input(&s->format, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return NoVideo{};  // avformat_open_input has freed the context
  if (avformat_find_stream_info(s->format, nullptr) < 0) return NoVideo{};
  for (unsigned i = 0; i < s->format->nb_streams; ++i) {
    const AVStream* candidate = s->format->streams[i];
    if (candidate->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(candidate->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      s->stream = int(i);
      break;
    }
  }
  if (s->stream < 0) return NoVideo{};
  AVStream* video = s->format->streams[s->stream];
  if (isPictureDemuxer(s->format->iformat)) return NoVideo{};
  if (isPictureCodec(video->codecpar->codec_id) && s->peek(2) < 2) return NoVideo{};

  auto cannotRead = [](int error) {
    return CannotRead{ffmpegErrorText(error) + " (FFmpeg error " + std::to_string(error) + ")"};
  };
  const int64_t width = video->codecpar->width, height = video->codecpar->height;
  if (width * height > maxPixels) {
    return CannotRead{"its frames are " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels, more than the limit of " + std::to_string(maxPixels / 1'000'000) +
                      " megapixels"};
  }
  const AVCodec* decoder = avcodec_find_decoder(video->codecpar->codec_id);
  if (!decoder) return cannotRead(AVERROR_DECODER_NOT_FOUND);
  s->codec = avcodec_alloc_context3(decoder);
  if (!s->codec) return cannotRead(AVERROR(ENOMEM));
  if (int e = avcodec_parameters_to_context(s->codec, video->codecpar); e < 0) return cannotRead(e);
  s->codec->thread_count = 0;  // as many decoding threads as FFmpeg sees fit
  s->codec->max_pixels = maxPixels;
  if (int e = avcodec_open2(s->codec, decoder, nullptr); e < 0) return cannotRead(e);
  s->promisedPackets = video->nb_frames;

  VideoTrackInfo info;
  info.preferredTransform = transformOf(reinterpret_cast<const int32_t*>(
      av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, nullptr)));
  info.naturalWidth =
      shownWidth(int(width), av_guess_sample_aspect_ratio(s->format, video, nullptr));
  info.naturalHeight = int(height);
  if (video->avg_frame_rate.num > 0 && video->avg_frame_rate.den > 0) {
    info.nominalFrameRate = float(av_q2d(video->avg_frame_rate));
  }
  info.durationSeconds = std::numeric_limits<double>::quiet_NaN();
  if (s->format->duration != AV_NOPTS_VALUE && s->format->duration >= 0) {
    info.durationSeconds = double(s->format->duration) / AV_TIME_BASE;
  } else if (video->duration != AV_NOPTS_VALUE && video->duration >= 0) {
    info.durationSeconds = double(video->duration) * av_q2d(video->time_base);
  }

  return std::make_unique<FfmpegVideoReader>(std::move(s), info);
}

VideoReader::Status FfmpegVideoReader::fail(int error) {
  failure_ = ffmpegErrorText(error);
  return Status::failed;
}

VideoReader::Status FfmpegVideoReader::next(VideoFrame& frame) {
  Streams& s = *s_;
  // A decoding error is passed over, as players do, unless memory ran out or errors come one
  // after another without end.
  auto passOver = [&s](int error) {
    s.lastFailure = error;
    return error != AVERROR(ENOMEM) && ++s.failuresInARow < maxFailuresInARow;
  };
  for (;;) {
    const int received = avcodec_receive_frame(s.codec, s.decoded);
    if (received == 0) break;
    if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && s.draining)) {
      if (!s.cutShort.empty()) {
        failure_ = s.cutShort;
        return Status::failed;
      }
      // Damaged data throughout, with not one frame to show for it, is no video.
      if (s.framesGiven == 0 && s.lastFailure != 0) return fail(s.lastFailure);
      return Status::end;
    }
    if (received != AVERROR(EAGAIN)) {
      if (passOver(received)) continue;
      return fail(received);
    }

    // The decoder wants more: the next packet of our stream, or the end of the file.
    const int read = s.readPacket();
    if (read == AVERROR_EOF || (read < 0 && s.format->pb->eof_reached)) {
      if (s.format->pb->error < 0 && s.format->pb->error != AVERROR_EOF) {
        return fail(s.format->pb->error);
      }
      // Frames the decoder still holds are given out before a cut is reported. Demuxers say
      // so in their log; AVI's marks the packet that the end of the file cut short.
      s.cutShort = takeTruncationMessage();
      if (s.cutShort.empty() && s.lastPacketCut) {
        s.cutShort = "the file ends inside a frame";
        if (s.promisedPackets > 0) {
          s.cutShort = "the file ends after " + std::to_string(s.packetsRead - 1) + " of its " +
                       std::to_string(s.promisedPackets) + " frames";
        }
      }
      s.draining = true;
      if (int e = avcodec_send_packet(s.codec, nullptr); e < 0 && e != AVERROR_EOF) return fail(e);
      continue;
    }
    if (read < 0) {
      if (passOver(read)) continue;
      return fail(read);
    }
    s.lastPacketCut = s.packet->flags & AV_PKT_FLAG_CORRUPT;
    ++s.packetsRead;
    // An empty packet stands for a dropped frame; to the decoder it would mean the end.
    if (s.packet->size == 0) {
      av_packet_unref(s.packet);
      continue;
    }
    const int sent = avcodec_send_packet(s.codec, s.packet);
    av_packet_unref(s.packet);
    if (sent < 0 && !passOver(sent)) return fail(sent);
  }

  // Convert to BGRA at the frame's own size.
  AVFrame* f = s.decoded;
  s.failuresInARow = 0;
  s.scaler =
      sws_getCachedContext(s.scaler, f->width, f->height, AVPixelFormat(f->format), f->width,
                           f->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!s.scaler) {
    av_frame_unref(f);
    return fail(AVERROR(EINVAL));
  }
  frame.width = f->width;
  frame.height = f->height;
  // The converter writes whole blocks of pixels, past the end of a row whose width is not a
  // multiple of the block: each row is given room for a whole number of blocks.
  frame.rowBytes = (size_t(f->width) * 4 + rowAlignment - 1) / rowAlignment * rowAlignment;
  frame.bgra.resize(frame.rowBytes * size_t(f->height));
  uint8_t* planes[4] = {frame.bgra.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {int(frame.rowBytes), 0, 0, 0};
  sws_scale(s.scaler, f->data, f->linesize, 0, f->height, planes, strides);
  av_frame_unref(f);
  ++s.framesGiven;
  return Status::frame;
}

}  // namespace
}  // namespace plumvane

extern "C" __attribute__((visibility("default"))) void plumvane_open_video(
    const std::string& path, plumvane::OpenedVideo& opened, plumvane::PanicNote note) {
  plumvane::notePanic = note;
  opened = plumvane::openVideo(path);
}
