#include "platform/video_reader.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

namespace plumvane {
namespace {

// FFmpeg's text for an error code.
std::string ffmpegErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

// FFmpeg's demuxers notice a file cut short but only say so in their log ("File ended
// prematurely", "partial file"), then end the stream as if it were complete. The log goes here
// instead of standard error, and such a message is kept for the reader to see at the end.
std::mutex logMutex;
std::string truncationMessage;

void onFfmpegLog(void*, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_WARNING) return;
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
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

}  // namespace

struct VideoReader::Streams {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  SwsContext* scaler = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* decoded = av_frame_alloc();
  int stream = -1;
  int64_t promisedPackets = 0;  // from the container's index; 0 when unknown
  int64_t packetsRead = 0;
  bool draining = false;  // the demuxer is done: the decoder gives out what it holds
  std::string cutShort;   // why the file counts as cut short, reported once drained

  ~Streams() {
    sws_freeContext(scaler);
    av_frame_free(&decoded);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }
};

namespace {

// The clockwise rotation of a display matrix as a transform; quarter turns are exact.
AffineTransform rotationOf(const int32_t* matrix) {
  if (!matrix) return {};
  const double counterClockwise = av_display_rotation_get(matrix);
  if (std::isnan(counterClockwise)) return {};
  const double clockwise = -counterClockwise;
  double quarters = clockwise / 90;
  double cosine, sine;
  if (std::abs(quarters - std::round(quarters)) < 1e-6) {
    const int q = ((int(std::lround(quarters)) % 4) + 4) % 4;
    constexpr int cosines[] = {1, 0, -1, 0};
    constexpr int sines[] = {0, 1, 0, -1};
    cosine = cosines[q];
    sine = sines[q];
  } else {
    cosine = std::cos(clockwise * M_PI / 180);
    sine = std::sin(clockwise * M_PI / 180);
  }
  return AffineTransform{cosine, sine, -sine, cosine, 0, 0};
}

}  // namespace

VideoReader::VideoReader(std::unique_ptr<Streams> streams) : s_(std::move(streams)) {}
VideoReader::~VideoReader() = default;

std::variant<std::unique_ptr<VideoReader>, VideoReader::NoVideo, VideoReader::CannotRead>
VideoReader::open(const std::string& path) {
  // Errors reach the user through the caller, once; the log is only watched.
  av_log_set_level(AV_LOG_WARNING);
  av_log_set_callback(onFfmpegLog);
  takeTruncationMessage();
  auto s = std::make_unique<Streams>();
  if (!s->packet || !s->decoded) return CannotRead{ffmpegErrorText(AVERROR(ENOMEM))};
  if (avformat_open_input(&s->format, path.c_str(), nullptr, nullptr) < 0) return NoVideo{};
  if (avformat_find_stream_info(s->format, nullptr) < 0) return NoVideo{};
  for (unsigned i = 0; i < s->format->nb_streams; ++i) {
    const AVStream* st = s->format->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      s->stream = int(i);
      break;
    }
  }
  if (s->stream < 0) return NoVideo{};
  AVStream* st = s->format->streams[s->stream];

  auto cannotRead = [](int error) {
    return CannotRead{ffmpegErrorText(error) + " (FFmpeg error " + std::to_string(error) + ")"};
  };
  const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
  if (!decoder) return cannotRead(AVERROR_DECODER_NOT_FOUND);
  s->codec = avcodec_alloc_context3(decoder);
  if (!s->codec) return cannotRead(AVERROR(ENOMEM));
  if (int e = avcodec_parameters_to_context(s->codec, st->codecpar); e < 0) return cannotRead(e);
  s->codec->thread_count = 0;  // as many decoding threads as FFmpeg sees fit
  // Damaged data is an error, not a frame patched over in silence.
  s->codec->err_recognition |= AV_EF_EXPLODE;
  if (int e = avcodec_open2(s->codec, decoder, nullptr); e < 0) return cannotRead(e);
  s->promisedPackets = st->nb_frames;

  VideoTrackInfo info;
  info.preferredTransform = rotationOf(reinterpret_cast<const int32_t*>(
      av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr)));
  info.naturalWidth = st->codecpar->width;
  info.naturalHeight = st->codecpar->height;
  if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0) {
    info.nominalFrameRate = float(av_q2d(st->avg_frame_rate));
  }
  info.durationSeconds = std::numeric_limits<double>::quiet_NaN();
  if (s->format->duration != AV_NOPTS_VALUE && s->format->duration >= 0) {
    info.durationSeconds = double(s->format->duration) / AV_TIME_BASE;
  } else if (st->duration != AV_NOPTS_VALUE && st->duration >= 0) {
    info.durationSeconds = double(st->duration) * av_q2d(st->time_base);
  }

  std::unique_ptr<VideoReader> reader(new VideoReader(std::move(s)));
  reader->info_ = info;
  return reader;
}

VideoReader::Status VideoReader::fail(int error) {
  failure_ = ffmpegErrorText(error);
  return Status::failed;
}

VideoReader::Status VideoReader::next(VideoFrame& frame) {
  Streams& s = *s_;
  for (;;) {
    const int received = avcodec_receive_frame(s.codec, s.decoded);
    if (received == 0) break;
    if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && s.draining)) {
      if (s.cutShort.empty()) return Status::end;
      failure_ = s.cutShort;
      return Status::failed;
    }
    if (received != AVERROR(EAGAIN)) return fail(received);

    // The decoder wants more: the next packet of our stream, or the end of the file.
    int read = av_read_frame(s.format, s.packet);
    while (read == 0 && s.packet->stream_index != s.stream) {
      av_packet_unref(s.packet);
      read = av_read_frame(s.format, s.packet);
    }
    if (read == AVERROR_EOF) {
      if (s.format->pb && s.format->pb->error < 0) return fail(s.format->pb->error);
      // Frames the decoder still holds are given out before a cut is reported.
      s.cutShort = takeTruncationMessage();
      if (s.cutShort.empty() && s.promisedPackets > 0 && s.packetsRead < s.promisedPackets) {
        s.cutShort = "the file ends after " + std::to_string(s.packetsRead) + " of its " +
                     std::to_string(s.promisedPackets) + " frames";
      }
      s.draining = true;
      if (int e = avcodec_send_packet(s.codec, nullptr); e < 0 && e != AVERROR_EOF) return fail(e);
      continue;
    }
    if (read < 0) return fail(read);
    ++s.packetsRead;
    const int sent = avcodec_send_packet(s.codec, s.packet);
    av_packet_unref(s.packet);
    if (sent < 0 && sent != AVERROR(EAGAIN)) return fail(sent);
  }

  // Convert to BGRA at the frame's own size.
  AVFrame* f = s.decoded;
  s.scaler =
      sws_getCachedContext(s.scaler, f->width, f->height, AVPixelFormat(f->format), f->width,
                           f->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!s.scaler) {
    av_frame_unref(f);
    return fail(AVERROR(EINVAL));
  }
  frame.width = f->width;
  frame.height = f->height;
  frame.rowBytes = size_t(f->width) * 4;
  frame.bgra.resize(frame.rowBytes * size_t(f->height));
  uint8_t* planes[4] = {frame.bgra.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {int(frame.rowBytes), 0, 0, 0};
  sws_scale(s.scaler, f->data, f->linesize, 0, f->height, planes, strides);
  av_frame_unref(f);
  return Status::frame;
}

}  // namespace plumvane
