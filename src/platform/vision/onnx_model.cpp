#include "platform/vision/onnx_model.h"

#include <onnxruntime_cxx_api.h>
#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>

namespace plumvane {
namespace {

Ort::Env& environment() {
  static Ort::Env env = [] {
    // The runtime's build carries its maker's usage telemetry: every process it runs in would
    // write a database and a device id under ~/.cache, leave a log file in /tmp and try to send
    // what it gathered. Nothing of the user's is to leave the machine, nor litter it. The switch
    // is read only when the runtime's environment starts: it is set here, before that.
    setenv("ORT_DISABLE_TELEMETRY", "1", 1);
    return Ort::Env(ORT_LOGGING_LEVEL_ERROR, "plumvane");
  }();
  return env;
}

Ort::SessionOptions sessionOptions(int threads, GraphOptimizationLevel level,
                                   ModelUse use = ModelUse::repeatedly) {
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(
      threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency())));
  options.SetGraphOptimizationLevel(level);
  // The CPU arena stays for a model run over and over: without it every inference allocates
  // its tensors afresh and runs about 40% slower. The memory pattern, a block planned for all of a
  // run's tensors at once, goes: it makes no run faster, and over a video it held some 200 MB more.
  options.DisableMemPattern();
  if (use == ModelUse::once) options.DisableCpuMemArena();
  options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  return options;
}

// Whether a model's optimised copy can stand in for it: it exists, and is not older than the
// model (a model replaced since its copy was made is loaded itself).
bool optimizedCopyFits(const std::filesystem::path& file) {
  std::error_code error;
  const auto copy = std::filesystem::last_write_time(optimizedModelFile(file), error);
  if (error) return false;
  const auto model = std::filesystem::last_write_time(file, error);
  return !error && copy >= model;
}

// A session of the model: of its optimised copy when that fits and loads, else of the model.
Ort::Session openSession(const std::filesystem::path& file, const Ort::SessionOptions& options) {
  if (optimizedCopyFits(file)) {
    try {
      return Ort::Session(environment(), optimizedModelFile(file).c_str(), options);
    } catch (const Ort::Exception&) {
      // A damaged copy: the model itself is loaded.
    }
  }
  return Ort::Session(environment(), file.c_str(), options);
}

}  // namespace

struct OnnxModel::Session {
  Ort::Session session{nullptr};
  std::vector<std::string> inputNames;
  std::vector<std::string> outputNames;
};

bool cpuSumsInt8Exactly() {
#if defined(__x86_64__)
  // AVX-VNNI is bit 4 of EAX in leaf 7's subleaf 1, usable where the system keeps AVX's
  // registers. Asked once: on a virtual machine, cpuid traps to the host.
  static const bool exactly = [] {
    if (__builtin_cpu_supports("avx512vnni")) return true;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __builtin_cpu_supports("avx2") && __get_cpuid_count(7, 1, &eax, &ebx, &ecx, &edx) &&
           (eax & (1u << 4)) != 0;
  }();
  return exactly;
#else
  return false;
#endif
}

std::filesystem::path optimizedModelFile(const std::filesystem::path& model) {
  return model.parent_path() / (model.stem().string() + ".optimized.onnx");
}

void saveOptimizedModel(const std::filesystem::path& model) {
  const std::filesystem::path copy = optimizedModelFile(model);
  const std::filesystem::path part = copy.string() + ".part";
  try {
    Ort::SessionOptions options = sessionOptions(1, GraphOptimizationLevel::ORT_ENABLE_EXTENDED);
    options.SetOptimizedModelFilePath(part.c_str());
    Ort::Session(environment(), model.c_str(), options);
  } catch (const Ort::Exception&) {
    std::error_code ignored;
    std::filesystem::remove(part, ignored);
    throwMissingModel(model);
  }
  std::filesystem::rename(part, copy);
}

OnnxModel::OnnxModel(const std::filesystem::path& file, int threads, ModelUse use)
    : session_(std::make_unique<Session>()) {
  try {
    // Every optimisation: the layout changes that the extended level leaves out make U2-Net-p's
    // inference about a quarter faster, for about a quarter more memory in a cut-out.
    session_->session =
        openSession(file, sessionOptions(threads, GraphOptimizationLevel::ORT_ENABLE_ALL, use));
    Ort::AllocatorWithDefaultOptions allocator;
    for (size_t i = 0; i < session_->session.GetInputCount(); ++i) {
      session_->inputNames.emplace_back(
          session_->session.GetInputNameAllocated(i, allocator).get());
    }
    for (size_t i = 0; i < session_->session.GetOutputCount(); ++i) {
      session_->outputNames.emplace_back(
          session_->session.GetOutputNameAllocated(i, allocator).get());
    }
  } catch (const Ort::Exception&) {
    throwMissingModel(file);
  }
}

