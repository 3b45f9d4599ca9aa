#include "video/run_video.h"

#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/files/video_reader.h"
#include "platform/image/orientation.h"
#include "platform/process/freed_memory.h"
#include "run/fail.h"
#include "run/number_text.h"
#include "run/output.h"
#include "video/matte_writer.h"
#include "video/progress.h"
#include "video/subject_frames.h"
#include "video/video_geometry.h"

namespace plumvane {
namespace {

// The values of one video run. Set up once before the first frame; only n and last change.
struct VideoState {
  std::unique_ptr<VideoReader> reader;
  AffineTransform t;
  VideoGeometry geometry;  // natural, W0, H0, k, W, H
  float fps = 30;
  int64_t total = 0;
  int orientation = 1;
  int64_t n = 0;                     // mattes written so far, and the index of the next one
  std::shared_ptr<const Mask> last;  // the last mask segmentation produced
};

// The frame turned upright, so that the mask comes back as the frame is displayed; the frame's
// own buffer when it needs no change. A frame larger than the matte is brought to the matte's
// size, so that the mask's edge is refined at the resolution that is written.
cv::Mat uprightPixels(const VideoFrame& frame, int orientation, const VideoGeometry& geometry) {
  const cv::Mat decoded(frame.height, frame.width, CV_8UC4, const_cast<uint8_t*>(frame.bgra.data()),
                        frame.rowBytes);
  cv::Mat pixels = upright(decoded, orientation);
  const cv::Size matte(int(geometry.W), int(geometry.H));
  const bool larger = pixels.cols > matte.width && pixels.rows > matte.height;
  // Frames stored with pixels that aren't square are drawn as they are shown, at the matte's
  // size, which has the shown proportions: the models know people and things as they look.
  const bool asShown =
      pixels.cols == int(std::lround(geometry.W0)) && pixels.rows == int(std::lround(geometry.H0));
  if (!larger && asShown) return pixels;
  cv::Mat drawn;
  cv::resize(pixels, drawn, matte, 0, 0, larger ? cv::INTER_AREA : cv::INTER_LINEAR);
  return drawn;
}

}  // namespace

void runVideo(const RunSettings& settings, Vision& vision) {
  // Every frame allocates and frees images of the same sizes.
  keepFreedMemory();
  VideoState v;
  // The models load while the video is opened and its first frame decoded. No thread may be
  // loading when the process ends on an error.
  std::future<void> loading = std::async(std::launch::async, [&] {
    if (settings.usePerson) {
      vision.people();
    } else {
      vision.subjects();
    }
  });
  const auto failLoaded = [&](const std::string& message) {
    if (loading.valid()) loading.wait();
    fail(message);
  };
  auto opened = VideoReader::open(settings.input.string());
  if (std::holds_alternative<VideoReader::NoVideo>(opened)) failLoaded("no video track");
  if (auto* error = std::get_if<VideoReader::CannotRead>(&opened)) {
    failLoaded("can't read the video: " + error->text);
  }
  v.reader = std::move(std::get<std::unique_ptr<VideoReader>>(opened));
  const VideoTrackInfo& info = v.reader->info();

  v.t = info.preferredTransform;
  v.geometry = videoGeometry(v.t, info.naturalWidth, info.naturalHeight, settings.maxSide);
  v.fps = framesPerSecond(info.nominalFrameRate);
  v.total = frameTotal(v.fps, info.durationSeconds);
  printLine("frames " + std::to_string(v.total) + " " + shortestFloat(v.fps) + " " +
            std::to_string(v.geometry.W) + " " + std::to_string(v.geometry.H));
  v.orientation = orientationOf(v.t);

  // Each matte is written on a thread of its own while the next frame is segmented, and the
  // frame after it is decoded on another; a matte's line is printed once it is complete, so the
  // lines keep their order and a "p" line always follows its file. The subject path holds one
  // frame back until it has seen the next.
  ProgressDisplay progress(v.total);
  VideoFrame frame, ahead;
  const auto readAhead = [&] {
    return std::async(std::launch::async, [&] { return v.reader->next(ahead); });
  };
  std::future<VideoReader::Status> reading = readAhead();
  std::future<std::optional<std::string>> writing;
  auto finishWriting = [&] {
    if (!writing.valid()) return;
    if (auto error = writing.get()) {
      if (reading.valid()) reading.wait();  // the process ends: no thread may be decoding
      progress.clear();
      failLoaded(*error);
    }
    ++v.n;
    progress.clear();  // standard output may go to the same terminal
    printLine("p " + std::to_string(v.n));
    progress.update(v.n);
  };
  // The frame's mask, else the last one again, else (none yet) the black matte, written.
  const auto emit = [&](std::optional<Mask> mask) {
    if (mask) v.last = std::make_shared<const Mask>(std::move(*mask));
    finishWriting();
    writing = std::async(std::launch::async, [matte = v.last, index = v.n, &v, &settings] {
      return writeMatte(matte.get(), index, v.geometry.W, v.geometry.H, settings.outDir);
    });
  };
  std::optional<SubjectFrames> subjectFrames;  // made with the first frame, when there is a model
  VideoReader::Status status;
  while ((status = reading.get()) == VideoReader::Status::frame) {
    std::swap(frame, ahead);
    reading = readAhead();
    cv::Mat pixels = uprightPixels(frame, v.orientation, v.geometry);
    if (loading.valid()) {
      loading.get();
      if (SubjectSegmenter* subjects = settings.usePerson ? nullptr : vision.subjects()) {
        subjectFrames.emplace(*subjects, emit);
      }
    }
    if (settings.usePerson) {
      emit(vision.people().frameMask(viewOf(pixels)));
      continue;
    }
    // The subject path may hold a frame back, past the next read into this buffer.
    if (pixels.data == frame.bgra.data()) pixels = pixels.clone();
    if (subjectFrames) {
      subjectFrames->add(std::move(pixels));
    } else {
      emit(std::nullopt);
    }
  }
  if (subjectFrames) subjectFrames->finish();
  finishWriting();
  progress.clear();
  if (status == VideoReader::Status::failed) failLoaded("reading stopped: " + v.reader->failure());
  printLine("done " + std::to_string(v.n));
}

}  // namespace plumvane
