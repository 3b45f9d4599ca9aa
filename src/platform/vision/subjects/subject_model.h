// Subjects from a salient-object model.
#pragma once

#include <memory>

#include "platform/vision/model_description.h"
#include "platform/vision/vision.h"

namespace plumvane {

// Subjects from a salient-object model whose output is a 0..1 map (U2-Net-p, ISNet), asked as
// often as `use` says.
std::unique_ptr<SubjectSegmenter> onnxSubjects(const ModelDescription& model, ModelUse use);

}  // namespace plumvane