OnnxModel::~OnnxModel() = default;

const std::string& OnnxModel::inputName() const {
  return session_->inputNames.at(0);
}
const std::vector<std::string>& OnnxModel::outputNames() const {
  return session_->outputNames;
}

std::optional<std::vector<Tensor>> OnnxModel::run(const Tensor& input) {
  try {
    const auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value value = Ort::Value::CreateTensor<float>(
        memory, const_cast<float*>(input.values.data()), input.values.size(), input.shape.data(),
        input.shape.size());
    const char* inputName = session_->inputNames.at(0).c_str();
    std::vector<const char*> outputNames;
    for (const auto& name : session_->outputNames) outputNames.push_back(name.c_str());
    auto outputs = session_->session.Run(Ort::RunOptions{nullptr}, &inputName, &value, 1,
                                         outputNames.data(), outputNames.size());
    std::vector<Tensor> tensors;
    for (auto& output : outputs) {
      const auto info = output.GetTensorTypeAndShapeInfo();
      if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) return std::nullopt;
      Tensor t;
      t.shape = info.GetShape();
      const float* data = output.GetTensorData<float>();
      t.values.assign(data, data + info.GetElementCount());
      tensors.push_back(std::move(t));
    }
    return tensors;
  } catch (const Ort::Exception&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

Tensor modelInput(const BitmapView& picture, const InputFormat& format, int width, int height) {
  const cv::Mat source(picture.height, picture.width, CV_8UC4, const_cast<uint8_t*>(picture.pixels),
                       picture.rowBytes);
  cv::Mat resized;
  const bool shrinking = width <= picture.width && height <= picture.height;
  // Area averaging by a whole factor is many times faster than by any other: a picture several
  // times the input's size is first brought down by the largest whole factor that fits.
  const int factor = std::min(picture.width / width, picture.height / height);
  if (shrinking && factor >= 2) {
    cv::Mat nearer;
    cv::resize(source, nearer, cv::Size(picture.width / factor, picture.height / factor), 0, 0,
               cv::INTER_AREA);
    cv::resize(nearer, resized, cv::Size(width, height), 0, 0, cv::INTER_AREA);
  } else {
    cv::resize(source, resized, cv::Size(width, height), 0, 0,
               shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
  }

  // Which byte of a pixel feeds each input channel.
  const bool pictureBgr = picture.order == BitmapView::Order::bgra;
  std::array<int, 3> byteOf = {0, 1, 2};
  if (pictureBgr != format.bgr) byteOf = {2, 1, 0};

  float scale = format.scale;
  if (scale <= 0) {  // "max": divide by the largest value of the resized picture
    uint8_t largest = 0;
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = resized.ptr<uint8_t>(y);
      for (int x = 0; x < width; ++x) {
        for (int c = 0; c < 3; ++c) largest = std::max(largest, row[x * 4 + c]);
      }
    }
    scale = largest > 0 ? float(largest) : 1.0f;
  }

  Tensor t;
  const size_t plane = size_t(width) * size_t(height);
  t.shape = format.channelsFirst ? std::vector<int64_t>{1, 3, height, width}
                                 : std::vector<int64_t>{1, height, width, 3};
  t.values.resize(plane * 3);
  for (int c = 0; c < 3; ++c) {
    const float a = 1.0f / (scale * format.std[c]);
    const float b = -format.mean[c] / format.std[c];
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = resized.ptr<uint8_t>(y);
      for (int x = 0; x < width; ++x) {
        const float v = float(row[x * 4 + byteOf[c]]) * a + b;
        const size_t p = size_t(y) * size_t(width) + size_t(x);
        t.values[format.channelsFirst ? size_t(c) * plane + p : p * 3 + size_t(c)] = v;
      }
    }
  }
  return t;
}

SegmentationModel::SegmentationModel(const ModelDescription& description, int threads, ModelUse use)
    : description_(description), model_(description.file, threads, use) {}

std::optional<Mask> SegmentationModel::map(const BitmapView& picture) {
  return map(picture, description_.input.width, description_.input.height);
}

std::optional<Mask> SegmentationModel::map(const BitmapView& picture, int width, int height) {
  if (picture.width <= 0 || picture.height <= 0) return std::nullopt;
  const InputFormat& format = description_.input;
  auto outputs = model_.run(modelInput(picture, format, width, height));
  if (!outputs || size_t(description_.output) >= outputs->size()) return std::nullopt;
  Tensor& map = (*outputs)[size_t(description_.output)];
  if (map.values.size() != size_t(width) * size_t(height)) return std::nullopt;
  Mask mask{width, height, std::move(map.values)};
  for (float& v : mask.values) v = std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f;
  return mask;
}

}  // namespace plumvane
