#include "cutout/cutout.h"

#include <cstdio>
#include <optional>

#include "platform/files/picture_file.h"
#include "platform/image/foreground_colour.h"
#include "platform/image/mask_conversions.h"
#include "platform/process/freed_memory.h"
#include "run/fail.h"
#include "run/output.h"
#include "run/saved_png.h"

namespace plumvane {
namespace {

// The subjects of the picture as one mask at its size, or nothing.
std::optional<Mask> subjectMask(const Image& picture, Vision& vision) {
  Bitmap bitmap{picture.width, picture.height, renderRgba8(picture, picture.extent())};
  if (SubjectSegmenter* subjects = vision.subjects()) return subjects->allInstances(bitmap.view());
  std::optional<Mask> people = vision.people().personMask(bitmap.view());
  if (!people || people->isEmpty()) return std::nullopt;
  return people;
}

}  // namespace

void cutout(const std::string& picturePath, const std::string& target, Vision& vision) {
  keepFreedMemory();
  std::optional<Image> picture = decodePicture(picturePath);
  if (!picture) fail("can't read the picture");
  const Rect pictureRect = picture->extent();

  std::optional<Mask> mask = subjectMask(*picture, vision);
  const bool found = mask.has_value();
  Image result = std::move(*picture);
  if (found) {
    // The soft edge in the subject's own colour, not mixed with the background it leaves.
    useSubjectColours(result, *mask);
    result = withAlpha(std::move(result), *mask, pictureRect);
  }

  const std::vector<uint8_t> bytes = renderStraightRgba8(result);
  savePng(target, {bytes.data(), result.width, result.height, 4}, target);
  printLine(found ? "cut" : "none");
}

}  // namespace plumvane
