#include "platform/vision/model_description.h"

#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/vision/model_files.h"

namespace plumvane {
namespace {

using nlohmann::json;

std::filesystem::path requireFile(const std::filesystem::path& path) {
  if (access(path.c_str(), R_OK) != 0 || std::filesystem::is_directory(path)) {
    throwMissingModel(path);
  }
  return path;
}

json readJson(const std::string& name) {
  const auto path = requireFile(modelsDirectory() / (name + ".json"));
  try {
    std::ifstream in(path);
    return json::parse(in);
  } catch (const std::exception&) {
    throwMissingModel(path);
  }
}

InputFormat inputFormat(const json& j) {
  InputFormat f;
  f.width = j.value("width", 0);
  f.height = j.value("height", 0);
  f.channelsFirst = j.value("layout", std::string("NCHW")) == "NCHW";
  f.bgr = j.value("colours", std::string("RGB")) == "BGR";
  const json& scale = j.at("scale");
  f.scale = scale.is_string() && scale.get<std::string>() == "max" ? 0.0f : scale.get<float>();
  f.mean = j.value("mean", f.mean);
  f.std = j.value("std", f.std);
  return f;
}

ModelDescription description(const json& j) {
  ModelDescription d;
  d.file = requireFile(modelsDirectory() / j.at("file").get<std::string>());
  d.input = inputFormat(j.at("input"));
  d.output = j.value("output", 0);
  return d;
}

// Parses a description with f, treating any fault in its fields as a broken installation.
template <typename F>
auto parsed(const std::string& name, F f) {
  const json j = readJson(name);
  try {
    return f(j);
  } catch (const json::exception&) {
    throwMissingModel(modelsDirectory() / (name + ".json"));
  }
}

}  // namespace

void throwMissingModel(const std::filesystem::path& file) {
  throw MissingModel("can't load the model " + file.string() + ": run `make setup` to install it");
}

ModelDescription loadDescription(const std::string& name) {
  return parsed(name, description);
}

TextModels loadTextModels() {
  return parsed("text", [](const json& j) {
    TextModels t;
    const json& detection = j.at("detection");
    t.detection = description(detection);
    t.detectionMaxSide = detection.value("maxSide", t.detectionMaxSide);
    t.detectionMultiple = detection.value("multiple", t.detectionMultiple);
    t.pixelThreshold = detection.value("pixelThreshold", t.pixelThreshold);
    t.boxThreshold = detection.value("boxThreshold", t.boxThreshold);
    t.unclipRatio = detection.value("unclipRatio", t.unclipRatio);
    const json& recognition = j.at("recognition");
    t.recognition = description(recognition);
    t.keys = requireFile(modelsDirectory() / recognition.at("keys").get<std::string>());
    const json& direction = j.at("direction");
    t.direction = description(direction);
    t.flipThreshold = direction.value("flipThreshold", t.flipThreshold);
    return t;
  });
}

PeopleModels loadPeopleModels() {
  return parsed("person", [](const json& j) {
    PeopleModels p;
    p.segmentation = description(j);
    const json& detector = j.at("detector");
    p.detector = description(detector);
    p.personClass = detector.value("personClass", p.personClass);
    p.classes = detector.value("classes", p.classes);
    p.threshold = detector.value("threshold", p.threshold);
    p.overlap = detector.value("overlap", p.overlap);
    return p;
  });
}

}  // namespace plumvane
