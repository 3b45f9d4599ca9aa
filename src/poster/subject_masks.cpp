#include "poster/subject_masks.h"

#include <algorithm>

#include "platform/image/image_ops.h"
#include "platform/image/mask_conversions.h"

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

namespace {

constexpr double letteringShare = 2.0 / 3.0;

Image unionOf(const std::vector<Image>& masks, const PosterRun& run) {
  const Rect working = run.working.extent();
  Image u = solidImage(blackColour, working);
  for (const Image& mask : masks) u = crop(maximumCompositing(mask, u), working);
  return u;
}

}  // namespace

SubjectMasks subjectMasksFrom(const std::vector<Mask>& masks, const PosterRun& run) {
  SubjectMasks found;
  for (const Mask& mask : masks) {
    if (mask.isEmpty()) continue;
    // Masks come at the working image's size; one that does not is stretched, each axis by its
    // own factor, to cover the working image exactly.
    Image image = maskImage(mask);
    if (image.width != run.working.width || image.height != run.working.height) {
      image = scaled(image, run.working.width, run.working.height);
    }
    found.masks.push_back(grey(std::move(image), run.working.extent()));
  }
  found.subjectUnion = unionOf(found.masks, run);
  return found;
}

SubjectMasks withoutLettering(SubjectMasks subjects, const std::vector<TextRegion>& regions,
                              const std::vector<std::optional<TextInk>>& inks,
                              const PosterRun& run) {
  if (subjects.masks.empty()) return subjects;
  // Where the lines lie.
  std::vector<uint8_t> inText(run.working.pixels.size(), 0);
  for (size_t i = 0; i < regions.size(); ++i) {
    const TextRegion& region = regions[i];
    if (!inks[i] || !(region.rect.width > region.rect.height)) continue;
    const int top = int(region.rect.y);
    for (int row = top; row < top + int(region.rect.height); ++row) {
      uint8_t* p = &inText[size_t(row) * size_t(run.working.width) + size_t(region.rect.x)];
      std::fill(p, p + int(region.rect.width), 1);
    }
  }
  SubjectMasks kept;
  for (Image& mask : subjects.masks) {
    double inside = 0, all = 0;
    for (size_t p = 0; p < mask.pixels.size(); ++p) {
      all += mask.pixels[p].r;
      if (inText[p]) inside += mask.pixels[p].r;
    }
    if (all > 0 && inside >= letteringShare * all) continue;
    kept.masks.push_back(std::move(mask));
  }
  if (kept.masks.size() == subjects.masks.size()) {
    kept.subjectUnion = std::move(subjects.subjectUnion);
  } else {
    kept.subjectUnion = unionOf(kept.masks, run);
  }
  return kept;
}

}  // namespace plumvane
