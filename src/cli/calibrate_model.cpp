// plumvane_calibrate ROLE MODEL INPUT...: the least and greatest value of each of MODEL's outputs
// over pictures and video frames, each prepared as the installed description of the ROLE's model
// says ("subject" or "detector", the people detector), as the JSON that the quantising scripts
// read their activations' ranges from. MODEL is the model with every activation made an output
// (scripts/calibrate makes it). An INPUT is a picture, or VIDEO@N for every N-th frame of a video
// from its first.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/files/picture_file.h"
#include "platform/files/video_reader.h"
#include "platform/vision/model_description.h"
#include "platform/vision/onnx_model.h"

using namespace plumvane;

namespace {

class Ranges {
 public:
  Ranges(const std::filesystem::path& model, InputFormat format)
      : model_(model), format_(std::move(format)) {}

  // Widens the input's range and each output's by their values on the picture; false when
  // inference fails.
  bool add(const BitmapView& picture) {
    const Tensor input = modelInput(picture, format_, format_.width, format_.height);
    const auto outputs = model_.run(input);
    if (!outputs) return false;
    widen(model_.inputName(), input.values);
    for (size_t i = 0; i < outputs->size(); ++i) {
      widen(model_.outputNames().at(i), (*outputs)[i].values);
    }
    return true;
  }

  const std::map<std::string, std::pair<float, float>>& ranges() const { return ranges_; }

 private:
  void widen(const std::string& name, const std::vector<float>& values) {
    auto& [least, greatest] = ranges_
                                  .try_emplace(name, std::numeric_limits<float>::max(),
                                               std::numeric_limits<float>::lowest())
                                  .first->second;
    for (const float v : values) {
      least = std::min(least, v);
      greatest = std::max(greatest, v);
    }
  }

  OnnxModel model_;
  InputFormat format_;
  std::map<std::string, std::pair<float, float>> ranges_;
};

// Adds every stride-th frame of the video; false when it can't be read to its end.
bool addVideo(Ranges& ranges, const std::string& path, long stride) {
  auto opened = VideoReader::open(path);
  auto* reader = std::get_if<std::unique_ptr<VideoReader>>(&opened);
  if (!reader) return false;
  VideoFrame frame;
  VideoReader::Status status;
  for (long n = 0; (status = (*reader)->next(frame)) == VideoReader::Status::frame; ++n) {
    const BitmapView view{frame.bgra.data(), frame.width, frame.height, frame.rowBytes,
                          BitmapView::Order::bgra};
    if (n % stride == 0 && !ranges.add(view)) return false;
  }
  return status == VideoReader::Status::end;
}

bool addPicture(Ranges& ranges, const std::string& path) {
  const std::optional<Image> picture = decodePicture(path);
  if (!picture) return false;
  const std::vector<uint8_t> rgba = renderRgba8(*picture, picture->extent());
  return ranges.add(BitmapView{rgba.data(), picture->width, picture->height,
                               size_t(picture->width) * 4, BitmapView::Order::rgba});
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  if (argc < 4 || (role != "subject" && role != "detector")) {
    std::fprintf(stderr, "usage: plumvane_calibrate subject|detector MODEL INPUT...\n");
    return 2;
  }
  try {
    const InputFormat format =
        role == "subject" ? loadDescription("subject").input : loadPeopleModels().detector.input;
    Ranges ranges(argv[2], format);
    std::string inputs;
    for (int i = 3; i < argc; ++i) {
      const std::string input = argv[i];
      const size_t at = input.rfind('@');
      const std::string path = at == std::string::npos ? input : input.substr(0, at);
      const bool read = at == std::string::npos
                            ? addPicture(ranges, path)
                            : addVideo(ranges, path, std::max(1L, std::stol(input.substr(at + 1))));
      if (!read) {
        std::fprintf(stderr, "can't read %s\n", input.c_str());
        return 1;
      }
      const std::string name = std::filesystem::path(path).filename().string() +
                               (at == std::string::npos ? "" : input.substr(at));
      inputs += (inputs.empty() ? "\"" : ", \"") + name + "\"";
    }
    std::printf("{\n \"inputs\": [%s],\n \"ranges\": {\n", inputs.c_str());
    size_t left = ranges.ranges().size();
    for (const auto& [name, range] : ranges.ranges()) {
      std::printf("  \"%s\": [%.9g, %.9g]%s\n", name.c_str(), double(range.first),
                  double(range.second), --left ? "," : "");
    }
    std::printf(" }\n}\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
