#include "poster/subject_masks.h"

#include "platform/filters.h"

namespace plumvane {

SubjectMasks findSubjectMasks(Vision& vision, const BitmapView& workingBitmap,
                              const PosterRun& run) {
  SubjectMasks found;
  if (SubjectSegmenter* subjects = vision.subjects()) {
    for (const Mask& instance : subjects->instanceMasks(workingBitmap)) {
      found.masks.push_back(run.grey(crop(maskImage(instance), run.workingRect)));
    }
  } else if (std::optional<Mask> people = vision.people().personMask(workingBitmap);
             people && !people->isEmpty()) {
    // The person mask comes at the model's size: each axis is stretched to the working image.
    found.masks.push_back(run.grey(scaled(maskImage(*people), int(run.W), int(run.H))));
  }
  found.subjectUnion = solidImage(blackColour, run.workingRect);
  for (const Image& mask : found.masks) {
    found.subjectUnion = crop(maximumCompositing(mask, found.subjectUnion), run.workingRect);
  }
  return found;
}

}  // namespace plumvane
