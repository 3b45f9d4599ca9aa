// Which of FFmpeg's streams are still pictures rather than video: a picture file is not a video.
#pragma once

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace plumvane {

// Codecs whose streams are pictures rather than video: one of their frames alone is a still.
inline bool isPictureCodec(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_PNG:
    case AV_CODEC_ID_BMP:
    case AV_CODEC_ID_TIFF:
    case AV_CODEC_ID_WEBP:
    case AV_CODEC_ID_GIF:
    case AV_CODEC_ID_JPEG2000:
    case AV_CODEC_ID_JPEGLS:
    case AV_CODEC_ID_PPM:
    case AV_CODEC_ID_PGM:
    case AV_CODEC_ID_PGMYUV:
    case AV_CODEC_ID_PBM:
    case AV_CODEC_ID_PAM:
    case AV_CODEC_ID_TARGA:
    case AV_CODEC_ID_SGI:
    case AV_CODEC_ID_SUNRAST:
    case AV_CODEC_ID_PCX:
    case AV_CODEC_ID_XBM:
    case AV_CODEC_ID_XWD:
    case AV_CODEC_ID_PSD:
    case AV_CODEC_ID_EXR:
    case AV_CODEC_ID_DDS:
    case AV_CODEC_ID_PHOTOCD:
      return true;
    default:
      return false;
  }
}

// Demuxers of single picture files: "image2" and the "*_pipe" family.
inline bool isPictureDemuxer(const AVInputFormat* format) {
  const std::string name = format ? format->name : "";
  const std::string pipe = "_pipe";
  return name == "image2" || (name.size() > pipe.size() &&
                              name.compare(name.size() - pipe.size(), pipe.size(), pipe) == 0);
}

}  // namespace plumvane
