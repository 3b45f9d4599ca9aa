// People from a person-segmentation model and a people detector.
#pragma once

#include <memory>

#include "platform/vision/model_description.h"
#include "platform/vision/vision.h"

namespace plumvane {

// People from a person-segmentation model whose output is a 0..1 map (the selfie model), run on
// the whole picture and on a crop around each person a detector finds.
std::unique_ptr<PersonSegmenter> onnxPeople(const PeopleModels& models);

}  // namespace plumvane
