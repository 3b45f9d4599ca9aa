// One pass of PP-OCR's detector over a picture: the regions it marks, as lines in picture pixels.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

#include "platform/vision/model_description.h"
#include "platform/vision/onnx_model.h"
#include "platform/vision/text/line_detection.h"

namespace plumvane {

// The detection input size for a width x height picture at `scale`: each side rounded to the
// nearest multiple of `multiple`, at least one multiple.
cv::Size detectionInputSize(int width, int height, double scale, int multiple);

// A line along the given corners, its box their upright bounds inside the picture.
DetectedLine lineAlong(std::array<cv::Point2f, 4> corners, const BitmapView& picture);

// The regions the detector marks in the picture scaled to `size`, in picture pixels.
std::vector<DetectedLine> detectAt(OnnxModel& detector, const TextModels& models,
                                   const BitmapView& picture, cv::Size size);

}  // namespace plumvane
