// Lines of text from detection, recognition and line-direction models.
#pragma once

#include <memory>

#include "platform/vision/model_description.h"
#include "platform/vision/vision.h"

namespace plumvane {

// Lines of text from a detection, a recognition and a line-direction model (PP-OCR).
std::unique_ptr<TextRecognizer> onnxText(const TextModels& models);

}  // namespace plumvane
