// The vision services on ONNX models.
#pragma once

#include <memory>

#include "platform/model_description.h"
#include "platform/vision.h"

namespace plumvane {

// Subjects from a salient-object model whose output is a 0..1 map (U2-Net-p, ISNet).
std::unique_ptr<SubjectSegmenter> onnxSubjects(const ModelDescription& model);

// People from a person-segmentation model whose output is a 0..1 map (the selfie model), run on
// the whole picture and on a crop around each person a detector finds.
std::unique_ptr<PersonSegmenter> onnxPeople(const PeopleModels& models);

// Lines of text from a detection, a recognition and a line-direction model (PP-OCR).
std::unique_ptr<TextRecognizer> onnxText(const TextModels& models);

}  // namespace plumvane
