#include "poster/subject_masks.h"

#include "platform/filters.h"

namespace plumvane {

SubjectMasks findSubjectMasks(Vision& vision, const BitmapView& workingBitmap,
                              const PosterRun& run) {
  if (SubjectSegmenter* subjects = vision.subjects()) {
    return subjectMasksFrom(subjects->instanceMasks(workingBitmap), run);
  }
  std::optional<Mask> people = vision.people().personMask(workingBitmap);
  return subjectMasksFrom(people ? std::vector<Mask>{std::move(*people)} : std::vector<Mask>{},
                          run);
}

SubjectMasks subjectMasksFrom(const std::vector<Mask>& masks, const PosterRun& run) {
  SubjectMasks found;
  for (const Mask& mask : masks) {
    if (mask.isEmpty()) continue;
    // Masks come at the working image's size; one that does not is stretched, each axis by its
    // own factor, to cover the working image exactly.
    Image image = maskImage(mask);
    if (image.width != run.W || image.height != run.H) {
      image = scaled(image, int(run.W), int(run.H));
    }
    found.masks.push_back(run.grey(std::move(image)));
  }
  found.subjectUnion = solidImage(blackColour, run.workingRect);
  for (const Image& mask : found.masks) {
    found.subjectUnion = crop(maximumCompositing(mask, found.subjectUnion), run.workingRect);
  }
  return found;
}

}  // namespace plumvane
