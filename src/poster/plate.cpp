#include "poster/plate.h"

#include "platform/blur.h"
#include "platform/filters.h"

namespace plumvane {

Plate reconstructPlate(const PosterRun& run, const Image& subjectUnion, const Image& textMask) {
  const Rect& rect = run.workingRect;
  // Hole mask: the grown subjects and the softened text, white where the picture goes; its
  // inverse keeps the rest. The kept pixels over transparency form the known image. Each
  // intermediate is let go as soon as it is used: these are full-size images.
  const Image known = [&] {
    Image holeMask = maximumCompositing(morphologyMaximum(subjectUnion, 8),
                                        crop(gaussianBlur(textMask, 3, Edges::transparent), rect));
    const Image keepMask = colourInvert(std::move(holeMask));
    return run.withAlpha(run.working, keepMask);
  }();
  // Every blur continues the known image's edges outwards.
  auto blurred = [&](double radius) {
    return crop(gaussianBlur(known, radius, Edges::clampToExtent), rect);
  };

  // The base: the kept pixels' mean colour within reach (colour divided by alpha), opaque.
  ColourMatrix opaque;
  opaque.a = {0, 0, 0, 0};
  opaque.bias = {0, 0, 0, 1};
  Image fill = colourMatrix(blurred(300), opaque);
  // Finer layers replace the coarse colour near the rims and let it show towards the middle.
  for (double radius : {160.0, 80.0, 40.0, 20.0, 10.0, 5.0}) {
    fill = crop(sourceOver(blurred(radius), fill), rect);
  }

  Plate result;
  result.plate = crop(sourceOver(known, fill), rect);
  result.fillImage = std::move(fill);
  return result;
}

}  // namespace plumvane
