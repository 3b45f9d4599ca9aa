#include "platform/vision/model_description.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <utility>
#include <variant>

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
  f.multiple = std::max(0, j.value("multiple", 0));
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
  if (j.contains("frames"))
    d.framesFile = requireFile(modelsDirectory() / j.at("frames").get<std::string>());
  return d;
}

// Reads the optional numbers of a description into their fields, which keep their defaults
// where a number is absent.
using Setting = std::pair<const char*, std::variant<int*, float*>>;
void readSettings(const json& j, std::initializer_list<Setting> settings) {
  for (const auto& [key, field] : settings) {
    std::visit([&j, key = key](auto* f) { *f = j.value(key, *f); }, field);
  }
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
    readSettings(detection, {{"maxSide", &t.detectionMaxSide},
                             {"multiple", &t.detectionMultiple},
                             {"pixelThreshold", &t.pixelThreshold},
                             {"boxThreshold", &t.boxThreshold},
                             {"unclipRatio", &t.unclipRatio}});
    const json& recognition = j.at("recognition");
    t.recognition = description(recognition);
    t.keys = requireFile(modelsDirectory() / recognition.at("keys").get<std::string>());
    const json& direction = j.at("direction");
    t.direction = description(direction);
    readSettings(direction, {{"flipThreshold", &t.flipThreshold}});
    if (j.contains("latin")) {
      const json& latin = j.at("latin");
      t.latin = requireFile(modelsDirectory() / latin.at("file").get<std::string>());
      readSettings(latin, {{"leastConfidence", &t.latinConfidence},
                           {"sureConfidence", &t.latinSureConfidence}});
    }
    return t;
  });
}

PeopleModels loadPeopleModels() {
  return parsed("person", [](const json& j) {
    PeopleModels p;
    p.segmentation = description(j);
    const json& detector = j.at("detector");
    p.detector = description(detector);
    readSettings(detector, {{"personClass", &p.personClass},
                            {"classes", &p.classes},
                            {"threshold", &p.threshold},
                            {"overlap", &p.overlap}});
    return p;
  });
}

}  // namespace plumvane
